#include "ini_document.h"

#include "platform/ascii.h"

namespace kalhost {
namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
    return pixolune::platform::EqualsIgnoringAsciiCase(a, b);
}

std::string_view WithoutCarriageReturn(std::string_view text) {
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    return text;
}

// Whether `text` is wrapped in one pair of the quotes the host's store removes.
bool IsQuoted(std::string_view text) {
    return text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
           text.back() == text.front();
}

std::string Decode(std::string_view stored) {
    std::string_view value = Trim(stored);
    if (IsQuoted(value)) value = value.substr(1, value.size() - 2);
    return std::string(value);
}

// The form that Decode turns back into `value`. A line break would end the
// entry and start a line of its own, so it is written as a blank.
std::string Encode(std::string_view value) {
    std::string text(value);
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    const bool needsQuotes =
        !text.empty() && (kBlanks.find(text.front()) != std::string_view::npos ||
                          kBlanks.find(text.back()) != std::string_view::npos || IsQuoted(text));
    return needsQuotes ? '"' + text + '"' : text;
}

}  // namespace

IniDocument IniDocument::Parse(std::string_view bytes) {
    IniDocument document;
    document.finalNewline_ = bytes.empty() || bytes.back() == '\n';
    std::string section;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) end = bytes.size();
        Line line;
        line.text = std::string(bytes.substr(start, end - start));
        std::string_view content = WithoutCarriageReturn(line.text);
        if (start == 0) {
            document.crlf_ = content.size() != line.text.size();
            if (content.substr(0, kUtf8Bom.size()) == kUtf8Bom)
                content.remove_prefix(kUtf8Bom.size());
        }
        const std::string_view trimmed = Trim(content);
        const size_t equals = content.find('=');
        if (!trimmed.empty() && trimmed.front() == '[' &&
            trimmed.find(']') != std::string_view::npos) {
            section = std::string(Trim(trimmed.substr(1, trimmed.find(']') - 1)));
        } else if (!trimmed.empty() && trimmed.front() != ';' && trimmed.front() != '#' &&
                   equals != std::string_view::npos && !Trim(content.substr(0, equals)).empty()) {
            line.key = std::string(Trim(content.substr(0, equals)));
            const size_t afterEquals = line.text.find('=') + 1;
            const size_t valueStart = line.text.find_first_not_of(kBlanks, afterEquals);
            line.valueOffset = valueStart == std::string::npos ? line.text.size() : valueStart;
        }
        line.section = section;
        document.lines_.push_back(std::move(line));
        start = end + 1;
    }
    return document;
}

size_t IniDocument::Find(std::string_view section, std::string_view key) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (!lines_[i].key.empty() && SameName(lines_[i].section, section) &&
            SameName(lines_[i].key, key))
            return i;
    }
    return lines_.size();
}

std::optional<std::string> IniDocument::Value(std::string_view section,
                                              std::string_view key) const {
    const size_t index = Find(section, key);
    if (index == lines_.size()) return std::nullopt;
    const Line& line = lines_[index];
    return Decode(WithoutCarriageReturn(std::string_view(line.text).substr(line.valueOffset)));
}

std::optional<size_t> IniDocument::InsertionPoint(std::string_view section) const {
    std::optional<size_t> point;
    bool inSection = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const bool matches = SameName(lines_[i].section, section);
        if (inSection && !matches) break;  // only the section's first occurrence
        if (!matches) continue;
        inSection = true;
        // The header line carries the section's name too, so an empty section
        // receives its first key right below the header.
        if (!point || !lines_[i].key.empty()) point = i + 1;
    }
    return point;
}

void IniDocument::Insert(size_t index, std::string text, std::string_view section,
                         std::string_view key) {
    if (index == lines_.size()) finalNewline_ = true;  // the old last line gains its break
    Line line;
    line.section = std::string(section);
    line.key = std::string(key);
    line.valueOffset = key.empty() ? 0 : text.find('=') + 1;
    if (crlf_) text += '\r';
    line.text = std::move(text);
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), std::move(line));
}

bool IniDocument::SetValue(std::string_view section, std::string_view key, std::string_view value) {
    const size_t index = Find(section, key);
    if (index < lines_.size()) {
        if (Value(section, key) == value) return false;
        Line& line = lines_[index];
        const bool hadCr = line.text.size() != WithoutCarriageReturn(line.text).size();
        line.text = line.text.substr(0, line.valueOffset) + Encode(value) + (hadCr ? "\r" : "");
        return true;
    }
    const std::string entry = std::string(key) + "=" + Encode(value);
    if (const std::optional<size_t> point = InsertionPoint(section)) {
        Insert(*point, entry, section, key);
        return true;
    }
    if (!lines_.empty() && !Trim(WithoutCarriageReturn(lines_.back().text)).empty()) {
        Insert(lines_.size(), "", lines_.back().section, "");
    }
    Insert(lines_.size(), "[" + std::string(section) + "]", section, "");
    Insert(lines_.size(), entry, section, key);
    return true;
}

std::string IniDocument::Bytes() const {
    std::string bytes;
    for (size_t i = 0; i < lines_.size(); ++i) {
        bytes += lines_[i].text;
        if (i + 1 < lines_.size() || finalNewline_) bytes += '\n';
    }
    return bytes;
}

}  // namespace kalhost

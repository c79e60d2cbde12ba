#include "engine/media_sniff.h"

#include <algorithm>

#include "platform/ascii.h"

namespace pixolune {
namespace {

std::string Lowered(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) c = platform::AsciiLower(c);
    return lowered;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The media type alone, lowered, without parameters or blanks.
std::string MediaTypeOf(std::string_view contentType) {
    const size_t semicolon = contentType.find(';');
    std::string_view type = contentType.substr(0, semicolon);
    while (!type.empty() && IsBlank(type.front())) type.remove_prefix(1);
    while (!type.empty() && IsBlank(type.back())) type.remove_suffix(1);
    return Lowered(type);
}

bool IsDocumentType(const std::string& type) {
    if (type.rfind("text/", 0) == 0) return true;
    if (type.rfind("application/", 0) != 0) return false;
    return type == "application/json" || type == "application/xml" ||
           type == "application/xhtml+xml" || EndsWith(type, "+json") || EndsWith(type, "+xml");
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The body without leading white space and UTF-8 byte-order marks.
std::string_view Significant(std::string_view head) {
    for (;;) {
        if (!head.empty() && IsBlank(head.front()))
            head.remove_prefix(1);
        else if (head.substr(0, kBom.size()) == kBom)
            head.remove_prefix(kBom.size());
        else
            return head;
    }
}

enum class TextVerdict { Text, Binary, Incomplete };

// The length of the UTF-8 sequence that `lead` opens and the range its second
// byte must lie in (overlong forms, surrogates and code points past U+10FFFF
// are not text); 0 when `lead` opens none.
size_t SequenceLength(unsigned char lead, unsigned char& secondLow, unsigned char& secondHigh) {
    secondLow = 0x80;
    secondHigh = 0xBF;
    if (lead < 0x80) return 1;
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) {
        if (lead == 0xE0) secondLow = 0xA0;
        if (lead == 0xED) secondHigh = 0x9F;
        return 3;
    }
    if (lead > 0xF4) return 0;
    if (lead == 0xF0) secondLow = 0x90;
    if (lead == 0xF4) secondHigh = 0x8F;
    return 4;
}

// Whether `bytes` read as text: valid UTF-8 without NUL. A sequence cut at
// the end is text when the cut is ours (`cutByUs`: the head's bound), and
// otherwise Incomplete, as the next piece may finish it.
TextVerdict ReadAsText(std::string_view bytes, bool cutByUs) {
    size_t at = 0;
    while (at < bytes.size()) {
        unsigned char low = 0, high = 0;
        const auto lead = static_cast<unsigned char>(bytes[at]);
        const size_t length = SequenceLength(lead, low, high);
        if (lead == 0 || length == 0) return TextVerdict::Binary;
        for (size_t i = 1; i < length; ++i) {
            if (at + i == bytes.size())
                return cutByUs ? TextVerdict::Text : TextVerdict::Incomplete;
            const auto next = static_cast<unsigned char>(bytes[at + i]);
            if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
                return TextVerdict::Binary;
        }
        at += length;
    }
    return TextVerdict::Text;
}

}  // namespace

bool MediaSniffer::CheckContentType(std::string_view contentType) {
    const std::string type = MediaTypeOf(contentType);
    if (IsDocumentType(type)) {
        reason_ = type;
        decided_ = true;
    }
    return !IsNotMedia();
}

bool MediaSniffer::Inspect(const char* data, size_t size) {
    if (decided_) return !IsNotMedia();
    head_.append(data, std::min(size, kHeadBytes - head_.size()));
    ClassifyHead(head_.size() >= kHeadBytes);
    return !IsNotMedia();
}

bool MediaSniffer::Finish() {
    if (!decided_) ClassifyHead(true);
    return !IsNotMedia();
}

void MediaSniffer::ClassifyHead(bool complete) {
    const std::string_view body = Significant(head_);
    if (body.empty()) {
        if (complete) {
            reason_ = head_.empty() ? "empty body" : "white space only";
            decided_ = true;
        }
        return;
    }
    // A byte-order mark cut between two pieces.
    if (!complete && body.size() < kBom.size() && kBom.substr(0, body.size()) == body) return;
    struct Opening {
        std::string_view text;
        const char* what;
    };
    static constexpr Opening kOpenings[] = {{"<!doctype html", "HTML document"},
                                            {"<html", "HTML document"},
                                            {"<?xml", "XML document"},
                                            {"{", "JSON document"},
                                            {"[", "JSON document"}};
    const std::string start = Lowered(body.substr(0, 14));
    bool mayStillMatch = false;
    for (const Opening& opening : kOpenings) {
        if (start.rfind(opening.text, 0) == 0) {
            DecideOnText(opening.what, complete);
            return;
        }
        if (opening.text.substr(0, start.size()) == start) mayStillMatch = true;
    }
    decided_ = complete || !mayStillMatch;
}

void MediaSniffer::DecideOnText(const char* what, bool complete) {
    // About 1 in 64 of any binary opens with '{' or '['; only a text is a document.
    const TextVerdict verdict = ReadAsText(head_, head_.size() >= kHeadBytes);
    if (verdict == TextVerdict::Binary) {
        decided_ = true;
        return;
    }
    if (!complete) return;  // a NUL or a broken sequence may still come
    decided_ = true;
    if (verdict == TextVerdict::Text) reason_ = what;
}

}  // namespace pixolune

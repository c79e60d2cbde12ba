#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalhost {

// An INI file kept as its user wrote it. Every line is held as read, so a save
// replaces only the lines of values that changed and appends new keys at the
// end of their section; comments, order, unknown keys and sections survive.
// As in the host's own store, sections and keys match without regard to case,
// comment lines start with ';' or '#', and a value runs to the end of its line
// (a ';' inside it is part of the value), trimmed, with one pair of
// surrounding double or single quotes removed.
class IniDocument {
  public:
    [[nodiscard]] static IniDocument Parse(std::string_view bytes);

    [[nodiscard]] std::optional<std::string> Value(std::string_view section,
                                                   std::string_view key) const;
    // False when the key already held this value: its line is then left as it is.
    bool SetValue(std::string_view section, std::string_view key, std::string_view value);
    [[nodiscard]] std::string Bytes() const;

  private:
    struct Line {
        std::string text;  // as read, without its '\n' (a '\r' before it stays)
        std::string section;
        std::string key;         // empty unless the line is a "key=value" entry
        size_t valueOffset = 0;  // where the value starts in `text`
    };

    // Index of the first entry of `key` in `section`, or lines_.size().
    [[nodiscard]] size_t Find(std::string_view section, std::string_view key) const;
    // Behind the last entry of the section's first occurrence; lines_.size() without one.
    [[nodiscard]] std::optional<size_t> InsertionPoint(std::string_view section) const;
    void Insert(size_t index, std::string text, std::string_view section, std::string_view key);

    std::vector<Line> lines_;
    bool crlf_ = false;         // the file's lines end in CR LF
    bool finalNewline_ = true;  // the last line ends with a line break
};

}  // namespace kalhost

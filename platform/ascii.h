#pragma once

#include <string>
#include <string_view>

namespace pixolune::platform {

// Character classes and case for the words of protocols, settings and files:
// ASCII alone, whatever locale the host has set. The C library's own follow
// the locale: in a Turkish one tolower('I') is not 'i', so strcasecmp("IMAGE",
// "image") fails, and in a Latin-1 locale isalnum takes bytes of UTF-8 text.

[[nodiscard]] constexpr bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

[[nodiscard]] constexpr bool IsAsciiAlnum(char c) {
    return IsAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Blank, tab, line feed, vertical tab, form feed, carriage return.
[[nodiscard]] constexpr bool IsAsciiSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

[[nodiscard]] constexpr char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

[[nodiscard]] inline std::string AsciiLowered(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) c = AsciiLower(c);
    return lowered;
}

[[nodiscard]] constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

}  // namespace pixolune::platform

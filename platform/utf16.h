#pragma once

#include <string>
#include <string_view>

namespace pixolune::platform {

// UTF-8 to UTF-16. Every byte that does not begin a well-formed sequence
// (stray continuation bytes, overlong forms, surrogates, values past
// U+10FFFF, sequences cut short) becomes one U+FFFD; the rest is kept.
[[nodiscard]] std::u16string Utf8ToUtf16(std::string_view utf8);

// Appends `text` as UTF-16 little-endian bytes.
void AppendUtf16Le(std::string& bytes, std::u16string_view text);

}  // namespace pixolune::platform

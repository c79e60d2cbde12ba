#pragma once

#include <string>

namespace pixolune {

// The host's settings store, reached through callback codes 5 and 6. Without
// a callback a read yields what an untouched request holds: 0 or empty text.
[[nodiscard]] int ReadHostInt(const char* section, const char* key, int defaultValue);
[[nodiscard]] std::string ReadHostText(const char* section, const char* key,
                                       const char* defaultValue);
void WriteHostInt(const char* section, const char* key, int value);
void WriteHostText(const char* section, const char* key, const std::string& value);

}  // namespace pixolune

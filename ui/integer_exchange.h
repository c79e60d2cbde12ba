#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pixolune::ui {

// The exchange of a number edit on OK: white space around an optionally
// signed decimal number is allowed. Returns the number when it lies within
// the bounds, else nothing; the caller's message names the field and the
// bounds whatever was wrong, a number too large for 32 bits included.
[[nodiscard]] std::optional<int32_t> IntegerInRange(const std::string& text, int32_t minimum,
                                                    int32_t maximum);

// Removes leading and trailing white space (blank, \t, \n, \v, \f, \r).
[[nodiscard]] std::string TrimWhiteSpace(const std::string& text);

}  // namespace pixolune::ui

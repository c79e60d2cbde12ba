#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pixolune::ui {

// The dialog framework's exchange of a number edit on OK: white space around
// an optionally signed decimal number is allowed, anything else (or a number
// that does not fit 32 bits) brings "Enter an integer.", a number outside the
// bounds the range message. Returns the message on failure; `value` is
// written only on success.
[[nodiscard]] std::optional<std::string> ExchangeInteger(const std::string& text, int32_t minimum,
                                                         int32_t maximum, int32_t& value);

// Removes leading and trailing white space (as the C library's isspace knows it).
[[nodiscard]] std::string TrimWhiteSpace(const std::string& text);

}  // namespace pixolune::ui

#include "ui/integer_exchange.h"

#include <limits>

#include "platform/ascii.h"

namespace pixolune::ui {
namespace {

[[nodiscard]] std::optional<int64_t> ParseDecimal(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (!platform::IsAsciiDigit(text[i])) return std::nullopt;
        magnitude = magnitude * 10 + (text[i] - '0');
        // Past 32 bits the text is no integer the field can hold.
        if (magnitude > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
    }
    const int64_t number = negative ? -magnitude : magnitude;
    if (number > std::numeric_limits<int32_t>::max()) return std::nullopt;
    return number;
}

}  // namespace

std::string TrimWhiteSpace(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && platform::IsAsciiSpace(text[begin])) ++begin;
    while (end > begin && platform::IsAsciiSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::optional<int32_t> IntegerInRange(const std::string& text, int32_t minimum, int32_t maximum) {
    const std::optional<int64_t> number = ParseDecimal(TrimWhiteSpace(text));
    if (!number || *number < minimum || *number > maximum) return std::nullopt;
    return static_cast<int32_t>(*number);
}

}  // namespace pixolune::ui

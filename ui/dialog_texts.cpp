#include "ui/dialog_texts.h"

namespace pixolune::ui {

// Built by concatenation: names from the service never reach a format string.
std::string AuthenticatedAsText(const std::string& fullName, const std::string& userName) {
    return std::string(kTextAuthenticated) + "\n" + fullName + " (" + userName + ")";
}

std::string IntegerRangeText(int32_t minimum, int32_t maximum) {
    return "Enter an integer between " + std::to_string(minimum) + " and " +
           std::to_string(maximum) + ".";
}

}  // namespace pixolune::ui

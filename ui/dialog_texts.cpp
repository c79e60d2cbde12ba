#include "ui/dialog_texts.h"

#include "platform/ascii.h"

namespace pixolune::ui {

std::string WithoutClosingColon(std::string text) {
    if (!text.empty() && text.back() == ':') text.pop_back();
    return text;
}

std::string English(const UiText& text) {
    std::string out;
    const std::string& source = text.source;
    for (size_t i = 0; i < source.size(); ++i) {
        const bool placeholder = source[i] == '%' && i + 1 < source.size() &&
                                 platform::IsAsciiDigit(source[i + 1]) && source[i + 1] != '0';
        const size_t index = placeholder ? static_cast<size_t>(source[i + 1] - '1') : 0;
        if (placeholder && index < text.args.size()) {
            const UiArg& arg = text.args[index];
            out += arg.label ? WithoutClosingColon(arg.text) : arg.text;
            ++i;
            continue;
        }
        out += source[i];
    }
    return out;
}

UiText RangeMessage(const SettingRow& row) {
    return {row.texts.rangeMessage,
            {{std::to_string(row.range.lowest)}, {std::to_string(row.range.highest)}}};
}

// Names from the service are values, never part of a format.
UiText AuthenticatedAsText(const std::string& fullName, const std::string& userName) {
    return {kTextAuthenticatedAs, {{fullName}, {userName}}};
}

}  // namespace pixolune::ui

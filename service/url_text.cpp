#include "service/url_text.h"

#include "model/secret_mask.h"
#include "platform/ascii.h"

namespace pixolune {
namespace {

bool IsUnreserved(char c) {
    return platform::IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// The white space the tag list is trimmed of: blank, \t, \n, \v, \f, \r.
bool IsTagBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsTagBlank(text[begin])) ++begin;
    while (end > begin && IsTagBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

std::string PercentEncode(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(ch)) {
            encoded += ch;
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0xF];
        }
    }
    return encoded;
}

std::vector<std::string> SplitTags(const std::string& tags) {
    std::vector<std::string> list;
    size_t start = 0;
    while (start <= tags.size()) {
        size_t comma = tags.find(',', start);
        if (comma == std::string::npos) comma = tags.size();
        std::string tag = Trim(tags.substr(start, comma - start));
        if (!tag.empty()) list.push_back(std::move(tag));
        start = comma + 1;
    }
    return list;
}

std::string MaskAccessToken(const std::string& url, const std::string& token) {
    static const std::string kParameter = "access_token=";
    std::string masked;
    size_t copied = 0;
    for (size_t found = url.find(kParameter); found != std::string::npos;
         found = url.find(kParameter, found + 1)) {
        if (found > 0 && url[found - 1] != '?' && url[found - 1] != '&') continue;
        const size_t valueStart = found + kParameter.size();
        size_t valueEnd = url.find_first_of("&#", valueStart);
        if (valueEnd == std::string::npos) valueEnd = url.size();
        masked += url.substr(copied, valueStart - copied);
        masked += MaskSecret(url.substr(valueStart, valueEnd - valueStart));
        copied = valueEnd;
        found = valueEnd - 1;
    }
    masked += url.substr(copied);
    if (token.empty()) return masked;
    const std::string hidden = MaskSecret(token);
    for (size_t found = masked.find(token); found != std::string::npos;
         found = masked.find(token, found + hidden.size())) {
        masked.replace(found, token.size(), hidden);
    }
    return masked;
}

}  // namespace pixolune

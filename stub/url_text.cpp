#include "stub/url_text.h"

#include <vector>

namespace pixolune::stub {
namespace {

bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string PercentEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (IsUnreserved(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

std::string PercentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = HexValue(text[i + 1]);
            int low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string RemoveDotSegments(const std::string& path) {
    std::vector<std::string> segments;
    size_t start = 0;
    while (true) {
        size_t slash = path.find('/', start);
        segments.push_back(path.substr(start, slash == std::string::npos ? slash : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    std::vector<std::string> kept;
    for (size_t i = 0; i < segments.size(); ++i) {
        bool last = i + 1 == segments.size();
        if (segments[i] == "." || segments[i] == "..") {
            if (segments[i] == ".." && !kept.empty()) kept.pop_back();
            // "a/b/.." names the folder "a/", so the trailing slash stays.
            if (last) kept.emplace_back();
            continue;
        }
        kept.push_back(segments[i]);
    }
    std::string out;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) out.push_back('/');
        out += kept[i];
    }
    return out;
}

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string PathOfTarget(const std::string& target) {
    return target.substr(0, target.find('?'));
}

}  // namespace pixolune::stub

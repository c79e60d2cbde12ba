#include "engine/media_sniff.h"

#include <algorithm>
#include <cctype>

namespace pixolune {
namespace {

std::string Lowered(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lowered;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The media type alone, lowered, without parameters or blanks.
std::string MediaTypeOf(std::string_view contentType) {
    const size_t semicolon = contentType.find(';');
    std::string_view type = contentType.substr(0, semicolon);
    while (!type.empty() && IsBlank(type.front())) type.remove_prefix(1);
    while (!type.empty() && IsBlank(type.back())) type.remove_suffix(1);
    return Lowered(type);
}

bool IsDocumentType(const std::string& type) {
    if (type.rfind("text/", 0) == 0) return true;
    if (type.rfind("application/", 0) != 0) return false;
    return type == "application/json" || type == "application/xml" ||
           type == "application/xhtml+xml" || EndsWith(type, "+json") || EndsWith(type, "+xml");
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The body without leading white space and UTF-8 byte-order marks.
std::string_view Significant(std::string_view head) {
    for (;;) {
        if (!head.empty() && IsBlank(head.front()))
            head.remove_prefix(1);
        else if (head.substr(0, kBom.size()) == kBom)
            head.remove_prefix(kBom.size());
        else
            return head;
    }
}

}  // namespace

bool MediaSniffer::CheckContentType(std::string_view contentType) {
    const std::string type = MediaTypeOf(contentType);
    if (IsDocumentType(type)) {
        reason_ = type;
        decided_ = true;
    }
    return !IsNotMedia();
}

bool MediaSniffer::Inspect(const char* data, size_t size) {
    if (decided_) return !IsNotMedia();
    head_.append(data, std::min(size, kHeadBytes - head_.size()));
    ClassifyHead(head_.size() >= kHeadBytes);
    return !IsNotMedia();
}

bool MediaSniffer::Finish() {
    if (!decided_) ClassifyHead(true);
    return !IsNotMedia();
}

void MediaSniffer::ClassifyHead(bool complete) {
    const std::string_view body = Significant(head_);
    if (body.empty()) {
        if (complete) {
            reason_ = head_.empty() ? "empty body" : "white space only";
            decided_ = true;
        }
        return;
    }
    // A byte-order mark cut between two pieces.
    if (!complete && body.size() < kBom.size() && kBom.substr(0, body.size()) == body) return;
    struct Opening {
        std::string_view text;
        const char* what;
    };
    static constexpr Opening kOpenings[] = {{"<!doctype html", "HTML document"},
                                            {"<html", "HTML document"},
                                            {"<?xml", "XML document"},
                                            {"{", "JSON document"},
                                            {"[", "JSON document"}};
    const std::string start = Lowered(body.substr(0, 14));
    bool mayStillMatch = false;
    for (const Opening& opening : kOpenings) {
        if (start.rfind(opening.text, 0) == 0) {
            reason_ = opening.what;
            decided_ = true;
            return;
        }
        if (opening.text.substr(0, start.size()) == start) mayStillMatch = true;
    }
    decided_ = complete || !mayStillMatch;
}

}  // namespace pixolune

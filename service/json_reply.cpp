#include "service/json_reply.h"

#include <json/reader.h>

#include <memory>

namespace pixolune {
namespace {

// Replies are a few levels deep; the bound keeps hostile nesting from
// exhausting the stack (jsoncpp then throws, which is caught below).
constexpr int kMaxNestingLevels = 64;

std::unique_ptr<Json::CharReader> MakeReader() {
    // CharReaderBuilder rather than the deprecated Json::Reader: it accepts
    // the same replies and lets us bound the nesting. Comments are allowed,
    // as the service's replies have always been read with them.
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    builder["collectComments"] = false;
    builder["stackLimit"] = kMaxNestingLevels;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

const Json::Value& NullValue() {
    static const Json::Value null;
    return null;
}

}  // namespace

bool ParseJsonReply(std::string_view reply, Json::Value& root) {
    root = Json::Value();
    try {
        const std::unique_ptr<Json::CharReader> reader = MakeReader();
        return reader->parse(reply.data(), reply.data() + reply.size(), &root, nullptr);
    } catch (const Json::Exception&) {
        root = Json::Value();
        return false;
    }
}

const Json::Value* FindMember(const Json::Value& object, const char* name) {
    return object.find(name, name + std::char_traits<char>::length(name));
}

bool ReadStringMember(const Json::Value& object, const char* name, std::string& out) {
    const Json::Value* member = FindMember(object, name);
    out.clear();
    if (!member || member->isNull()) return true;
    if (!member->isString()) return false;
    out = member->asCString();  // up to a first NUL, as replies have always been read
    return true;
}

const Json::Value& ObjectMember(const Json::Value& object, const char* name, bool& typeMatches) {
    const Json::Value* member = FindMember(object, name);
    if (!member || member->isNull()) return NullValue();
    if (!member->isObject()) {
        typeMatches = false;
        return NullValue();
    }
    return *member;
}

}  // namespace pixolune

#pragma once

#include <json/value.h>

#include <string_view>

namespace pixolune {

// Parses a whole API reply into `root`. False for anything that is not one
// well-formed JSON text, nesting deeper than a reply ever needs included;
// never throws.
[[nodiscard]] bool ParseJsonReply(std::string_view reply, Json::Value& root);

// The member `name` of `object`, or null when it has none. `object` must be an object.
[[nodiscard]] const Json::Value* FindMember(const Json::Value& object, const char* name);

// The member `name` of `object` as text. Absent or null gives "" and true; a
// member of another type gives false. `object` must be an object.
[[nodiscard]] bool ReadStringMember(const Json::Value& object, const char* name, std::string& out);

// The member `name` of `object` when it is an object, else a null value;
// `typeMatches` turns false when the member exists with another type.
[[nodiscard]] const Json::Value& ObjectMember(const Json::Value& object, const char* name,
                                              bool& typeMatches);

}  // namespace pixolune

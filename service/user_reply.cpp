#include "service/user_reply.h"

#include <json/value.h>

#include "service/json_reply.h"

namespace pixolune {

UserReply ParseUserReply(std::string_view reply) {
    UserReply user;
    Json::Value root;
    if (!ParseJsonReply(reply, root) || !root.isObject()) return user;
    bool typeMatches = true;
    const Json::Value& data = ObjectMember(root, "data", typeMatches);
    if (data.isNull()) return user;
    if (!ReadStringMember(data, "username", user.userName) ||
        !ReadStringMember(data, "full_name", user.fullName)) {
        return UserReply{};
    }
    user.ok = true;
    return user;
}

}  // namespace pixolune

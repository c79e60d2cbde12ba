#pragma once

#include <string>
#include <string_view>

namespace pixolune {

// The account a token belongs to, from the reply of "/users/self/".
struct UserReply {
    bool ok = false;  // false: not JSON, no "data", or a member of another JSON type
    std::string fullName;
    std::string userName;
};

// Never throws, whatever the reply holds.
[[nodiscard]] UserReply ParseUserReply(std::string_view reply);

}  // namespace pixolune

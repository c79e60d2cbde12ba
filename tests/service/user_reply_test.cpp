#include "service/user_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace pixolune {
namespace {

struct UserCase {
    const char* name;
    std::string reply;
    bool ok;
    std::string fullName;
    std::string userName;
};

class UserReplyTest : public ::testing::TestWithParam<UserCase> {};

TEST_P(UserReplyTest, ReadsBothNamesOrFails) {
    const UserCase& c = GetParam();
    const UserReply user = ParseUserReply(c.reply);
    EXPECT_EQ(user.ok, c.ok);
    EXPECT_EQ(user.fullName, c.fullName);
    EXPECT_EQ(user.userName, c.userName);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, UserReplyTest,
    ::testing::Values(
        UserCase{"both_names", R"({"data":{"username":"alice","full_name":"Alice Example"}})", true,
                 "Alice Example", "alice"},
        UserCase{"no_full_name", R"({"data":{"username":"bob"}})", true, "", "bob"},
        UserCase{"null_full_name", R"({"data":{"username":"bob","full_name":null}})", true, "",
                 "bob"},
        UserCase{"meta_not_read", R"({"meta":{"code":400},"data":{"username":"c"}})", true, "",
                 "c"},
        UserCase{"data_missing", R"({"meta":{"code":200}})", false, "", ""},
        UserCase{"data_null", R"({"data":null})", false, "", ""},
        UserCase{"html_page", "<html><body>Sign in</body></html>", false, "", ""},
        UserCase{"empty", "", false, "", ""},
        UserCase{"top_level_string", R"("alice")", false, "", ""},
        UserCase{"data_array", R"({"data":["alice"]})", false, "", ""},
        UserCase{"username_number", R"({"data":{"username":7,"full_name":"A"}})", false, "", ""},
        UserCase{"full_name_object", R"({"data":{"username":"a","full_name":{}}})", false, "", ""},
        UserCase{"deep_nesting", R"({"data":)" + std::string(100000, '['), false, "", ""}),
    [](const ::testing::TestParamInfo<UserCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pixolune

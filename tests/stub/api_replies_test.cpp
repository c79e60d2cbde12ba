#include "stub/api_replies.h"

#include <gtest/gtest.h>

namespace pixolune::stub {
namespace {

std::vector<ScenarioItem> Items(int count) {
    std::vector<ScenarioItem> items(count);
    for (int i = 0; i < count; ++i) {
        items[i].media = "m" + std::to_string(i) + ".jpg";
        items[i].user = "Owner " + std::to_string(i);
        items[i].captionFrom = "From " + std::to_string(i);
        if (i % 2 == 0) items[i].caption = "Caption " + std::to_string(i);
    }
    items[1].type = "video";
    items[1].media = "clip.mp4";
    return items;
}

FeedPageRequest Page(const std::vector<ScenarioItem>& items, size_t offset) {
    FeedPageRequest request;
    request.baseUrl = "http://127.0.0.1:1";
    request.apiPath = "/v1/users/self/media/recent";
    request.feedKey = "recent";
    request.items = &items;
    request.offset = offset;
    request.pageSize = 2;
    request.token = "tok a";
    return request;
}

TEST(FeedPageTest, CarriesTheMembersTheClientReads) {
    auto items = Items(3);
    Json::Value page = FeedPage(Page(items, 0));
    EXPECT_EQ(page["meta"]["code"].asInt(), 200);
    ASSERT_EQ(page["data"].size(), 2u);
    const Json::Value& photo = page["data"][0];
    EXPECT_EQ(photo["type"].asString(), "image");
    EXPECT_EQ(photo["images"]["standard_resolution"]["url"].asString(),
              "http://127.0.0.1:1/media/m0.jpg");
    EXPECT_EQ(photo["caption"]["text"].asString(), "Caption 0");
    EXPECT_EQ(photo["caption"]["from"]["full_name"].asString(), "From 0");
    EXPECT_EQ(photo["user"]["full_name"].asString(), "Owner 0");
    for (const char* ignored : {"id", "created_time", "link"}) EXPECT_TRUE(photo.isMember(ignored));
    const Json::Value& video = page["data"][1];
    EXPECT_TRUE(video["caption"].isNull());
    EXPECT_EQ(video["videos"]["standard_resolution"]["url"].asString(),
              "http://127.0.0.1:1/media/clip.mp4");
    EXPECT_NE(video["images"]["standard_resolution"]["url"].asString(),
              video["videos"]["standard_resolution"]["url"].asString());
}

TEST(FeedPageTest, NextUrlLeadsToTheNextPageAndIsAbsentOnTheLast) {
    auto items = Items(3);
    EXPECT_EQ(FeedPage(Page(items, 0))["pagination"]["next_url"].asString(),
              "http://127.0.0.1:1/v1/users/self/media/recent?access_token=tok%20a&max_id=2");
    Json::Value last = FeedPage(Page(items, 2));
    EXPECT_EQ(last["data"].size(), 1u);
    EXPECT_FALSE(last["pagination"].isMember("next_url"));
    EXPECT_EQ(FeedPage(Page(items, 9))["data"].size(), 0u);
}

TEST(ItemUrlTest, ReplacesEveryBasePlaceholderAndEncodesMediaNames) {
    ScenarioItem item;
    item.url = "{base}/media/x.jpg?next={base}/y";
    EXPECT_EQ(ItemUrl("http://h:1", item), "http://h:1/media/x.jpg?next=http://h:1/y");
    EXPECT_EQ(MediaUrl("http://h:1", "dir/a b#.jpg"), "http://h:1/media/dir/a%20b%23.jpg");
}

struct WrongTypeCase {
    const char* variant;
    const char* pointer;  // member that must have changed type, as "a/b/c"; "0" = array index
    Json::ValueType type;
};

void PrintTo(const WrongTypeCase& c, std::ostream* out) {
    *out << c.variant << " " << c.pointer;
}

const Json::Value& At(const Json::Value& root, const std::string& pointer) {
    const Json::Value* value = &root;
    size_t start = 0;
    while (start < pointer.size()) {
        size_t slash = pointer.find('/', start);
        std::string part =
            pointer.substr(start, slash == std::string::npos ? slash : slash - start);
        value = value->isArray() ? &(*value)[std::stoi(part)] : &(*value)[part];
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return *value;
}

class WrongTypesTest : public ::testing::TestWithParam<WrongTypeCase> {};

TEST_P(WrongTypesTest, ReplacesTheNamedMember) {
    auto items = Items(3);
    Json::Value page = FeedPage(Page(items, 0));
    ApplyWrongTypes(page, GetParam().variant);
    EXPECT_EQ(At(page, GetParam().pointer).type(), GetParam().type) << GetParam().variant;
}

INSTANTIATE_TEST_SUITE_P(
    Variants, WrongTypesTest,
    ::testing::Values(
        WrongTypeCase{"code_string", "meta/code", Json::stringValue},
        WrongTypeCase{"code_object", "meta/code", Json::objectValue},
        WrongTypeCase{"meta_array", "meta", Json::arrayValue},
        WrongTypeCase{"data_object", "data", Json::objectValue},
        WrongTypeCase{"data_string", "data", Json::stringValue},
        WrongTypeCase{"top_array", "", Json::arrayValue},
        WrongTypeCase{"caption_string", "data/0/caption", Json::stringValue},
        WrongTypeCase{"images_array", "data/0/images", Json::arrayValue},
        WrongTypeCase{"url_number", "data/0/images/standard_resolution/url", Json::intValue},
        WrongTypeCase{"url_number", "data/1/videos/standard_resolution/url", Json::intValue},
        WrongTypeCase{"user_string", "data/0/user", Json::stringValue},
        WrongTypeCase{"next_url_number", "pagination/next_url", Json::intValue},
        WrongTypeCase{"names_not_strings", "data/0/type", Json::intValue}));

TEST(AccountReplyTest, LeavesOutAnEmptyFullName) {
    Account account;
    account.username = "carol";
    account.id = "7";
    Json::Value reply = AccountReply(account);
    EXPECT_EQ(reply["data"]["username"].asString(), "carol");
    EXPECT_FALSE(reply["data"].isMember("full_name"));
}

}  // namespace
}  // namespace pixolune::stub

#include "stub/scenario.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace pixolune::stub {
namespace {

TEST(ParseScenarioTest, ReadsTokensFeedsTagsAndItemMembers) {
    Scenario scenario = ParseScenario(R"({
        "page_size": 3,
        "tokens": {"tok-x": {"username": "xavier", "full_name": "Xavier X", "password": "pw"}},
        "feeds": {
            "feed": [{"type": "image", "media": "a.jpg", "caption": "Hi", "caption_from": "C",
                      "user": "U", "size": 1234},
                     {"type": "odd", "url": "{base}/media/b/", "caption": null}],
            "tags": {"new york": [{"type": "video", "media": "ny.mp4"}]}
        }})");
    EXPECT_EQ(scenario.pageSize, 3);
    ASSERT_NE(scenario.FindByToken("tok-x"), nullptr);
    EXPECT_EQ(scenario.FindByToken("tok-x")->fullName, "Xavier X");
    EXPECT_EQ(scenario.FindByUsername("xavier")->password, "pw");
    EXPECT_EQ(scenario.FindByToken("tok-alice"), nullptr);
    const auto& feed = scenario.feeds.at("feed");
    ASSERT_EQ(feed.size(), 2u);
    EXPECT_EQ(feed[0].caption.value_or(""), "Hi");
    EXPECT_EQ(feed[0].captionFrom, "C");
    EXPECT_EQ(feed[0].size.value_or(0), 1234u);
    EXPECT_EQ(feed[1].type, "odd");
    EXPECT_FALSE(feed[1].caption.has_value());
    EXPECT_EQ(scenario.tags.at("new york")[0].media, "ny.mp4");
}

TEST(ParseScenarioTest, WithoutTokensTheDefaultAccountIsUsed) {
    Scenario scenario = ParseScenario("{}");
    ASSERT_NE(scenario.FindByToken("tok-alice"), nullptr);
    EXPECT_EQ(scenario.FindByUsername("alice")->password, "secret");
}

class BadScenarioTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BadScenarioTest, IsRefusedWithAReason) {
    EXPECT_THROW(ParseScenario(GetParam()), std::runtime_error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadScenarioTest,
    ::testing::Values("", "[1]", "{\"page_size\": 0}", "{\"page_size\": \"20\"}",
                      "{\"tokens\": []}", "{\"feeds\": {\"feed\": {}}}",
                      "{\"feeds\": {\"feed\": [{\"type\": \"image\"}]}}",
                      "{\"feeds\": {\"feed\": [{\"media\": \"a.jpg\", \"size\": -1}]}}",
                      "{\"feeds\": {\"tags\": {\"x\": [7]}}}", "{\"feeds\": {\"feed\": [] "));

TEST(GenerateScenarioTest, TheSameSeedGivesTheSameScenario) {
    Scenario first = GenerateScenario("items=30,seed=7,videos=4,media_size=5000");
    Scenario second = GenerateScenario("items=30,seed=7,videos=4,media_size=5000");
    Scenario other = GenerateScenario("items=30,seed=8,videos=4,media_size=5000");
    ASSERT_EQ(first.feeds.at("feed").size(), 30u);
    bool sameAsOther = true;
    for (size_t i = 0; i < 30; ++i) {
        const auto& a = first.feeds.at("feed")[i];
        const auto& b = second.feeds.at("feed")[i];
        EXPECT_EQ(a.media, b.media);
        EXPECT_EQ(a.caption, b.caption);
        EXPECT_EQ(a.user, b.user);
        EXPECT_EQ(a.size.value_or(0), 5000u);
        sameAsOther = sameAsOther && a.caption == other.feeds.at("feed")[i].caption &&
                      a.type == other.feeds.at("feed")[i].type;
    }
    EXPECT_FALSE(sameAsOther);
}

TEST(GenerateScenarioTest, PlacesTheRequestedNumberOfVideosInEveryFeed) {
    Scenario scenario = GenerateScenario("items=10,seed=1,videos=3");
    for (const char* key : {"feed", "recent", "popular", "liked"}) {
        int videos = 0;
        for (const auto& item : scenario.feeds.at(key)) videos += item.type == "video";
        EXPECT_EQ(videos, 3) << key;
    }
    EXPECT_EQ(scenario.tags.at("sunset").size(), 10u);
}

class BadGenerateSpecTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BadGenerateSpecTest, IsRefused) {
    EXPECT_THROW(GenerateScenario(GetParam()), std::runtime_error);
}

INSTANTIATE_TEST_SUITE_P(Cases, BadGenerateSpecTest,
                         ::testing::Values("items=5", "seed=1", "items=x,seed=1",
                                           "items=5,seed=1,colour=2", "items=5;seed=1",
                                           "items=-1,seed=1", "items=5 ,seed=1"));

}  // namespace
}  // namespace pixolune::stub

#include "service/feed_reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pixolune {
namespace {

std::string Photo(const std::string& url, const std::string& caption = "Sun",
                  const std::string& type = "image") {
    return R"({"type":")" + type + R"(","images":{"standard_resolution":{"url":")" + url +
           R"("}},"caption":{"text":")" + caption +
           R"(","from":{"full_name":"Cap Author"}},"user":{"full_name":"Poster"}})";
}

std::string Reply(const std::string& elements, const std::string& extra = "") {
    return R"({"meta":{"code":200},"data":[)" + elements + "]" + extra + "}";
}

const std::string kVideo =
    R"({"type":"VIDEO","videos":{"standard_resolution":{"url":"http://m/v.mp4"}},)"
    R"("images":{"standard_resolution":{"url":"http://m/v.jpg"}},"caption":null,"user":{"full_name":"V"}})";

struct ReplyCase {
    const char* name;
    std::string reply;
    int type = kFeedMyMedia;
    MediaKinds kinds{true, true};
    int wanted = 100;
    FeedReplyStatus status = FeedReplyStatus::Ok;
    std::vector<std::string> urls;
    std::string wrongMember;
    std::string nextUrl;
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class FeedReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(FeedReplyTest, ReadsStatusItemsAndNextUrl) {
    const ReplyCase& c = GetParam();
    const FeedPage page = ParseFeedReply(c.reply, c.type, c.kinds, c.wanted);
    EXPECT_EQ(page.status, c.status);
    std::vector<std::string> urls;
    for (const CPixoluneItem& item : page.items) urls.push_back(item.Url);
    EXPECT_EQ(urls, c.urls);
    EXPECT_EQ(page.wrongMember, c.wrongMember);
    EXPECT_EQ(page.nextUrl, c.nextUrl);
}

const std::string kTwoPhotosAndVideo =
    Reply(Photo("http://m/1.jpg") + "," + kVideo + "," + Photo("http://m/2.jpg"),
          R"(,"pagination":{"next_url":"http://api/next"})");

INSTANTIATE_TEST_SUITE_P(
    Replies, FeedReplyTest,
    ::testing::Values(
        ReplyCase{"photos_and_videos",
                  kTwoPhotosAndVideo,
                  kFeedMyMedia,
                  {true, true},
                  100,
                  FeedReplyStatus::Ok,
                  {"http://m/1.jpg", "http://m/v.mp4", "http://m/2.jpg"},
                  "",
                  "http://api/next"},
        ReplyCase{"photos_only",
                  kTwoPhotosAndVideo,
                  kFeedMyMedia,
                  {true, false},
                  100,
                  FeedReplyStatus::Ok,
                  {"http://m/1.jpg", "http://m/2.jpg"},
                  "",
                  "http://api/next"},
        ReplyCase{"videos_only_any_case",
                  kTwoPhotosAndVideo,
                  kFeedMyMedia,
                  {false, true},
                  100,
                  FeedReplyStatus::Ok,
                  {"http://m/v.mp4"},
                  "",
                  "http://api/next"},
        ReplyCase{"neither_kind",
                  kTwoPhotosAndVideo,
                  kFeedMyMedia,
                  {false, false},
                  100,
                  FeedReplyStatus::Ok,
                  {},
                  "",
                  "http://api/next"},
        ReplyCase{"cut_at_wanted_skips_next_url",
                  kTwoPhotosAndVideo,
                  kFeedMyMedia,
                  {true, true},
                  2,
                  FeedReplyStatus::Ok,
                  {"http://m/1.jpg", "http://m/v.mp4"},
                  "",
                  ""},
        ReplyCase{"nothing_wanted",
                  kTwoPhotosAndVideo,
                  kFeedMyMedia,
                  {true, true},
                  0,
                  FeedReplyStatus::Ok,
                  {},
                  "",
                  ""},
        ReplyCase{"popular_ignores_next_url",
                  kTwoPhotosAndVideo,
                  kFeedPopular,
                  {true, false},
                  100,
                  FeedReplyStatus::Ok,
                  {"http://m/1.jpg", "http://m/2.jpg"},
                  "",
                  ""},
        ReplyCase{"unknown_and_missing_type_skipped",
                  Reply(Photo("http://m/c.jpg", "x", "carousel") +
                        R"(,{"images":{"standard_resolution":{"url":"http://m/n.jpg"}}},null)"),
                  kFeedMyMedia,
                  {true, true},
                  100,
                  FeedReplyStatus::Ok,
                  {},
                  "",
                  ""},
        ReplyCase{
            "photo_without_url_skipped",
            Reply(R"({"type":"image","images":{"low_resolution":{"url":"http://m/l.jpg"}}},)" +
                  Photo("")),
            kFeedMyMedia,
            {true, true},
            100,
            FeedReplyStatus::Ok,
            {},
            "",
            ""},
        ReplyCase{"comments_allowed",
                  "/* c */" + Reply(Photo("http://m/1.jpg")) + "// end",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::Ok,
                  {"http://m/1.jpg"},
                  "",
                  ""},
        ReplyCase{"not_json",
                  "<html>login</html>",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::NotJson,
                  {},
                  "",
                  ""},
        ReplyCase{"truncated",
                  kTwoPhotosAndVideo.substr(0, 80),
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::NotJson,
                  {},
                  "",
                  ""},
        ReplyCase{"empty", "", kFeedMine, {true, true}, 100, FeedReplyStatus::NotJson, {}, "", ""},
        ReplyCase{"deep_nesting",
                  std::string(100000, '['),
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::NotJson,
                  {},
                  "",
                  ""},
        ReplyCase{"meta_missing",
                  R"({"data":[]})",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::MetaMissing,
                  {},
                  "",
                  ""},
        ReplyCase{"meta_null",
                  R"({"meta":null,"data":[]})",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::MetaMissing,
                  {},
                  "",
                  ""},
        ReplyCase{"server_error",
                  R"({"meta":{"code":400,"error_message":"bad token"}})",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::ServerError,
                  {},
                  "",
                  ""},
        ReplyCase{"code_missing_reads_as_zero",
                  R"({"meta":{},"data":[]})",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::ServerError,
                  {},
                  "",
                  ""},
        ReplyCase{"data_missing",
                  R"({"meta":{"code":200}})",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::DataMissing,
                  {},
                  "",
                  ""},
        ReplyCase{"top_level_array",
                  "[1,2]",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "(top level)",
                  ""},
        ReplyCase{"meta_string",
                  R"({"meta":"ok","data":[]})",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "meta",
                  ""},
        ReplyCase{"code_string",
                  R"({"meta":{"code":"200"},"data":[]})",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "meta.code",
                  ""},
        ReplyCase{"code_object",
                  R"({"meta":{"code":{}},"data":[]})",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "meta.code",
                  ""},
        ReplyCase{"code_too_large",
                  R"({"meta":{"code":1e30},"data":[]})",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "meta.code",
                  ""},
        ReplyCase{"error_message_number",
                  R"({"meta":{"code":500,"error_message":5}})",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "meta.error_message",
                  ""},
        ReplyCase{"data_object",
                  R"({"meta":{"code":200},"data":{"0":{}}})",
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "data",
                  ""},
        ReplyCase{"element_number",
                  Reply(Photo("http://m/1.jpg") + ",7"),
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "data[1]",
                  ""},
        ReplyCase{"type_number",
                  Reply(R"({"type":1})"),
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "data[0].type",
                  ""},
        ReplyCase{"images_string",
                  Reply(R"({"type":"image","images":"x"})"),
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "data[0].images",
                  ""},
        ReplyCase{"url_array",
                  Reply(R"({"type":"image","images":{"standard_resolution":{"url":[]}}})"),
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "data[0].images.standard_resolution.url",
                  ""},
        ReplyCase{
            "caption_string_for_type_2",
            Reply(R"({"type":"image","images":{"standard_resolution":{"url":"u"}},"caption":"c"})"),
            kFeedMyMedia,
            {true, true},
            100,
            FeedReplyStatus::WrongType,
            {},
            "data[0].caption",
            ""},
        ReplyCase{
            "caption_not_read_for_type_1",
            Reply(R"({"type":"image","images":{"standard_resolution":{"url":"u"}},"caption":"c"})"),
            kFeedMine,
            {true, true},
            100,
            FeedReplyStatus::Ok,
            {"u"},
            "",
            ""},
        ReplyCase{
            "user_number_for_type_5",
            Reply(R"({"type":"image","images":{"standard_resolution":{"url":"u"}},"user":3})"),
            kFeedTagged,
            {true, true},
            100,
            FeedReplyStatus::WrongType,
            {},
            "data[0].user",
            ""},
        ReplyCase{
            "videos_not_read_for_photo",
            Reply(R"({"type":"image","images":{"standard_resolution":{"url":"u"}},"videos":3})"),
            kFeedMine,
            {true, true},
            100,
            FeedReplyStatus::Ok,
            {"u"},
            "",
            ""},
        ReplyCase{"next_url_number",
                  Reply(Photo("u"), R"(,"pagination":{"next_url":9})"),
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "pagination.next_url",
                  ""},
        ReplyCase{"pagination_array",
                  Reply(Photo("u"), R"(,"pagination":[])"),
                  kFeedMine,
                  {true, true},
                  100,
                  FeedReplyStatus::WrongType,
                  {},
                  "pagination",
                  ""},
        ReplyCase{"pagination_not_read_once_cut",
                  Reply(Photo("u"), R"(,"pagination":[])"),
                  kFeedMine,
                  {true, true},
                  1,
                  FeedReplyStatus::Ok,
                  {"u"},
                  "",
                  ""}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

struct FieldCase {
    int type;
    std::string caption;
    std::string owner;
};

class FeedReplyFieldsTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FeedReplyFieldsTest, CaptionAndOwnerFollowTheFeedType) {
    const FieldCase& c = GetParam();
    const FeedPage page =
        ParseFeedReply(Reply(Photo("http://m/1.jpg", "Evening")), c.type, MediaKinds{}, 10);
    ASSERT_EQ(page.items.size(), 1u);
    EXPECT_EQ(page.items[0].Caption, c.caption);
    EXPECT_EQ(page.items[0].Owner, c.owner);
}

INSTANTIATE_TEST_SUITE_P(Types, FeedReplyFieldsTest,
                         ::testing::Values(FieldCase{kFeedMine, "", "Poster"},
                                           FieldCase{kFeedMyMedia, "Evening", "Cap Author"},
                                           FieldCase{kFeedPopular, "Evening", "Cap Author"},
                                           FieldCase{kFeedLiked, "", "Poster"},
                                           FieldCase{kFeedTagged, "Evening", "Poster"}));

TEST(FeedReplyDetailTest, NullCaptionGivesEmptyCaptionAndOwnerButKeepsTheItem) {
    const FeedPage page = ParseFeedReply(Reply(kVideo), kFeedMyMedia, MediaKinds{}, 10);
    ASSERT_EQ(page.items.size(), 1u);
    EXPECT_EQ(page.items[0].Url, "http://m/v.mp4");
    EXPECT_EQ(page.items[0].Caption, "");
    EXPECT_EQ(page.items[0].Owner, "");
}

TEST(FeedReplyDetailTest, ReportsDataSizeAndServerErrorText) {
    EXPECT_EQ(ParseFeedReply(kTwoPhotosAndVideo, kFeedMine, MediaKinds{}, 1).dataSize, 3);
    const FeedPage error =
        ParseFeedReply(R"({"meta":{"code":400,"error_message":"bad token"}})", kFeedMine, {}, 5);
    EXPECT_EQ(error.code, 400);
    EXPECT_EQ(error.errorMessage, "bad token");
}

TEST(FeedReplyDetailTest, Utf8CaptionKeptAsSent) {
    const FeedPage page =
        ParseFeedReply(Reply(Photo("u", "Gr\\u00fc\\u00dfe \xE2\x98\x80")), kFeedTagged, {}, 5);
    ASSERT_EQ(page.items.size(), 1u);
    EXPECT_EQ(page.items[0].Caption,
              "Gr\xC3\xBC\xC3\x9F"
              "e \xE2\x98\x80");
}

}  // namespace
}  // namespace pixolune

#include "model/host_link.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_host.h"
#include "model/secret_mask.h"
#include "plugin/settings_io.h"
#include "service/service_addresses.h"

namespace pixolune::test {
namespace {

class HostLinkTest : public ::testing::Test {
  protected:
    void SetUp() override { SetHostCallback(&FakeHost::Callback); }
    void TearDown() override { SetHostCallback(nullptr); }
    FakeHost host;
};

TEST_F(HostLinkTest, LongLinesAreCutToTheBufferWithoutSplittingACharacter) {
    const std::string ascii(5000, 'a');
    Log("%s", ascii.c_str());
    std::string twoByteRun;
    for (int i = 0; i < 1500; ++i) twoByteRun += "\xC3\xA9";  // é
    Log("x%s", twoByteRun.c_str());
    const auto lines = host.LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(kLogBufferSize - 1, 'a'));
    EXPECT_LT(lines[1].size(), static_cast<size_t>(kLogBufferSize));
    EXPECT_EQ((lines[1].size() - 1) % 2, 0u) << "the cut falls between two characters";
}

TEST_F(HostLinkTest, NoCallbackMeansNoCall) {
    SetHostCallback(nullptr);
    Log("nobody hears this");
    RequestSlideShowRestart();
    EXPECT_TRUE(host.LogLines().empty());
    EXPECT_EQ(host.RestartRequests(), 0);
}

TEST_F(HostLinkTest, RestartRequestCarriesFiveAndOne) {
    RequestSlideShowRestart();
    ASSERT_EQ(host.RestartRequests(), 1);
    EXPECT_EQ(host.RestartParams()[0], std::make_pair(intptr_t{5}, intptr_t{1}));
}

TEST(MaskSecretTest, ShowsAtMostTheLastFourCharacters) {
    EXPECT_EQ(MaskSecret(""), "(none)");
    EXPECT_EQ(MaskSecret("short"), "\xE2\x80\xA6");
    EXPECT_EQ(MaskSecret("0123456789abcdef"),
              "\xE2\x80\xA6"
              "cdef");
}

TEST(ClientIdTest, DependsOnlyOnWhetherTheHostIsTheSecondProduct) {
    EXPECT_STREQ(ClientId(1), "d93b02f7e5c84a1fb6e07d25a9c3e418");
    for (int variant : {0, 2, -1})
        EXPECT_STREQ(ClientId(variant), "7c1e9d30b6a24f58a0d3e2b9c4f61a87");
}

}  // namespace
}  // namespace pixolune::test

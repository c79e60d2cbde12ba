#include "stub/oauth_flow.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <map>

#include "tests/support/stub_server.h"

namespace pixolune::test {
namespace {

const std::string kClientId = "7c1e9d30b6a24f58a0d3e2b9c4f61a87";
const std::string kOtherClientId = "d93b02f7e5c84a1fb6e07d25a9c3e418";

// The hidden fields of the page's form, as a browser would send them back.
httplib::Params HiddenFields(const std::string& html) {
    httplib::Params fields;
    const std::string start = "<input type=\"hidden\" name=\"";
    for (size_t at = html.find(start); at != std::string::npos; at = html.find(start, at + 1)) {
        size_t nameStart = at + start.size();
        size_t nameEnd = html.find('"', nameStart);
        const std::string valueMark = "\" value=\"";
        if (html.compare(nameEnd, valueMark.size(), valueMark) != 0) continue;
        size_t valueStart = nameEnd + valueMark.size();
        size_t valueEnd = html.find('"', valueStart);
        fields.emplace(html.substr(nameStart, nameEnd - nameStart),
                       html.substr(valueStart, valueEnd - valueStart));
    }
    return fields;
}

bool HasElement(const std::string& html, const std::string& id) {
    return html.find("id=\"" + id + "\"") != std::string::npos;
}

class OAuthFlowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { stub_ = std::make_unique<StubServer>(); }
    static void TearDownTestSuite() { stub_.reset(); }

    std::string RedirectUri() const { return stub_->BaseUrl() + "/ir.php"; }

    // The plug-in sends the redirect address unencoded, so the test does too.
    httplib::Result OpenAuthorize(const std::string& clientId, const std::string& state = "") {
        std::string target = "/oauth/authorize/?client_id=" + clientId +
                             "&redirect_uri=" + RedirectUri() + "&response_type=token";
        if (!state.empty()) target += "&state=" + state;
        return client_.Get(target.c_str());
    }

    httplib::Result Submit(httplib::Params fields) {
        return client_.Post("/oauth/authorize/", fields);
    }

    // Login form filled in and sent; returns the consent page.
    std::string LogIn(const std::string& user, const std::string& password,
                      const std::string& state = "") {
        auto form = OpenAuthorize(kClientId, state);
        EXPECT_TRUE(form);
        httplib::Params fields = HiddenFields(form->body);
        fields.emplace("username", user);
        fields.emplace("password", password);
        auto consent = Submit(fields);
        EXPECT_TRUE(consent);
        EXPECT_EQ(consent->status, 200);
        return consent->body;
    }

    std::string Decide(const std::string& consentPage, const std::string& decision) {
        httplib::Params fields = HiddenFields(consentPage);
        fields.emplace("decision", decision);
        auto answer = Submit(fields);
        EXPECT_TRUE(answer);
        EXPECT_EQ(answer->status, 302);
        return answer->get_header_value("Location");
    }

    static std::unique_ptr<StubServer> stub_;
    httplib::Client client_{stub_->BaseUrl()};
};

std::unique_ptr<StubServer> OAuthFlowTest::stub_;

TEST_F(OAuthFlowTest, TheAuthorizePageShowsTheLoginForm) {
    auto page = OpenAuthorize(kClientId);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    for (const char* id : {"username", "password", "login"})
        EXPECT_TRUE(HasElement(page->body, id)) << id;
    EXPECT_FALSE(HasElement(page->body, "error"));
}

TEST_F(OAuthFlowTest, AllowRedirectsWithTheUsersTokenInTheFragment) {
    std::string consent = LogIn("alice", "secret");
    EXPECT_TRUE(HasElement(consent, "allow"));
    EXPECT_TRUE(HasElement(consent, "deny"));
    EXPECT_EQ(Decide(consent, "allow"), RedirectUri() + "#access_token=tok-alice");
    EXPECT_EQ(Decide(LogIn("bob", "hunter2"), "allow"), RedirectUri() + "#access_token=tok-bob");
}

TEST_F(OAuthFlowTest, DenyRedirectsWithAccessDenied) {
    EXPECT_EQ(Decide(LogIn("alice", "secret"), "deny"),
              RedirectUri() +
                  "?error=access_denied&error_reason=user_denied&error_description=The+user+denied+"
                  "your+request.");
}

// The client's state comes back after the token or the refusal, through the
// login form, a failed login and the consent page.
TEST_F(OAuthFlowTest, EveryRedirectEchoesTheClientsState) {
    const std::string state = "5f0c9e-x";
    EXPECT_EQ(Decide(LogIn("alice", "secret", state), "allow"),
              RedirectUri() + "#access_token=tok-alice&state=" + state);
    EXPECT_EQ(Decide(LogIn("alice", "secret", state), "deny"),
              RedirectUri() +
                  "?error=access_denied&error_reason=user_denied&error_description=The+user+denied+"
                  "your+request.&state=" +
                  state);
    auto wrong = OpenAuthorize(kClientId, state);
    ASSERT_TRUE(wrong);
    httplib::Params fields = HiddenFields(wrong->body);
    fields.emplace("username", "alice");
    fields.emplace("password", "wrong");
    auto again = Submit(fields);
    ASSERT_TRUE(again);
    const httplib::Params shown = HiddenFields(again->body);
    ASSERT_EQ(1u, shown.count("state"));
    EXPECT_EQ(state, shown.find("state")->second);
    EXPECT_EQ(
        OpenAuthorize("0123456789abcdef0123456789abcdef", state)->get_header_value("Location"),
        RedirectUri() + "?error=invalid_client&state=" + state);
}

TEST_F(OAuthFlowTest, AWrongPasswordShowsTheFormAgainWithAnError) {
    std::string page = LogIn("alice", "wrong");
    EXPECT_TRUE(HasElement(page, "login"));
    EXPECT_TRUE(HasElement(page, "error"));
    EXPECT_FALSE(HasElement(page, "allow"));
    EXPECT_TRUE(HasElement(LogIn("nobody", "secret"), "error"));
}

TEST_F(OAuthFlowTest, AConsentTicketServesOneDecisionOnly) {
    std::string consent = LogIn("alice", "secret");
    Decide(consent, "allow");
    httplib::Params fields = HiddenFields(consent);
    fields.emplace("decision", "allow");
    auto again = Submit(fields);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 400);
    EXPECT_FALSE(again->has_header("Location"));
}

TEST_F(OAuthFlowTest, AnUnknownClientIsSentBackWithInvalidClient) {
    auto answer = OpenAuthorize("0123456789abcdef0123456789abcdef");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 302);
    EXPECT_EQ(answer->get_header_value("Location"), RedirectUri() + "?error=invalid_client");
}

TEST_F(OAuthFlowTest, RecordsEveryClientIdAndAcceptsBothOfOurs) {
    size_t before = stub_->OAuthClientIds().size();
    ASSERT_EQ(OpenAuthorize(kOtherClientId)->status, 200);
    ASSERT_EQ(OpenAuthorize(kClientId)->status, 200);
    auto ids = stub_->OAuthClientIds();
    ASSERT_EQ(ids.size(), before + 2);
    EXPECT_EQ(ids[before], kOtherClientId);
    EXPECT_EQ(ids[before + 1], kClientId);
}

TEST_F(OAuthFlowTest, ARedirectAddressThatIsNotAWebAddressIsRefused) {
    auto answer = client_.Get(("/oauth/authorize/?client_id=" + kClientId +
                               "&redirect_uri=javascript:alert(1)&response_type=token")
                                  .c_str());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 400);
    EXPECT_FALSE(answer->has_header("Location"));
}

TEST_F(OAuthFlowTest, TheRedirectPageSaysTheWindowMayBeClosed) {
    auto page = client_.Get("/ir.php");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("close this window"), std::string::npos);
}

TEST(OAuthFlowPagesTest, EchoedValuesAreEscaped) {
    stub::OAuthFlow flow;
    stub::Scenario scenario = stub::DefaultScenario();
    stub::OAuthFlow::Params form = {{"step", "login"},
                                    {"client_id", kClientId},
                                    {"redirect_uri", "http://x/\"><script>"},
                                    {"response_type", "token"},
                                    {"username", "alice"},
                                    {"password", "nope"}};
    stub::OAuthAnswer answer = flow.Submit(form, scenario);
    EXPECT_EQ(answer.html.find("<script>"), std::string::npos);
    EXPECT_NE(answer.html.find("&quot;&gt;&lt;script&gt;"), std::string::npos);
}

}  // namespace
}  // namespace pixolune::test

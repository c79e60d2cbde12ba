#include "ui/redirect_examiner.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "service/service_addresses.h"
#include "ui/authorize_address.h"
#include "ui/dialog_texts.h"
#include "ui/login_navigation.h"
#include "ui/web_sandbox.h"

namespace pixolune::ui {
namespace {

using Kind = AddressVerdict::Kind;

struct AddressCase {
    const char* name;
    const char* address;
    Kind kind;
    std::string token;
    std::string errorText;
};

class ExamineAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(ExamineAddressTest, TellsTokenErrorOrNothing) {
    const AddressVerdict verdict = ExamineAddress(GetParam().address);
    EXPECT_EQ(GetParam().kind, verdict.kind);
    EXPECT_EQ(GetParam().token, verdict.token);
    EXPECT_EQ(GetParam().errorText, verdict.errorText);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ExamineAddressTest,
    ::testing::Values(
        AddressCase{"Fragment", "http://www.torvane.com/ir.php#access_token=1234.abcd.5678",
                    Kind::Authorized, "1234.abcd.5678", ""},
        AddressCase{"NoCutAtAmpersand",
                    "http://www.torvane.com/ir.php#access_token=tok&expires_in=3600",
                    Kind::Authorized, "tok&expires_in=3600", ""},
        AddressCase{"NoCutAtHashOrDecoding", "http://h/ir.php?x=1#access_token=a%20b#c",
                    Kind::Authorized, "a%20b#c", ""},
        AddressCase{"OuterWhiteSpaceTrimmedInnerKept", "http://h/ir.php#access_token=  tok en \t\n",
                    Kind::Authorized, "tok en", ""},
        AddressCase{"BlankTokenIsNoAuthorization", "http://h/ir.php#access_token=  \t",
                    Kind::Refused, "", kTextAuthorizationError},
        AddressCase{"EmptyTokenIsNoAuthorization", "http://h/ir.php#access_token=", Kind::Refused,
                    "", kTextAuthorizationError},
        AddressCase{"MarkerAtTheVeryStartIsIgnored", "access_token=tok", Kind::None, "", ""},
        AddressCase{"Denied",
                    "http://www.torvane.com/ir.php?error_reason=user_denied&error=access_denied&"
                    "error_description=The+user+denied+your+request.",
                    Kind::Refused, "", kTextAuthorizationDenied},
        AddressCase{"OtherError", "http://h/ir.php?error=invalid_client", Kind::Refused, "",
                    kTextAuthorizationError},
        AddressCase{"ErrorBeforeTokenDropsTheToken",
                    "http://h/ir.php?error=server_error#access_token=tok", Kind::Refused, "",
                    kTextAuthorizationError},
        AddressCase{"ErrorAfterTokenStillWins", "http://h/ir.php#access_token=tok&error=x",
                    Kind::Refused, "", kTextAuthorizationError},
        AddressCase{"ErrorInsideAnotherNameIsNoError",
                    "http://h/ir.php#access_token=abc_error=", Kind::Authorized, "abc_error=", ""},
        AddressCase{"LoginPage",
                    "https://api.pixolune.com/oauth/authorize/?client_id=7c1e&redirect_uri=http://"
                    "www.torvane.com/ir.php&response_type=token",
                    Kind::None, "", ""},
        AddressCase{"Blank", "about:blank", Kind::None, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AuthorizeAddressTest, IsBuiltVerbatimFromBaseClientIdRedirectAndState) {
    EXPECT_EQ(
        "https://api.pixolune.com/oauth/authorize/?client_id=7c1e9d30b6a24f58a0d3e2b9c4f61a87"
        "&redirect_uri=http://www.torvane.com/ir.php?a=1&b=2&response_type=token&state=5f0c",
        BuildAuthorizeAddress("https://api.pixolune.com/oauth/authorize/",
                              "7c1e9d30b6a24f58a0d3e2b9c4f61a87",
                              "http://www.torvane.com/ir.php?a=1&b=2", "5f0c"));
}

TEST(AuthorizeAddressTest, EachSignInGetsA128BitStateOfItsOwn) {
    const std::string first = NewSignInState();
    EXPECT_EQ(32u, first.size());
    EXPECT_EQ(std::string::npos, first.find_first_not_of("0123456789abcdef"));
    EXPECT_NE(first, NewSignInState());
}

class AuthorizeAddressForHostTest : public ::testing::TestWithParam<std::pair<int, const char*>> {
  protected:
    void SetUp() override {
        ::unsetenv("PIXOLUNE_OAUTH_BASE");
        ::unsetenv("PIXOLUNE_OAUTH_REDIRECT");
    }
    void TearDown() override { SetUp(); }
};

TEST_P(AuthorizeAddressForHostTest, ClientIdFollowsTheHostVariantAndEnvironmentOverrides) {
    const std::string clientId = GetParam().second;
    EXPECT_EQ(std::string(kOAuthAuthorizeUrl) + "?client_id=" + clientId +
                  "&redirect_uri=" + kDefaultOAuthRedirectUrl + "&response_type=token&state=s",
              AuthorizeAddressForHost(GetParam().first, "s"));
    ::setenv("PIXOLUNE_OAUTH_BASE", "http://127.0.0.1:5000/oauth/authorize/", 1);
    ::setenv("PIXOLUNE_OAUTH_REDIRECT", "http://127.0.0.1:5000/ir.php", 1);
    EXPECT_EQ("http://127.0.0.1:5000/oauth/authorize/?client_id=" + clientId +
                  "&redirect_uri=http://127.0.0.1:5000/ir.php&response_type=token&state=s",
              AuthorizeAddressForHost(GetParam().first, "s"));
}

INSTANTIATE_TEST_SUITE_P(Variants, AuthorizeAddressForHostTest,
                         ::testing::Values(std::make_pair(0, "7c1e9d30b6a24f58a0d3e2b9c4f61a87"),
                                           std::make_pair(1, "d93b02f7e5c84a1fb6e07d25a9c3e418"),
                                           std::make_pair(2, "7c1e9d30b6a24f58a0d3e2b9c4f61a87"),
                                           std::make_pair(-1, "7c1e9d30b6a24f58a0d3e2b9c4f61a87")));

const LoginSites kSites{"https://api.pixolune.com/oauth/authorize/",
                        "http://www.torvane.com/ir.php"};

struct LoginAddressCase {
    const char* name;
    const char* address;
    Kind kind;
    std::string token;
};

class ExamineLoginAddressTest : public ::testing::TestWithParam<LoginAddressCase> {};

// Only the redirect page, bringing back this sign-in's state, may end the
// sign-in with a token; another page that sends the browser to an address
// with a token of its choice signs nobody in.
TEST_P(ExamineLoginAddressTest, TakesATokenOnlyOnTheRedirectPageWithTheState) {
    const AddressVerdict verdict = ExamineLoginAddress(GetParam().address, kSites, "S1");
    EXPECT_EQ(GetParam().kind, verdict.kind);
    EXPECT_EQ(GetParam().token, verdict.token);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ExamineLoginAddressTest,
    ::testing::Values(
        LoginAddressCase{"RedirectPage", "http://www.torvane.com/ir.php#access_token=tok&state=S1",
                         Kind::Authorized, "tok"},
        LoginAddressCase{"RedirectPageWithQueryAndUpperCaseHost",
                         "http://WWW.Torvane.com/ir.php?x=1#state=S1&access_token=tok",
                         Kind::Authorized, "tok"},
        LoginAddressCase{"StateInTheQueryAndNoCutAtAmpersand",
                         "http://www.torvane.com/ir.php?state=S1#access_token=tok&expires_in=9",
                         Kind::Authorized, "tok&expires_in=9"},
        LoginAddressCase{"StateBetweenTokenAndMore",
                         "http://www.torvane.com/ir.php#access_token=tok&state=S1&expires_in=9",
                         Kind::Authorized, "tok&expires_in=9"},
        LoginAddressCase{"TheSameStateTwice",
                         "http://www.torvane.com/ir.php#access_token=tok&state=S1&state=S1",
                         Kind::Authorized, "tok"},
        LoginAddressCase{"NoState", "http://www.torvane.com/ir.php#access_token=EVIL",
                         Kind::Foreign, ""},
        LoginAddressCase{"OtherState", "http://www.torvane.com/ir.php#access_token=EVIL&state=S2",
                         Kind::Foreign, ""},
        LoginAddressCase{"LongerState", "http://www.torvane.com/ir.php#access_token=EVIL&state=S1x",
                         Kind::Foreign, ""},
        LoginAddressCase{"ASecondStateThatDiffers",
                         "http://www.torvane.com/ir.php?state=S1#access_token=EVIL&state=S2",
                         Kind::Foreign, ""},
        LoginAddressCase{"StateInsideAnotherName",
                         "http://www.torvane.com/ir.php#access_token=EVIL&my_state=S1",
                         Kind::Foreign, ""},
        LoginAddressCase{"OtherHost", "http://other-host/x#access_token=EVIL&state=S1",
                         Kind::Foreign, ""},
        LoginAddressCase{"OtherPathOnTheRedirectHost",
                         "http://www.torvane.com/evil.php#access_token=EVIL", Kind::Foreign, ""},
        LoginAddressCase{"RedirectPathBelowAnother",
                         "http://www.torvane.com/ir.php/../x#access_token=EVIL", Kind::Foreign, ""},
        LoginAddressCase{"OtherScheme", "https://www.torvane.com/ir.php#access_token=EVIL",
                         Kind::Foreign, ""},
        LoginAddressCase{"OtherPort", "http://www.torvane.com:8080/ir.php#access_token=EVIL",
                         Kind::Foreign, ""},
        LoginAddressCase{"LookalikeHost",
                         "http://www.torvane.com.evil.example/ir.php#access_token=EVIL",
                         Kind::Foreign, ""},
        LoginAddressCase{"UserInfoTrick",
                         "http://www.torvane.com@evil.example/ir.php#access_token=EVIL",
                         Kind::Foreign, ""},
        LoginAddressCase{"ServicePageWithToken",
                         "https://api.pixolune.com/oauth/authorize/#access_token=EVIL",
                         Kind::Foreign, ""},
        LoginAddressCase{"DeniedOnTheRedirectPage",
                         "http://www.torvane.com/ir.php?error=access_denied", Kind::Refused, ""},
        LoginAddressCase{"ErrorOnAnotherSiteIsIgnored", "http://other-host/?error=access_denied",
                         Kind::None, ""},
        LoginAddressCase{"LoginForm", "https://api.pixolune.com/oauth/authorize/?client_id=1",
                         Kind::None, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct NavigationCase {
    const char* name;
    const char* address;
    bool allowed;
};

class MayNavigateTest : public ::testing::TestWithParam<NavigationCase> {};

TEST_P(MayNavigateTest, KeepsTheWindowOnTheServicesOwnHosts) {
    EXPECT_EQ(GetParam().allowed, MayNavigate(GetParam().address, kSites));
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, MayNavigateTest,
    ::testing::Values(
        NavigationCase{"AuthorizePage", "https://api.pixolune.com/oauth/authorize/?a=1", true},
        NavigationCase{"OtherPageOfTheService", "https://api.pixolune.com/accounts/login/", true},
        NavigationCase{"ServiceOverHttp", "http://API.pixolune.com/consent", true},
        NavigationCase{"RedirectHost", "http://www.torvane.com/ir.php#access_token=t", true},
        NavigationCase{"OtherSite", "https://other-host.example/login", false},
        NavigationCase{"SubdomainOfTheService", "https://evil.api.pixolune.com/", false},
        NavigationCase{"LookalikeHost", "https://api.pixolune.com.evil.example/", false},
        NavigationCase{"UserInfoTrick", "https://api.pixolune.com@evil.example/", false},
        NavigationCase{"LocalFile", "file:///etc/passwd", false},
        NavigationCase{"Script", "javascript:alert(1)", false},
        NavigationCase{"Data", "data:text/html,<p>hi</p>", false},
        NavigationCase{"NoAddress", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoginSitesTest, FollowTheConfiguredRedirectAddress) {
    ::setenv("PIXOLUNE_OAUTH_REDIRECT", "http://127.0.0.1:5000/ir.php", 1);
    const LoginSites sites = ConfiguredLoginSites();
    ::unsetenv("PIXOLUNE_OAUTH_REDIRECT");
    EXPECT_EQ(Kind::Authorized,
              ExamineLoginAddress("http://127.0.0.1:5000/ir.php#access_token=t&state=s", sites, "s")
                  .kind);
    EXPECT_EQ(Kind::Foreign,
              ExamineLoginAddress(std::string(kDefaultOAuthRedirectUrl) + "#access_token=t&state=s",
                                  sites, "s")
                  .kind);
    // Without a state of its own (no random source) a sign-in takes no token.
    EXPECT_EQ(
        Kind::Foreign,
        ExamineLoginAddress("http://127.0.0.1:5000/ir.php#access_token=t&state=", sites, "").kind);
    EXPECT_EQ("127.0.0.1", HostOf("http://127.0.0.1:5000/ir.php"));
}

struct SandboxCase {
    const char* name;
    SandboxEnvironment environment;
    bool blocked;
};

class SignInBlockedReasonTest : public ::testing::TestWithParam<SandboxCase> {};

// As root the web engine would take the host down unless its sandbox was
// switched off on purpose; nobody else is held back.
TEST_P(SignInBlockedReasonTest, BlocksRootOnlyWhileTheSandboxIsOn) {
    EXPECT_EQ(GetParam().blocked, SignInBlockedReason(GetParam().environment).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Environments, SignInBlockedReasonTest,
    ::testing::Values(
        SandboxCase{"User", {1000, nullptr, nullptr}, false},
        SandboxCase{"Root", {0, nullptr, nullptr}, true},
        SandboxCase{"RootWithEmptySwitch", {0, "", "--disable-gpu"}, true},
        SandboxCase{"RootWithSwitchZero", {0, "0", nullptr}, true},
        SandboxCase{"RootWithSandboxOff", {0, "1", nullptr}, false},
        SandboxCase{"RootWithChromiumFlag", {0, nullptr, "--disable-gpu --no-sandbox"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pixolune::ui

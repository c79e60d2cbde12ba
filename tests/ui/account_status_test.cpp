#include "ui/account_status.h"

#include <gtest/gtest.h>

#include "ui/dialog_texts.h"

namespace pixolune::ui {
namespace {

// Answers like the account query: alice for "tok-alice", a failure for anything else.
struct FakeAccountQuery {
    AccountCheckResult operator()(const std::string& token) {
        asked.push_back(token);
        if (token == "tok-alice") return {true, "Alice Example", "alice", "", {}, ""};
        return {false,   "",    "", "Connection to Pixolune server failed with error 400",
                failure, detail};
    }
    std::vector<std::string> asked;
    AccountCheckFailure failure = AccountCheckFailure::Refused;
    std::string detail = "HTTP status 400";
};

std::string Status(const AccountStep& step) {
    return English(step.state.status);
}
std::optional<std::string> Message(const AccountStep& step) {
    if (!step.message) return std::nullopt;
    return English(*step.message);
}

TEST(AccountStatusTest, StoredTokenShowsPendingTextAndAsksForTheDeferredCheck) {
    EXPECT_EQ(kTextAuthenticated, English(InitialAccountState("tok").status));
    EXPECT_TRUE(NeedsDeferredAccountCheck("tok"));
    EXPECT_EQ(kTextNotAuthenticated, English(InitialAccountState("").status));
    EXPECT_FALSE(NeedsDeferredAccountCheck(""));
    EXPECT_FALSE(NeedsDeferredAccountCheck("  "));
}

TEST(AccountStatusTest, SuccessfulCheckNamesFullNameThenUserName) {
    FakeAccountQuery query;
    const AccountStep step = CheckAccount("tok-alice", std::ref(query));
    EXPECT_EQ("Pixolune Plugin is currently authenticated\nAlice Example (alice)", Status(step));
    EXPECT_EQ("tok-alice", step.state.token);
    EXPECT_FALSE(step.message.has_value());
}

TEST(AccountStatusTest, NamesWithFormatCharactersAreShownAsSent) {
    const AccountStep step = CheckAccount("t", [](const std::string&) {
        return AccountCheckResult{true, "%2 %s %n %d", "%1", "", {}, ""};
    });
    EXPECT_EQ("Pixolune Plugin is currently authenticated\n%2 %s %n %d (%1)", Status(step));
}

struct FailedCheckCase {
    const char* name;
    AccountCheckFailure failure;
    std::string detail;
    std::string token;  // what the dialog keeps
    std::string status;
    std::string message;
};

class FailedCheckTest : public ::testing::TestWithParam<FailedCheckCase> {};

// Only a refused token is dropped; a check that got no usable answer keeps
// the login, so that OK does not store an empty token.
TEST_P(FailedCheckTest, KeepsTheTokenUnlessTheServiceRefusedIt) {
    FakeAccountQuery query;
    query.failure = GetParam().failure;
    query.detail = GetParam().detail;
    const AccountStep step = CheckAccount("saved", std::ref(query));
    EXPECT_EQ(GetParam().token, step.state.token);
    EXPECT_EQ(GetParam().status, Status(step));
    EXPECT_EQ(GetParam().message, Message(step).value_or("(none)"));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedCheckTest,
    ::testing::Values(
        FailedCheckCase{"Refused", AccountCheckFailure::Refused, "HTTP status 400", "",
                        kTextNotAuthenticated,
                        "The Pixolune service refused the sign-in; authorize again."},
        FailedCheckCase{"ServiceFailed", AccountCheckFailure::ServiceFailed, "HTTP status 503",
                        "saved", kTextAccountNotChecked,
                        "The Pixolune service failed to answer the account check (HTTP status "
                        "503). The sign-in is kept; try again later."},
        FailedCheckCase{"Unreachable", AccountCheckFailure::Unreachable, "Couldn't connect to server", "saved",
                        kTextAccountNotChecked,
                        "The Pixolune service could not be reached (Couldn't connect to server). "
                        "Check the network "
                        "connection; the sign-in is kept."}),
    [](const auto& info) { return std::string(info.param.name); });

struct AuthorizeCase {
    const char* name;
    AddressVerdict outcome;
    std::string token;
    std::string status;
    std::optional<std::string> message;
    bool queried;
};

class AfterAuthorizeTest : public ::testing::TestWithParam<AuthorizeCase> {};

TEST_P(AfterAuthorizeTest, ReplacesOrKeepsTheTokenAsTheOutcomeSays) {
    FakeAccountQuery query;
    const AccountState current{"old-token", "old status"};
    const AccountStep step = AfterAuthorize(GetParam().outcome, current, std::ref(query));
    EXPECT_EQ(GetParam().token, step.state.token);
    EXPECT_EQ(GetParam().status, Status(step));
    EXPECT_EQ(GetParam().message, Message(step));
    EXPECT_EQ(GetParam().queried, !query.asked.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, AfterAuthorizeTest,
    ::testing::Values(AuthorizeCase{"NewTokenChecked",
                                    {AddressVerdict::Kind::Authorized, "tok-alice", ""},
                                    "tok-alice",
                                    English(AuthenticatedAsText("Alice Example", "alice")),
                                    std::nullopt,
                                    true},
                      AuthorizeCase{"NewTokenRejected",
                                    {AddressVerdict::Kind::Authorized, "bad", ""},
                                    "",
                                    kTextNotAuthenticated,
                                    std::string(kTextSignInRefused),
                                    true},
                      AuthorizeCase{"OkWithoutToken",
                                    {AddressVerdict::Kind::Authorized, "", ""},
                                    "",
                                    kTextNotAuthenticated,
                                    std::nullopt,
                                    false},
                      AuthorizeCase{"OkWithBlankToken",
                                    {AddressVerdict::Kind::Authorized, " \t", ""},
                                    "",
                                    kTextNotAuthenticated,
                                    std::nullopt,
                                    false},
                      AuthorizeCase{"Denied",
                                    {AddressVerdict::Kind::Refused, "", kTextAuthorizationDenied},
                                    "old-token",
                                    "old status",
                                    std::string(kTextAuthorizationDenied),
                                    false},
                      AuthorizeCase{
                          "WindowClosed", {}, "old-token", "old status", std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pixolune::ui

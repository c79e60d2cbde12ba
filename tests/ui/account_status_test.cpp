#include "ui/account_status.h"

#include <gtest/gtest.h>

#include "ui/dialog_texts.h"

namespace pixolune::ui {
namespace {

// Answers like the account query: alice for "tok-alice", a failure for anything else.
struct FakeAccountQuery {
    AccountCheckResult operator()(const std::string& token) {
        asked.push_back(token);
        if (token == "tok-alice") return {true, "Alice Example", "alice", ""};
        return {false, "", "", failureText};
    }
    std::vector<std::string> asked;
    std::string failureText = "Connection to Pixolune server failed with error 400";
};

TEST(AccountStatusTest, StoredTokenShowsPendingTextAndAsksForTheDeferredCheck) {
    EXPECT_EQ(kTextAuthenticated, InitialAccountState("tok").status);
    EXPECT_TRUE(NeedsDeferredAccountCheck("tok"));
    EXPECT_EQ(kTextNotAuthenticated, InitialAccountState("").status);
    EXPECT_FALSE(NeedsDeferredAccountCheck(""));
    EXPECT_FALSE(NeedsDeferredAccountCheck("  "));
}

TEST(AccountStatusTest, SuccessfulCheckNamesFullNameThenUserName) {
    FakeAccountQuery query;
    const AccountStep step = CheckAccount("tok-alice", std::ref(query));
    EXPECT_EQ("Pixolune Plugin is currently authenticated\nAlice Example (alice)",
              step.state.status);
    EXPECT_EQ("tok-alice", step.state.token);
    EXPECT_FALSE(step.message.has_value());
}

TEST(AccountStatusTest, NamesWithFormatCharactersAreShownAsSent) {
    const AccountStep step = CheckAccount("t", [](const std::string&) {
        return AccountCheckResult{true, "%s %n %d", "", ""};
    });
    EXPECT_EQ("Pixolune Plugin is currently authenticated\n%s %n %d ()", step.state.status);
}

TEST(AccountStatusTest, FailedCheckClearsTheTokenAndShowsTheClientsError) {
    FakeAccountQuery query;
    const AccountStep step = CheckAccount("stale", std::ref(query));
    EXPECT_EQ(kTextNotAuthenticated, step.state.status);
    EXPECT_EQ("", step.state.token);
    EXPECT_EQ("Connection to Pixolune server failed with error 400", step.message.value_or("-"));
}

TEST(AccountStatusTest, FailureWithoutErrorTextStillBringsAMessageBox) {
    FakeAccountQuery query;
    query.failureText = "";
    const AccountStep step = CheckAccount("stale", std::ref(query));
    ASSERT_TRUE(step.message.has_value());
    EXPECT_EQ("", *step.message);
}

struct AuthorizeCase {
    const char* name;
    AuthorizeOutcome outcome;
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
    EXPECT_EQ(GetParam().status, step.state.status);
    EXPECT_EQ(GetParam().message, step.message);
    EXPECT_EQ(GetParam().queried, !query.asked.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, AfterAuthorizeTest,
    ::testing::Values(
        AuthorizeCase{"NewTokenChecked",
                      {true, "tok-alice", ""},
                      "tok-alice",
                      AuthenticatedAsText("Alice Example", "alice"),
                      std::nullopt,
                      true},
        AuthorizeCase{"NewTokenRejected",
                      {true, "bad", ""},
                      "",
                      kTextNotAuthenticated,
                      std::string("Connection to Pixolune server failed with error 400"),
                      true},
        AuthorizeCase{
            "OkWithoutToken", {true, "", ""}, "", kTextNotAuthenticated, std::nullopt, false},
        AuthorizeCase{
            "OkWithBlankToken", {true, " \t", ""}, "", kTextNotAuthenticated, std::nullopt, false},
        AuthorizeCase{"Denied",
                      {false, "", kTextAuthorizationDenied},
                      "old-token",
                      "old status",
                      std::string(kTextAuthorizationDenied),
                      false},
        AuthorizeCase{
            "WindowClosed", {false, "", ""}, "old-token", "old status", std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pixolune::ui

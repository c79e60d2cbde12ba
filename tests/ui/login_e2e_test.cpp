// The login end to end: the real login dialog in Qt WebEngine against the
// stand-in service's authorize pages, driven through the page as a user would,
// and the real account query on the token it yields.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWebEnginePage>
#include <cstdlib>

#include "tests/support/stub_server.h"
#include "ui/account_check.h"
#include "ui/authorize_dialog.h"
#include "ui/dialog_texts.h"
#include "ui/main_dialog.h"
#include "widget_test_support.h"

namespace pixolune::ui {
namespace {

// Fills whichever of the stand-in's forms the page shows.
QString FormScript(const QString& decision) {
    return QString(R"((function () {
        var user = document.getElementById('username');
        if (user) {
            user.value = 'alice';
            document.getElementById('password').value = 'secret';
            document.getElementById('login').click();
            return 'login';
        }
        var button = document.getElementById('%1');
        if (button) { button.click(); return '%1'; }
        return 'none';
    })())")
        .arg(decision);
}

class LoginEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PIXOLUNE_OAUTH_BASE", stub.OAuthBase().c_str(), 1);
        ::setenv("PIXOLUNE_OAUTH_REDIRECT", (stub.BaseUrl() + "/ir.php").c_str(), 1);
        ::setenv("PIXOLUNE_API_BASE", stub.ApiBase().c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("PIXOLUNE_OAUTH_BASE");
        ::unsetenv("PIXOLUNE_OAUTH_REDIRECT");
        ::unsetenv("PIXOLUNE_API_BASE");
    }

    // Answers every finished page of the login dialog once it is up.
    void DriveLogin(const QString& decision) {
        test::WhenModal<CAuthorizeDlg>(
            [this, decision](CAuthorizeDlg* login) {
                QWebEnginePage* page = login->Page();
                QObject::connect(
                    page, &QWebEnginePage::loadFinished, page, [page, decision, this](bool) {
                        page->runJavaScript(FormScript(decision), [this](const QVariant& step) {
                            steps << step.toString();
                        });
                    });
            },
            1000);
    }

    std::unique_ptr<CPixoluneDlg> MainDialog() {
        MainDialogServices services;
        services.checkAccount = ServiceAccountChecker();
        services.authorize = [](QWidget* parent) { return RunAuthorizeDialog(0, parent); };
        services.prompts = &prompts;
        auto dialog = std::make_unique<CPixoluneDlg>(nullptr, 0, services);
        dialog->Values.Enabled = 1;  // "Authorize..." is enabled with the plug-in only
        return dialog;
    }

    // Clicks "Authorize..." once the main dialog is up and closes it afterwards.
    void AuthorizeThrough(CPixoluneDlg& dialog) {
        QTimer::singleShot(20, [&dialog] {
            dialog.authorizeButton->click();
            // The token is checked on a thread of its own; its answer is awaited.
            EXPECT_TRUE(test::WaitUntil([&] { return !dialog.AccountCheckRunning(); }, 30000));
            dialog.reject();
        });
        QTimer::singleShot(60000, [] {  // a hung page must not hang the run
            if (QWidget* open = QApplication::activeModalWidget()) open->close();
        });
        dialog.DoModal();
    }

    pixolune::test::StubServer stub;
    test::ScriptedPrompts prompts;
    QStringList steps;
};

TEST_F(LoginEndToEndTest, AllowYieldsTheTokenAndTheAccountCheckNamesTheUser) {
    auto dialog = MainDialog();
    DriveLogin("allow");
    AuthorizeThrough(*dialog);
    EXPECT_EQ((QStringList{"login", "allow"}), steps);
    EXPECT_TRUE(prompts.informed.isEmpty()) << prompts.informed.join("|").toStdString();
    EXPECT_EQ("Pixolune Plugin is currently authenticated\nAlice Example (alice)",
              dialog->statusLabel->text().toStdString());
    EXPECT_FALSE(dialog->Values.Token.empty());
    EXPECT_TRUE(dialog->feedRows[0].check->isEnabled());
    bool sawAuthorize = false;
    bool sawAccount = false;
    for (const std::string& target : stub.Requests()) {
        sawAuthorize |=
            target.rfind("/oauth/authorize/?client_id=7c1e9d30b6a24f58a0d3e2b9c4f61a87", 0) == 0;
        sawAccount |= target.rfind("/v1/users/self/?access_token=", 0) == 0;
    }
    EXPECT_TRUE(sawAuthorize);
    EXPECT_TRUE(sawAccount);
}

// The token travels in the address the service redirects to; when that page
// cannot be loaded, the address change alone must still end the login.
TEST_F(LoginEndToEndTest, UnreachableRedirectPageStillYieldsTheToken) {
    ::setenv("PIXOLUNE_OAUTH_REDIRECT", "http://127.0.0.1:9/ir.php", 1);
    auto dialog = MainDialog();
    DriveLogin("allow");
    AuthorizeThrough(*dialog);
    EXPECT_EQ((QStringList{"login", "allow"}), steps);
    EXPECT_TRUE(prompts.informed.isEmpty()) << prompts.informed.join("|").toStdString();
    EXPECT_EQ("Pixolune Plugin is currently authenticated\nAlice Example (alice)",
              dialog->statusLabel->text().toStdString());
    EXPECT_FALSE(dialog->Values.Token.empty());
}

TEST_F(LoginEndToEndTest, DenyEndsWithCancelAndAMessageAndKeepsTheOldToken) {
    auto dialog = MainDialog();
    dialog->Values.Token = "";
    DriveLogin("deny");
    AuthorizeThrough(*dialog);
    EXPECT_EQ((QStringList{"login", "deny"}), steps);
    EXPECT_EQ(QStringList{kTextAuthorizationDenied}, prompts.informed);
    EXPECT_EQ(kTextNotAuthenticated, dialog->statusLabel->text().toStdString());
    EXPECT_EQ("", dialog->Values.Token);
}

TEST_F(LoginEndToEndTest, UnreachablePageShowsAPlainMessageAndLeavesTheDialogOpen) {
    ::setenv("PIXOLUNE_OAUTH_BASE", "http://127.0.0.1:9/oauth/authorize/", 1);
    CAuthorizeDlg login(0);
    bool failedLoad = false;
    bool openAfterFailure = false;
    bool messageShown = false;
    QObject::connect(login.Page(), &QWebEnginePage::loadFinished, &login, [&](bool ok) {
        if (ok) return;
        failedLoad = true;
        // Give a wrongly shown error page the time to end the dialog.
        QTimer::singleShot(500, &login, [&] {
            openAfterFailure = login.isVisible();
            messageShown = login.ShowsLoadFailure();
            login.reject();
        });
    });
    QTimer::singleShot(30000, &login, [&] { login.reject(); });
    EXPECT_EQ(QDialog::Rejected, login.DoModal());
    EXPECT_TRUE(failedLoad);
    EXPECT_TRUE(openAfterFailure);
    EXPECT_TRUE(messageShown) << "a plain message, not a blank page";
    EXPECT_EQ("", login.ErrorText());
    EXPECT_EQ("", login.AccessToken());
}

}  // namespace
}  // namespace pixolune::ui

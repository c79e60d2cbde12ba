// The login end to end: the real login dialog in Qt WebEngine against the
// stand-in service's authorize pages, driven through the page as a user would,
// and the real account query on the token it yields.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <cstdlib>

#include "fake_host.h"
#include "host_callback_guard.h"
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

// A page of the test's own in place of the authorize page: served as HTML at
// `path` of the stand-in, once.
std::string PageFault(const std::string& path, const std::string& html) {
    std::string escaped;
    for (const char c : html) {
        if (c == '"' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return R"({"path":")" + path + R"(","mode":"status","status":200,"count":1,)" +
           R"("content_type":"text/html","body":")" + escaped + R"("})";
}

// Clicks the page at (x, y) as a user would, which lets it open a window.
void ClickPage(CAuthorizeDlg& login, const QPoint& at) {
    auto* view = login.findChild<QWebEngineView*>();
    QWidget* target = view && view->focusProxy() ? view->focusProxy() : view;
    if (!target) return;
    const QPointF global = target->mapToGlobal(QPointF(at));
    for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, QPointF(at), global, Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                          Qt::NoModifier);
        QApplication::sendEvent(target, &event);
    }
}

// An authorize page that tries to sign the window in as someone else: a hidden
// frame on the redirect address with another account's token, a frame of
// another host that sends the whole window to the redirect address and then
// elsewhere, and a link that opens a new window. The frames load; nobody is
// signed in, the window stays on the page, and no window opens.
TEST_F(LoginEndToEndTest, FramesAndWindowsOfAPageNeverSignIn) {
    pixolune::test::FakeHost host;
    const pixolune::test::ScopedHostCallback callback(&pixolune::test::FakeHost::Callback);
    const std::string redirect = stub.BaseUrl() + "/ir.php";
    const std::string otherHost = "http://localhost:" + std::to_string(stub.Port());
    stub.SetFault(PageFault("/oauth/authorize/",
                            "<html><body style='margin:0'>"
                            "<a href='" +
                                redirect +
                                "#access_token=tok-bob' target=_blank "
                                "style='display:block;height:200px'>Sign in</a>"
                                "<iframe style=display:none src='" +
                                redirect +
                                "#access_token=tok-bob'></iframe>"
                                "<iframe src='" +
                                otherHost +
                                "/captcha'></iframe>"
                                "</body></html>"));
    stub.SetFault(PageFault(
        "/captcha", "<html><body><script>top.location = '" + redirect +
                        "#access_token=tok-bob'; setTimeout(function () { top.location = '" +
                        otherHost + "/elsewhere'; }, 100);</script></body></html>"));
    CAuthorizeDlg login(0);
    QObject::connect(login.Page(), &QWebEnginePage::loadFinished, &login, [&](bool ok) {
        if (!ok) return;
        QTimer::singleShot(300, &login, [&] { ClickPage(login, QPoint(40, 40)); });
        QTimer::singleShot(2000, &login, [&] { login.reject(); });
    });
    QTimer::singleShot(30000, &login, [&] { login.reject(); });
    EXPECT_EQ(QDialog::Rejected, login.DoModal());
    bool captchaLoaded = false;
    for (const std::string& target : stub.Requests()) {
        captchaLoaded |= target == "/captcha";
        EXPECT_NE("/elsewhere", target);
    }
    EXPECT_TRUE(captchaLoaded) << "the other host's frame loads";
    EXPECT_EQ("", login.AccessToken());
    EXPECT_EQ("", login.ErrorText());
    EXPECT_FALSE(host.HasLogContaining("access token received"));
    EXPECT_TRUE(host.HasLogContaining("a page asked for a new window; none was opened"));
    EXPECT_EQ(QString::fromStdString(stub.OAuthBase()),
              login.Page()->url().toString().section('?', 0, 0))
        << "the window stays on the sign-in page";
}

// The stand-in's redirect echoes the state the window sent; a redirect that
// does not, such as a page sending the window there on its own, signs nobody in.
TEST_F(LoginEndToEndTest, ARedirectWithoutTheSignInsStateIsRefused) {
    pixolune::test::FakeHost host;
    const pixolune::test::ScopedHostCallback callback(&pixolune::test::FakeHost::Callback);
    stub.SetFault(
        PageFault("/oauth/authorize/",
                  "<html><body><script>location = '" + stub.BaseUrl() +
                      "/ir.php#access_token=tok-bob&state=0123';</script></body></html>"));
    CAuthorizeDlg login(0);
    QTimer::singleShot(30000, &login, [&] { login.reject(); });
    QObject::connect(login.Page(), &QWebEnginePage::loadFinished, &login,
                     [&] { QTimer::singleShot(500, &login, [&] { login.reject(); }); });
    EXPECT_EQ(QDialog::Rejected, login.DoModal());
    EXPECT_EQ("", login.AccessToken());
    EXPECT_TRUE(host.HasLogContaining("a token without this sign-in's state was ignored"));
    EXPECT_EQ(Tr(kTextSignInNotCompleted), login.ShownMessage());
}

}  // namespace
}  // namespace pixolune::ui

// The sign-in window where the web engine cannot run: as root with the
// sandbox on the engine would take the host down, so the window says why and
// what to do instead, and never starts the engine.
#include "ui/authorize_dialog.h"

#include <gtest/gtest.h>

#include <QTimer>

#include "fake_host.h"
#include "host_callback_guard.h"
#include "ui/exchange_dialog.h"

namespace pixolune::ui {
namespace {

TEST(AuthorizeDialogAsRootTest, SaysWhyInTheWindowAndTheLogAndEndsAsAPlainCancel) {
    test::FakeHost host;
    const test::ScopedHostCallback callback(&test::FakeHost::Callback);
    CAuthorizeDlg login(0, nullptr, SandboxEnvironment{0, nullptr, nullptr});
    QString shown;
    QTimer::singleShot(50, &login, [&] {
        shown = login.ShownMessage();
        login.reject();
    });
    EXPECT_EQ(QDialog::Rejected, login.DoModal());
    EXPECT_EQ(nullptr, login.Page()) << "the web engine is never started";
    EXPECT_EQ(Tr(kTextSignInAsRoot), shown);
    EXPECT_TRUE(host.HasLogContaining(
        "CAuthorizeDlg: the sign-in cannot open: running as root, where the web engine's sandbox "
        "does not run; set QTWEBENGINE_DISABLE_SANDBOX=1"));
    EXPECT_EQ("", login.ErrorText()) << "the main dialog shows nothing more";
    EXPECT_EQ("", login.AccessToken());
}

}  // namespace
}  // namespace pixolune::ui

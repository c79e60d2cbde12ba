// Message 5 of the finished library, loaded as a host without Qt loads it: the
// library makes its own QApplication on the first message 5, shows the real
// dialog and keeps the application object for the next message 5 and until
// it is unloaded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "isolated_home.h"
#include "kaleidra/kal_plugin_api.h"

namespace {

using Handler = int (*)(int, intptr_t, intptr_t);

std::mutex logLock;  // guards logLines: the library may log from its own threads
std::vector<std::string> logLines;

int RecordingHost(int code, intptr_t, intptr_t text) {
    if (code == KAL_CB_LOG) {
        std::lock_guard<std::mutex> guard(logLock);
        logLines.emplace_back(reinterpret_cast<const char*>(text));
    }
    return 0;
}

bool Logged(const std::string& line) {
    std::lock_guard<std::mutex> guard(logLock);
    return std::find(logLines.begin(), logLines.end(), line) != logLines.end();
}

// What the test does with the next modal dialog, on the host's thread.
std::function<void(QWidget*)> onDialog;

void ActOnTheDialogOnceItIsUp() {
    std::function<void(int)> actLater = [&actLater](int tries) {
        QTimer::singleShot(20, [actLater, tries] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                onDialog(dialog);
                // A message box left open by a failed expectation must not hang the run.
                QTimer::singleShot(3000, [] {
                    while (QWidget* open = QApplication::activeModalWidget()) open->close();
                });
            } else if (tries > 0) {
                actLater(tries - 1);
            }
        });
    };
    actLater(250);
}

// Runs inside the library's QApplication constructor, on the host's thread:
// the earliest point at which the test can reach the dialog that follows.
// Qt runs it again for every application object made later in the process.
void ActOnDialogsOfNewApplications() {
    static const bool added = (qAddPreRoutine(ActOnTheDialogOnceItIsUp), true);
    (void)added;
}

class LoadedPlugin {
  public:
    LoadedPlugin() : library_(::dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) {
        if (library_)
            handler_ = reinterpret_cast<Handler>(::dlsym(library_, KAL_PLUGIN_ENTRY_NAME));
        if (handler_) handler_(KAL_MSG_SET_CALLBACK, reinterpret_cast<intptr_t>(&RecordingHost), 0);
    }
    ~LoadedPlugin() {
        if (library_) ::dlclose(library_);
    }
    bool Loaded() const { return handler_ != nullptr; }
    int Send(int code, intptr_t param1 = 0, intptr_t param2 = 0) const {
        return handler_(code, param1, param2);
    }

  private:
    void* library_;
    Handler handler_ = nullptr;
};

// Runs first, while the process has no Qt application yet.
TEST(PluginDialogTest, UnreachableDisplayIsLoggedAndRefusedWithoutEndingTheHost) {
    ASSERT_EQ(nullptr, QCoreApplication::instance());
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const std::optional<QByteArray> display =
        qEnvironmentVariableIsSet("DISPLAY") ? std::optional(qgetenv("DISPLAY")) : std::nullopt;
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("DISPLAY", "127.0.0.1:99");
    qunsetenv("WAYLAND_DISPLAY");
    int result = -1;
    {
        const LoadedPlugin plugin;
        ASSERT_TRUE(plugin.Loaded()) << ::dlerror();
        result = plugin.Send(KAL_MSG_CONFIGURE);
    }
    qputenv("QT_QPA_PLATFORM", platform);
    if (display) {
        qputenv("DISPLAY", *display);
    } else {
        qunsetenv("DISPLAY");
    }
    EXPECT_EQ(0, result);
    EXPECT_EQ(nullptr, QCoreApplication::instance());
    EXPECT_TRUE(
        Logged("Configure: no display to show the settings dialog on (cannot connect to X "
               "display \"127.0.0.1:99\")"));
}

TEST(PluginDialogTest, HostWithoutQtGetsAnApplicationThatOutlivesTheDialog) {
    const LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded()) << ::dlerror();
    QString shownTitle;
    bool shownModal = false;
    onDialog = [&](QWidget* dialog) {
        shownTitle = dialog->windowTitle();
        shownModal = dialog->isModal();
        dialog->close();
    };
    ActOnDialogsOfNewApplications();
    EXPECT_EQ(0, plugin.Send(KAL_MSG_CONFIGURE)) << "closing the window is Cancel";
    EXPECT_EQ("Pixolune PlugIn 1.4.0", shownTitle.toStdString());
    EXPECT_TRUE(shownModal);
    QCoreApplication* application = QCoreApplication::instance();
    ASSERT_NE(nullptr, qobject_cast<QApplication*>(application));
    EXPECT_TRUE(QCoreApplication::testAttribute(Qt::AA_ShareOpenGLContexts));
    EXPECT_EQ(0, plugin.Send(KAL_MSG_SETTINGS_CHANGED));

    // The second configuration finds the same application object.
    shownTitle.clear();
    ActOnTheDialogOnceItIsUp();
    EXPECT_EQ(0, plugin.Send(KAL_MSG_CONFIGURE));
    EXPECT_EQ("Pixolune PlugIn 1.4.0", shownTitle.toStdString());
    EXPECT_EQ(application, QCoreApplication::instance());

    // Widgets cannot be made on another thread than the application's.
    int fromOtherThread = -1;
    std::thread([&] { fromOtherThread = plugin.Send(KAL_MSG_CONFIGURE); }).join();
    EXPECT_EQ(0, fromOtherThread);
    EXPECT_TRUE(
        Logged("Configure: called on another thread than the Qt application's; the "
               "settings dialog is not shown"));
}

TEST(PluginDialogTest, OkCopiesWhatTheUserTypedIntoTheSettings) {
    const pixolune::test::TempDir media;
    ASSERT_FALSE(media.Path().empty());
    const LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded()) << ::dlerror();
    ASSERT_EQ(2, plugin.Send(KAL_MSG_ENABLED, 1, 1));
    onDialog = [&](QWidget* dialog) {
        dialog->findChild<QLineEdit*>("folderEdit")->setText(QString::fromStdString(media.Path()));
        dialog->findChild<QLineEdit*>("minutesEdit")->setText("90");
        dialog->findChild<QCheckBox*>("photosCheck")->setChecked(true);
        dialog->findChild<QPushButton*>("okButton")->click();
    };
    ActOnDialogsOfNewApplications();
    if (QCoreApplication::instance()) ActOnTheDialogOnceItIsUp();
    EXPECT_EQ(1, plugin.Send(KAL_MSG_CONFIGURE));
    EXPECT_EQ(1, plugin.Send(KAL_MSG_SETTINGS_CHANGED));

    // The next configuration opens on what OK stored.
    QString folderShown, minutesShown;
    onDialog = [&](QWidget* dialog) {
        folderShown = dialog->findChild<QLineEdit*>("folderEdit")->text();
        minutesShown = dialog->findChild<QLineEdit*>("minutesEdit")->text();
        dialog->close();
    };
    ActOnTheDialogOnceItIsUp();
    EXPECT_EQ(0, plugin.Send(KAL_MSG_CONFIGURE));
    EXPECT_EQ(media.Path(), folderShown.toStdString());
    EXPECT_EQ("90", minutesShown.toStdString());
    EXPECT_EQ(1, plugin.Send(KAL_MSG_SETTINGS_CHANGED)) << "Cancel keeps the earlier change";
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const pixolune::ui::test::IsolatedHome home;
    return RUN_ALL_TESTS();
}

// Message 5 of the finished library, loaded as a host without Qt loads it: the
// library makes its own QApplication on the first message 5, shows the real
// dialog and keeps the application object for the next message 5 and until
// it is unloaded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include "plugin/include/kal_plugin_api.h"
#include "temp_folder.h"

namespace {

using Handler = int (*)(int, intptr_t, intptr_t);

QString shownTitle;
bool shownModal = false;

// Runs inside the library's QApplication constructor, on the host's thread:
// the earliest point at which the test can reach the dialog that follows.
void CloseTheDialogOnceItIsUp() {
    std::function<void(int)> closeLater = [&closeLater](int tries) {
        QTimer::singleShot(20, [closeLater, tries] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                shownTitle = dialog->windowTitle();
                shownModal = dialog->isModal();
                dialog->close();
            } else if (tries > 0) {
                closeLater(tries - 1);
            }
        });
    };
    closeLater(250);
}

TEST(PluginDialogTest, HostWithoutQtGetsAnApplicationThatOutlivesTheDialog) {
    ASSERT_EQ(nullptr, QCoreApplication::instance());
    void* library = ::dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << ::dlerror();
    auto handler = reinterpret_cast<Handler>(::dlsym(library, KAL_PLUGIN_ENTRY_NAME));
    ASSERT_NE(nullptr, handler);

    qAddPreRoutine(CloseTheDialogOnceItIsUp);
    EXPECT_EQ(0, handler(KAL_MSG_CONFIGURE, 0, 0)) << "closing the window is Cancel";
    EXPECT_EQ("Pixolune PlugIn 1.4.0", shownTitle.toStdString());
    EXPECT_TRUE(shownModal);
    QCoreApplication* application = QCoreApplication::instance();
    ASSERT_NE(nullptr, qobject_cast<QApplication*>(application));
    EXPECT_TRUE(QCoreApplication::testAttribute(Qt::AA_ShareOpenGLContexts));
    EXPECT_EQ(0, handler(KAL_MSG_SETTINGS_CHANGED, 0, 0));

    // The second configuration finds the same application object.
    shownTitle.clear();
    CloseTheDialogOnceItIsUp();
    EXPECT_EQ(0, handler(KAL_MSG_CONFIGURE, 0, 0));
    EXPECT_EQ("Pixolune PlugIn 1.4.0", shownTitle.toStdString());
    EXPECT_EQ(application, QCoreApplication::instance());

    EXPECT_EQ(0, ::dlclose(library));
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const pixolune::ui::test::IsolatedHome home;
    return RUN_ALL_TESTS();
}

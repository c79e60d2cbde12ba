#include "ui/qt_application.h"

#include <QApplication>
#include <QThread>
#include <memory>

#include "model/host_link.h"
#include "ui/display_check.h"

namespace pixolune::ui {
namespace {

// QApplication keeps references to argc and argv for its whole life.
int applicationArgc = 1;
char applicationName[] = "pixolune-plugin";
char* applicationArgv[] = {applicationName, nullptr};

std::unique_ptr<QApplication>& OwnApplication() {
    static std::unique_ptr<QApplication> application;
    return application;
}

}  // namespace

bool EnsureQtApplication() {
    if (QCoreApplication* existing = QCoreApplication::instance()) {
        if (!qobject_cast<QApplication*>(existing)) {
            Log("Configure: the host's Qt application cannot show dialogs");
            return false;
        }
        // Widgets live on the application's thread only; Qt would end the
        // process, or worse, if they were made on another one.
        if (QThread::currentThread() != existing->thread()) {
            Log("Configure: called on another thread than the Qt application's; the settings "
                "dialog is not shown");
            return false;
        }
        return true;
    }
    if (const auto problem = DisplayProblem()) {
        Log("Configure: no display to show the settings dialog on (%s)", problem->c_str());
        return false;
    }
    // The web engine shares OpenGL contexts with the widgets; this must be set
    // before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    OwnApplication() = std::make_unique<QApplication>(applicationArgc, applicationArgv);
    return true;
}

}  // namespace pixolune::ui

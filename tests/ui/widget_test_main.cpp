#include <gtest/gtest.h>

#include <QApplication>
#include <QLocale>

#include "isolated_home.h"

int main(int argc, char** argv) {
    // Widgets without a display: the offscreen platform unless the caller chose one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    const pixolune::ui::test::IsolatedHome home;
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    // The tests read the English texts, whatever the language of the machine.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    return RUN_ALL_TESTS();
}

#pragma once
// One offscreen QApplication for the widget suites.

#include <QApplication>

namespace qv::test {

inline QApplication& widget_app() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "widget_tests";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

}  // namespace qv::test

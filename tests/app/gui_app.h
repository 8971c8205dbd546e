#pragma once
// One QApplication for the window tests of this executable, on Qt's
// offscreen platform unless a platform was chosen.

#include <QApplication>
#include <cstdlib>
#include <memory>

namespace qv::test {

inline QApplication& GuiApp() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance()) {
        if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // Kept to the end of the process: destroying it after Qt's own
        // statics are gone would crash at exit.
        static QApplication* app = std::make_unique<QApplication>(argc, argv).release();
        (void)app;
    }
    return *qobject_cast<QApplication*>(QApplication::instance());
}

}  // namespace qv::test

#include "window_support.h"

#include <memory>

namespace qv {

namespace {

std::unique_ptr<QApplication> application_object;

struct QtEnvironment : ::testing::Environment {
    void TearDown() override { application_object.reset(); }
};
[[maybe_unused]] const auto* qt_environment =
    ::testing::AddGlobalTestEnvironment(std::make_unique<QtEnvironment>().release());

}  // namespace

QApplication& TestApplication() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!QApplication::instance()) application_object = std::make_unique<QApplication>(argc, argv);
    return *qobject_cast<QApplication*>(QApplication::instance());
}

}  // namespace qv

// The main window bound to its configuration file and command line, under
// Qt's offscreen platform: controls, grid, caption, key store and start timer.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <fstream>
#include <memory>

#include "app/core/config_file.h"
#include "app/core/password_codec.h"
#include "app/gui/remotex.h"
#include "export/sql_form.h"
#include "platform/worker_message.h"
#include "support/test_env.h"

namespace qv {
namespace {

// One application object for the whole program unless another suite made
// one, gone before the exit handlers run (Qt cannot take it down after its
// own globals).
std::unique_ptr<QApplication> qt_application;
struct QtApplicationEnd : ::testing::Environment {
    void TearDown() override { qt_application.reset(); }
};
[[maybe_unused]] const auto* qt_application_end =
    ::testing::AddGlobalTestEnvironment(std::make_unique<QtApplicationEnd>().release());

class ConfigWindow : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        if (QApplication::instance()) return;
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qt_application = std::make_unique<QApplication>(argc, argv);
    }
    void SetUp() override {
        window = std::make_unique<Tremotex>();
        window->KeyStorePath = dir + "/store/QUORVANTA.conf";
        window->LOG_FILE.setChecked(false);
        sqlForm = CreateSqlForm(*window);
    }

    std::string dir = test::makeTempDir("config_window");
    std::unique_ptr<Tremotex> window;
    std::unique_ptr<TSql_Form> sqlForm;
};

TEST_F(ConfigWindow, CommandLineLoadsTheFileIntoTheControls) {
    const std::string ini = dir + "/Site Config.ini";
    std::ofstream(ini) << "[MAIN]\nHOST=from-file\nRUTA=/srv/csv\nPARIDAD_CONTADOR=par\n"
                          "INTERVALO=0\nCONTADORES=7,1,1,,99,2,2,X\nPASSW="
                       << EncodePWDEx("pw") << "\n";
    window->ArgumentsFrom({"quorvanta", "-METERS", "12-1-5,13-1-5-OPC 7", "-INI", "\"" + ini + "\"",
                           "-IP", "10.0.0.9", "-NOSTART"});
    const WindowSettings s = window->Settings();
    EXPECT_EQ(std::tuple(s.Host, s.Conexion, s.Ruta, s.ParityText, s.Intervalo,
                         sqlForm->PASSWORD->text(), s.IniFileName, s.AutoMinimize, s.AutoClose),
              std::tuple("10.0.0.9", int(LinkTcp), "/srv/csv", "PAR", 0, "pw", ini, true, true));
    EXPECT_EQ(s.Grid.back(), (GridRow{"99", "2", "2", "X", ""}));  // merged after 12 and 13, 7
    EXPECT_FALSE(window->Delay_start.isActive());
    EXPECT_TRUE(window->windowTitle().endsWith(QString::fromStdString("   -   " + ini)));
    KeyStore store(window->KeyStorePath);
    ASSERT_TRUE(store.openKey(std::string(IniRecordKey), false));
    EXPECT_EQ(store.readString("INI"), ini);
    EXPECT_TRUE(
        window->Rx9.toPlainText().section('\n', 0, 0).endsWith("  - ANALIZANDO PARAMETROS"));
    // Saved again, the database window's boxes go with the window's settings.
    ASSERT_TRUE(window->Save_data(dir + "/saved.ini"));
    EXPECT_EQ(DecodePWDEx(IniFile(dir + "/saved.ini", false).readString("MAIN", "PASSW", "")),
              "pw");

    // Without NOSTART the run starts by itself.
    window->ArgumentsFrom({"quorvanta", "-CSV", "/tmp/out"});
    EXPECT_TRUE(window->Delay_start.isActive());
    window->Delay_start.stop();
}

// The load button restores the database window's boxes with the window's own.
TEST_F(ConfigWindow, LoadButtonLoadsBothWindows) {
    const std::string ini = dir + "/db.ini";
    std::ofstream(ini) << "[MAIN]\nHOST=h\nDB_NAME=lecturas\n";
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->selectFile(QString::fromStdString(ini));
        static_cast<QDialog*>(dialog)->accept();  // public there
    });
    window->BitBtn_LoadClick();
    EXPECT_EQ((window->HOST.text() + " " + sqlForm->DATA_BASE->text()).toStdString(), "h lecturas");
}

}  // namespace
}  // namespace qv

// The main window bound to its configuration file and command line, under
// Qt's offscreen platform: controls, grid, caption, key store and start timer.

#include <gtest/gtest.h>

#include <QApplication>
#include <fstream>
#include <memory>

#include "app/core/config_file.h"
#include "app/core/dates.h"
#include "app/core/password_codec.h"
#include "app/gui/remotex.h"
#include "platform/worker_message.h"
#include "support/test_env.h"

namespace qv {
namespace {

// One application object for the whole test program, made on first use and
// destroyed before the program's own exit (Qt's globals are gone after it).
class QtApplication : public ::testing::Environment {
  public:
    static void Start() {
        if (QApplication::instance()) return;
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

  private:
    static inline int argc_ = 1;
    static inline char name_[] = "app_tests";
    static inline char* argv_[] = {name_, nullptr};
    static inline std::unique_ptr<QApplication> app_;
};
// The test framework owns its environments.
[[maybe_unused]] const auto* qt_environment =
    ::testing::AddGlobalTestEnvironment(std::make_unique<QtApplication>().release());

class ConfigWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        QtApplication::Start();
        window = std::make_unique<Tremotex>();
        window->KeyStorePath = dir + "/store/QUORVANTA.conf";
        window->ConfigLog = [this](const std::string& t, int32_t c) { log.emplace_back(t, c); };
    }
    std::string dir = test::makeTempDir("config_window");
    std::unique_ptr<Tremotex> window;
    std::vector<std::pair<std::string, int32_t>> log;
};

TEST_F(ConfigWindow, CommandLineLoadsTheFileIntoTheControls) {
    const std::string ini = dir + "/Site Config.ini";
    std::ofstream(ini) << "[MAIN]\nHOST=from-file\nRUTA=/srv/csv\nPARIDAD_CONTADOR=par\n"
                          "INTERVALO=0\nCONTADORES=7,1,1,,99,2,2,X\nPASSW="
                       << EncodePWDEx("pw") << "\n";
    window->ArgumentsFrom({"quorvanta", "-METERS", "12-1-5,13-1-5-OPC 7", "-INI", "\"" + ini + "\"",
                           "-IP", "10.0.0.9", "-NOSTART"});
    const WindowSettings s = window->Settings();
    EXPECT_EQ(s.Host, "10.0.0.9");
    EXPECT_EQ(s.Conexion, LinkTcp);
    EXPECT_EQ(s.Ruta, "/srv/csv");
    EXPECT_EQ(s.ParityText, "PAR");
    EXPECT_EQ(s.Intervalo, 0);
    EXPECT_EQ(s.Sql.Password, "pw");
    EXPECT_EQ(s.IniFileName, ini);
    EXPECT_TRUE(s.AutoMinimize && s.AutoClose);
    ASSERT_EQ(s.Grid.size(), 5u);
    EXPECT_EQ(s.Grid[4], (GridRow{"99", "2", "2", "X", ""}));
    EXPECT_FALSE(window->Delay_start.isActive());
    EXPECT_TRUE(window->windowTitle().endsWith(QString::fromStdString("   -   " + ini)));
    KeyStore store(window->KeyStorePath);
    ASSERT_TRUE(store.openKey(std::string(IniRecordKey), false));
    EXPECT_EQ(store.readString("INI"), ini);
    EXPECT_EQ(log.front(), std::make_pair(std::string("- ANALIZANDO PARAMETROS"), colour::Yellow));

    // A single argument is ignored; two start the run by themselves.
    log.clear();
    window->ArgumentsFrom({"quorvanta", "-CSV"});
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(window->Delay_start.isActive());
    window->ArgumentsFrom({"quorvanta", "-CSV", "/tmp/out"});
    EXPECT_TRUE(window->Delay_start.isActive());
    window->Delay_start.stop();
}

TEST_F(ConfigWindow, SavedControlsLoadBackAndMetersMerge) {
    WindowSettings s = window->Settings();
    s.PortIndex = 4;
    s.BaudText = "57600";
    s.StopText = "2";
    s.Conexion = LinkAnalogModem;
    s.ModemInit = "ATZ";
    s.FechaInicio = NullDate;
    s.TipoSalida = OutputFtp;
    s.LogDisk = false;
    s.Sql.SshPass = "tunnel";
    window->ApplySettings(s);
    window->Add_to_Grid(12, 1, 5, "A B");
    window->Add_to_Grid(13, 1, 5, "");
    const std::string path = dir + "/saved.ini";
    ASSERT_TRUE(window->Save_data(path));

    Tremotex other;
    other.KeyStorePath = window->KeyStorePath;
    other.Add_to_Grid(40, 1, 1, "");
    other.Add_to_Grid(13, 9, 9, "old");
    other.Load_ini_file(path);
    const WindowSettings back = other.Settings();
    EXPECT_EQ(back.PortIndex, 4);
    EXPECT_EQ(back.BaudText, "57600");
    EXPECT_EQ(back.StopText, "2");
    EXPECT_EQ(back.Conexion, LinkAnalogModem);
    EXPECT_EQ(back.ModemInit, "ATZ");
    EXPECT_EQ(back.FechaInicio, NullDate);
    EXPECT_EQ(back.TipoSalida, OutputFtp);
    EXPECT_FALSE(back.LogDisk);
    EXPECT_EQ(ReadSqlKeys(IniFile(path, false)).SshPass, "tunnel");
    ASSERT_EQ(back.Grid.size(), 4u);
    EXPECT_EQ(back.Grid[2], (GridRow{"13", "1", "5", "", ""}));
    EXPECT_EQ(back.Grid[3], (GridRow{"12", "1", "5", "A B", ""}));

    other.Quitar_todo();
    EXPECT_EQ(other.Settings().Grid.size(), 2u);
    EXPECT_EQ(other.Settings().Grid[1], GridRow{});
}

}  // namespace
}  // namespace qv

// The settings window: its boxes, the configuration keys and the connection test.
#include "export/sql_form.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <filesystem>

#include "export/export_harness.h"
#include "platform/ini_file.h"
#include "support/test_env.h"

namespace qv {
namespace {

bool EnsureApplication() {
    static int argc = 1;
    static char name[] = "export_tests";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return true;
}

std::string Reversed(const std::string& s) {
    return {s.rbegin(), s.rend()};
}
std::string Box(const QLineEdit* e) {
    return e->text().toStdString();
}

struct FormTest : ::testing::Test {
    bool app = EnsureApplication();  // before any widget
    test::ExportHarness h;
    TSql_Form form{h.executor, h.receiver.target(),
                   [this](const std::string& t, int32_t c) { h.lines.emplace_back(t, c); }};
};

TEST_F(FormTest, ConfigurationKeysAndPortBoxesGetTheirDefaults) {
    const std::string dir = test::makeTempDir("qv_sql_form");
    const std::string file = dir + "/cfg.ini";
    IniFile(file).writeString("MAIN", "CONTADORES", "");
    form.Init(file, Reversed);
    // Not the window's initial texts ("" and "ROOT").
    EXPECT_EQ(Box(form.PUERTO) + Box(form.SSH_PORT) + Box(form.LIST_PORT), "3306223306");
    EXPECT_FALSE(form.Group_ssh->isVisibleTo(&form));

    IniFile(file).writeBool("MAIN", "HABILITA_TUNEL", true);
    IniFile(file).writeString("MAIN", "PASSW", "ssap bd");
    form.Init(file, Reversed);
    EXPECT_EQ(Box(form.PASSWORD), "db pass");
    EXPECT_TRUE(form.Group_ssh->isVisibleTo(&form));
    form.HABILITA_TUNEL->setChecked(false);
    EXPECT_FALSE(form.Group_ssh->isVisibleTo(&form));
    std::filesystem::remove_all(dir);

    // Port boxes that hold no number are used as their defaults and show them.
    form.SetSettings(DbSettings{});
    form.HABILITA_TUNEL->setChecked(true);
    form.SSH_HOST->setText("127.0.0.1");
    form.Output().Settings.ConnectTimeoutSeconds = 2;
    form.Crea_hilo({}, false);
    EXPECT_EQ(Box(form.LIST_PORT) + Box(form.SSH_PORT) + Box(form.DEST_PORT), "3307223306");
    EXPECT_EQ(h.lines.at(2).first, " - ERROR AL INICIAR EL TUNEL SSH:");
    EXPECT_EQ(form.RunningUploads(), 0u);
}

TEST_F(FormTest, ConnectionTestReportsTheServerAndClosesTheWindow) {
    DbSettings s = test::DbSettingsFromEnv();
    s.DATA_BASE = test::RequireEnv("QV_MYSQL_SCHEMA");
    s.HOST_NAME = "localhost";  // over TCP too, never the default local socket
    form.SetSettings(s);
    bool logShown = false;
    form.ShowLogPage = [&] { logShown = true; };
    form.Button_OKClick();
    EXPECT_TRUE(logShown);
    EXPECT_EQ(form.result(), 1);
    EXPECT_TRUE(form.GroupBox_config->isEnabled());
    ASSERT_TRUE(h.WaitIdle(form.Output())) << h.Log();
    EXPECT_EQ(h.lines.at(2).first, " - SERVIDOR DE BASES DE DATOS CONTACTADO DE FORMA EXITOSA !");
    EXPECT_EQ(h.lines.size(), 4u) << h.Log();
}

}  // namespace
}  // namespace qv

// The settings window: its boxes, the configuration keys and the connection test.
#include "export/sql_form.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <algorithm>
#include <filesystem>

#include "export/export_harness.h"
#include "platform/ini_file.h"
#include "support/test_env.h"

namespace qv {
namespace {

std::string Reversed(std::string s) {
    std::reverse(s.begin(), s.end());
    return s;
}

bool EnsureApplication() {
    static int argc = 1;
    static char name[] = "export_tests";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return true;
}

struct FormTest : ::testing::Test {
    std::string Box(const QLineEdit* e) { return e->text().toStdString(); }

    bool app = EnsureApplication();  // before any widget
    test::ExportHarness h;
    TSql_Form form{h.executor, h.receiver.target(),
                   [this](const std::string& t, int32_t c) { h.lines.emplace_back(t, c); }};
};

TEST_F(FormTest, ConfigurationKeysFillTheBoxesWithTheirOwnDefaults) {
    const std::string dir = test::makeTempDir("qv_sql_form");
    const std::string file = dir + "/cfg.ini";
    IniFile(file).writeString("MAIN", "CONTADORES", "");
    form.Init(file, Reversed);
    EXPECT_EQ(Box(form.PUERTO), "3306");  // the window's own initial text is empty
    EXPECT_EQ(Box(form.SSH_PORT), "22");
    EXPECT_EQ(Box(form.SSH_HOST), "");
    EXPECT_EQ(Box(form.DEST_HOST), "LOCALHOST");
    EXPECT_EQ(Box(form.LIST_PORT), "3306");
    EXPECT_FALSE(form.Group_ssh->isVisibleTo(&form));

    // What the window writes is what it reads back; passwords pass through the codec.
    DbSettings s = form.Settings();
    s.PASSWORD = "db pass";
    s.SSH_PASS = "ssh pass";
    s.HABILITA_TUNEL = true;
    s.DATA_BASE = "lecturas";
    s.LIST_PORT = "3399";
    {
        IniFile ini(file);
        WriteDbSettings(ini, s, Reversed);
        EXPECT_EQ(ini.readString("MAIN", "PASSW", ""), "ssap bd");
    }
    form.Init(file, Reversed);
    EXPECT_EQ(Box(form.PASSWORD), "db pass");
    EXPECT_EQ(Box(form.SSH_PASS), "ssh pass");
    EXPECT_EQ(Box(form.DATA_BASE), "lecturas");
    EXPECT_EQ(Box(form.LIST_PORT), "3399");
    EXPECT_TRUE(form.Group_ssh->isVisibleTo(&form));
    form.HABILITA_TUNEL->setChecked(false);
    EXPECT_FALSE(form.Group_ssh->isVisibleTo(&form));
    std::filesystem::remove_all(dir);
}

// Port boxes that hold no number are used as their defaults and show them.
TEST_F(FormTest, TunnelStartPutsDefaultsIntoPortBoxesThatHoldNoNumber) {
    EXPECT_EQ(Box(form.LIST_PORT), "ROOT");
    form.HABILITA_TUNEL->setChecked(true);
    form.SSH_HOST->setText("127.0.0.1");
    form.Output().Settings.ConnectTimeoutSeconds = 2;
    form.Crea_hilo({}, false);
    EXPECT_EQ(Box(form.LIST_PORT), "3307");
    EXPECT_EQ(Box(form.SSH_PORT), "22");
    EXPECT_EQ(Box(form.DEST_PORT), "3306");
    EXPECT_EQ(h.lines.at(2).first, " - ERROR AL INICIAR EL TUNEL SSH:");
    EXPECT_EQ(form.RunningUploads(), 0u);
}

TEST_F(FormTest, ConnectionTestReportsTheServerAndClosesTheWindow) {
    const DbSettings s = test::DbSettingsFromEnv();
    form.HOST_NAME->setText(QString::fromStdString(s.HOST_NAME));
    form.PUERTO->setText(QString::fromStdString(s.PUERTO));
    form.USER_NAME->setText(QString::fromStdString(s.USER_NAME));
    form.PASSWORD->setText(QString::fromStdString(s.PASSWORD));
    form.DATA_BASE->setText(QString::fromStdString(test::RequireEnv("QV_MYSQL_SCHEMA")));
    bool logShown = false;
    form.ShowLogPage = [&] { logShown = true; };
    form.Button_OKClick();
    EXPECT_TRUE(logShown);
    EXPECT_EQ(form.result(), 1);
    EXPECT_TRUE(form.GroupBox_config->isEnabled());
    ASSERT_TRUE(h.WaitIdle(form.Output())) << h.Log();
    EXPECT_EQ(h.Log(),
              " - INICIANDO COMUNICACION CON BASE DE DATOS...\n"
              " - CONTACTANDO SERVIDOR DE BASES DE DATOS !\n"
              " - SERVIDOR DE BASES DE DATOS CONTACTADO DE FORMA EXITOSA !\n"
              " - DESCONECTADO DE LA BASE DE DATOS...\n");
}

}  // namespace
}  // namespace qv

// The settings window: its boxes, the configuration keys and the connection test.
#include "export/sql_form.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>

#include "export/export_harness.h"

namespace qv {
namespace {

struct FormTest : ::testing::Test {
    test::ExportHarness h;
    TSql_Form form{h.executor, h.receiver.target(),
                   [this](const std::string& t, int32_t c) { h.lines.emplace_back(t, c); }};
};

// Reading the keys from a file: the main window's configuration tests.
TEST_F(FormTest, TunnelBoxesAndPortBoxesGetTheirDefaults) {
    form.SetSettings(DbSettings{});
    EXPECT_FALSE(form.Group_ssh->isVisibleTo(&form));
    form.HABILITA_TUNEL->setChecked(true);
    EXPECT_TRUE(form.Group_ssh->isVisibleTo(&form));
    form.HABILITA_TUNEL->setChecked(false);
    EXPECT_FALSE(form.Group_ssh->isVisibleTo(&form));

    // Port boxes that hold no number are used as their defaults and show them.
    form.HABILITA_TUNEL->setChecked(true);
    form.SSH_HOST->setText("127.0.0.1");
    form.Output().Settings.ConnectTimeoutSeconds = 2;
    form.Crea_hilo({}, false);
    EXPECT_EQ(
        (form.LIST_PORT->text() + form.SSH_PORT->text() + form.DEST_PORT->text()).toStdString(),
        "3307223306");
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
    ASSERT_TRUE(h.WaitIdle(std::chrono::seconds(60), &form.Output())) << h.Log();
    EXPECT_EQ(h.lines.at(2).first, " - SERVIDOR DE BASES DE DATOS CONTACTADO DE FORMA EXITOSA !");
    EXPECT_EQ(h.lines.size(), 4u) << h.Log();
}

}  // namespace
}  // namespace qv

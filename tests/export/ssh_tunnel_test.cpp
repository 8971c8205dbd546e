// Uploads through an SSH tunnel to the MariaDB test server, via the sshd test server.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "export/export_harness.h"
#include "export/sql_rows.h"
#include "support/loopback_peer.h"
#include "support/test_env.h"

namespace qv {
namespace {

using Lines = std::vector<std::pair<std::string, int32_t>>;

uint16_t FreePort() {
    test::LoopbackListener l;
    return l.port();
}

class SshTunnelUpload : public ::testing::Test {
  protected:
    void SetUp() override {
        DbSettings& s = h.output.Settings;
        s = test::DbSettingsFromEnv();
        client.FreshTable(s.DATA_BASE);
        s.HABILITA_TUNEL = true;
        s.SSH_HOST = test::RequireEnv("QV_SSH_HOST");
        s.SSH_PORT = test::RequireEnv("QV_SSH_PORT");
        s.SSH_LOGIN = test::RequireEnv("QV_SSH_USER");
        s.SSH_PASS = test::RequireEnv("QV_SSH_PASSWORD");
        s.KnownHostsFile = test::RequireEnv("QV_SSH_KNOWN_HOSTS");
        // The server is reached through the tunnel's local end.
        s.DEST_HOST = s.HOST_NAME;
        s.DEST_PORT = s.PUERTO;
        s.LIST_PORT = s.PUERTO = std::to_string(FreePort());
        dir = test::makeTempDir("qv_ssh_upload");
    }
    void TearDown() override {
        std::filesystem::remove_all(dir);
        client.Drop(h.output.Settings.DATA_BASE);
    }
    std::size_t Stored() {
        return client
            .Rows("SELECT NOMBRE FROM " + QuoteIdentifier(h.output.Settings.DATA_BASE) +
                  ".quorvanta")
            .size();
    }

    std::string File(const std::string& name, const std::string& time) {
        return test::WriteFile(
            dir, name + ".CSV",
            {"OPC_ID : " + name, test::kHeader,
             test::CsvRow("05/12/26", time, "Invierno", {"1", "2", "3", "4", "5", "6"})});
    }
    std::size_t Count(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& l : h.lines) n += l.first == text;
        return n;
    }

    test::ExportHarness h;
    test::SqlClient client;
    std::string dir;
};

const std::string kTunnelUp = " - TUNEL INICIADO DE FORMA EXITOSA!";
const std::string kTunnelDown = " - TUNEL CERRADO DE FORMA EXITOSA!";

TEST_F(SshTunnelUpload, UploadsThroughTheTunnelAndClosesItAtTheEnd) {
    h.output.Subir_a_base(File("M1", "00:15"), false);
    ASSERT_TRUE(h.WaitIdle()) << h.Log();
    EXPECT_EQ(h.lines,
              (Lines{{" - INICIANDO COMUNICACION CON BASE DE DATOS...", colour::Yellow},
                     {" - LOADING SSH CONFIG...", colour::White},
                     {kTunnelUp, colour::Green},
                     {" - CONTACTANDO SERVIDOR DE BASES DE DATOS !", colour::White},
                     {" - SERVIDOR DE BASES DE DATOS CONTACTADO DE FORMA EXITOSA !", colour::Green},
                     {" - SE SUBIRAN 1 DATOS...", colour::Yellow},
                     {" -   INSERTADO DATO  1", colour::White},
                     {kTunnelDown, colour::Green},
                     {" - DESCONECTADO DE LA BASE DE DATOS...", colour::Green}}));
    EXPECT_EQ(Stored(), 1u);
}

// A second upload while the first still runs goes through the same tunnel; the
// tunnel closes after the last of them.
TEST_F(SshTunnelUpload, UploadsAtOnceShareOneTunnel) {
    for (int i = 0; i < 3; ++i)
        h.output.Subir_a_base(File("M" + std::to_string(i), "00:15"), false);
    EXPECT_EQ(h.output.RunningUploads(), 3u);
    ASSERT_TRUE(h.WaitIdle()) << h.Log();
    EXPECT_EQ(Count(kTunnelUp), 3u) << h.Log();
    EXPECT_EQ(Count(" -   INSERTADO DATO  1"), 3u) << h.Log();
    EXPECT_EQ(Count(kTunnelDown), 1u) << h.Log();
    EXPECT_EQ(h.lines.back().first, " - DESCONECTADO DE LA BASE DE DATOS...");
    EXPECT_EQ(Stored(), 3u);
}

TEST_F(SshTunnelUpload, RefusedTunnelsStopTheUploadWithTheirReason) {
    const std::string keyOfAnother =
        "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBP+i3gMgh9pPxezsJocn/0Up0/9rT8B7SwaKrvaMOa/";
    const DbSettings good = h.output.Settings;
    const std::string empty = test::WriteFile(dir, "empty_known_hosts", {});
    const std::string changed = dir + "/changed_known_hosts";
    std::ofstream(changed) << "[" << good.SSH_HOST << "]:" << good.SSH_PORT << " " << keyOfAnother
                           << "\n";
    test::LoopbackListener busy;
    const struct {
        std::string password, knownHosts, listenPort, reason;
    } cases[] = {
        {"wrong", good.KnownHostsFile, good.LIST_PORT, "RECHAZA EL USUARIO " + good.SSH_LOGIN},
        {good.SSH_PASS, good.KnownHostsFile, std::to_string(busy.port()),
         "NO SE PUEDE ESCUCHAR EN 127.0.0.1:" + std::to_string(busy.port())},
        {good.SSH_PASS, empty, good.LIST_PORT, "DESCONOCIDA (SHA256:"},
        {good.SSH_PASS, changed, good.LIST_PORT, "HA CAMBIADO"},
    };
    for (const auto& c : cases) {
        h.output.Settings.SSH_PASS = c.password;
        h.output.Settings.KnownHostsFile = c.knownHosts;
        h.output.Settings.LIST_PORT = c.listenPort;
        h.lines.clear();
        h.output.Subir_a_base(File("M1", "00:15"), false);
        EXPECT_EQ(h.output.RunningUploads(), 0u);
        ASSERT_EQ(h.lines.size(), 4u) << h.Log();
        EXPECT_EQ(h.lines[2],
                  std::make_pair(std::string(" - ERROR AL INICIAR EL TUNEL SSH:"), colour::Red));
        EXPECT_NE(h.lines[3].first.find(c.reason), std::string::npos) << h.lines[3].first;
        EXPECT_EQ(h.lines[3].second, colour::Red);
    }
    // The unknown key's line says how to add it.
    EXPECT_NE(h.lines[3].first.find("ssh-keyscan -p " + good.SSH_PORT), std::string::npos);
    // A refused start leaves the port free for the next upload.
    h.output.Settings = good;
    h.lines.clear();
    h.output.Subir_a_base(File("M1", "00:15"), false);
    ASSERT_TRUE(h.WaitIdle()) << h.Log();
    EXPECT_EQ(Count(" -   INSERTADO DATO  1"), 1u) << h.Log();
}

}  // namespace
}  // namespace qv

// Uploads through an SSH tunnel to the MariaDB test server, via the sshd test server.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "export/export_harness.h"
#include "support/loopback_peer.h"

namespace qv {
namespace {

class SshTunnelUpload : public test::UploadTest {
  protected:
    void SetUp() override {
        UploadTest::SetUp();
        DbSettings& s = h.output.Settings;
        s.HABILITA_TUNEL = true;
        s.SSH_HOST = test::RequireEnv("QV_SSH_HOST");
        s.SSH_PORT = test::RequireEnv("QV_SSH_PORT");
        s.SSH_LOGIN = test::RequireEnv("QV_SSH_USER");
        s.SSH_PASS = test::RequireEnv("QV_SSH_PASSWORD");
        s.KnownHostsFile = test::RequireEnv("QV_SSH_KNOWN_HOSTS");
        // The server is reached through the tunnel's local end.
        s.DEST_HOST = s.HOST_NAME;
        s.DEST_PORT = s.PUERTO;
        s.LIST_PORT = s.PUERTO = std::to_string(test::LoopbackListener().port());
    }
    void Start(const std::string& meter) {
        h.output.Subir_a_base(test::ReadingsFile(dir, meter,
                                                 {test::CsvRow("05/12/26", "00:15", "I",
                                                               {"1", "2", "3", "4", "5", "6"})}),
                              false);
    }
    std::size_t Count(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& l : h.lines) n += l.first == text;
        return n;
    }
};

// Each refusal stops the upload with the reason; a refused start leaves the
// port free for the next uploads, which go through one tunnel: a second upload
// while the first still runs uses it too, and it closes after the last of them.
TEST_F(SshTunnelUpload, RefusedTunnelsStopTheUploadWithTheirReasonAndFreeThePort) {
    const DbSettings good = h.output.Settings;
    const std::string empty = test::WriteFile(dir, "empty_known_hosts", {});
    test::LoopbackListener busy;
    const struct {
        std::string password, knownHosts, listenPort, reason;
    } cases[] = {
        {"wrong", good.KnownHostsFile, good.LIST_PORT, "RECHAZA EL USUARIO " + good.SSH_LOGIN},
        {good.SSH_PASS, good.KnownHostsFile, std::to_string(busy.port()),
         "NO SE PUEDE ESCUCHAR EN 127.0.0.1:" + std::to_string(busy.port())},
        {good.SSH_PASS, empty, good.LIST_PORT,
         "DESCONOCIDA (SHA256:"},  // says how to add it, last so that it is checked below
    };
    for (const auto& c : cases) {
        h.output.Settings.SSH_PASS = c.password;
        h.output.Settings.KnownHostsFile = c.knownHosts;
        h.output.Settings.LIST_PORT = c.listenPort;
        h.lines.clear();
        Start("M1");
        EXPECT_EQ(h.output.RunningUploads(), 0u);
        ASSERT_EQ(h.lines.size(), 4u) << h.Log();
        EXPECT_EQ(h.lines[2].first, " - ERROR AL INICIAR EL TUNEL SSH:");
        EXPECT_EQ(h.lines[3].second, colour::Red);
        EXPECT_NE(h.lines[3].first.find(c.reason), std::string::npos) << h.lines[3].first;
    }
    EXPECT_NE(h.lines[3].first.find("ssh-keyscan -p " + good.SSH_PORT), std::string::npos);
    h.output.Settings = good;
    h.lines.clear();
    for (const char* meter : {"M1", "M2", "M3"}) Start(meter);
    EXPECT_EQ(h.output.RunningUploads(), 3u);
    ASSERT_TRUE(h.WaitIdle()) << h.Log();
    EXPECT_EQ(Count(" - TUNEL INICIADO DE FORMA EXITOSA!"), 3u) << h.Log();
    EXPECT_EQ(Count(" - TUNEL CERRADO DE FORMA EXITOSA!"), 1u) << h.Log();
    EXPECT_EQ(h.lines.back().first, " - DESCONECTADO DE LA BASE DE DATOS...");
    EXPECT_EQ(Stored().size(), 3u);
}

// An open tunnel without clients waits: packets that belong to no channel
// (the server's notices after the login) must not keep it spinning.
TEST_F(SshTunnelUpload, IdleTunnelWaitsWithoutSpinning) {
    ASSERT_TRUE(h.output.start_ssh()) << h.Log();
    const std::clock_t before = std::clock();  // the process's processor time
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(std::clock() - before, CLOCKS_PER_SEC / 2);
}

}  // namespace
}  // namespace qv

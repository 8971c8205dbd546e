// The real quorvanta executable handing readings on to the real servers that
// scripts/test starts: an existing file loaded into the database from the
// command line (plain and unique mode), and an unattended FTP run against
// meter-sim. In both the program stays open until its uploads have ended.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/core/password_codec.h"
#include "export/export_harness.h"
#include "meter-sim/meter_sim.h"
#include "support/loopback_peer.h"
#include "support/test_env.h"

extern char** environ;

namespace qv {
namespace {

#if defined(QV_QUORVANTA_EXE)

namespace fs = std::filesystem;
using namespace std::chrono;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A copy of the program in `dir`, started there without a display (its log,
// lock and CSV files of the FTP output are the test's).
class Program {
  public:
    Program(const std::string& dir, std::vector<std::string> args) : dir_(dir) {
        const std::string exe = dir + "/quorvanta";
        if (!fs::exists(exe)) fs::copy_file(QV_QUORVANTA_EXE, exe);
        std::ofstream(dir + "/lsan.supp") << "leak:libfontconfig.so\n";  // Qt's font caches
        std::vector<std::string> env{"LSAN_OPTIONS=suppressions=" + dir + "/lsan.supp"};
        for (char** e = environ; *e; ++e) {
            const std::string_view v(*e);
            if (!v.starts_with("DISPLAY=") && !v.starts_with("WAYLAND_DISPLAY=") &&
                !v.starts_with("QT_QPA_PLATFORM=") && !v.starts_with("LSAN_OPTIONS="))
                env.emplace_back(v);
        }
        args.insert(args.begin(), exe);
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        for (auto& e : env) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() {
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // The exit code once the program has closed by itself within `timeout`;
    // -1 while it still runs.
    int Wait(milliseconds timeout) {
        for (const auto deadline = steady_clock::now() + timeout; !ended_;) {
            ended_ = waitpid(pid_, &status_, WNOHANG) == pid_;
            if (ended_ || steady_clock::now() > deadline) break;
            std::this_thread::sleep_for(milliseconds(20));
        }
        return ended_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    // Once the reading run has ended (its status file is there), the program
    // must stay open while an upload runs: well past its 3 s to the close.
    void ExpectHeldOpenAfterTheRun() {
        const auto deadline = steady_clock::now() + seconds(60);
        while (!fs::exists(dir_ + "/quorvanta_STATUSLOG.CSV") && steady_clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(50));
        EXPECT_EQ(Wait(seconds(6)), -1) << "closed while an upload was running";
    }

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool ended_ = false;
};

// One simulated meter whose closures are read daily over two days (three
// closures): a run of a few seconds.
struct OneMeter {
    static sim::SimConfig Config() {
        sim::SimConfig c;
        c.meters.push_back({101, 1, 7, {}});
        return c;
    }
    std::vector<std::string> Run(std::vector<std::string> args) const {
        for (const char* a :
             {"-IP", "127.0.0.1", "-PORT", port.c_str(), "-METERS", "101-1-7", "-FROM",
              "2026/06/10", "-TO", "2026/06/11", "-INTERVAL", "D", "-INTERASDUS", "0"})
            args.emplace_back(a);
        return args;
    }
    sim::MeterSim sim{Config()};
    std::string port = std::to_string(sim.listenTcp());
};

TEST(ProgramExport, DbUploadFromTheCommandLinePlainAndUnique) {
    const OneMeter meter;
    const DbSettings db = test::DbSettingsFromEnv();
    test::SqlClient client;
    client.FreshTable(db.DATA_BASE);
    const std::string dir = test::makeTempDir("program_db");
    const std::string ini = dir + "/db.ini";
    std::ofstream(ini) << "[MAIN]\nHOST_NAME=" << db.HOST_NAME << "\nPUERTO=" << db.PUERTO
                       << "\nDB_NAME=" << db.DATA_BASE << "\nUSER_NAME=" << db.USER_NAME
                       << "\nPASSW=" << EncodePWDEx(db.PASSWORD) << "\n";
    const auto row = [](const char* time, const char* first) {
        return test::CsvRow("05/12/26", time, "Invierno", {first, "0", "45", "0", "6", "0"});
    };
    const auto stored = [&] {
        std::string text;
        for (const auto& r : client.Rows("SELECT NOMBRE, METER_DATE, METER_TIME, E_ACTIVA_POS, "
                                         "E_REACTIVA_L_POS, COD_ERROR FROM `" +
                                         db.DATA_BASE + "`.quorvanta ORDER BY METER_TIME"))
            for (std::size_t i = 0; i < r.size(); ++i)
                text += r[i] + (i + 1 < r.size() ? " " : "\n");
        return text;
    };

    // The table is locked: the upload waits, and so does the program after
    // its run, until the writer has written every row.
    const std::string first = test::ReadingsFile(
        dir, "M1", {row("00:15", "100"), row("00:30", "200"), row("00:45", "300")});
    client.Run("LOCK TABLES `" + db.DATA_BASE + "`.quorvanta WRITE");
    Program plain(dir, meter.Run({"-INI", ini, "-CSV", dir, "-DBUPLOAD", first}));
    plain.ExpectHeldOpenAfterTheRun();
    client.Run("UNLOCK TABLES");
    EXPECT_EQ(plain.Wait(seconds(60)), 0);
    EXPECT_EQ(stored(),
              "M1 2026-12-05 00:15:00 100 45 0\nM1 2026-12-05 00:30:00 200 45 0\n"
              "M1 2026-12-05 00:45:00 300 45 0\n");
    // The window's, the database window's and the writer thread's lines.
    const std::string log = readFile(dir + "/quorvanta.LOG");
    for (const std::string& line :
         {"  - SUBIR FICHERO A LA BD : " + QString::fromStdString(first).toUpper().toStdString(),
          std::string(" - INICIANDO COMUNICACION CON BASE DE DATOS..."),
          std::string("SE SUBIRAN 3 DATOS..."), std::string("INSERTADO DATO  3"),
          std::string(" - DESCONECTADO DE LA BASE DE DATOS...")})
        EXPECT_NE(log.find(line + "\r\n"), std::string::npos) << line;

    // Unique mode, asked for anywhere on the command line in any case: an
    // existing key is updated, one marked as an error is kept, a new one added.
    const std::string second = test::ReadingsFile(
        dir, "M1", {row("00:15", "111"), row("00:30", "- "), row("01:00", "400")});
    Program unique(dir, meter.Run({"-dbUnique", "-INI", ini, "-CSV", dir, "-DBUPLOAD", second}));
    EXPECT_EQ(unique.Wait(seconds(60)), 0);
    EXPECT_EQ(stored(),
              "M1 2026-12-05 00:15:00 111 45 0\nM1 2026-12-05 00:30:00 200 45 0\n"
              "M1 2026-12-05 00:45:00 300 45 0\nM1 2026-12-05 01:00:00 400 45 0\n");
    client.Drop(db.DATA_BASE);
    if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

// Holds an FTP control connection back until released, then relays it to
// the server: the upload is still running when the reading run has ended.
test::LoopbackPeer::Serve HeldRelay(uint16_t serverPort, const std::atomic<bool>& release) {
    return [serverPort, &release](int client, const std::atomic<bool>& stop) {
        while (!release)
            if (stop)
                return;
            else
                std::this_thread::sleep_for(milliseconds(50));
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(serverPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        char buffer[4096];
        bool open = connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        while (open && !stop && poll(fds, 2, 100) >= 0)
            for (int i = 0; i < 2 && open; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                open = n > 0 && write(fds[1 - i].fd, buffer, n) == n;
            }
        close(server);
    };
}

TEST(ProgramExport, UnattendedFtpRunClosesAfterTheUploadArrived) {
    const OneMeter meter;
    const std::string ftpRoot = test::RequireEnv("QV_FTP_ROOT");
    std::atomic<bool> release{false};
    test::LoopbackPeer relay(HeldRelay(std::stoi(test::RequireEnv("QV_FTP_PORT")), release));
    const std::string remote = ftpRoot + "/up" + std::to_string(getpid());
    fs::create_directory(remote);
    fs::permissions(remote, fs::perms::all);  // the server's sessions run as nobody
    const std::string target = test::RequireEnv("QV_FTP_USER") + ":" +
                               test::RequireEnv("QV_FTP_PASS") +
                               "@127.0.0.1:" + std::to_string(relay.port()) + "/" +
                               fs::path(remote).filename().string() + "/";

    const std::string dir = test::makeTempDir("program_ftp");
    Program program(dir, meter.Run({"-FTP", target}));
    program.ExpectHeldOpenAfterTheRun();
    release = true;
    EXPECT_EQ(program.Wait(seconds(60)), 0);
    // Arrived whole, and the local copy is gone once the server had it.
    std::vector<fs::path> uploaded;
    for (const auto& e : fs::directory_iterator(remote)) uploaded.push_back(e.path());
    ASSERT_EQ(uploaded.size(), 1u);
    const std::string text = readFile(uploaded[0]);
    EXPECT_TRUE(text.starts_with("FECHA;")) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 3);
    EXPECT_FALSE(fs::exists(fs::path(dir) / uploaded[0].filename()));
    EXPECT_NE(readFile(dir + "/quorvanta.LOG").find(" - DESCONECTANDO FTP...\r\n"),
              std::string::npos);
    fs::remove_all(remote);
    if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

#endif

}  // namespace
}  // namespace qv

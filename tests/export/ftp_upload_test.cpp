// The FTP output against a real pure-ftpd on loopback (scripts/services/ftp.sh).

#include "export/ftp_upload.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include "export/export_harness.h"
#include "platform/main_executor.h"
#include "support/loopback_peer.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(FtpTarget, TakesUserPasswordHostAndFolderApart) {
    struct Case {
        const char* text;
        FtpTarget want;
    };
    const Case cases[] = {
        {"ftp.example/dir", {"ftp.example", "", "", "/dir"}},
        {"user@host/dir", {"host", "user", "", "/dir"}},
        {"user:pw@host", {"host", "user", "pw", ""}},
        {"u:p:q@h/x/y", {"h", "u", "p:q", "/x/y"}},
        // An "@" before the first ":" leaves the password empty; the port stays with the host.
        {"user@host:2121/d", {"host:2121", "user@host", "", "/d"}},
    };
    for (const Case& c : cases) {
        const FtpTarget t = ParseFtpTarget(c.text);
        EXPECT_EQ(t.Host, c.want.Host) << c.text;
        EXPECT_EQ(t.User, c.want.User) << c.text;
        EXPECT_EQ(t.Password, c.want.Password) << c.text;
        EXPECT_EQ(t.RemoteDir, c.want.RemoteDir) << c.text;
    }
    std::string host;
    uint16_t port = 0;
    FtpClient::SplitHostPort("[::1]:2121", host, port);
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 2121);
    FtpClient::SplitHostPort("ftp.example", host, port);
    EXPECT_EQ(port, 21);
}

struct Message {
    int kind;
    std::string text;
    int32_t value;
};

// One upload job as the main window sees it: its messages, its log lines and
// its end.
struct Watched {
    explicit Watched(MainExecutor& executor)
        : receiver(executor,
                   [this](int kind, std::unique_ptr<MessagePayload> p) {
                       const auto* t = dynamic_cast<const Tmensaje_TXT*>(p.get());
                       messages.push_back({kind, t ? t->Text : "", t ? t->Value : 0});
                   }),
          uploads(FtpJobContext{receiver.target(), &executor,
                                [this](const std::string& s, int32_t) { shown.push_back(s); },
                                [this](bool) { ++ended; }}) {}

    // A log line of this colour that starts with `start` and holds `part`.
    bool logged(const std::string& start, int32_t colour, const std::string& part = "") const {
        for (const Message& m : messages)
            if (m.kind == MSG_LOG && m.value == colour && m.text.starts_with(start) &&
                m.text.find(part) != std::string::npos)
                return true;
        return false;
    }
    bool progressShown() const {
        for (const Message& m : messages)
            if (m.kind == MSG_PROGRESSINIT) return true;
        return false;
    }

    MessageReceiver receiver;
    std::vector<Message> messages;
    std::vector<std::string> shown;
    int ended = 0;
    FtpUploads uploads;
};

class FtpUpload : public ::testing::Test {
  protected:
    void SetUp() override { dir = test::makeTempDir("ftp"); }

    static std::string env(const char* name) { return test::RequireEnv(name); }
    static std::string server() { return env("QV_FTP_HOST") + ":" + env("QV_FTP_PORT"); }
    static std::string target(const std::string& folder,
                              const std::string& pass = env("QV_FTP_PASS")) {
        return env("QV_FTP_USER") + ":" + pass + "@" + server() + folder;
    }

    std::string makeFile(const std::string& name, std::size_t size) {
        std::string bytes(size, '\0');
        std::mt19937 rng(static_cast<unsigned>(size));
        for (char& c : bytes) c = static_cast<char>(rng());
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    LoopExecutor executor;
    std::string dir;
};

TEST_F(FtpUpload, FileArrivesWholeWithProgressAndTheLocalCopyGoes) {
    const std::string local = makeFile("7001_26_12_06.CSV", 250'000);
    const std::string content = read(local);
    Watched job(executor);
    job.uploads.Start(local, target("/"));
    ASSERT_TRUE(executor.runUntil([&] { return job.ended == 1; }, 30s));

    EXPECT_EQ(read(env("QV_FTP_ROOT") + "/7001_26_12_06.CSV"), content);
    EXPECT_FALSE(fs::exists(local));
    ASSERT_EQ(job.shown.size(), 1u);
    EXPECT_EQ(job.shown[0], "- CONECTANDO CON SERVIDOR FTP : " + server() +
                                "  USER: " + env("QV_FTP_USER") + "  PASS: ****");
    EXPECT_TRUE(
        job.logged("- CONECTADO CON SERVIDOR FTP.  BUSCANDO LA CARPETA : /", colour::Green));
    EXPECT_TRUE(job.logged("- SUBIENDO A FTP FICHERO : 7001_26_12_06.CSV", colour::Yellow));

    // Progress in steps of 102 bytes up to the file's size, then 0 to hide the window.
    int32_t maximum = -1, last = -1;
    std::vector<int32_t> positions;
    for (const Message& m : job.messages) {
        if (m.kind == MSG_PROGRESSINIT) maximum = m.value;
        if (m.kind == MSG_PROGRESSPOS) positions.push_back(m.value);
    }
    EXPECT_EQ(maximum, 250'000 / 102);
    ASSERT_GE(positions.size(), 2u);
    EXPECT_EQ(positions.back(), 0);
    positions.pop_back();
    for (int32_t p : positions) {
        EXPECT_GE(p, last);
        last = p;
    }
    EXPECT_EQ(last, 250'000 / 102);
    EXPECT_EQ(job.messages.back().kind, MSG_PROGRESSPOS);
    EXPECT_TRUE(job.logged(" - DESCONECTANDO FTP...", colour::Yellow));
}

TEST_F(FtpUpload, FailuresEndInBoundedTimeAndKeepTheFile) {
    test::LoopbackListener silent;  // accepts and never says a word
    std::optional<test::LoopbackListener> gone(std::in_place);
    const uint16_t downPort = gone->port();
    gone.reset();

    struct Case {
        const char* name;
        std::string target;
        const char* reason;  // part of the red line
    };
    const Case cases[] = {
        {"wrong password", target("/", "not-the-password"), "530"},
        {"missing folder", target("/no-such-folder/"), "550"},
        {"server down", "u:p@127.0.0.1:" + std::to_string(downPort) + "/", "cannot connect"},
        {"silent server", "u:p@127.0.0.1:" + std::to_string(silent.port()) + "/", "timed out"},
    };
    // All at once, as the program runs one job per meter.
    std::vector<std::unique_ptr<Watched>> jobs;
    std::vector<std::string> files;
    for (const Case& c : cases) {
        files.push_back(makeFile(std::string(c.name) + ".CSV", 5000));
        jobs.push_back(std::make_unique<Watched>(executor));
        jobs.back()->uploads.Start(files.back(), c.target);
    }
    ASSERT_TRUE(executor.runUntil(
        [&] {
            for (auto& j : jobs)
                if (j->ended == 0) return false;
            return true;
        },
        40s));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const Watched& job = *jobs[i];
        EXPECT_TRUE(job.logged("- IMPOSIBLE CONECTAR/ENVIAR FICHERO CON EL SERVIDOR FTP ! - ",
                               colour::Red, cases[i].reason));
        EXPECT_TRUE(fs::exists(files[i]));
        EXPECT_FALSE(job.progressShown());
        EXPECT_TRUE(job.logged(" - DESCONECTANDO FTP...", colour::Yellow));
    }
}

TEST_F(FtpUpload, TwoUploadsAtOnceBothArrive) {
    Watched job(executor);
    const std::string a = makeFile("7101_26_12_06.CSV", 120'000);
    const std::string b = makeFile("7102_26_12_06.CSV", 80'000);
    const std::string ca = read(a), cb = read(b);
    job.uploads.Start(a, target("/"));
    job.uploads.Start(b, target("/"));
    EXPECT_EQ(job.uploads.Pending(), 2);
    ASSERT_TRUE(executor.runUntil([&] { return job.ended == 2; }, 30s));
    EXPECT_EQ(job.uploads.Pending(), 0);
    EXPECT_EQ(read(env("QV_FTP_ROOT") + "/7101_26_12_06.CSV"), ca);
    EXPECT_EQ(read(env("QV_FTP_ROOT") + "/7102_26_12_06.CSV"), cb);
}

TEST_F(FtpUpload, AFileThatCannotBeReadIsReportedAndKept) {
    const std::string local = makeFile("7201_26_12_06.CSV", 1000);
    fs::permissions(local, fs::perms::none);
    const bool readable = std::ifstream(local).good();  // root reads anyway
    Watched job(executor);
    job.uploads.Start(readable ? dir + "/missing.CSV" : local, target("/"));
    ASSERT_TRUE(executor.runUntil([&] { return job.ended == 1; }, 30s));
    EXPECT_TRUE(job.logged("- ERROR AL LEER EL FICHERO LOCAL : ", colour::Red));
    EXPECT_TRUE(fs::exists(local));
    EXPECT_FALSE(job.progressShown());
}

TEST_F(FtpUpload, ClosingTheProgramStopsAHangingUploadPromptly) {
    test::LoopbackListener silent;
    const std::string local = makeFile("7301_26_12_06.CSV", 1000);
    auto job = std::make_unique<Watched>(executor);
    job->uploads.Start(local, "u:p@127.0.0.1:" + std::to_string(silent.port()) + "/");
    executor.runUntil([] { return false; }, 300ms);
    const auto t0 = std::chrono::steady_clock::now();
    job.reset();  // stops and joins, well before the 10 s login deadline
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    executor.processPending();  // a late end handler finds nothing to call
    EXPECT_TRUE(fs::exists(local));
}

}  // namespace
}  // namespace qv

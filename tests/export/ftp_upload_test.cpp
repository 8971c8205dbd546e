// The FTP output against a real pure-ftpd on loopback (scripts/services/ftp.sh).

#include "export/ftp_upload.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include "export/export_harness.h"
#include "platform/main_executor.h"
#include "support/condition_wait.h"
#include "support/loopback_peer.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(FtpTarget, TakesUserPasswordHostAndFolderApartOrRefusesWithoutShowingThePassword) {
    // want: host|user|password|folder, or "!" for a target refused; then the
    // target as logged.
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"ftp.example/dir", "ftp.example|||/dir", "ftp.example/dir"},
        {"user@host/dir", "host|user||/dir", "user@host/dir"},
        {"u:p:q@h/x/y", "h|u|p:q|/x/y", "u:****@h/x/y"},
        // The login ends at the last "@", the password at its first ":"; the
        // port stays with the host for the client.
        {"user@host:2121/d", "host:2121|user||/d", "user@host:2121/d"},
        {"u:p@s:s@h:21/x", "h:21|u|p@s:s|/x", "u:****@h:21/x"},
        {"u:pa/ss@h/x/", "h|u|pa/ss|/x/", "u:****@h/x/"},
        {"ftp://u:p%2F%40@[::1]:21/a%20b/", "[::1]:21|u|p/@|/a b/", "ftp://u:****@[::1]:21/a%20b/"},
        // Beyond ASCII: the bytes as typed, escapes decoded to the same UTF-8.
        {"qvftp-ü:Pä5-wörd@h/año €/", "h|qvftp-ü|Pä5-wörd|/año €/", "qvftp-ü:****@h/año €/"},
        {"ftp://u:P%C3%A45@h/a%C3%B1o/", "h|u|Pä5|/año/", "ftp://u:****@h/a%C3%B1o/"},
        // A ":" without "user@" may be a password; no host, a bad port or escape,
        // another scheme.
        {"user:secret", "!", "user:****"},
        {"u:secret@/d/", "!", "u:****@/d/"},
        {"u:p@h:21x/", "!", "u:****@h:21x/"},
        {"ftp://u@h/x%0D%0ADELE%20y", "!", "ftp://u@h/x%0D%0ADELE%20y"},
        {"sftp://u:secret@h/", "!", "sftp://u:****@h/"},
    };
    for (const auto& [text, want, shown] : cases) {
        std::string why;
        const auto t = ParseFtpTarget(text, why);
        EXPECT_EQ(t ? t->Host + "|" + t->User + "|" + t->Password + "|" + t->RemoteDir : "!", want)
            << text;
        EXPECT_EQ(MaskFtpTarget(text), shown);
        EXPECT_EQ(t.has_value(), why.empty()) << text;
        EXPECT_EQ(why.find("secret"), std::string::npos) << why;
    }
    std::string host;
    uint16_t port = 0;
    FtpClient::SplitHostPort("[::1]:2121", host, port);
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 2121);
    FtpClient::SplitHostPort("ftp.example", host, port);
    EXPECT_EQ(port, 21);
}

// A control character anywhere in the target, typed or as an escape, is
// refused before anything is sent, and named: a line break would end the FTP
// command the user, password or folder goes in, the rest becoming a command of
// its own. The target is shown masked, its control characters escaped.
TEST(FtpTarget, RefusesAControlCharacterTypedOrEscapedAndSaysSo) {
    const std::string typed = "LLEVA UN CARACTER DE CONTROL";
    const std::string escaped = "UN ESCAPE % DA UN CARACTER DE CONTROL";
    const std::string malformed = "ESCAPE % NO VALIDO EN LA URL";
    // clang-format off
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"ftp\x01user:secret@h/", "ftp\\x01user:****@h/", typed},
        {"ftpuser:secret@h\x01/", "ftpuser:****@h\\x01/", typed},
        {"ftpuser:secret@127.0.0.1\x01:21/", "ftpuser:****@127.0.0.1\\x01:21/", typed},
        {"u:sec\x01ret@h/", "u:****@h/", typed},
        {"u:secret@h/a\r\nDELE b", "u:****@h/a\\x0D\\x0ADELE b", typed},
        {"u@h/a\tb/", "u@h/a\\x09b/", typed},
        {"u@h/a\x7F/", "u@h/a\\x7F/", typed},
        {"u@h/a\xC2\x85/", "u@h/a\\u0085/", typed},
        {std::string("u@h/a\0b/", 8), "u@h/a\\x00b/", typed},
        {"ftp://u@h/\n", "ftp://u@h/\\x0A", typed},
        {"ftp://u:secret@h/x%0D%0ADELE%20y", "ftp://u:****@h/x%0D%0ADELE%20y", escaped},
        {"ftp://u%01:secret@h/", "ftp://u%01:****@h/", escaped},
        {"ftp://u:se%0acret@h/", "ftp://u:****@h/", escaped},
        {"ftp://u@h/a%00/", "ftp://u@h/a%00/", escaped},
        {"ftp://u@h/a%7F/", "ftp://u@h/a%7F/", escaped},
        {"ftp://u@h/a%C2%85/", "ftp://u@h/a%C2%85/", escaped},
        {"ftp://u@h/a%zz/", "ftp://u@h/a%zz/", malformed},
        {"ftp://u@h/a%4", "ftp://u@h/a%4", malformed},
    };
    // clang-format on
    for (const auto& [text, shown, reason] : cases) {
        std::string why;
        EXPECT_FALSE(ParseFtpTarget(text, why)) << shown;
        EXPECT_EQ(why, "DESTINO FTP NO VALIDO (" + shown + "): " + reason);
    }
    // Beyond ASCII is no control character, typed or escaped.
    std::string why;
    EXPECT_TRUE(ParseFtpTarget("ftp://u@h/a%C2%A0%C3%B1/", why)) << why;
    EXPECT_TRUE(ParseFtpTarget("u@h/a\xC2\xA0\xC3\xB1/", why)) << why;
}

// A server that logs what it is sent and answers every command: USER with
// 331, PASS with 230, QUIT with 221, anything else with 200.
struct RecordingFtpServer {
    std::string Received() {
        std::lock_guard lock(mutex);
        return received;
    }
    std::mutex mutex;
    std::string received;
    test::LoopbackPeer peer{[this](int fd, const std::atomic<bool>&) {
        const auto say = [fd](std::string_view s) { ::send(fd, s.data(), s.size(), MSG_NOSIGNAL); };
        say("220 ready\r\n");
        std::string pending;
        char buf[256];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
            pending.append(buf, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = pending.find("\r\n")) != std::string::npos;) {
                const std::string verb = pending.substr(0, 4);
                {
                    std::lock_guard lock(mutex);
                    received += pending.substr(0, nl + 2);
                }
                pending.erase(0, nl + 2);
                say(verb == "USER"   ? "331 password\r\n"
                    : verb == "PASS" ? "230 in\r\n"
                    : verb == "QUIT" ? "221 bye\r\n"
                                     : "200 ok\r\n");
            }
        }
    }};
};

// Whoever calls the client, a value with a line break in it is never sent: the
// command fails and nothing of it reaches the server, the password not even
// in the reason.
TEST(FtpClientCommands, AValueWithALineBreakIsNeverSent) {
    {
        RecordingFtpServer server;
        FtpClient c;
        const std::string host = "127.0.0.1:" + std::to_string(server.peer.port());
        c.Connect(host, "u", "p");
        EXPECT_THROW(c.ChangeDir("/a\r\nDELE b"), FtpError);
        EXPECT_THROW(c.Exists(std::string("f\0DELE b", 8)), FtpError);
        EXPECT_THROW(c.Exists("f\nDELE b"), FtpError);
        c.Disconnect();  // once the server has answered QUIT, it has read all
        EXPECT_EQ(server.Received(), "USER u\r\nPASS p\r\nTYPE I\r\nTYPE I\r\nQUIT\r\n");
    }
    for (const auto& [user, password] : {std::pair{"u\r\nDELE b", "p"}, {"u", "pw\rDELE b"}}) {
        RecordingFtpServer server;
        FtpClient c;
        std::string why;
        try {
            c.Connect("127.0.0.1:" + std::to_string(server.peer.port()), user, password);
        } catch (const FtpError& e) {
            why = e.what();
        }
        c.Disconnect();
        EXPECT_EQ(server.Received(), std::string(user) == "u" ? "USER u\r\nQUIT\r\n" : "QUIT\r\n");
        EXPECT_NE(why, "");
        EXPECT_EQ(why.find("DELE"), std::string::npos) << why;
    }
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

    MessageReceiver receiver;
    std::vector<Message> messages;
    std::vector<std::string> shown;
    int ended = 0;
    FtpUploads uploads;
};

class FtpUpload : public ::testing::Test {
  protected:
    static std::string env(const char* name) { return test::RequireEnv(name); }
    static std::string server() { return env("QV_FTP_HOST") + ":" + env("QV_FTP_PORT"); }
    static std::string target(const std::string& folder,
                              const std::string& pass = env("QV_FTP_PASS"),
                              const std::string& user = env("QV_FTP_USER")) {
        return user + ":" + pass + "@" + server() + folder;
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

    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir);
    }
    LoopExecutor executor;
    std::string dir = test::makeTempDir("ftp");
};

// Uploads at once (the program runs one job per meter) all arrive byte for
// byte, also for a user, password and folder beyond ASCII (their UTF-8 bytes,
// as other clients send them); the name, the file's end and the local copy's
// removal are left to the program's own FTP run.
TEST_F(FtpUpload, UploadsAtOnceArriveWholeWithProgress) {
    const std::string a = makeFile("7001_26_12_06.CSV", 250'000);
    const std::string b = makeFile("7002_26_12_06.CSV", 80'000);
    const std::string u = makeFile("7003_26_12_06.CSV", 3000);
    const std::string ca = read(a), cb = read(b), cu = read(u);
    const std::string folder = env("QV_FTP_ROOT") + "/año €";
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::all);  // the server's sessions run as nobody
    Watched job(executor), other(executor), utf8(executor);
    job.uploads.Start(a, target("/"));
    other.uploads.Start(b, target("/"));
    utf8.uploads.Start(u, target("/año €/", env("QV_FTP_UTF8_PASS"), env("QV_FTP_UTF8_USER")));
    ASSERT_TRUE(executor.runUntil(
        [&] { return job.ended == 1 && other.ended == 1 && utf8.ended == 1; }, 30s));
    EXPECT_EQ(read(env("QV_FTP_ROOT") + "/7001_26_12_06.CSV"), ca);
    EXPECT_EQ(read(env("QV_FTP_ROOT") + "/7002_26_12_06.CSV"), cb);
    EXPECT_EQ(read(folder + "/7003_26_12_06.CSV"), cu);
    fs::remove_all(folder);
    // The password is never shown.
    EXPECT_EQ(job.shown,
              std::vector<std::string>{"- CONECTANDO CON SERVIDOR FTP : " + server() +
                                       "  USER: " + env("QV_FTP_USER") + "  PASS: ****"});

    // Progress in steps of 102 bytes up to the file's size, then 0 to hide the window.
    int32_t maximum = -1;
    std::vector<int32_t> positions;
    for (const Message& m : job.messages) {
        if (m.kind == MSG_PROGRESSINIT) maximum = m.value;
        if (m.kind == MSG_PROGRESSPOS) positions.push_back(m.value);
    }
    EXPECT_EQ(maximum, 250'000 / 102);
    ASSERT_GE(positions.size(), 2u);
    EXPECT_EQ(positions.back(), 0);
    positions.pop_back();
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(positions.back(), 250'000 / 102);

    // An incomplete reading of the same name goes beside the file on the server.
    const std::string c = makeFile("7002_26_12_06.CSV", 300);
    other.uploads.Start(c, target("/"), true);
    ASSERT_TRUE(executor.runUntil([&] { return other.ended == 2; }, 30s));
    EXPECT_EQ(read(env("QV_FTP_ROOT") + "/7002_26_12_06.CSV"), cb);
    EXPECT_EQ(read(env("QV_FTP_ROOT") + "/7002_26_12_06.CSV(1)").size(), 300u);
}

// The silent server's login deadline: the program's own FTP run.
TEST_F(FtpUpload, FailuresEndInBoundedTimeAndKeepTheFile) {
    const uint16_t downPort = test::LoopbackListener().port();  // nothing listens there

    struct Case {
        const char* name;
        std::string target;
        const char* red;  // the red line's start and a part of it
        const char* reason;
    };
    const char* kLost = "- IMPOSIBLE CONECTAR/ENVIAR FICHERO CON EL SERVIDOR FTP ! - ";
    const Case cases[] = {
        {"wrong password", target("/", "not-the-password"), kLost, "530"},
        // The right password in Latin-1 bytes: the server knows its UTF-8 ones.
        {"password in Latin-1", target("/", "P\xE4\x35-w\xF6rd", env("QV_FTP_UTF8_USER")), kLost,
         "530"},
        {"missing folder", target("/no-such-folder/"), kLost, "550"},
        {"server down", "u:p@127.0.0.1:" + std::to_string(downPort) + "/", kLost, "cannot connect"},
        {"unreadable", target("/"), "- ERROR AL LEER EL FICHERO LOCAL : ", "unreadable"},
    };
    Watched job(executor);  // all at once, each with a reason of its own
    for (const Case& c : cases) {
        const std::string file = makeFile(std::string(c.name) + ".CSV", 5000);
        if (c.red != kLost) {  // a folder in its place: it cannot be read, even by root
            fs::remove(file);
            fs::create_directory(file);
        }
        job.uploads.Start(file, c.target);
    }
    EXPECT_EQ(job.uploads.Pending(), int(std::size(cases)));
    ASSERT_TRUE(executor.runUntil([&] { return job.ended == int(std::size(cases)); }, 40s));
    EXPECT_EQ(job.uploads.Pending(), 0);
    for (const Case& c : cases) {
        EXPECT_TRUE(std::any_of(job.messages.begin(), job.messages.end(), [&](const Message& m) {
            return m.kind == MSG_LOG && m.value == colour::Red && m.text.starts_with(c.red) &&
                   m.text.find(c.reason) != std::string::npos;
        })) << c.name;
        EXPECT_TRUE(fs::exists(dir + "/" + c.name + ".CSV")) << c.name;
    }
    for (const Message& m : job.messages) EXPECT_NE(m.kind, MSG_PROGRESSINIT);
}

TEST_F(FtpUpload, ClosingTheProgramStopsAHangingUploadPromptly) {
    test::LoopbackListener silent;
    const std::string local = makeFile("7301_26_12_06.CSV", 1000);
    auto job = std::make_unique<Watched>(executor);
    job->uploads.Start(local, "u:p@127.0.0.1:" + std::to_string(silent.port()) + "/");
    // Stopped only once it is connected and waits for the greeting.
    ASSERT_TRUE(test::WaitFor([&] { return test::ConnectedTo(silent.port()); }));
    const auto t0 = std::chrono::steady_clock::now();
    job.reset();  // stops and joins, before the 10 s login deadline runs out
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 8s);
    executor.processPending();  // a late end handler finds nothing to call
    EXPECT_TRUE(fs::exists(local));
}

}  // namespace
}  // namespace qv

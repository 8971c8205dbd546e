// The meter-sim command line, and the executable run as a subprocess.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "sim_options.h"
#include "sim_test_line.h"
#include "support/test_env.h"

extern char** environ;

namespace qv::sim {
namespace {

using test::bytes;
using test::hexOf;
using test::TestLine;

bool parse(std::vector<std::string> args, CliOptions& out, std::string& error) {
    out = CliOptions{};
    error.clear();
    return parseCommandLine(args, out, error);
}

TEST(SimCommandLine, MetersFaultsAndModem) {
    CliOptions o;
    std::string e;
    ASSERT_TRUE(parse({"--tcp",
                       "127.0.0.1:0",
                       "--meter",
                       "1:1:1",
                       "--meter",
                       "300:5:12345678",
                       "--fault",
                       "300:silent=session",
                       "--fault",
                       "*:noise=3",
                       "--fault",
                       "1:missing=4",
                       "--seed",
                       "9",
                       "--modem",
                       "gsm",
                       "--creg",
                       "5",
                       "--csq",
                       "99",
                       "--dial",
                       "busy",
                       "--atz-ok-from",
                       "3",
                       "--drop-after",
                       "10",
                       "--pty",
                       "/tmp/x",
                       "-v"},
                      o, e))
        << e;
    ASSERT_EQ(o.config.meters.size(), 2u);
    EXPECT_EQ(o.config.meters[1].linkAddress, 300);
    EXPECT_EQ(o.config.meters[1].password, 12345678u);
    EXPECT_EQ(o.config.meters[1].faults.silence, Silence::OpenSession);
    EXPECT_EQ(o.config.meters[0].faults.silence, Silence::None);
    EXPECT_EQ(o.config.meters[0].faults.noiseBytes, 3);
    EXPECT_EQ(o.config.meters[1].faults.noiseBytes, 3);
    EXPECT_EQ(o.config.meters[0].faults.missingRegister, 4);
    EXPECT_EQ(o.config.seed, 9u);
    EXPECT_EQ(o.config.modem.kind, ModemKind::Gsm);
    EXPECT_EQ(o.config.modem.cregStat, 5);
    EXPECT_EQ(o.config.modem.csq, 99);
    EXPECT_EQ(o.config.modem.dial, DialResult::Busy);
    EXPECT_EQ(o.config.modem.atzOkFrom, 3);
    EXPECT_EQ(o.config.dropAfterFrames, 10);
    ASSERT_EQ(o.tcp.size(), 1u);
    EXPECT_EQ(o.tcp[0].second, 0);
    EXPECT_TRUE(o.pty);
    EXPECT_EQ(o.ptyLink, "/tmp/x");
    EXPECT_TRUE(o.verbose);

    // Defaults: one meter 1:1:1, host 127.0.0.1.
    ASSERT_TRUE(parse({"--tcp", ":40000"}, o, e)) << e;
    ASSERT_EQ(o.config.meters.size(), 1u);
    EXPECT_EQ(o.config.meters[0].linkAddress, 1);
    EXPECT_EQ(o.tcp[0].first, "127.0.0.1");
    EXPECT_EQ(o.tcp[0].second, 40000);
}

TEST(SimCommandLine, BadOptionsAreRefusedWithAReason) {
    CliOptions o;
    std::string e;
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const Case cases[] = {
        {{}, "--tcp"},
        {{"--tcp", "127.0.0.1"}, "HOST:PORT"},
        {{"--tcp", "127.0.0.1:70000"}, "HOST:PORT"},
        {{"--tcp", ":1", "--meter", "1:1"}, "LINK:POINT:PASSWORD"},
        {{"--tcp", ":1", "--meter", "1:x:1"}, "LINK:POINT:PASSWORD"},
        {{"--tcp", ":1", "--fault", "9:silent"}, "no meter"},
        {{"--tcp", ":1", "--fault", "1:loud"}, "unknown fault"},
        {{"--tcp", ":1", "--fault", "1:missing=7"}, "1 to 6"},
        {{"--tcp", ":1", "--fault", "1:silent=sometimes"}, "silent"},
        {{"--tcp", ":1", "--modem", "isdn"}, "--modem"},
        {{"--tcp", ":1", "--dial", "maybe"}, "--dial"},
        {{"--tcp", ":1", "--csq", "100"}, "--csq"},
        {{"--tcp", ":1", "--seed"}, "needs a value"},
        {{"--tcp", ":1", "--bogus"}, "unknown option --bogus"},
        {{"--pty", "/a", "--pty", "/b"}, "once"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(parse(c.args, o, e)) << c.says;
        EXPECT_NE(e.find(c.says), std::string::npos) << "error was: " << e;
    }
}

// ---------------------------------------------------------------- the executable

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child spawnSim(const std::vector<std::string>& args) {
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
    std::vector<std::string> all = {METER_SIM_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    Child c;
    int rc = posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(pipefd[1]);
    if (rc != 0) throw std::runtime_error("spawn failed");
    c.out = pipefd[0];
    return c;
}

std::string readAll(int fd, int timeoutMs = 5000) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// Reads until the pattern matches; returns its first group (or the whole match), empty
// when it never matched. `seen` gets everything read.
std::string readMatch(int fd, const std::regex& re, std::string& seen, int timeoutMs = 5000) {
    std::string& out = seen;
    out.clear();
    std::smatch m;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char ch;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        if (::read(fd, &ch, 1) != 1) break;
        out += ch;
        if (std::regex_search(out, m, re)) return m.size() > 1 ? m[1].str() : m[0].str();
    }
    return {};
}

int waitExit(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

TEST(SimExecutable, HelpDocumentsEveryOption) {
    Child c = spawnSim({"--help"});
    std::string text = readAll(c.out);
    ::close(c.out);
    EXPECT_EQ(waitExit(c.pid), 0);
    for (const char* opt : {"--tcp",
                            "--pty",
                            "--meter",
                            "--seed",
                            "--protocol",
                            "--modbus-address",
                            "--fault",
                            "silent",
                            "nack-session",
                            "nack-requests",
                            "negative-confirmation",
                            "negative-data",
                            "missing=",
                            "objects=",
                            "declared=",
                            "noise=",
                            "split=",
                            "exception=",
                            "--reply-delay",
                            "--split-gap",
                            "--drop-after",
                            "--drop-every",
                            "--modem",
                            "--modem-on-tcp",
                            "--no-echo",
                            "--atz-ok-from",
                            "--ati",
                            "--creg",
                            "--csq",
                            "--dial",
                            "--connect-text",
                            "--dial-delay",
                            "--guard",
                            "--restart",
                            "--verbose",
                            "--help"})
        EXPECT_NE(text.find(opt), std::string::npos) << opt;
    EXPECT_EQ(text, usageText());
}

TEST(SimExecutable, BadOptionExitsWithTwo) {
    Child c = spawnSim({"--tcp", "127.0.0.1:0", "--fault", "5:silent"});
    std::string text = readAll(c.out);
    ::close(c.out);
    EXPECT_EQ(waitExit(c.pid), 2);
    EXPECT_NE(text.find("no meter"), std::string::npos) << text;
}

TEST(SimExecutable, ServesTcpAndPtyUntilTerminated) {
    std::string dir = qv::test::makeTempDir("meter_sim_exe");
    std::string link = dir + "/ttyMETER";
    Child c = spawnSim({"--tcp", "127.0.0.1:0", "--pty", link, "--meter", "2:1:1", "-v"});
    // A failed assertion below must not leave the simulator running.
    struct Reaper {
        Child& c;
        ~Reaper() {
            if (c.pid > 0 && ::waitpid(c.pid, nullptr, WNOHANG) == 0) {
                ::kill(c.pid, SIGKILL);
                ::waitpid(c.pid, nullptr, 0);
            }
        }
    } reaper{c};
    std::string seen;
    std::string portText = readMatch(c.out, std::regex("tcp 127\\.0\\.0\\.1:(\\d+)\n"), seen);
    ASSERT_FALSE(portText.empty()) << seen;
    auto port = static_cast<uint16_t>(std::stoi(portText));
    std::string slave = readMatch(c.out, std::regex("pty (/dev/pts/\\d+)\n"), seen);
    ASSERT_FALSE(slave.empty()) << seen;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), slave);
    {
        auto line = TestLine::tcp(port);
        EXPECT_EQ(hexOf(line.exchange(bytes("10 49 02 00 4B 16"), 6)), "10 0B 02 00 0D 16");
        auto pty = TestLine::pty(link);
        EXPECT_EQ(hexOf(pty.exchange(bytes("10 49 02 00 4B 16"), 6)), "10 0B 02 00 0D 16");
    }
    // The -v trace shows the frames.
    EXPECT_FALSE(readMatch(c.out, std::regex("tx 10 0B 02 00 0D 16"), seen).empty()) << seen;
    ::kill(c.pid, SIGTERM);
    EXPECT_EQ(waitExit(c.pid), 0);
    c.pid = -1;
    ::close(c.out);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qv::sim

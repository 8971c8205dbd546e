// The meter-sim command line, and the executable run as a subprocess.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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
using test::words;

// Options the line tests do not drive are read back here; the reading tests set the
// same faults directly.
TEST(SimCommandLine, EndpointsMetersAndFaultsForEveryMeter) {
    CliOptions o;
    std::string e;
    ASSERT_TRUE(parseCommandLine(
        words(
            "--tcp :40000 --tcp 127.0.0.2:0 --meter 1:1:1 --meter 300:5:12345678 "
            "--fault *:noise=3 --fault 300:silent --fault 1:silent=session --fault 1:nack-session "
            "--fault 1:nack-requests --fault 1:missing=4 --fault 300:declared=5 --pty /tmp/x -v"),
        o, e))
        << e;
    using Endpoint = std::pair<std::string, uint16_t>;
    EXPECT_EQ(o.tcp, (std::vector<Endpoint>{{"127.0.0.1", 40000}, {"127.0.0.2", 0}}));
    ASSERT_EQ(o.config.meters.size(), 2u);
    const SimMeter &m1 = o.config.meters[0], &m300 = o.config.meters[1];
    EXPECT_EQ(std::pair(m300.measurePoint, m300.password), std::pair(5, 12345678u));
    EXPECT_EQ(std::pair(m1.faults.noiseBytes, m300.faults.noiseBytes), std::pair(3, 3));
    EXPECT_EQ(std::pair(m1.faults.silence, m300.faults.silence),
              std::pair(Silence::OpenSession, Silence::All));
    EXPECT_EQ(
        std::tuple(m1.faults.nackOpenSession, m1.faults.nackRequests, m300.faults.nackRequests,
                   m1.faults.missingRegister, m300.faults.declaredCount),
        std::tuple(true, true, false, 4, 5));
    EXPECT_EQ(std::tuple(o.pty, o.ptyLink, o.verbose), std::tuple(true, "/tmp/x", true));
}

TEST(SimCommandLine, BadOptionsAreRefusedWithAReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "--tcp"},
        {"--tcp 127.0.0.1", "HOST:PORT"},
        {"--tcp 127.0.0.1:70000", "HOST:PORT"},
        {"--tcp :1 --meter 1:1", "LINK:POINT:PASSWORD"},
        {"--tcp :1 --meter 1:x:1", "LINK:POINT:PASSWORD"},
        {"--tcp :1 --fault 9:silent", "no meter"},
        {"--tcp :1 --fault 1:loud", "unknown fault"},
        {"--tcp :1 --fault 1:missing=7", "1 to 6"},
        {"--tcp :1 --fault 1:silent=sometimes", "silent"},
        {"--tcp :1 --modem isdn", "--modem"},
        {"--tcp :1 --dial maybe", "--dial"},
        {"--tcp :1 --csq 100", "--csq"},
        {"--tcp :1 --seed", "needs a value"},
        {"--tcp :1 --bogus", "unknown option --bogus"},
        {"--pty /a --pty /b", "once"},
    };
    for (const auto& [args, says] : cases) {
        CliOptions o;
        std::string e;
        EXPECT_FALSE(parseCommandLine(words(args), o, e)) << args;
        EXPECT_NE(e.find(says), std::string::npos) << args << ": " << e;
    }
}

// ---------------------------------------------------------------- the executable

// The simulator as a child process; stdout and stderr come through `out`. Killed when
// still running at the end, so a failed assertion leaves nothing behind.
struct Exe {
    explicit Exe(const std::string& args) {
        int pipefd[2];
        if (::pipe2(pipefd, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        out = std::make_unique<TestLine>(pipefd[0]);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
        posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
        std::vector<std::string> all = words(args);
        all.insert(all.begin(), METER_SIM_EXE);
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(pipefd[1]);
        if (rc != 0) throw std::runtime_error("spawn failed");
    }
    ~Exe() {
        if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    // Exit code, or -1 when the process did not end within five seconds.
    int exitCode() {
        int status = 0;
        for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50)))
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        return -1;
    }
    // Output up to the end of the stream.
    std::string all() {
        EXPECT_TRUE(out->closedWithin(5000));
        return out->readQuiet(0, 0);
    }
    pid_t pid = -1;
    std::unique_ptr<TestLine> out;
};

TEST(SimExecutable, HelpExitsWithZeroAndABadOptionWithTwo) {
    Exe help("--help");
    EXPECT_EQ(help.all(), usageText());
    EXPECT_EQ(help.exitCode(), 0);

    Exe bad("--tcp 127.0.0.1:0 --fault 5:silent");
    const std::string text = bad.all();
    EXPECT_EQ(bad.exitCode(), 2);
    EXPECT_NE(text.find("no meter"), std::string::npos) << text;
}

TEST(SimExecutable, ServesTcpAndPtyUntilTerminated) {
    std::string dir = qv::test::makeTempDir("meter_sim_exe");
    std::string link = dir + "/ttyMETER";
    Exe sim("--tcp 127.0.0.1:0 --pty " + link + " --meter 2:1:1 -v");
    std::string seen = sim.out->readUntil("tcp 127.0.0.1:", 5000);
    std::string port = sim.out->readUntil("\n", 5000);
    ASSERT_FALSE(port.empty()) << seen;
    seen = sim.out->readUntil("pty ", 5000);
    std::string slave = sim.out->readUntil("\n", 5000);
    ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << seen << slave;
    EXPECT_EQ(std::filesystem::read_symlink(link).string() + "\n", slave);
    {
        auto tcp = TestLine::tcp(static_cast<uint16_t>(std::stoi(port)));
        EXPECT_EQ(tcp.ask(bytes("10 49 02 00 4B 16")), "10 0B 02 00 0D 16");
        auto pty = TestLine::pty(link);
        EXPECT_EQ(pty.ask(bytes("10 49 02 00 4B 16")), "10 0B 02 00 0D 16");
    }
    // The -v trace shows the frames.
    seen = sim.out->readUntil("tx 10 0B 02 00 0D 16", 5000);
    EXPECT_NE(seen.find("tx 10 0B 02 00 0D 16"), std::string::npos) << seen;
    ::kill(sim.pid, SIGTERM);
    EXPECT_EQ(sim.exitCode(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qv::sim

// The meter-sim command line, and the executable run as a subprocess.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "sim_test_line.h"
#include "support/test_env.h"

namespace qv::sim {
namespace {

using namespace test;

// Meters and faults given on the command line are driven on the line; the endpoints
// are read back here.
TEST(SimCommandLine, EndpointsAndBadOptionsWithAReason) {
    CliOptions o;
    std::string e;
    ASSERT_TRUE(parseCommandLine(words("--tcp :40000 --tcp 127.0.0.2:0"), o, e));
    EXPECT_EQ(o.tcp, (decltype(o.tcp){{"127.0.0.1", 40000}, {"127.0.0.2", 0}}));

    const std::pair<const char*, const char*> cases[] = {
        {"", "--tcp"},
        {"--tcp 127.0.0.1", "HOST:PORT"},
        {"--tcp 127.0.0.1:70000", "HOST:PORT"},
        {"--tcp :1 --meter 1:x:1", "LINK:POINT:PASSWORD"},
        {"--tcp :1 --fault 1:loud", "unknown fault"},
        {"--tcp :1 --fault 1:missing=7", "1 to 6"},
        {"--tcp :1 --fault 1:closure-missing=0", "1 to 6"},
        {"--tcp :1 --fault 1:lose-reply=0", "lose-reply needs a number from 1"},
        {"--tcp :1 --fault 1:silent=sometimes", "silent"},
        {"--tcp :1 --fault 1:late-reply=3", "N,MS"},
        {"--tcp :1 --fault 1:closure-time=24:00", "HH:MM"},
        {"--tcp :1 --fault 1:repeat-record=1", "2 to"},
        {"--tcp :1 --modem isdn", "--modem"},
        {"--tcp :1 --dial maybe", "--dial"},
        {"--tcp :1 --seed", "needs a value"},
        {"--tcp :1 --bogus", "unknown option --bogus"},
        {"--pty /a --pty /b", "once"},
    };
    for (const auto& [args, says] : cases) {
        o = {};
        EXPECT_FALSE(parseCommandLine(words(args), o, e)) << args;
        EXPECT_NE(e.find(says), std::string::npos) << args << ": " << e;
    }
}

// The simulator as a child process, stdout and stderr through one pipe; the shell's first
// line is its pid, which exec hands on. Killed when still running at the end, so a failed
// assertion leaves nothing behind.
struct Exe {
    explicit Exe(const std::string& args)
        : pipe(::popen(("echo $$; exec " METER_SIM_EXE " " + args + " 2>&1").c_str(), "r")),
          out(::dup(::fileno(pipe))),
          pid(std::stoi(out.readUntil("\n"))) {}
    ~Exe() {
        if (pipe) {
            ::kill(pid, SIGKILL);
            exitCode();
        }
    }
    int exitCode() {
        int status = ::pclose(std::exchange(pipe, nullptr));
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    FILE* pipe;
    TestLine out;
    pid_t pid;
};

// Help and a bad option end at once (0, 2); serving ends on SIGTERM (0) and takes the
// pseudo-terminal's link away.
TEST(SimExecutable, HelpBadOptionAndServingUntilTerminated) {
    Exe help("--help");
    EXPECT_EQ(help.out.read(1 << 20, 5000), usageText());
    EXPECT_EQ(help.exitCode(), 0);

    Exe bad("--tcp 127.0.0.1:0 --fault 5:silent");
    const std::string text = bad.out.read(1 << 20, 5000);
    EXPECT_EQ(bad.exitCode(), 2);
    EXPECT_NE(text.find("no meter"), std::string::npos) << text;

    std::string dir = qv::test::makeTempDir("meter_sim_exe");
    std::string link = dir + "/ttyMETER";
    Exe sim("--tcp 127.0.0.1:0 --pty " + link + " --meter 2:1:1 -v");
    sim.out.readUntil("tcp 127.0.0.1:", 5000);
    const int port = std::stoi(sim.out.readUntil("\n", 5000));
    sim.out.readUntil("pty ", 5000);
    const std::string slave = sim.out.readUntil("\n", 5000);  // /dev/pts/N
    EXPECT_EQ(std::filesystem::read_symlink(link).string() + "\n", slave);
    EXPECT_EQ(TestLine::tcp(static_cast<uint16_t>(port)).ask(hex("10 49 02 00 4B 16")),
              "10 0B 02 00 0D 16");
    // The -v trace shows the frames.
    const std::string seen = sim.out.readUntil("tx 10 0B 02 00 0D 16", 5000);
    EXPECT_TRUE(seen.ends_with("tx 10 0B 02 00 0D 16")) << seen;
    ::kill(sim.pid, SIGTERM);
    EXPECT_EQ(sim.exitCode(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qv::sim

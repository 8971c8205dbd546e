// The quorvanta executable started as a process, as cron or a desktop starts
// it, and the version helpers that reach outside the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "app/core/startup.h"
#include "app/core/version.h"
#include "support/test_env.h"

extern char** environ;

namespace qv {
namespace {

using namespace std::chrono;
namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A child process with stdout and stderr in a file; stopped and reaped at the
// end of the test whatever happened.
class Process {
  public:
    Process(const std::string& exe, const std::string& outputFile) {
        // What a cron job has: no display and no Qt settings.
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string v = *e;
            if (v.starts_with("DISPLAY=") || v.starts_with("WAYLAND_DISPLAY=") ||
                v.starts_with("QT_QPA_PLATFORM="))
                continue;
            env.push_back(v);
        }
        std::vector<char*> envp;
        for (auto& v : env) envp.push_back(v.data());
        envp.push_back(nullptr);
        std::string arg0 = exe;
        char* argv[] = {arg0.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

    // The exit code, or nothing while it runs after the limit (or died by a
    // signal: -signal).
    std::optional<int> waitExit(milliseconds limit) {
        const auto end = steady_clock::now() + limit;
        while (!status_) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            else if (steady_clock::now() >= end)
                break;
            else
                std::this_thread::sleep_for(milliseconds(20));
        }
        return status_;
    }

    // True once the process holds a file lock (its instance lock).
    bool waitLocked(milliseconds limit) {
        const auto end = steady_clock::now() + limit;
        const std::string pidField = " " + std::to_string(pid_) + " ";
        while (steady_clock::now() < end && !waitExit(milliseconds(0))) {
            std::ifstream locks("/proc/locks");
            for (std::string line; std::getline(locks, line);)
                if (line.find("FLOCK") != std::string::npos &&
                    line.find(pidField) != std::string::npos)
                    return true;
            std::this_thread::sleep_for(milliseconds(20));
        }
        return false;
    }

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

#ifdef QV_QUORVANTA_EXE
TEST(Program, OneInstancePerPathRunsWithoutADisplayAndClosesOnTerm) {
    const std::string dir = test::makeTempDir("program");
    // The lock files go to this test's own folder.
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    const std::string copy = dir + "/quorvanta";
    fs::copy_file(QV_QUORVANTA_EXE, copy);

    Process first(QV_QUORVANTA_EXE, dir + "/first.txt");
    ASSERT_TRUE(first.waitLocked(seconds(30)));

    Process second(QV_QUORVANTA_EXE, dir + "/second.txt");
    EXPECT_EQ(second.waitExit(seconds(30)), 0);
    EXPECT_EQ(read_file(dir + "/second.txt"), "");  // silent

    // A copy under another path is an instance of its own.
    Process other(copy, dir + "/other.txt");
    ASSERT_TRUE(other.waitLocked(seconds(30)));
    EXPECT_FALSE(first.waitExit(milliseconds(0)));

    // Stopped as a service manager stops it: the window closes, the exit code
    // is the window's.
    for (Process* p : {&first, &other}) {
        kill(p->pid(), SIGTERM);
        EXPECT_EQ(p->waitExit(seconds(30)), 1);
    }
    for (const char* name : {"/first.txt", "/other.txt"}) {
        const std::string output = read_file(dir + name);
        EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
        EXPECT_EQ(output.find("runtime error"), std::string::npos) << output;
        EXPECT_EQ(output.find("Could not"), std::string::npos) << output;  // no platform
    }
    unsetenv("XDG_RUNTIME_DIR");
    fs::remove_all(dir);
}
#endif

TEST(Program, WebPageOpensThroughTheDesktopOpenerWhenThereIsOne) {
    const std::string dir = test::makeTempDir("opener");
    const std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", dir.c_str(), 1);
    EXPECT_FALSE(OpenInBrowser("https://quorvanta.example/"));

    const std::string opener = dir + "/xdg-open";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s' \"$1\" > \"" << dir << "/url.tmp\"\n/bin/mv \""
                          << dir << "/url.tmp\" \"" << dir << "/url\"\n";
    fs::permissions(opener, fs::perms::owner_all);
    EXPECT_TRUE(OpenInBrowser("https://quorvanta.example/?a=1&b=2"));
    setenv("PATH", oldPath.c_str(), 1);
    for (int i = 0; i < 500 && !fs::exists(dir + "/url"); ++i)
        std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(read_file(dir + "/url"), "https://quorvanta.example/?a=1&b=2");
    fs::remove_all(dir);
}

}  // namespace
}  // namespace qv

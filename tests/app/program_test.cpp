// The quorvanta executable started as a process, as cron or a desktop starts
// it, and the version helpers that reach outside the process.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/core/startup.h"
#include "app/core/version.h"
#include "program_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

using namespace std::chrono;
namespace fs = std::filesystem;
using test::ReadFile;

TEST(Program, OneInstancePerPathRunsWithoutADisplayAndClosesOnTerm) {
    const std::string dir = test::makeTempDir("program");
    // The lock files go to this test's own folder.
    const auto start = [&](const std::string& exe, const char* name) {
        return std::make_unique<test::Program>(exe, dir, std::vector<std::string>{},
                                               std::vector{"XDG_RUNTIME_DIR=" + dir},
                                               dir + "/" + name);
    };
    const auto first = start(QV_QUORVANTA_EXE, "first.txt");
    ASSERT_TRUE(first->WaitLocked(seconds(30)));

    EXPECT_EQ(start(QV_QUORVANTA_EXE, "second.txt")->Wait(seconds(30)), 0);
    EXPECT_EQ(ReadFile(dir + "/second.txt"), "");  // silent

    // A copy under another path is an instance of its own.
    const auto other = start(test::ProgramCopy(dir), "other.txt");
    ASSERT_TRUE(other->WaitLocked(seconds(30)));
    EXPECT_FALSE(first->Wait(milliseconds(0)));

    // Stopped as a service manager stops it: the window closes, the exit code
    // is the window's.
    for (test::Program* p : {first.get(), other.get()}) {
        kill(p->pid(), SIGTERM);
        EXPECT_EQ(p->Wait(seconds(30)), 1);
    }
    for (const char* name : {"/first.txt", "/other.txt"}) {
        const std::string output = ReadFile(dir + name);
        EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
        EXPECT_EQ(output.find("runtime error"), std::string::npos) << output;
        EXPECT_EQ(output.find("Could not"), std::string::npos) << output;  // no platform
    }
    fs::remove_all(dir);
}

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
    EXPECT_EQ(ReadFile(dir + "/url"), "https://quorvanta.example/?a=1&b=2");
    fs::remove_all(dir);
}

}  // namespace
}  // namespace qv

#include "app/core/app_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "platform/files.h"
#include "program_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

// The log line, and the terminal's line (case and characters as written).
TEST(AppLog, CleaningGivesOneUpperCaseLineWithOneBlankPerCharacter) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"contraseña", "CONTRASE A", "contraseña"},  // UTF-8: two bytes, one blank
        {"CONTRASE\xD1"
         "A",
         "CONTRASE A", "CONTRASEÑA"},                                  // Latin-1 byte
        {"línea\r\nsegunda\t", "L NEA  SEGUNDA ", "línea  segunda "},  // one line
        {"\xC2\x80", "\xC2\x80", "\xC2\x80"},                          // code 128 itself stays
        {"/srv/Lecturas: No such file\x7F", "/SRV/LECTURAS: NO SUCH FILE\x7F",
         "/srv/Lecturas: No such file "},
    };
    for (const auto& [in, log, terminal] : cases) {
        EXPECT_EQ(CleanLogText(in), log) << in;
        EXPECT_EQ(OneLineText(in), terminal) << in;
    }
}

TEST(AppLog, FileMovedAsidePastTheLimitAndTheNextLineStartsANewOne) {
    namespace fs = std::filesystem;
    const std::string dir = test::makeTempDir("app_log");
    const std::string log = dir + "/q.LOG", old = dir + "/q.OLD";
    std::ofstream(old) << "older";
    std::ofstream(log, std::ios::binary) << std::string(kLogFileLimit, 'x');
    fs::permissions(log, fs::perms(0664));
    Log_2_disk(log, old, "A");  // at the limit: appended, not moved
    EXPECT_EQ(fs::file_size(log), kLogFileLimit + 3);
    // No world access, for a log left readable as for a new one.
    EXPECT_EQ(int(fs::status(log).permissions()), 0660);
    Log_2_disk(log, old, "B");  // past it: moved over the older .OLD
    EXPECT_EQ(fs::file_size(old), kLogFileLimit + 3);
    EXPECT_EQ(test::ReadFile(log), "B\r\n");
    EXPECT_EQ(int(fs::status(log).permissions()), 0640);
    fs::remove_all(dir);
    Log_2_disk(log, old, "C");  // folder gone: the line is lost, nothing thrown
}

// A log that cannot be written, or moved aside, is named on stderr with why,
// once however many lines are lost; the lines go on where they can.
TEST(AppLog, FileThatCannotBeWrittenOrMovedAsideIsNamedOnce) {
    namespace fs = std::filesystem;
    const std::string dir = test::makeTempDir("app_log");
    const std::string log = dir + "/q.LOG", old = dir + "/q.OLD";
    std::ofstream(log, std::ios::binary) << std::string(kLogFileLimit + 1, 'x');
    fs::create_directories(old + "/kept");  // no file can replace it
    testing::internal::CaptureStderr();
    for (const char* line : {"A", "B"}) Log_2_disk(log, old, line);
    const std::string missing = dir + "/gone/q.LOG";
    for (const char* line : {"C", "D"}) Log_2_disk(missing, dir + "/gone/q.OLD", line);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "quorvanta: cannot write " + old + ": Is a directory\n" + "quorvanta: cannot write " +
                  missing + ": No such file or directory\n");
    EXPECT_EQ(fs::file_size(log), kLogFileLimit + 1 + 6);  // moved nowhere, both lines kept
    fs::remove_all(dir);
}

// Another user's log or status file that others can read cannot be made
// private: it is neither emptied nor written, and the reason is the refused
// change of its mode.
TEST(AppLog, FileOthersCanReadThatCannotBeMadePrivateIsNotWritten) {
    namespace fs = std::filesystem;
    if (getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const std::string dir = test::makeTempDir("app_log");
    const std::string file = dir + "/q.LOG";
    std::ofstream(file) << "kept\r\n";
    fs::permissions(dir, fs::perms(0755));
    fs::permissions(file, fs::perms(0666));
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        const int fd = OpenWithoutWorldAccess(file, O_WRONLY | O_TRUNC);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    // A temporary folder inside a private one (a chroot made under /tmp) is
    // out of the user's reach.
    if (WEXITSTATUS(status) == EACCES) GTEST_SKIP() << "the other user cannot reach " << dir;
    EXPECT_EQ(WEXITSTATUS(status), EPERM);
    EXPECT_EQ(test::ReadFile(file), "kept\r\n");
    EXPECT_EQ(int(fs::status(file).permissions()), 0666);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace qv

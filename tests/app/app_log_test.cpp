#include "app/core/app_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "program_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

TEST(AppLog, CleaningGivesOneUpperCaseLineWithOneBlankPerCharacter) {
    const std::pair<std::string, std::string> cases[] = {
        {"contraseña", "CONTRASE A"},  // UTF-8: two bytes, one blank
        {"CONTRASE\xD1"
         "A",
         "CONTRASE A"},                             // Latin-1 byte
        {"línea\r\nsegunda\t", "L NEA  SEGUNDA "},  // line breaks stay on one line
        {"\xC2\x80", "\xC2\x80"},                   // code 128 itself stays
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(CleanLogText(in), out) << in;
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

}  // namespace
}  // namespace qv

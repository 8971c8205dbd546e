// The command line: token rules and the keyword analysis over argument vectors.

#include "app/core/command_line.h"

#include <gtest/gtest.h>

#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "platform/worker_message.h"

namespace qv {
namespace {

using Strings = std::vector<std::string>;

TEST(CommandLineTokens, TextAndArguments) {
    const std::string text =
        "prog  -INI \"C:\\my path\\a.ini\"\t a\\\\\\\"b a\\\\\"b c\" a\\\\b \\ \"\" \"open end";
    Strings got;
    std::size_t pos = 0, length = 0;
    for (std::string token; NextCmdToken(text, pos, &token, &length); got.push_back(token))
        EXPECT_EQ(token.size(), length);
    EXPECT_EQ(got, (Strings{"prog", "-INI", "C:\\my path\\a.ini", "a\\\"b", "a\\b c", "a\\\\b",
                            "\\", "", "open end"}));
    // Arguments that arrive split keep their blanks; quotes and backslash runs follow the rules.
    const CommandLine argv = CommandLine::FromArguments(
        {"quorvanta", "/tmp/my dir/a.ini", "\"/tmp/my dir/b.ini\"", "a\\\\\\\"b"}, "/q");
    EXPECT_EQ((Strings{argv.CmdToken(0), argv.CmdToken(1), argv.CmdToken(2), argv.CmdToken(3),
                       argv.CmdToken(4)}),
              (Strings{"/q", "/tmp/my dir/a.ini", "/tmp/my dir/b.ini", "a\\\"b", ""}));
}

struct Outcome {
    WindowSettings s;
    bool start = false;
    Strings log;  // "!" in front marks a red line
};

Outcome analyse(Strings args) {
    Outcome r;
    r.s.Grid = {GridRow{"H"}, GridRow{}};
    Add_to_Grid(r.s.Grid, 99, 1, 1, "OLD");
    CommandLineCalls calls;
    calls.Log = [&](const std::string& t, int32_t c) {
        r.log.push_back((c == colour::Red ? "!" : "") + t);
    };
    args.insert(args.begin(), "quorvanta");
    r.start = Analiza_parametros(CommandLine::FromArguments(args, "/q"), r.s, calls);
    return r;
}

TEST(CommandLineAnalysis, KeywordsTheRunsDoNotReach) {
    // Counts clamped or as typed, a keyword where a value goes left alone, a bad
    // interval letter or count keeping what was there, the database output named
    // without a folder.
    const Outcome r =
        analyse({"-ASDURETRY", "15",      "-INTERASDUS",   "25",      "-TIMEOUTASDUS", "300",
                 "-ASDURETRY", " -Show ", "-TIMEOUTASDUS", "x",       "-INTERVAL",     "quarter",
                 "-INTERVAL",  "x",       "-FROM",         "no date", "-NOCLOSE",      "-RESTART",
                 "-DB",        "-nostart"});
    EXPECT_FALSE(r.start);
    EXPECT_EQ(std::tuple(r.s.AsduRetries, r.s.InterAsdu, r.s.AsduTimeout, r.s.Intervalo,
                         r.s.FechaInicio, r.s.TipoSalida, r.s.Ruta),
              std::tuple(9, 20, 300, 0, Day{}, 2, ""));
    EXPECT_TRUE(!r.s.AutoMinimize && !r.s.AutoClose && r.s.ModemReset);
    EXPECT_EQ(analyse({"-ASDURETRY", "0"}).s.AsduRetries, 1);
    EXPECT_TRUE(analyse({"-SHOW"}).log.empty());  // a single argument is ignored

    // Red lines; a meter item short of its parts adds nothing, yet the list is replaced.
    const Outcome failed =
        analyse({"-METERS", "12-1", "-INI", "/nonexistent/A.INI", "-DBUPLOAD", "/f"});
    EXPECT_EQ(Strings(failed.log.begin() + 2, failed.log.end()),
              (Strings{"!- NO EXISTE INIFILE: /nonexistent/A.INI", "- SUBIR FICHERO A LA BD : /f",
                       "!- SUBIDA A LA BASE DE DATOS NO DISPONIBLE"}));
    EXPECT_TRUE(MeterLinkTexts(failed.s.Grid).empty());
    // An upload without meters reads nothing; the FTP target's password is masked.
    EXPECT_TRUE(UploadOnly(CommandLine::FromArguments({"q", "-INI", "a", "-dbupload", "f"}, "")));
    EXPECT_FALSE(UploadOnly(CommandLine::FromArguments({"q", "-DBUPLOAD", "f", "-METERS"}, "")));
    EXPECT_EQ(analyse({"-FTP", "u:p@s:s@h:2121/d/", "-SHOW"}).log.at(1),
              "- EXPORTAR A SERVIDOR FTP : u:****@h:2121/d/");

    // Quotes escaped past the token rules group an item; the OPC part is trimmed, text after a
    // fourth "-" dropped, numbers within 32 bits.
    const Outcome meters = analyse(
        {"-METERS", "\\\"13-1-5- OP C -x\\\",99999999999-1-5,12-1-5" + std::string(300, 'x')});
    EXPECT_EQ(meters.s.Grid, (GridRows{GridRow{"H"}, GridRow{"13", "1", "5", "OP C", ""}}));
}

}  // namespace
}  // namespace qv

// The command line: token rules and the keyword analysis over argument vectors.

#include "app/core/command_line.h"

#include <gtest/gtest.h>

#include <fstream>

#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "platform/worker_message.h"
#include "support/test_env.h"

namespace qv {
namespace {

using Strings = std::vector<std::string>;

TEST(CommandLineTokens, TextAndArguments) {
    const struct {
        const char* text;
        Strings want;
    } cases[] = {
        {"prog", {}},
        {"prog  -INI \"C:\\my path\\a.ini\"\t-SHOW ", {"-INI", "C:\\my path\\a.ini", "-SHOW"}},
        {"prog a\\\\\\\"b", {"a\\\"b"}},
        {"prog a\\\\\"b c\"", {"a\\b c"}},
        {"prog a\\\\b \\", {"a\\\\b", "\\"}},
        {"prog \"\" x", {"", "x"}},
        {"prog \"open end", {"open end"}},
    };
    for (const auto& c : cases) {
        const CommandLine cmd = CommandLine::FromText(c.text, "/opt/q/quorvanta");
        Strings got;
        for (int i = 1; i <= cmd.CmdTokenCount(); ++i) got.push_back(cmd.CmdToken(i));
        EXPECT_EQ(got, c.want) << c.text;
        EXPECT_EQ(cmd.CmdToken(0), "/opt/q/quorvanta");
        EXPECT_EQ(cmd.CmdToken(cmd.CmdTokenCount() + 1), "");
    }
    // Arguments that arrive split keep their blanks; quotes and backslash runs follow the rules.
    const CommandLine argv = CommandLine::FromArguments(
        {"quorvanta", "/tmp/my dir/a.ini", "\"/tmp/my dir/b.ini\"", "a\\\\\\\"b"}, "/q");
    EXPECT_EQ(argv.CmdTokenCount(), 3);
    EXPECT_EQ(argv.CmdToken(1), "/tmp/my dir/a.ini");
    EXPECT_EQ(argv.CmdToken(2), "/tmp/my dir/b.ini");
    EXPECT_EQ(argv.CmdToken(3), "a\\\"b");
}

struct Outcome {
    WindowSettings s;
    bool start = false;
    std::vector<std::pair<std::string, int32_t>> log;
    std::vector<std::pair<std::string, bool>> uploads;

    bool logged(const std::string& text, int32_t c = colour::White) const {
        return std::find(log.begin(), log.end(), std::make_pair(text, c)) != log.end();
    }
};

Outcome analyse(Strings args, bool withUpload = true) {
    Outcome r;
    r.s.Grid = {GridRow{"H"}, GridRow{}};
    Add_to_Grid(r.s.Grid, 99, 1, 1, "OLD");
    CommandLineCalls calls;
    calls.Log = [&](const std::string& t, int32_t c) { r.log.emplace_back(t, c); };
    if (withUpload)
        calls.Subir_a_base = [&](const std::string& f, bool u) { r.uploads.emplace_back(f, u); };
    args.insert(args.begin(), "quorvanta");
    r.start = Analiza_parametros(CommandLine::FromArguments(args, "/q"), r.s, calls);
    return r;
}

TEST(CommandLineAnalysis, Keywords) {
    const std::string dir = test::makeTempDir("command_line");
    const std::string ini = dir + "/Site Config.ini";
    std::ofstream(ini) << "[MAIN]\nHOST=from-file\nCONTADORES=7,1,1,,99,2,2,\n";
    const std::string quotedIni = "\"" + ini + "\"";
    const struct {
        const char* name;
        Strings args;
        void (*check)(const Outcome&, const std::string& ini);
    } cases[] = {
        {"single argument ignored",
         {"-SHOW"},
         [](const Outcome& r, const std::string&) {
             EXPECT_TRUE(r.log.empty());
             EXPECT_FALSE(r.start || r.s.AutoMinimize || r.s.AutoClose);
         }},
        {"nostart with show",
         {"-nostart", " -Show "},
         [](const Outcome& r, const std::string&) {
             EXPECT_FALSE(r.start || r.s.AutoMinimize);
             EXPECT_TRUE(r.s.AutoClose);
             EXPECT_TRUE(r.logged("- ANALIZANDO PARAMETROS", colour::Yellow));
             EXPECT_TRUE(r.logged("- NO INICIAR LA LECTURA AUTOMATICAMENTE"));
         }},
        {"retries clamped",
         {"-ASDURETRY", "15", "-INTERASDUS", "25", "-TIMEOUTASDUS", "300"},
         [](const Outcome& r, const std::string&) {
             EXPECT_TRUE(r.start && r.s.AutoMinimize && r.s.AutoClose);
             EXPECT_EQ(r.s.AsduRetries, 9);
             EXPECT_EQ(r.s.InterAsdu, 20);
             EXPECT_EQ(r.s.AsduTimeout, 300);
             EXPECT_TRUE(r.logged("- SETS ASDU RETRIES WHEN NO ANSWER TO : 9"));
             EXPECT_TRUE(r.logged("- SETS THE TIMEOUT FOR THE ASDU QUERY TO (SECS.) : 300"));
         }},
        {"retries low and missing",
         {"-ASDURETRY", "0", "-INTERASDUS", "-SHOW", "-TIMEOUTASDUS", "x"},
         [](const Outcome& r, const std::string&) {
             EXPECT_EQ(r.s.AsduRetries, 1);
             EXPECT_EQ(r.s.InterAsdu, 1);
             EXPECT_EQ(r.s.AsduTimeout, 12);
             EXPECT_FALSE(r.s.AutoMinimize);
             EXPECT_EQ(r.log.size(), 3u);
         }},
        {"db then nostart",
         {"-DB", "-NOSTART"},
         [](const Outcome& r, const std::string&) {
             EXPECT_EQ(r.s.TipoSalida, OutputDatabase);
             EXPECT_EQ(r.s.Ruta, "");
             EXPECT_FALSE(r.start);
             EXPECT_TRUE(r.logged("- EXPORTAR A  BASE DE DATOS"));
         }},
        {"interval",
         {"-INTERVAL", "quarter", "-DB", "/tmp/csv"},
         [](const Outcome& r, const std::string&) {
             EXPECT_EQ(r.s.Intervalo, 0);
             EXPECT_TRUE(r.logged("- INTERVALO DE LECTURA: CUARTIHORARIO"));
             EXPECT_EQ(r.s.Ruta, "/tmp/csv");
         }},
        {"interval garbage",
         {"-INTERVAL", "x", "-INTERVAL"},
         [](const Outcome& r, const std::string&) { EXPECT_EQ(r.s.Intervalo, 2); }},
        {"dates",
         {"-FROM", "no date", "-TO", "2026/12/05"},
         [](const Outcome& r, const std::string&) {
             EXPECT_EQ(r.s.FechaInicio, NullDate);
             EXPECT_TRUE(r.logged("- FECHA DE INICIO : 1899/12/30"));
             EXPECT_TRUE(r.logged("- FECHA DE FIN : 2026/12/05"));
         }},
        {"meters",
         {"-METERS", "12-1-5,13-1-5-OPC 7"},
         [](const Outcome& r, const std::string&) {
             EXPECT_EQ(MeterLinkTexts(r.s.Grid), (Strings{"12", "13"}));
             EXPECT_EQ(r.s.Grid[2][3], "OPC");
             EXPECT_TRUE(r.logged("- ALTA DE CONTADOR   - Direccion de  Enlace :13"));
         }},
        {"meters none valid",
         {"-METERS", "12-1", "-SERIAL"},
         [](const Outcome& r, const std::string&) {
             EXPECT_TRUE(MeterLinkTexts(r.s.Grid).empty());
             EXPECT_EQ(r.s.Conexion, LinkSerialDirect);
         }},
        {"ini then ip",
         {"-INI", "", "-METERS", "5-1-1", "-INI", "", "-IP", "10.0.0.9"},
         [](const Outcome& r, const std::string& ini) {
             EXPECT_EQ(r.s.IniFileName, ini);
             EXPECT_EQ(r.s.Host, "10.0.0.9");
             EXPECT_EQ(MeterLinkTexts(r.s.Grid), (Strings{"5", "7", "99"}));
             EXPECT_TRUE(r.logged("- UTILIZAR INIFILE: " + ini));
         }},
        {"ip then ini",
         {"-IP", "10.0.0.9", "-INI", ""},
         [](const Outcome& r, const std::string&) { EXPECT_EQ(r.s.Host, "from-file"); }},
        {"missing ini",
         {"-INI", "/nonexistent/A.INI", "-modem", "555"},
         [](const Outcome& r, const std::string&) {
             EXPECT_TRUE(r.logged("- NO EXISTE INIFILE: /nonexistent/A.INI", colour::Red));
             EXPECT_EQ(r.s.IniFileName, "");
             EXPECT_EQ(r.s.Conexion, LinkGsmModem);
             EXPECT_EQ(r.s.Numero, "555");
         }},
        {"upload",
         {"-DBUPLOAD", "/tmp/f.CSV", "-dbunique"},
         [](const Outcome& r, const std::string&) {
             EXPECT_EQ(r.uploads,
                       (std::vector<std::pair<std::string, bool>>{{"/tmp/f.CSV", true}}));
         }},
        {"long arguments",
         {"-" + std::string(100000, 'M'), std::string(100000, '-'), "-METERS",
          std::string(70000, '1') + "-1-1," + std::string(50000, ',')},
         [](const Outcome& r, const std::string&) {
             EXPECT_TRUE(MeterLinkTexts(r.s.Grid).empty());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Strings args = c.args;
        // An empty INI value in the table stands for the file, given once bare and once quoted.
        bool quoted = false;
        for (std::size_t i = 1; i < args.size(); ++i)
            if (args[i - 1] == "-INI" && args[i].empty())
                args[i] = (quoted = !quoted) ? quotedIni : ini;
        c.check(analyse(args), ini);
    }
    const Outcome unwired = analyse({"-DBUPLOAD", "/tmp/f.CSV"}, false);
    EXPECT_TRUE(unwired.logged("- SUBIDA A LA BASE DE DATOS NO DISPONIBLE", colour::Red));
}

}  // namespace
}  // namespace qv

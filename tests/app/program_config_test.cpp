// Configuration files through the real quorvanta executable (-INI), unattended
// and headless against meter-sim: a file that means two things or names a key
// nothing reads stops the start (exit 10, one stderr line naming the key and,
// for a repeat, both values with passwords hidden); a stray Latin-1 byte does
// not change the UTF-8 lines; empty ports are their defaults; a refused meter
// list adds none of its meters; the last day the dates allow is written with
// two-digit years.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "app/core/csv_file.h"
#include "meter-sim/meter_sim.h"
#include "program_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using test::ReadFile;

struct IniRun {
    const char* name;
    std::string ini;                // "%": the run's folder, "@" the simulator's port
    std::vector<std::string> args;  // "-INI" is followed by the file, "@" is the simulator's port
    int exitCode;
    std::string printed;  // a pattern of stdout and stderr
    std::string logged;   // of the log and the status file ("!": not found); may be empty
    // For a run that reads: its folder under the run's, and a pattern of meter 101's file.
    const char* csvFolder = nullptr;
    const char* csv = "";
};

// A daily reading of one meter, from the file's settings and these.
std::vector<std::string> reading(std::vector<std::string> more = {}) {
    std::vector<std::string> args = {
        "-INI",          "-IP", "127.0.0.1",  "-PORT", "@",       "-INTERASDUS", "0",
        "-TIMEOUTASDUS", "2",   "-ASDURETRY", "1",     "-METERS", "101-1-7"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}
const std::string kDay = "FECHA_INICIO=2026/06/10\r\nFECHA_FIN=2026/06/10\r\nINTERVALO=2\r\n";

// clang-format off
const IniRun kRuns[] = {
    {"KeyTwice", "[MAIN]\r\nHOST=a.example\r\nRUTA=%\r\nhost=b.example\r\n", reading(), 10,
     "^quorvanta: exit code 10: ERROR EN INIFILE c.ini: CLAVE HOST REPETIDA EN \\[MAIN\\]: \"a.example\" Y \"b.example\"\n$",
     "!CONEXION IP"},
    // The second list under a second [MAIN] was never read: the run ended 0 without it.
    {"MeterListUnderASecondMain", "[MAIN]\r\nCONTADORES=101,1,7,\r\n[OTHER]\r\nX=1\r\n[MAIN]\r\nCONTADORES=102,2,22,OPC\r\n",
     {"-INI", "-IP", "127.0.0.1", "-PORT", "@"}, 10,
     "^quorvanta: exit code 10: ERROR EN INIFILE c.ini: CLAVE CONTADORES REPETIDA EN \\[MAIN\\]: \"101,1,[*]{4},\" Y \"102,2,[*]{4},OPC\"\n$",
     "!CONEXION IP"},
    {"PasswordTwice", "[MAIN]\r\nPASSW=first\r\nPASSW=second\r\n", reading(), 10,
     "^quorvanta: exit code 10: .*CLAVE PASSW REPETIDA EN \\[MAIN\\]: \"[*]{4}\" Y \"[*]{4}\"\n$", "!first|second"},
    // Misspelt, the folder was ignored and the files went to the current folder.
    {"UnknownKey", "[MAIN]\r\nRUTTA=%/out\r\n" + kDay, reading(), 10,
     "^quorvanta: exit code 10: ERROR EN INIFILE c.ini: CLAVE RUTTA DESCONOCIDA EN \\[MAIN\\]\n$", "!CONEXION IP"},
    {"KeyWithoutItsEqualsSign", "[MAIN]\r\nRUTA %/out\r\n" + kDay, reading(), 10,
     "^quorvanta: exit code 10: ERROR EN INIFILE c.ini: LINEA 2 DE \\[MAIN\\] NO ES CLAVE=VALOR\n$", "!CONEXION IP"},
    {"SwitchNotANumber", "[MAIN]\r\nLOGSCREEN=si\r\n", reading(), 10,
     "^quorvanta: exit code 10: ERROR EN INIFILE c.ini: LOGSCREEN: \"si\" NO ES UN NUMERO ENTERO\n$", ""},
    // The meters named before the file are the run's; none of the refused list is.
    {"MeterListRefusedAddsNone", "[MAIN]\r\nCONTADORES=102,2,22,,103,x,7,\r\n",
     {"-METERS", "101-1-7", "-INI", "-IP", "127.0.0.1", "-PORT", "@"}, 10,
     "^quorvanta: exit code 10: ERROR EN INIFILE c.ini: CONTADORES: ENTRADA \"[*]{4},[*]{4},[*]{4},\" NO ES .*\n$",
     "\r\n101;1;7;;\\(2\\) ERROR INICIANDO - \\(ERROR EN INIFILE c.ini: CONTADORES: ENTRADA \"[*]{4},[*]{4},[*]{4},\" NO ES ENLACE,PUNTO,CONTRASENA,OPC\\)\r\n$"},
    // One Latin-1 byte in a comment: the UTF-8 folder stays the folder it names.
    {"StrayLatin1Byte", "[MAIN]\r\n; carpeta de la Campi\xF1\x61\r\nRUTA=%/Campiña\r\n" + kDay,
     reading(), 0, "^$", "EXIT CODE: 0", "Campiña", "^FECHA; HORA;"},
    // Every empty port its default: accepted as the window saves it back (the window's tests).
    {"EmptyPorts", "[MAIN]\r\nCONEXION=2\r\nHOST=127.0.0.1\r\nHOST_PORT=\r\nPUERTO=\r\nSSH_PORT=\r\nDEST_PORT=\r\nLIST_PORT=\r\nHABILITA_TUNEL=2\r\nRUTA=%/out\r\n" + kDay,
     reading(), 0, "^$", "EXIT CODE: 0", "out", "^FECHA; HORA;"},
    // Lines ended by a lone CR: the file's TCP settings, not one header line and COM1.
    {"LinesEndedByCR", "[MAIN]\rCONEXION=2\rHOST=127.0.0.1\rHOST_PORT=@\rRUTA=%/out\rCONTADORES=101,1,7,\r" + std::regex_replace(kDay, std::regex("\r\n"), "\r"),
     {"-INI", "-INTERASDUS", "0", "-TIMEOUTASDUS", "2", "-ASDURETRY", "1"}, 0, "^$", "CONEXION IP", "out", "^FECHA; HORA;"},
    // A key on the header's line was dropped: the files went to the current folder.
    {"KeyOnTheHeadersLine", "[MAIN]RUTA=%/out\r\n" + kDay, reading(), 10,
     "^quorvanta: exit code 10: ERROR EN INIFILE c.ini: LINEA 1 DE \\[MAIN\\] NO ES CLAVE=VALOR\n$", "!CONEXION IP"},
    {"KeyOnAnotherHeadersLine", "[MAIN]\r\nRUTA=%/out\r\n" + kDay + "[OTRA]RUTA=/x\r\n", reading(), 10,
     "^quorvanta: exit code 10: ERROR EN INIFILE c.ini: LINEA 6 DE \\[OTRA\\] NO ES CLAVE=VALOR\n$", "!CONEXION IP"},
    // The closing row of 31 December 2099 is 1 January 2100: "01/01/00".
    {"LastDayTheDatesAllow", "[MAIN]\r\nRUTA=%/out\r\nFECHA_INICIO=2099/12/31\r\nFECHA_FIN=2099/12/31\r\nINTERVALO=2\r\n",
     reading(), 0, "^$", "CIERRE DIARIO OK - 01/01/00 - 00:00", "out",
     "\r\n31/12/99;00:00;Invierno;[^\r]*\r\n01/01/00;00:00;Invierno;[^\r]*\r\n$"},
};
// clang-format on

void PrintTo(const IniRun& r, std::ostream* os) {
    *os << r.name;
}

// The pattern found in text, or with "!" not found.
void expectPattern(const std::string& text, const std::string& p) {
    if (p.empty()) return;
    const bool negated = p.starts_with("!");
    EXPECT_NE(std::regex_search(text, std::regex(negated ? p.substr(1) : p)), negated)
        << p << " in:\n"
        << text;
}

class ProgramConfig : public ::testing::TestWithParam<IniRun> {};

TEST_P(ProgramConfig, FileTakenOrRefusedAsAWhole) {
    const IniRun& r = GetParam();
    sim::SimConfig c;
    c.meters.push_back({101, 1, 7, {}});
    c.meters.push_back({102, 2, 22, {}});
    sim::MeterSim sim(c);
    const std::string dir = test::makeTempDir("program_config");
    std::string ini = r.ini;
    for (std::size_t at; (at = ini.find('%')) != std::string::npos;) ini.replace(at, 1, dir);
    for (std::size_t at; (at = ini.find('@')) != std::string::npos;)
        ini.replace(at, 1, std::to_string(sim.listenTcp()));
    std::ofstream(dir + "/c.ini", std::ios::binary) << ini;
    std::vector<std::string> argv;
    for (const std::string& a : r.args) {
        argv.push_back(a == "@" ? std::to_string(sim.listenTcp()) : a);
        if (a == "-INI") argv.push_back("c.ini");
    }
    EXPECT_EQ(test::Program(test::ProgramCopy(dir), dir, argv, {"XDG_RUNTIME_DIR=" + dir},
                            dir + "/output.txt")
                  .Wait(seconds(240)),
              r.exitCode);
    expectPattern(ReadFile(dir + "/output.txt"), r.printed);
    expectPattern(ReadFile(dir + "/quorvanta.LOG") + ReadFile(dir + "/quorvanta_STATUSLOG.CSV"),
                  r.logged);
    if (r.csvFolder) {
        const std::string csv = dir + "/" + r.csvFolder + "/" + CsvFileName(101, LocalToday());
        EXPECT_TRUE(fs::exists(csv)) << csv;
        expectPattern(ReadFile(csv), r.csv);
    }
    if (!HasFailure()) fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Files, ProgramConfig, ::testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.name); });

// LOGDISK=0 in the -INI file is in force from the command line's first line:
// no log file at all. A command line refused takes none of the file's
// settings, so its refusal is logged.
TEST(ProgramConfigLog, LogDiskOffKeepsEveryLineOutOfTheLogFile) {
    sim::SimConfig c;
    c.meters.push_back({101, 1, 7, {}});
    sim::MeterSim sim(c);
    const std::string dir = test::makeTempDir("program_config_log");
    std::ofstream(dir + "/c.ini", std::ios::binary)
        << "[MAIN]\r\nLOGDISK=0\r\nRUTA=" + dir + "/out\r\n" + kDay;
    const std::string exe = test::ProgramCopy(dir);
    const auto run = [&](std::vector<std::string> more) {
        std::vector<std::string> argv;
        for (const std::string& a : reading(std::move(more))) {
            argv.push_back(a == "@" ? std::to_string(sim.listenTcp()) : a);
            if (a == "-INI") argv.push_back("c.ini");
        }
        return test::Program(exe, dir, argv, {"XDG_RUNTIME_DIR=" + dir}, dir + "/output.txt")
            .Wait(seconds(240));
    };
    EXPECT_EQ(run({}), 0);
    EXPECT_TRUE(fs::exists(dir + "/out/" + CsvFileName(101, LocalToday())));
    EXPECT_TRUE(fs::exists(dir + "/quorvanta_STATUSLOG.CSV"));
    EXPECT_FALSE(fs::exists(dir + "/quorvanta.LOG")) << ReadFile(dir + "/quorvanta.LOG");

    // Right after -METERS' value, the unknown keyword may be the rest of it: not shown.
    EXPECT_EQ(run({"-T0"}), 10);
    expectPattern(ReadFile(dir + "/quorvanta.LOG"),
                  "^[^\n]*ANALIZANDO PARAMETROS\r\n[^\n]*PALABRA CLAVE DESCONOCIDA: [*]{4}\r\n");
    if (!HasFailure()) fs::remove_all(dir);
}

}  // namespace
}  // namespace qv

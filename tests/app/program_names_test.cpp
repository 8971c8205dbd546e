// The real quorvanta executable, started as cron starts it: a meter list whose
// OPC codes would merge in the database or write lines of their own, a meter
// the database could not name, and database settings that cannot work, all
// refused before the first call; a window start on a platform that shows
// nothing, which ends at once instead of waiting unseen.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

#include "app/core/password_codec.h"
#include "export/export_harness.h"
#include "meter-sim/meter_sim.h"
#include "meter/contador_ip.h"
#include "program_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using test::ReadFile;

sim::SimConfig fourMeters() {
    sim::SimConfig c;
    for (int link : {101, 102, 103, 104}) c.meters.push_back({link, link - 100, 7, {}});
    return c;
}

// The link, range and output a row does not give itself.
std::vector<std::string> withDefaults(std::vector<std::string> args, const std::string& port) {
    const auto has = [&](const char* key) { return std::ranges::find(args, key) != args.end(); };
    if (args.size() < 2) return args;
    const std::pair<const char*, std::string> defaults[] = {
        {"-IP", "127.0.0.1"}, {"-PORT", port},      {"-FROM", "2026/06/10"}, {"-TO", "2026/06/10"},
        {"-INTERVAL", "D"},   {"-INTERASDUS", "0"}, {"-METERS", "101-1-7"}};
    for (const auto& [key, value] : defaults)
        if (!has(key)) args.insert(args.end(), {key, value});
    if (!has("-CSV") && !has("-DB")) args.insert(args.end(), {"-CSV", "out"});
    return args;
}

// One start a row: its arguments ("site.ini" is the row's file, written in the
// run's folder when `ini` is given), environment, exit code, the pattern of all
// it printed, and patterns found (or, after "!", not found) in its log and
// status file.
struct NamesStart {
    const char* name;
    std::vector<std::string> args;
    const char* ini;
    std::vector<std::string> env;
    int exitCode;
    std::string output;
    std::vector<std::string> logged;
};
void PrintTo(const NamesStart& s, std::ostream* os) {
    *os << s.name;
}

const std::string kEncoded = "PASSW=" + EncodePWDEx("secreto") + "\n";
const std::string kRefused = "^quorvanta: exit code 10: ";

// clang-format off
const NamesStart kStarts[] = {
    // Two names the database would take for one, from the command line, a file, or both.
    {"CodesEqualButForCase", {"-METERS", "101-1-7-Pinar-2,102-2-7-PINAR-2"}, nullptr, {}, 10,
     kRefused + "ERROR EN EL CONTADOR 102: CODIGO OPC REPETIDO: \"101-1-[*]{4}-Pinar-2\" Y \"102-2-[*]{4}-PINAR-2\" SON UN SOLO NOMBRE, \"PINAR-2\", EN LA BASE DE DATOS \\(NO DISTINGUE MAYUSCULAS, ACENTOS NI ESPACIOS A LOS LADOS\\)\n$",
     {"!CONEXION IP", "\r\n101;1;7;Pinar-2;\\(2\\) ERROR INICIANDO"}},
    {"FileCodesEqualButForLatin1Case", {"-INI", "site.ini", "-METERS", ""},
     "[MAIN]\nCONTADORES=101,1,7,Campiña,102,2,7, CAMPIÑA \n", {}, 10,
     kRefused + "ERROR EN EL CONTADOR 102: CODIGO OPC REPETIDO: \"101-1-[*]{4}-Campiña\" Y \"102-2-[*]{4}-CAMPIÑA\" SON UN SOLO NOMBRE, \"CAMPIÑA\",.*\n$", {"!CONEXION IP"}},
    {"FileMeterMergedIntoTheCommandLines", {"-METERS", "102-2-7-pinar", "-INI", "site.ini"},
     "[MAIN]\nCONTADORES=101,1,7,PINAR\n", {}, 10,
     kRefused + "ERROR EN EL CONTADOR 101: CODIGO OPC REPETIDO: \"102-2-[*]{4}-pinar\" Y \"101-1-[*]{4}-PINAR\".*\n$", {"!CONEXION IP"}},
    {"EmptyCodesRepeatOtherCodesDiffer", {"-METERS", "101-1-7,102-2-7,103-3-7-Pinar-2,104-4-7-Pinar-3"}, nullptr, {}, 0,
     "^$", {"\r\n101;1;7;;\\(6\\)[^\n]*\r\n102;2;7;;\\(6\\)[^\n]*\r\n103;3;7;Pinar-2;\\(6\\)[^\n]*\r\n104;4;7;Pinar-3;\\(6\\)"}},
    // A line break or tab in a code, escaped as the refusal of a blank suggests, or in a file.
    {"CodeWithLineBreakEscaped", {"-METERS", "\\\"101-1-7-A\nB\\\""}, nullptr, {}, 10,
     kRefused + "CONTADOR NO VALIDO EN -METERS: \"101-1-[*]{4}-A\\\\x0AB\": EL CODIGO OPC \"A\\\\x0AB\" LLEVA UN CARACTER DE CONTROL\n$",
     {"!CONEXION IP", "!\nB"}},
    {"FileCodeWithTab", {"-INI", "site.ini", "-METERS", ""}, "[MAIN]\nCONTADORES=101,1,7,\"A\tB\"\n", {}, 10,
     kRefused + "ERROR EN EL CONTADOR 101: EL CODIGO OPC \"A\\\\x09B\" LLEVA UN CARACTER DE CONTROL\n$",
     {"!CONEXION IP"}},
    // The database output: a meter without a name, settings that need no connection.
    {"DbMeterWithoutCode", {"-INI", "site.ini", "-DB", "out", "-METERS", "101-1-7-M1,102-2-7"}, "", {}, 10,
     kRefused + "ERROR EN EL CONTADOR 102: SIN CODIGO OPC: LA SALIDA A BASE DE DATOS GUARDA SUS LECTURAS CON ESE NOMBRE\n$",
     {"!CONEXION IP"}},
    {"DbCodeBeyondLatin1", {"-DB", "out", "-METERS", "101-1-7-M€"}, nullptr, {}, 10,
     kRefused + "ERROR EN EL CONTADOR 101: EL CODIGO OPC \"M€\" TIENE EL CARACTER U\\+20AC, QUE LA BASE \\(LATIN-1\\) NO ADMITE\n$", {"!CONEXION IP"}},
    {"DbPasswordNotEncoded", {"-INI", "site.ini", "-DB", "out", "-METERS", "101-1-7-M1"}, "[MAIN]\nPASSW=Passw0rd\n", {}, 10,
     kRefused + "ERROR EN LA BASE DE DATOS: LA CLAVE PASSW DEL FICHERO DE CONFIGURACION NO ES UNA CONTRASENA CODIFICADA: ESCRIBALA EN \"CONFIGURACION MySQL\" Y GUARDE LA CONFIGURACION\n$",
     {"!CONEXION IP", "!COMUNICACION CON BASE"}},
    {"DbTunnelPasswordNotEncoded", {"-INI", "site.ini", "-DB", "out", "-METERS", "101-1-7-M1"},
     "[MAIN]\nHABILITA_TUNEL=1\nSSH_HOST=127.0.0.1\nSSH_LOGIN=op\nSSH_PASS=Passw0rd\n", {}, 10,
     kRefused + "ERROR EN LA BASE DE DATOS: LA CLAVE SSH_PASS DEL FICHERO .*\n$", {"!CONEXION IP"}},
    {"DbHostWithPort", {"-INI", "site.ini", "-DB", "out", "-METERS", "101-1-7-M1"}, "[MAIN]\nHOST_NAME=db:3306\n", {}, 10,
     kRefused + "ERROR EN LA BASE DE DATOS: HOST_NAME: \"db:3306\" LLEVA UN PUERTO: EL PUERTO SE DA APARTE \\(PUERTO\\)\n$", {"!CONEXION IP"}},
    {"PasswordNotNeededForCsv", {"-INI", "site.ini", "-CSV", "out"}, "[MAIN]\nPASSW=Passw0rd\n", {}, 0, "^$", {"EXIT CODE: 0"}},
    // A window nobody could see: the usage text, its last line saying why, at once.
    {"OneArgumentOnOffscreen", {"-SHOW"}, nullptr, {"QT_QPA_PLATFORM=offscreen"}, 2,
     "^usage: [\\s\\S]*\nOn the Qt platform offscreen, which shows nothing, and with fewer than two arguments nothing else is done\\.\n$", {"^$"}},
    {"WindowOnMinimal", {}, nullptr, {"QT_QPA_PLATFORM=minimal"}, 2,
     "^usage: [\\s\\S]*\nOn the Qt platform minimal, which shows nothing, and with fewer than two arguments nothing else is done\\.\n$", {"^$"}},
    {"NoStartOnOffscreen", {"-NOSTART", "-SHOW"}, nullptr, {"QT_QPA_PLATFORM=offscreen"}, 2,
     "^usage: [\\s\\S]*\nOn the Qt platform offscreen, which shows nothing, and with -NOSTART and no -DBUPLOAD \\(no reading, no upload\\) nothing else is done\\.\n$", {"^$"}},
    {"NoStartNoCloseIniWithoutDisplay", {"-NOSTART", "-NOCLOSE", "-INI", "site.ini"}, "[MAIN]\n", {}, 2,
     "^usage: [\\s\\S]*\nWithout a display and with -NOSTART and no -DBUPLOAD \\(no reading, no upload\\) nothing else is done\\.\n$", {"^$"}},
    {"OneArgumentWithoutDisplay", {"-SHOW"}, nullptr, {}, 2,
     "^usage: [\\s\\S]*\nWithout a display and with fewer than two arguments nothing else is done\\.\n$", {"^$"}},
    {"WindowOnStaleDisplay", {}, nullptr, {"DISPLAY=:97"}, 2,
     "^quorvanta: the Qt platform xcb cannot be used: .*\nusage: [\\s\\S]*\nWith the Qt platform xcb unusable and with fewer than two arguments nothing else is done\\.\n$", {"^$"}},
    // A reading there runs, and -NOCLOSE does not keep it open after its run.
    {"NoCloseReadingOnOffscreenCloses", {"-NOCLOSE", "-SHOW"}, nullptr, {"QT_QPA_PLATFORM=offscreen"}, 0,
     "^$", {"SIN PANTALLA: SE CIERRA AL TERMINAR", "EXIT CODE: 0"}},
};
// clang-format on

class ProgramNames : public ::testing::TestWithParam<NamesStart> {};

TEST_P(ProgramNames, RefusedBeforeTheFirstCallOrEndedAtOnce) {
    const NamesStart& row = GetParam();
    sim::MeterSim sim(fourMeters());
    const std::string port = std::to_string(sim.listenTcp());
    const std::string dir = test::makeTempDir("program_names");
    fs::create_directory(dir + "/out");
    // An empty file text stands for a file with an encoded database password.
    if (row.ini)
        std::ofstream(dir + "/site.ini")
            << (*row.ini ? std::string(row.ini) : "[MAIN]\n" + kEncoded);
    std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir + "/out"};
    env.insert(env.end(), row.env.begin(), row.env.end());
    test::Program program(test::ProgramCopy(dir), dir, withDefaults(row.args, port), env,
                          dir + "/output.txt");
    EXPECT_EQ(program.Wait(seconds(120)), row.exitCode);
    const std::string printed = ReadFile(dir + "/output.txt");
    EXPECT_TRUE(std::regex_search(printed, std::regex(row.output))) << printed;
    const std::string files =
        ReadFile(dir + "/quorvanta.LOG") + ReadFile(dir + "/quorvanta_STATUSLOG.CSV");
    for (const std::string& p : row.logged)
        EXPECT_NE(std::regex_search(files, std::regex(p.substr(p.starts_with("!")))),
                  p.starts_with("!"))
            << p << " in:\n"
            << files;
    if (row.exitCode != 0) {
        EXPECT_EQ(sim.connectionsAccepted(), 0u) << "a meter was called";
    }
    // No lock left; a start that ends otherwise than 0 wrote no readings.
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        EXPECT_NE(entry.path().extension(), ".lock") << entry.path();
    if (row.exitCode != 0) {
        EXPECT_TRUE(fs::is_empty(dir + "/out"));
    }
    if (!HasFailure()) fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Starts, ProgramNames, ::testing::ValuesIn(kStarts),
                         [](const auto& info) { return std::string(info.param.name); });

// The database output to the real server: two codes that differ only in case
// are refused before any call, with or without unique mode, and nothing is
// stored; two codes that differ are stored each under its own name. A stored
// password that is not an encoded one stops the run before any call too.
class ProgramNamesDb : public test::UploadTest {
  protected:
    int Run(const std::string& ini, const std::string& meters, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"-INI",    ini,    "-DB", dir + "/out",
                                         "-METERS", meters, "-TO", "2026/06/11"};
        args.insert(args.end(), more.begin(), more.end());
        const std::optional<int> code =
            test::Program(test::ProgramCopy(dir), dir, withDefaults(args, port), {},
                          dir + "/output.txt")
                .Wait(seconds(120));
        return code.value_or(-2);
    }
    std::string Names() {
        std::string text;
        for (const auto& r : Stored()) text += r[0] + " ";
        return text;
    }
    sim::MeterSim sim{fourMeters()};
    std::string port = std::to_string(sim.listenTcp());
};

TEST_F(ProgramNamesDb, TwoCodesDifferingInCaseStoreNothing) {
    fs::create_directory(dir + "/out");
    const DbSettings db = test::DbSettingsFromEnv();
    const std::string keys = "[MAIN]\nHOST_NAME=" + db.HOST_NAME + "\nPUERTO=" + db.PUERTO +
                             "\nDB_NAME=" + schema + "\nUSER_NAME=" + db.USER_NAME + "\n";
    const std::string ini = dir + "/db.ini", plain = dir + "/plain.ini";
    std::ofstream(ini) << keys << "PASSW=" << EncodePWDEx(db.PASSWORD) << "\n";
    std::ofstream(plain) << keys << "PASSW=" << db.PASSWORD << "\n";

    EXPECT_EQ(Run(ini, "101-1-7-Pinar-2,102-2-7-PINAR-2"), ExitInitFailed);
    EXPECT_EQ(Run(ini, "101-1-7-Pinar-2,102-2-7-PINAR-2", {"-DBUNIQUE"}), ExitInitFailed);
    // The server's collation takes "É" for "E": the rows would merge as well.
    EXPECT_EQ(Run(ini, "101-1-7-José,102-2-7-JOSE", {"-DBUNIQUE"}), ExitInitFailed);
    EXPECT_NE(ReadFile(dir + "/output.txt").find("CODIGO OPC REPETIDO"), std::string::npos);
    EXPECT_EQ(Run(plain, "101-1-7-Pinar-2"), ExitInitFailed);
    EXPECT_NE(ReadFile(dir + "/output.txt").find("LA CLAVE PASSW"), std::string::npos);
    EXPECT_EQ(ReadFile(dir + "/quorvanta.LOG").find("COMUNICACION CON BASE"), std::string::npos);
    EXPECT_EQ(sim.connectionsAccepted(), 0u);
    EXPECT_EQ(Names(), "");

    // Three closures a meter, each under its own name.
    EXPECT_EQ(Run(ini, "101-1-7-Pinar-2,102-2-7-Pinar-3"), 0) << ReadFile(dir + "/output.txt");
    std::vector<std::string> names;
    for (const auto& r : Stored()) names.push_back(r[0]);
    std::ranges::sort(names);
    EXPECT_EQ(names, (std::vector<std::string>{"PINAR-2", "PINAR-2", "PINAR-2", "PINAR-3",
                                               "PINAR-3", "PINAR-3"}));
}

}  // namespace
}  // namespace qv

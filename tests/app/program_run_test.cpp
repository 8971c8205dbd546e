// The real quorvanta executable started as a process, as cron or a desktop
// starts it: unattended and headless against meter-sim, the CSV files value by
// value against the simulator's counters, the run's exit code as the process
// exit code and the close 3 s after the run; one instance per path.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <ranges>
#include <regex>
#include <set>
#include <thread>

#include "app/core/app_log.h"
#include "app/core/csv_file.h"
#include "app/core/startup.h"
#include "meter-sim/meter_sim.h"
#include "meter/contador_ip.h"
#include "platform/text.h"
#include "program_harness.h"
#include "support/condition_wait.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using test::ReadFile;
constexpr uint32_t kSeed = 11;

std::vector<std::string> split(const std::string& s, std::string_view sep) {
    std::vector<std::string> out;
    for (const auto part : std::views::split(s, sep)) out.emplace_back(part.begin(), part.end());
    return out;
}

// Runs a copy of the program in its own folder to its end (stdout and stderr to
// output.txt there); the exit code.
std::optional<int> runProgram(const std::string& dir, std::vector<std::string> args,
                              std::vector<std::string> env = {}) {
    return test::Program(test::ProgramCopy(dir), dir, std::move(args), std::move(env),
                         dir + "/output.txt")
        .Wait(seconds(240));
}

// Each row's absolute values are the simulator's counters at its time tag,
// its increments the differences to the row before (0 in the opening row).
// Returns the rows' times.
std::vector<std::string> checkRows(const std::string& text, int link) {
    auto lines = split(text, "\r\n");
    EXPECT_EQ(lines.back(), "");  // every line ends with CR LF
    const std::size_t first = lines[0].starts_with("OPC_ID : ") ? 2 : 1;
    EXPECT_EQ(lines.at(first - 1), kCsvHeader);
    std::vector<std::string> times;
    std::set<std::string> labels;  // date, time and season: never twice
    std::array<uint32_t, 6> previous{};
    for (std::size_t i = first; i + 1 < lines.size(); ++i) {
        const auto f = split(lines[i], ";");
        sim::SimTime t;
        if (f.size() != 16u ||
            std::sscanf(f[0].c_str(), "%d/%d/%d", &t.day, &t.month, &t.year) != 3 ||
            std::sscanf(f[1].c_str(), "%d:%d", &t.hour, &t.minute) != 2) {
            ADD_FAILURE() << lines[i];
            continue;
        }
        EXPECT_TRUE(labels.insert(f[0] + f[1] + f[2]).second) << lines[i];
        t.year += 2000;
        t.summer = f[2] == "Verano";
        EXPECT_EQ(t.summer, sim::isSummerTime(t)) << lines[i];
        for (int reg = 1; reg <= 6; ++reg) {
            const uint32_t abs = sim::counterValue(kSeed, link, reg, t);
            EXPECT_EQ(std::stoi(f[2 + reg]), int32_t(abs)) << lines[i] << " register " << reg;
            EXPECT_EQ(std::stoi(f[8 + reg]), int32_t(i == first ? 0 : abs - previous[reg - 1]))
                << lines[i] << " register " << reg;
            previous[reg - 1] = abs;
        }
        times.push_back(f[0] + " " + f[1]);
    }
    return times;
}

// Every interval, the summer-time change days, two meters (the second with an
// OPC code or refusing its session), no meters, folders beyond ASCII (on the
// command line, in an older Latin-1 configuration file, quoted there), a meter
// that repeats its last record or loses it (its day is not written, the
// reading fails), a late acknowledgement on a slow line (a file where the
// folder goes is refused before the run: see the unattended starts below): rows and exit
// codes of each run. A failed second run on the same day leaves the first file
// as it was.
struct RunCase {
    const char *name, *interval, *from, *to, *meters;
    int exitCode;
    bool secondRead;
    std::size_t rows;  // of meter 101
    const char* last;
    sim::SimFaults faults = {};  // of meter 101
    int replyDelayMs = 2, retries = 1;
    const char* folder = "/out";  // under the run's folder; "": none given
    bool failedRerun = false;     // then again, meter 101 losing its last record
    const char* printed = "";     // part of what a failed run prints; nothing on success
    // The folder from a configuration file holding this line ("%": the run's
    // folder) instead of -CSV; the folder's parent exists.
    const char* iniLine = nullptr;
};
sim::SimFaults noFaults() {
    return {};
}
sim::SimFaults repeatsLast(int times) {
    return {.extraRecords = times};
}
// The reply with the day's last record lost, the repeated poll answered with the end.
sim::SimFaults lastRecordLost() {
    return {.loseLast = true};
}
// The reply held back (the daily closure request's acknowledgement) and by how long.
sim::SimFaults lateReply(int n, int ms) {
    return {.lateReply = n, .lateReplyMs = ms};
}
const RunCase kRuns[] = {
    {"HourlySpringChange", "H", "2026/03/28", "2026/03/29", "101-1-7,102-2-7-opcB", 0, true,
     1 + 24 + 23, "30/03/26 00:00"},
    {"HourlyAutumnChangeLastMeterRefused", "HORARIO", "2026/10/25", "2026/10/25", "101-1-7,102-2-8",
     15, false, 1 + 25, "26/10/26 00:00"},
    {"QuarterHourly", "Q", "2026/06/10", "2026/06/10", "101-1-7", 0, false, 1 + 96,
     "11/06/26 00:00"},
    {"Daily", "D", "2026/06/10", "2026/06/13", "101-1-7", 0, false, 5, "14/06/26 00:00"},
    {"Monthly", "M", "2026/01/15", "2026/04/15", "101-1-7", 0, false, 4, "01/04/26 00:00"},
    {"NoMeters", "D", "2026/06/10", "2026/06/10", "", 15, false, 0, "", noFaults(), 2, 1, "/out",
     false, "exit code 15: ERROR - NO HAY CONTADORES EN LA LISTA"},
    {"FirstAndThirdUnreadLastRead", "D", "2026/06/10", "2026/06/10",
     "103-3-7,101-1-7,105-5-7,102-2-7-opcB", 15, true, 2, "11/06/26 00:00", noFaults(), 2, 1,
     "/out", false,
     "exit code 15: CONTADORES LEIDOS: 2 DE 4 - EL PRIMERO SIN LEER ES EL 103: SIN RESPUESTA A "
     "SOLICITUD DE ESTADO DE ENLACE"},
    {"NoFolderTheCurrentOne", "D", "2026/06/10", "2026/06/10", "101-1-7", 0, false, 2,
     "11/06/26 00:00", noFaults(), 2, 1, ""},
    {"FailedRerunKeepsTheFile", "Q", "2026/06/10", "2026/06/10", "101-1-7", 0, false, 1 + 96,
     "11/06/26 00:00", noFaults(), 2, 1, "/out", true},
    {"QuarterHourlyRecordRepeated", "Q", "2026/03/05", "2026/03/05", "101-1-7", 15, false, 1,
     "05/03/26 00:00", repeatsLast(1)},
    {"HourlyRecordRepeated", "H", "2026/03/05", "2026/03/05", "101-1-7", 15, false, 1,
     "05/03/26 00:00", repeatsLast(2)},
    {"HourlySpringChangeRecordRepeated", "H", "2026/03/29", "2026/03/29", "101-1-7", 15, false, 1,
     "29/03/26 00:00", repeatsLast(2)},
    {"HourlyLastRecordLost", "H", "2026/03/05", "2026/03/05", "101-1-7", 15, false, 1,
     "05/03/26 00:00", lastRecordLost(), 2, 2},
    {"LateAcknowledgement", "Q", "2026/06/10", "2026/06/10", "101-1-7,102-2-7-opcB", 0, true,
     1 + 96, "11/06/26 00:00", lateReply(12, 2800), 30, 2},
    {"FolderBeyondAscii", "D", "2026/06/10", "2026/06/10", "101-1-7", 0, false, 2, "11/06/26 00:00",
     noFaults(), 2, 1, "/año €"},
    {"FolderInLatin1ConfigurationFile", "D", "2026/06/10", "2026/06/10", "101-1-7", 0, false, 2,
     "11/06/26 00:00", noFaults(), 2, 1, "/exist ñ/sub", false, "", "RUTA=%/exist \xF1/sub"},
    {"QuotedFolderInConfigurationFile", "D", "2026/06/10", "2026/06/10", "101-1-7", 0, false, 2,
     "11/06/26 00:00", noFaults(), 2, 1, "/x y", false, "", "RUTA = \"%/x y\" "},
};

void PrintTo(const RunCase& r, std::ostream* os) {
    *os << r.name;
}

class ProgramRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(ProgramRun, FilesValueByValueExitCodeAndTheCloseAfterTheRun) {
    const RunCase& r = GetParam();
    sim::SimConfig c;
    c.seed = kSeed;
    c.replyDelayMs = r.replyDelayMs;
    for (int link : {101, 102}) c.meters.push_back({link, link % 100, 7, {}});
    c.meters[0].faults = r.faults;
    sim::MeterSim sim(c);
    const std::string dir = test::makeTempDir("program_run");
    const std::string outputFolder = *r.folder ? dir + r.folder : "";
    std::vector<std::string> args = {
        "-IP",           "127.0.0.1",  "-PORT",       std::to_string(sim.listenTcp()),
        "-CSV",          outputFolder, "-FROM",       r.from,
        "-TO",           r.to,         "-INTERVAL",   r.interval,
        "-METERS",       r.meters,     "-INTERASDUS", "0",
        "-TIMEOUTASDUS", "2",          "-ASDURETRY",  std::to_string(r.retries)};
    if (r.iniLine) {
        std::string line = r.iniLine;
        line.replace(line.find('%'), 1, dir);
        std::ofstream(dir + "/folder.ini") << "[MAIN]\r\n" << line << "\r\n";
        args.erase(args.begin() + 4, args.begin() + 6);            // no -CSV
        args.insert(args.begin(), {"-INI", dir + "/folder.ini"});  // what follows overrides it
        fs::create_directories(fs::path(outputFolder).parent_path());
    }
    EXPECT_EQ(runProgram(dir, args), r.exitCode);
    const std::string printed = ReadFile(dir + "/output.txt");
    EXPECT_EQ(printed.empty(), r.exitCode == 0) << printed;
    EXPECT_NE(printed.find(r.printed), std::string::npos) << printed;
    // How long after the run's status file was written the program had ended.
    const auto closedAfter = duration_cast<milliseconds>(
        fs::file_time_type::clock::now() - fs::last_write_time(dir + "/quorvanta_STATUSLOG.CSV"));
    // 1000 + 2000 ms of timers, then the process's own shutdown: never sooner,
    // and not held open (the bound is loose for slow sanitizer builds).
    EXPECT_GT(closedAfter, milliseconds(2800));
    EXPECT_LT(closedAfter, milliseconds(20000));
    const std::string log = ReadFile(dir + "/quorvanta.LOG");
    EXPECT_NE(log.find("   - EXIT CODE: " + std::to_string(r.exitCode)), std::string::npos);
    EXPECT_EQ(log.find(" NO ALMACENADO") == std::string::npos, r.faults.extraRecords == 0);
    // The late reply came while a later request waited for its own.
    EXPECT_EQ(log.find("TRAMA DESCARTADA") == std::string::npos, r.faults.lateReply == 0);
    EXPECT_EQ(log.find("SESSION TO: 0 "), std::string::npos);
    for (int link : {101, 102}) {
        const std::string csv =
            fs::canonical(dir).string() + r.folder + "/" + CsvFileName(link, LocalToday());
        EXPECT_EQ(fs::exists(csv), (link == 101 && r.rows > 0) || r.secondRead);
        if (!fs::exists(csv)) continue;
        EXPECT_NE(log.find(" : " + CleanLogText(csv)), std::string::npos);  // where it went
        const std::string text = ReadFile(csv);
        EXPECT_EQ(text.starts_with("OPC_ID : OPCB\r\n"), link == 102);
        const auto times = checkRows(text, link);
        EXPECT_EQ(times.size(), r.rows) << link;
        EXPECT_EQ(times.empty() ? "" : times.back(), r.last);
    }
    if (r.failedRerun) {
        // A whole second reading replaces the first and says so; a write killed
        // before its rename two days ago left a temporary file, which goes.
        const std::string csv = fs::canonical(dir).string() + "/out/" +
                                CsvFileName(101, LocalToday()),
                          leftover = dir + "/out/.quorvanta-csv-x1Y2z3";
        std::ofstream(leftover) << "1;";
        fs::last_write_time(leftover, fs::file_time_type::clock::now() - hours(48));
        EXPECT_EQ(runProgram(dir, args), 0);
        EXPECT_FALSE(fs::exists(leftover));
        const std::string replaced =
            "SE REEMPLAZA EL FICHERO EXISTENTE DEL MISMO DIA : " + UpperAscii(csv);
        EXPECT_NE(ReadFile(dir + "/quorvanta.LOG").find(replaced), std::string::npos);
        // The lost record cuts the third reading short.
        const std::string before = ReadFile(csv);
        c.meters[0].faults = lastRecordLost();
        sim::MeterSim failing(c);
        args[3] = std::to_string(failing.listenTcp());
        EXPECT_EQ(runProgram(dir, args), 15);
        EXPECT_EQ(ReadFile(csv), before);
        EXPECT_EQ(checkRows(ReadFile(csv + "(1)"), 101).size(), 1u);
        EXPECT_NE(ReadFile(dir + "/quorvanta.LOG").find("SE CONSERVA EL FICHERO EXISTENTE"),
                  std::string::npos);
    }
    if (!HasFailure()) fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Intervals, ProgramRun, ::testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.name); });

// A GSM modem answering the call with BUSY: exit code 13.
TEST(ProgramModem, CallNotConnectedEndsWith13) {
    sim::SimConfig c;
    c.meters.push_back({101, 1, 7, {}});
    c.modem.kind = sim::ModemKind::Gsm;
    c.modem.dial = sim::DialResult::Busy;
    c.modem.guardMs = 100;
    sim::MeterSim sim(c);
    const std::string dir = test::makeTempDir("program_run");
    EXPECT_EQ(runProgram(dir, {"-MODEM", "555", "-METERS", "101-1-7", "-CSV", dir + "/out"},
                         {"QUORVANTA_COM_ALIASES=COM1=" + sim.openPty()}),
              13);
    fs::remove_all(dir);
}

// Unattended starts as cron makes them: the exit code, everything the
// process printed (nothing on success, else one line), the log's reason and
// no lock file left behind. "@" in an argument stands for the simulator's port;
// each pattern must be found in the output or the log ("!": must not).
struct Unattended {
    const char* name;
    std::vector<std::string> args, env;
    int exitCode;
    std::vector<std::string> output, logged;  // logged: the log, then the status file
    bool asUser = false;  // run by an unprivileged user from a root-owned folder
    sim::Silence silence = sim::Silence::None;    // of the meter
    sim::ModemKind modem = sim::ModemKind::None;  // on a pseudo-terminal, "@PTY" in env
    int dropAfter = 0;                            // the line drops at that frame's next
    bool earlierRead = false;  // the status file of an earlier run that read every meter
};
// One start a row.
// clang-format off
const Unattended kUnattended[] = {
    {"HelpWithoutDisplay", {"--help"}, {}, 2,
     {"^usage: \\S+/quorvanta ", "\n  -FROM yyyy/MM/dd ", "\n  -METERS LINK-POINT-PASSWORD",
      "\n  -INTERASDUS n +pause between requests, seconds, 0\\.\\.20 \\(above 20 as 20\\)\n",
      "\n14 another instance", "log +\\S+/quorvanta\\.LOG\n", "status \\S+/quorvanta_STATUSLOG\\.CSV\n"},
     {"^$"}},
    {"WindowOnStaleDisplay", {}, {"DISPLAY=:97"}, 2,
     {"^quorvanta: the Qt platform xcb cannot be used: could not connect to display :97.*\nusage: "}, {"^$"}},
    {"WindowOnUnknownPlatform", {}, {"QT_QPA_PLATFORM=bogus"}, 2,
     {"^quorvanta: the Qt platform bogus cannot be used: .*\"bogus\".*\nusage: "}, {"^$"}},
    {"ReadingOnXcbWithoutDisplay", {"-IP", "127.0.0.1", "-PORT", "@"}, {"QT_QPA_PLATFORM=xcb"}, 0,
     {"^$"}, {"QT: THE QT PLATFORM XCB CANNOT BE USED: COULD NOT CONNECT TO DISPLAY", "EXIT CODE: 0"}},
    // A platform that starts without a screen (linuxfb without a frame buffer), or
    // that aborts while it starts (EGL without a display): a window start ends as
    // on offscreen, a reading reads on offscreen and says why.
    {"WindowOnLinuxfbWithoutScreen", {}, {"QT_QPA_PLATFORM=linuxfb"}, 2,
     {"^quorvanta: the Qt platform linuxfb cannot be used: .*no screen available\nusage: [\\s\\S]*\nWith the Qt platform linuxfb unusable and with fewer than two arguments nothing else is done\\.\n$"}, {"!EXIT CODE"}},
    // vkkhrdisplay draws Vulkan windows only; its console handler is never freed.
    {"WindowOnVkKhrDisplayShowsNothing", {}, {"QT_QPA_PLATFORM=vkkhrdisplay", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:strict_string_checks=1"}, 2,
     {"\nOn the Qt platform vkkhrdisplay, which shows nothing, and with fewer than two arguments nothing else is done\\.\n$"}, {"!EXIT CODE"}},
    {"WindowOnMinimalEglWithoutDisplay", {}, {"QT_QPA_PLATFORM=minimalegl"}, 2,
     {"^quorvanta: the Qt platform minimalegl cannot be used: .*EGL error.*\nusage: [\\s\\S]*\nWith the Qt platform minimalegl unusable and with fewer than two arguments nothing else is done\\.\n$"}, {"!EXIT CODE"}},
    {"ReadingOnLinuxfbWithoutScreen", {"-IP", "127.0.0.1", "-PORT", "@"}, {"QT_QPA_PLATFORM=linuxfb"}, 0,
     {"^$"}, {"QT: THE QT PLATFORM LINUXFB CANNOT BE USED: .*NO SCREEN AVAILABLE - SE LEE SIN PANTALLA", "EXIT CODE: 0"}},
    {"ReadingOnMinimalEglWithoutDisplay", {"-IP", "127.0.0.1", "-PORT", "@"}, {"QT_QPA_PLATFORM=minimalegl"}, 0,
     {"^$"}, {"QT: THE QT PLATFORM MINIMALEGL CANNOT BE USED: .*EGL ERROR.* - SE LEE SIN PANTALLA", "EXIT CODE: 0"}},
    // Qt's own "-platform" chooses as QT_QPA_PLATFORM does.
    {"ReadingWithQtsPlatformOptionThatAborts", {"-platform", "minimalegl", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 0,
     {"^$"}, {"QT: THE QT PLATFORM MINIMALEGL CANNOT BE USED: .*EGL ERROR.* - SE LEE SIN PANTALLA", "EXIT CODE: 0"}},
    {"DateAsDatePrintsIt", {"-FROM", "2026-03-29", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN LA FECHA DE INICIO: \"2026-03-29\" NO ES UNA FECHA yyyy/MM/dd DE 2000 A 2099\n$"},
     {"EXIT CODE: 10", "!CONEXION IP"}},
    {"IniDateNotADate", {"-INI", "bad-date.ini", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN INIFILE bad-date.ini: FECHA_INICIO: \"2026-03-29\" NO ES UNA FECHA yyyy/MM/dd DE 2000 A 2099\n$"}, {"!CONEXION IP"}},
    {"MonthThirteen", {"-TO", "2026/13/45", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: .*FECHA DE FIN.*\n$"}, {"!CONEXION IP"}},
    {"DayFirst", {"-FROM", "29/03/2026", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: .*\n$"}, {"ERROR EN LA FECHA DE INICIO"}},
    // What cannot be done exactly stops before any link opens, naming the argument or entry.
    {"UnknownKeyword", {"-T0", "2026/01/01", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: PALABRA CLAVE DESCONOCIDA: -T0\n$"}, {"EXIT CODE: 10", "!CONEXION IP"}},
    {"ValueMissing", {"-IP", "127.0.0.1", "-PORT", "@", "-CSV", "-METERS", "101-1-7"}, {}, 10,
     {"^quorvanta: exit code 10: FALTA EL VALOR DE -CSV ANTES DE \"-METERS\"\n$"}, {"!CONEXION IP"}},
    {"IniPortNotANumber", {"-INI", "bad-port.ini", "-IP", "127.0.0.1"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN INIFILE bad-port.ini: HOST_PORT: \"4400O\" NO ES UN PUERTO DE 1 A 65535\n$"}, {"!CONEXION IP"}},
    // Every key with a set of values or a range, the database window's too.
    {"IniLinkWithComment", {"-INI", "tcp-comment.ini", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN INIFILE tcp-comment.ini: CONEXION: \"2 ; TCP\" NO ES 0 A 3\n$"}, {"!CONEXION IP"}},
    {"IniSshPortBeyondRange", {"-INI", "ssh-port.ini", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN INIFILE ssh-port.ini: SSH_PORT: \"99999\" NO ES UN PUERTO DE 1 A 65535\n$"}, {"!CONEXION IP"}},
    // 1.5 stop bits exist only with 5 data bits: said before the port is opened.
    {"IniStopBitsTheDataBitsDoNotTake", {"-INI", "stop-bits.ini"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN LOS BITS DE PARADA DEL PUERTO SERIE: \"1.5\" NO CABEN CON 8 BITS DE DATOS \\(1.5 SOLO CON 5, 2 CON 6 A 8\\)\n$"}, {"!ABRIR EL PUERTO"}},
    {"PortWithZerosInFront", {"-IP", "127.0.0.1", "-PORT", "000@"}, {}, 0, {"^$"}, {"UTILIZAR PUERTO IP HOST : [1-9]", "EXIT CODE: 0"}},
    {"IniMeterDoesNotFit", {"-INI", "big-link.ini", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN INIFILE big-link.ini: CONTADORES: ENTRADA \"65637,1,[*]{4},\": LA DIRECCION DE ENLACE \"65637\" NO CABE EN LA TRAMA \\(0 A 65535\\)\n$"}, {"!CONEXION IP"}},
    // An empty list reads the file's meters; an empty item is no meter; the OPC code is all
    // after the third "-".
    {"IniMetersEmptyListKeepsThem", {"-INI", "meter.ini", "-METERS", "", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 0,
     {"^$"}, {"101;1;7;FILE;\\(6\\)"}},
    {"MetersTrailingCommaQuotedWholeCode", {"-IP", "127.0.0.1", "-PORT", "@", "-METERS", "\\\"101-1-7-CT NORTE-7\\\","}, {}, 0,
     {"^$"}, {"101;1;7;CT NORTE-7;\\(6\\)"}},
    {"LinkAddressDoesNotFit", {"-IP", "127.0.0.1", "-PORT", "@", "-METERS", "101-1-7,65637-1-7"}, {}, 10,
     {"^quorvanta: exit code 10: CONTADOR NO VALIDO EN -METERS: \"65637-1-[*]{4}\": LA DIRECCION DE ENLACE \"65637\" NO CABE EN LA TRAMA \\(0 A 65535\\)\n$"}, {"!CONEXION IP"}},
    {"OpcWithBlankUnquoted", {"-IP", "127.0.0.1", "-PORT", "@", "-METERS", "102-2-22-OPC", "102"}, {}, 10,
     {"^quorvanta: exit code 10: CONTADOR NO VALIDO EN -METERS: \"102-2-[*]{4}-OPC 102\": UN CODIGO OPC CON ESPACIOS VA ENTRE COMILLAS, .*\n$"}, {"!CONEXION IP"}},
    {"HostWithPort", {"-IP", "127.0.0.1:40000", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: HOST NO VALIDO EN -IP: \"127.0.0.1:40000\" LLEVA UN PUERTO: .*\n$"}, {"!CONEXION IP"}},
    {"HostEmpty", {"-IP", "", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: HOST NO VALIDO EN -IP: \"\" ESTA VACIO\n$"}, {"!CONEXION IP"}},
    {"ModemNumberBlank", {"-MODEM", " ", "-METERS", "101-1-7"}, {"QUORVANTA_COM_ALIASES=COM1=/nonexistent/tty"}, 10,
     {"^quorvanta: exit code 10: EL NUMERO DE DISCADO DEL MODEM NO PUEDE ESTAR EN BLANCO\n$"}, {"!PUERTO SERIAL"}},
    // The output folder before any link opens.
    {"CsvFolderIsAFile", {"-IP", "127.0.0.1", "-PORT", "@", "-CSV", "bad-date.ini"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN LA CARPETA DE SALIDA \"bad-date.ini\": ES UN FICHERO, NO UNA CARPETA\n$"}, {"!CONEXION IP"}},
    {"CsvParentMissing", {"-IP", "127.0.0.1", "-PORT", "@", "-CSV", "out/a/b"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN LA CARPETA DE SALIDA \"out/a/b\": NO EXISTE, NI LA CARPETA \"out/a\" DONDE SE CREARIA \\(SE CREA UN SOLO NIVEL\\)\n$"}, {"!CONEXION IP"}},
    {"CsvFolderNotWritableAsUser", {"-IP", "127.0.0.1", "-PORT", "@", "-CSV", "."}, {}, 10,
     {"\nquorvanta: exit code 10: ERROR EN LA CARPETA DE SALIDA \".\": NO SE PUEDE ESCRIBIR EN ELLA: Permission denied\n$"}, {"^$"}, true},
    {"DbFolderCannotBeCreatedAsUser", {"-IP", "127.0.0.1", "-PORT", "@", "-CSV", "out", "-DB", "new"}, {}, 10,
     {"\nquorvanta: exit code 10: ERROR EN LA CARPETA DE SALIDA \"new\": NO SE PUEDE CREAR EN \".\": Permission denied\n$"}, {"^$"}, true},
    {"FtpLocalFolderNotWritableAsUser", {"-IP", "127.0.0.1", "-PORT", "@", "-CSV", "out", "-FTP", "u:p@127.0.0.1:1/x/"}, {}, 10,
     {"\nquorvanta: exit code 10: ERROR EN LA CARPETA DE SALIDA \"/\\S+\": NO SE PUEDE ESCRIBIR EN ELLA: Permission denied\n$"}, {"^$"}, true},
    // Checked whole before anything acts: no upload before the keyword that is refused.
    {"UploadThenUnknownKeyword", {"-DBUPLOAD", "f.CSV", "-IP", "127.0.0.1", "-PORT", "@", "-BOGUS"}, {}, 10,
     {"^quorvanta: exit code 10: PALABRA CLAVE DESCONOCIDA: -BOGUS\n$"}, {"!SUBIR FICHERO", "!CONEXION IP"}},
    {"YearNotInTimeTags", {"-IP", "127.0.0.1", "-PORT", "@", "-FROM", "2026/06/12", "-TO", "1900/01/01"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN LA FECHA DE FIN: \"1900/01/01\" .* DE 2000 A 2099\n$"}, {"!CONEXION IP", "!SOLO SE LEE"}},
    {"MeterEntryCut", {"-IP", "127.0.0.1", "-PORT", "@", "-METERS", "101-1-7,101-1-7x"}, {}, 10,
     {"^quorvanta: exit code 10: CONTADOR NO VALIDO EN -METERS: \"[*]{4}-[*]{4}-[*]{4}\" NO ES ENLACE-PUNTO-CONTRASENA\\[-OPC\\]\n$"}, {"!CONEXION IP"}},
    {"MeterTwice", {"-IP", "127.0.0.1", "-PORT", "@", "-METERS", "101-1-7,101-2-7"}, {}, 10,
     {"^quorvanta: exit code 10: DIRECCION DE ENLACE REPETIDA EN -METERS: 101\n$"}, {"!CONEXION IP"}},
    {"IniAFolder", {"-INI", "out", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN INIFILE out: ES UNA CARPETA\n$"}, {"!CONEXION IP"}},
    {"ComAliasMalformed", {"-SERIAL", "-METERS", "101-1-7"}, {"QUORVANTA_COM_ALIASES=COM1:/dev/ttyUSB7"}, 11,
     {"^quorvanta: exit code 11: ERROR AL ABRIR EL PUERTO SERIAL  COM1: QUORVANTA_COM_ALIASES: \"COM1:/dev/ttyUSB7\" is not COMn=/absolute/path\n$"},
     {"EXIT CODE: 11"}},
    {"StaleDisplayFromAfterTo", {"-IP", "127.0.0.1", "-PORT", "@", "-FROM", "2026/06/12", "-TO", "2026/06/10"},
     {"DISPLAY=:97"}, 0, {"^$"}, {"SOLO SE LEE EL 2026/06/10", "EXIT CODE: 0"}},
    // The meter refuses the password; no trace of the opening frame or its echo shows it.
    {"PasswordNotInFrameTraces", {"-IP", "127.0.0.1", "-PORT", "@", "-METERS", "101-1-987654321"}, {}, 15,
     {"^quorvanta: exit code 15: .*PARAMETROS PTO.MEDIDA/PASS ERRONEOS\n$"},
     {"!B1 68 DE 3A", "\n[^\n]* 68 0D 0D 68 53 65 00 B7 01 06 01 00 00 \\*\\* \\*\\* \\*\\* \\*\\* "}},
    {"ConnectionRefused", {"-IP", "127.0.0.1", "-PORT", "1"}, {}, 15,
     {"^quorvanta: exit code 15: .*\n$"}, {"TRY TO RECONNECT TO: 127.0.0.1:1 - CONNECTION REFUSED"}},
    {"FrozenMeterTheReasonNotATrace", {"-IP", "127.0.0.1", "-PORT", "@"}, {}, 15,
     {"^quorvanta: exit code 15: CONTADORES LEIDOS: 0 DE 1 - EL PRIMERO SIN LEER ES EL 101: SIN RESPUESTA A PETICION DE DATOS .* 2 S\n$"}, {}, false, sim::Silence::Data},
    {"NameNotFound", {"-IP", "no-such-host.invalid", "-PORT", "@"}, {}, 15,
     {"^quorvanta: exit code 15: .*\n$"}, {"TRY TO RECONNECT TO: NO-SUCH-HOST.INVALID:\\d+ - \\w"}},
    {"SerialDeviceMissing", {"-SERIAL", "-METERS", "101-1-7"}, {"QUORVANTA_COM_ALIASES=COM1=/nonexistent/tty"}, 11,
     {"^quorvanta: exit code 11: ERROR AL ABRIR EL PUERTO SERIAL  COM1 \\(/nonexistent/tty\\): No such file or directory\n$"},
     {"EXIT CODE: 11"}},
    {"FolderNotWritableAsUser", {"-IP", "127.0.0.1", "-PORT", "@"}, {}, 0,
     {"^quorvanta: cannot write \\S+/quorvanta\\.LOG: Permission denied\n"
      "quorvanta: cannot write \\S+/quorvanta_STATUSLOG\\.CSV: Permission denied\n$"},
     {"^$"}, true},
    {"GsmLineDropsWhileReading", {"-MODEM", "555", "-METERS", "101-1-7,102-2-7"}, {"QUORVANTA_COM_ALIASES=COM1=@PTY"}, 15, {"^quorvanta: exit code 15: CONTADORES LEIDOS: 0 DE 2 - EL PRIMERO SIN LEER ES EL 101: SE HA CORTADO LA LINEA\n$"},
     {"SE HA CORTADO LA LINEA: EL MODEM HA RESPONDIDO NO CARRIER", "DATOS RECOGIDOS DE METER : 101", "101;1;7;;\\(5\\) ERROR DE LECTURA\r\n102;2;7;;\\(3\\)", "!TRAMA DESCARTADA|SIN RESPUESTA"}, false, sim::Silence::None, sim::ModemKind::Gsm, 14},
    // An empty list is said before the modem is even set up: nothing is called.
    {"EmptyListNeverCalls", {"-MODEM", "555", "-METERS", "\"\""}, {"QUORVANTA_COM_ALIASES=COM1=@PTY"}, 15,
     {"^quorvanta: exit code 15: .*NO HAY CONTADORES EN LA LISTA.*\n$"}, {"!DIALING|INIT MODEM"}, false, sim::Silence::None, sim::ModemKind::Gsm},
    {"AnalogLineDropsWhileReading", {"-ANALOG", "555", "-METERS", "101-1-7,102-2-7"}, {"QUORVANTA_COM_ALIASES=COM1=@PTY"}, 15, {"^quorvanta: exit code 15: CONTADORES LEIDOS: 0 DE 2 - EL PRIMERO SIN LEER ES EL 101: SE HA CORTADO LA LINEA\n$"},
     {"SE HA CORTADO LA LINEA: EL MODEM HA RESPONDIDO NO CARRIER", "DATOS RECOGIDOS DE METER : 101", "101;1;7;;\\(5\\) ERROR DE LECTURA\r\n102;2;7;;\\(3\\)", "!TRAMA DESCARTADA|SIN RESPUESTA"}, false, sim::Silence::None, sim::ModemKind::Analog, 14},
    // The longest time-out that can be typed is taken as given, and every try of it.
    {"LongestTimeOutTakenAsGiven", {"-IP", "127.0.0.1", "-PORT", "@", "-TIMEOUTASDUS", "2147483647", "-ASDURETRY", "9"}, {}, 0,
     {"^$"}, {"SETS THE TIMEOUT FOR THE ASDU QUERY TO \\(SECS.\\) : 2147483647", "EXIT CODE: 0"}},
    {"LockFolderNotWritableAsUser", {"-IP", "127.0.0.1", "-PORT", "@"}, {"XDG_RUNTIME_DIR=%"}, 14,
     {"^quorvanta: exit code 14: cannot take the instance lock in /\\S+: Permission denied\n$"},
     {"^$"}, true},
    // A run refused leaves no line of the earlier run in the status file.
    // The folder named as typed, in the stderr line and in the status file.
    {"RefusedFolderAsTypedInTheStatus", {"-METERS", "101-1-7", "-CSV", "/nonexistent/año", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN LA CARPETA DE SALIDA \"/nonexistent/año\": NO EXISTE.*\n$"},
     {"\r\n101;1;7;;\\(2\\) ERROR INICIANDO - \\(ERROR EN LA CARPETA DE SALIDA \"/nonexistent/año\": NO EXISTE"}},
    {"RefusedRunRewritesTheStatus", {"-METERS", "101-1-7", "-FROM", "2026-03-29", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 10,
     {"^quorvanta: exit code 10: ERROR EN LA FECHA DE INICIO: .*\n$"},
     {"EXIT CODE: 10", "\r\n101;1;7;;\\(2\\) ERROR INICIANDO - \\(ERROR EN LA FECHA DE INICIO: \"2026-03-29\" NO ES .*\\)\r\n$", "!LECTURA CORRECTA"},
     false, sim::Silence::None, sim::ModemKind::None, 0, true},
    // Nothing to read and no display: the usage text, as a window start without one.
    {"NoStartWithoutDisplay", {"-NOSTART", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 2, {"^usage: \\S+/quorvanta "}, {"^$"}},
    {"NoStartNoCloseOnStaleDisplay", {"-NOSTART", "-NOCLOSE", "-SHOW"}, {"DISPLAY=:97"}, 2,
     {"^quorvanta: the Qt platform xcb cannot be used: .*\nusage: "}, {"^$"}},
    {"NoCloseWithoutDisplayClosesAfterTheRun", {"-NOCLOSE", "-IP", "127.0.0.1", "-PORT", "@"}, {}, 0,
     {"^$"}, {"SIN PANTALLA: SE CIERRA AL TERMINAR", "EXIT CODE: 0"}},
};
// clang-format on

// Each pattern found in text, or with "!" not found.
void expectPatterns(const std::string& text, const std::vector<std::string>& patterns) {
    for (const std::string& p : patterns) {
        const bool negated = p.starts_with("!");
        EXPECT_NE(std::regex_search(text, std::regex(negated ? p.substr(1) : p)), negated)
            << p << " in:\n"
            << text;
    }
}

void PrintTo(const Unattended& u, std::ostream* os) {
    *os << u.name;
}

class ProgramUnattended : public ::testing::TestWithParam<Unattended> {};

TEST_P(ProgramUnattended, ExitCodeOneLineOrSilenceAndNoLockLeft) {
    const Unattended& u = GetParam();
    sim::SimConfig c;
    c.seed = kSeed;
    c.meters.push_back({101, 1, 7, {.silence = u.silence}});
    c.modem.kind = u.modem;
    c.dropAfterFrames = u.dropAfter;
    sim::MeterSim sim(c);
    if (u.asUser && getuid() != 0) GTEST_SKIP() << "needs root to start as another user";
    const std::string dir = test::makeTempDir("program_run");
    // The output and lock folder is open to all; the program's own folder is not.
    fs::create_directory(dir + "/out");
    std::ofstream(dir + "/bad-date.ini") << "[MAIN]\r\nFECHA_INICIO=2026-03-29\r\n";
    std::ofstream(dir + "/bad-port.ini")
        << "[MAIN]\r\nCONEXION=2\r\nHOST=127.0.0.1\r\nHOST_PORT=4400O\r\n";
    if (u.earlierRead)
        std::ofstream(dir + "/quorvanta_STATUSLOG.CSV")
            << "DIRECCION DE ENLACE;PUNTO DE MEDIDA;CONTRASE\xD1"
               "A;CODIGO OPC ( OPCIONAL );ESTADO\r\n"
               "101;1;7;;(6) LECTURA CORRECTA\r\n102;2;7;;(6) LECTURA CORRECTA\r\n";
    std::ofstream(dir + "/tcp-comment.ini") << "[MAIN]\r\nCONEXION=2 ; TCP\r\n";
    std::ofstream(dir + "/ssh-port.ini") << "[MAIN]\r\nSSH_PORT=99999\r\n";
    std::ofstream(dir + "/stop-bits.ini") << "[MAIN]\r\nCONEXION=0\r\nSTOP_CONTADOR=1.5\r\n";
    std::ofstream(dir + "/big-link.ini") << "[MAIN]\r\nCONTADORES=101,1,7,,65637,1,7,\r\n";
    std::ofstream(dir + "/meter.ini") << "[MAIN]\r\nCONTADORES=101,1,7,FILE\r\n";
    fs::permissions(dir + "/out", fs::perms::all);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    std::vector<std::string> args = u.args;
    const char* defaults[] = {"-CSV",    "out",     "-INTERVAL",     "D", "-INTERASDUS", "0",
                              "-METERS", "101-1-7", "-TIMEOUTASDUS", "2", "-ASDURETRY",  "1"};
    for (std::size_t k = 0; args.size() > 1 && k < std::size(defaults); k += 2)  // not in the row
        if (std::ranges::find(u.args, defaults[k]) == u.args.end())
            args.insert(args.end(), {defaults[k], defaults[k + 1]});
    for (std::string& a : args)
        if (a.ends_with("@")) a = a.substr(0, a.size() - 1) + std::to_string(sim.listenTcp());
    // In a row's variables "%" stands for the run's folder and "@PTY" for the
    // simulator's terminal; a row's own XDG_RUNTIME_DIR wins.
    std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir + "/out"};
    for (std::string e : u.env) {
        if (e.ends_with("=@PTY")) e.replace(e.size() - 4, 4, sim.openPty());
        if (e.ends_with("=%")) e.replace(e.size() - 1, 1, dir);
        env.push_back(e);
    }
    std::string exe = test::ProgramCopy(dir);
    if (u.asUser) {
        // A temporary folder inside a private one (a chroot made under /tmp) is
        // out of the user's reach.
        if (std::system(("/usr/sbin/runuser -u nobody -- test -x " + exe).c_str()) != 0)
            GTEST_SKIP() << "nobody cannot reach " << exe;
        args.insert(args.begin(), {"-u", "nobody", "--", exe});
        exe = "/usr/sbin/runuser";
    }
    EXPECT_EQ(test::Program(exe, dir, args, env, dir + "/output.txt").Wait(seconds(240)),
              u.exitCode);
    expectPatterns(ReadFile(dir + "/output.txt"), u.output);
    expectPatterns(ReadFile(dir + "/quorvanta.LOG") + ReadFile(dir + "/quorvanta_STATUSLOG.CSV"),
                   u.logged);
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        EXPECT_NE(entry.path().extension(), ".lock") << entry.path();
    if (!HasFailure()) fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Starts, ProgramUnattended, ::testing::ValuesIn(kUnattended),
                         [](const auto& info) { return std::string(info.param.name); });

// Stopped as a service manager stops it during a long daily reading, while the
// second meter's session opens, while the first's closes: the meter being read
// is not read, the closures that arrived are written, the stop line comes once
// and is the reason printed, the run ends 15.
TEST(Program, StopLeavesTheMeterUnreadSaysSoOnceAndEndsWith15) {
    const struct {
        const char *to, *stopAt;
        int replyDelayMs;
        const char *status, *printed;
        std::size_t rows;  // at least, of meter 101
    } stops[] = {
        // clang-format off
        {"2026/03/29", "OK - 20/01/20", 2, "101;1;7;;(5) ERROR DE LECTURA\r\n102;2;7;;(3)", "0 DE 2 - EL PRIMERO SIN LEER ES EL 101: SE HA PEDIDO DETENER", 20},
        {"2020/01/01", "TRY TO OPEN SESSION TO: 102", 300, "101;1;7;;(6)", "1 DE 2 - EL PRIMERO SIN LEER ES EL 102: SE HA PEDIDO DETENER", 2},
        {"2020/01/01", "TRY TO CLOSE SESSION : 101", 300, "101;1;7;;(6) LECTURA CORRECTA\r\n102;2;7;;(3)", "1 DE 2 - EL PRIMERO SIN LEER ES EL 102: SE HA PEDIDO DETENER", 2},
        // clang-format on
    };
    for (const auto& r : stops) {
        SCOPED_TRACE(r.stopAt);
        sim::SimConfig c;
        c.seed = kSeed;
        c.replyDelayMs = r.replyDelayMs;
        for (int link : {101, 102}) c.meters.push_back({link, link % 100, 7, {}});
        sim::MeterSim sim(c);
        const std::string dir = test::makeTempDir("program_run");
        test::Program p(test::ProgramCopy(dir), dir,
                        {"-IP", "127.0.0.1", "-PORT", std::to_string(sim.listenTcp()), "-CSV",
                         dir + "/out", "-FROM", "2020/01/01", "-TO", r.to, "-INTERVAL", "D",
                         "-METERS", "101-1-7,102-2-7", "-INTERASDUS", "0"},
                        {}, dir + "/output.txt");
        for (int i = 0;
             i < 600 && ReadFile(dir + "/quorvanta.LOG").find(r.stopAt) == std::string::npos; ++i)
            std::this_thread::sleep_for(milliseconds(100));
        kill(p.pid(), SIGTERM);
        EXPECT_EQ(p.Wait(seconds(60)), 15);
        const std::string log = ReadFile(dir + "/quorvanta.LOG");
        const auto stop = log.find(" - LECTURA INTERRUMPIDA - SE HA PEDIDO");
        EXPECT_NE(stop, std::string::npos);
        EXPECT_EQ(log.find(" - LECTURA INTERRUMPIDA", stop + 1), std::string::npos);
        EXPECT_EQ(log.find("SIN RESPUESTA"), std::string::npos);
        EXPECT_NE(ReadFile(dir + "/quorvanta_STATUSLOG.CSV").find(r.status), std::string::npos);
        EXPECT_NE(ReadFile(dir + "/output.txt")
                      .find(std::string("exit code 15: CONTADORES LEIDOS: ") + r.printed),
                  std::string::npos);
        std::string csv = ReadFile(dir + "/out/" + CsvFileName(101, LocalToday()));
        // The closure being asked for when the stop came: a row without data.
        std::string unread = ";;Invierno;";
        for (int i = 0; i < 12; ++i) unread += "- ; ";
        if (csv.ends_with(unread + "\r\n")) csv.resize(csv.size() - unread.size() - 2);
        EXPECT_GE(checkRows(csv, 101).size(), r.rows);
        if (!HasFailure()) fs::remove_all(dir);
    }
}

// One transient fault a reading, as GSM and radio links have every night: the
// Nth data frame lost once, or the Nth reply (repeats counted) held back below
// or beyond the 1-s time-out, on the session's opening or closing, a closure,
// a profile's first, middle or last record or its end, on a line of up to 150
// ms: the reading ends 0, "(6)", every row the meter's counters. Then a day
// without its first records and closures lacking a register: their rows. Then
// a profile record refused (the first, on the daily closure's own tag; one in
// the middle; the last): the reading fails with the count of records taken
// before it, and only the day's opening row is written. Then one reply lost at
// every position of a reading, one meter a position: each costs one retry and
// nothing else. Then the access password and the checksum that would give it
// away, masked in the opening frame sent, sent again, echoed and dropped.
struct Transient {
    std::string name;  // interval letter first
    sim::SimFaults faults = {};
    int replyDelayMs = 2;
    std::vector<std::string> csv = {};  // patterns; none: the counters, row by row
    std::string failure = {};           // the reason printed (exit 15); none: it ends 0
    std::vector<std::string> log = {};  // patterns
    // One meter for each reply of the fault-free reading, the one that loses it.
    bool everyReplyLost = false;
    const char* to = nullptr;  // another last day, and the rows of meter 101 then
    std::size_t rows = 0;
};

// Per meter of a log, by its link address: the requests sent again (traced
// twice with no reply between), the frames dropped, the requests left without
// a reply.
struct Exchanges {
    int retries = 0, dropped = 0, unanswered = 0;
};
std::map<int, Exchanges> exchangesByMeter(const std::string& log) {
    static const std::regex session(R"( - TRY TO OPEN SESSION TO: (\d+) )"),
        trace(R"(^\d\d/\d\d/\d\d - \d\d:\d\d:\d\d {2,3}((?:[0-9A-F*]{2} )+)$)");
    std::map<int, Exchanges> meters;
    Exchanges* meter = nullptr;
    std::string previous;  // the last frame traced
    for (const std::string& line : split(log, "\r\n")) {
        std::smatch m;
        if (std::regex_search(line, m, session)) {
            meter = &meters[std::stoi(m[1])];
            previous.clear();
        } else if (!meter) {
            continue;
        } else if (std::regex_match(line, m, trace)) {
            const std::string frame = m[1];
            const bool request = frame.starts_with("10 ") || frame.starts_with("68 ");
            meter->retries += request && frame == previous;
            previous = frame;
        } else {
            meter->dropped += line.find(" - TRAMA DESCARTADA") != std::string::npos;
            meter->unanswered += line.find(" - SIN RESPUESTA") != std::string::npos;
        }
    }
    return meters;
}

std::vector<int> linksOf(const std::vector<sim::SimMeter>& meters) {
    std::vector<int> links;
    for (const auto& m : meters) links.push_back(m.linkAddress);
    return links;
}

// Runs the program over the meters of each simulator, all at once, each in a
// folder of its own; the folders, once every run has ended 0 with each meter
// "(6)", its rows the counters and `rows` of them.
std::vector<std::string> readAll(const std::vector<sim::SimConfig>& configs,
                                 const std::vector<std::string>& args, std::size_t rows) {
    std::vector<std::unique_ptr<sim::MeterSim>> sims;
    std::vector<std::unique_ptr<test::Program>> runs;
    std::vector<std::string> dirs;
    for (const sim::SimConfig& c : configs) {
        sims.push_back(std::make_unique<sim::MeterSim>(c));
        const std::string dir = test::makeTempDir("program_run");
        std::string meters;
        for (int link : linksOf(c.meters))
            meters += (meters.empty() ? "" : ",") + std::to_string(link) + "-1-7";
        std::vector<std::string> all = {
            "-IP",  "127.0.0.1",  "-PORT",   std::to_string(sims.back()->listenTcp()),
            "-CSV", dir + "/out", "-METERS", meters};
        all.insert(all.end(), args.begin(), args.end());
        runs.push_back(std::make_unique<test::Program>(
            test::ProgramCopy(dir), dir, all, std::vector<std::string>{}, dir + "/output.txt"));
        dirs.push_back(dir);
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(dirs[i]);
        EXPECT_EQ(runs[i]->Wait(seconds(900)), 0);
        EXPECT_EQ(ReadFile(dirs[i] + "/output.txt"), "");
        const std::string status = ReadFile(dirs[i] + "/quorvanta_STATUSLOG.CSV");
        for (int link : linksOf(configs[i].meters)) {
            const std::regex read("\n" + std::to_string(link) +
                                  ";[^\r\n]*\\(6\\) LECTURA CORRECTA");
            EXPECT_TRUE(std::regex_search(status, read)) << link;
            const std::string csv = ReadFile(dirs[i] + "/out/" + CsvFileName(link, LocalToday()));
            EXPECT_EQ(checkRows(csv, link).size(), rows) << link;
        }
    }
    return dirs;
}

// A fault-free reading of one meter gives the number of replies of a reading;
// then one meter for each of them loses it (the positions shared out over
// eight runs at once): each meter's reading costs exactly one retry, and no
// reply is dropped.
void loseEveryReply(const std::vector<std::string>& args, std::size_t rows) {
    sim::SimConfig c;
    c.seed = kSeed;
    c.replyDelayMs = 2;
    c.meters = {{101, 1, 7, {}}};
    int replies = 0;
    {
        sim::MeterSim counting(c);
        const std::string dir = test::makeTempDir("program_run");
        std::vector<std::string> all = {
            "-IP",  "127.0.0.1",  "-PORT",   std::to_string(counting.listenTcp()),
            "-CSV", dir + "/out", "-METERS", "101-1-7"};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_EQ(runProgram(dir, all), 0);
        replies = int(counting.repliesSent());
        const auto clean = exchangesByMeter(ReadFile(dir + "/quorvanta.LOG"))[101];
        EXPECT_EQ(std::tuple(clean.retries, clean.dropped), std::tuple(0, 0));
        fs::remove_all(dir);
    }
    ASSERT_GT(replies, 20);
    constexpr int kRuns = 8;
    std::vector<sim::SimConfig> configs(kRuns, c);
    for (auto& config : configs) config.meters.clear();
    for (int n = 1; n <= replies; ++n)
        configs[n % kRuns].meters.push_back({100 + n, 1, 7, {.loseReply = n}});
    const auto dirs = readAll(configs, args, rows);
    for (std::size_t i = 0; i < dirs.size(); ++i) {
        const auto counted = exchangesByMeter(ReadFile(dirs[i] + "/quorvanta.LOG"));
        for (int link : linksOf(configs[i].meters)) {
            const Exchanges e = counted.count(link) ? counted.at(link) : Exchanges{};
            EXPECT_EQ(std::tuple(e.retries, e.dropped, e.unanswered), std::tuple(1, 0, 0))
                << "reply " << link - 100 << " lost";
        }
    }
    if (!::testing::Test::HasFailure())
        for (const std::string& dir : dirs) fs::remove_all(dir);
}

std::vector<Transient> transients() {
    // clang-format off
    const std::pair<std::string, std::vector<int>> lost[] = {{"Q", {2, 50, 97}}, {"H", {2, 25}}, {"D", {1, 4}}, {"M", {2}}};
    const std::pair<std::string, std::vector<int>> late[] = {
        {"Q", {3, 9, 14, 18, 19, 113, 114, 118, 122}}, {"H", {12, 18, 19, 41, 42}}, {"D", {2, 15, 27}}, {"M", {13, 23}}};
    std::vector<Transient> t;
    for (const auto& [iv, ns] : lost)
        for (int n : ns) t.push_back({iv + "LoseData" + std::to_string(n), {.loseData = n}, iv == "Q" ? 2 : 150});
    int k = 0;
    for (const auto& [iv, ns] : late)
        for (int n : ns) {
            const int ms = std::array{300, 1300, 1700, 1950}[k++ % 4];
            t.push_back({iv + "LateReply" + std::to_string(n) + "By" + std::to_string(ms), {.lateReply = n, .lateReplyMs = ms}, iv == "Q" ? 2 : 100});
        }
    t.push_back({"QLateReply60By500Latency100", {.lateReply = 60, .lateReplyMs = 500}, 100});
    // A "no data" held past its retry comes while a poll of the profile waits.
    t.push_back({"HLateReply11By1950", {.lateReply = 11, .lateReplyMs = 1950}, 2});
    // A "no data" held past its retry comes after the next request's own
    // answer, the same bytes, was taken: it is still known for a copy.
    t.push_back({"QLateReply10By1950", {.lateReply = 10, .lateReplyMs = 1950}, 2});
    const uint32_t energy = sim::profileValue(kSeed, 101, 2, {2026, 5, 12, 1, 0, true}, 60);
    t.push_back({"QFirstTwoRecordsMissing", {.skipFirst = 2}, 2, {"\r\n;;Invierno;(- ; ){12}\r\n12/05/26;00:30;Verano;(- ; ){6}\\d"}});
    t.push_back({"HClosuresLackRegister2", {.closureMissing = 2}, 2, {"\r\n12/05/26;01:00;Verano;\\d+; - ; (\\d+; ){5}" + std::to_string(energy) + "; ", "!\r\n([^;]*;){4} \\d"}});
    const std::string incomplete = "ERROR CIERRES CUARTIHORARIOS INCOMPLETOS - ( ";
    t.push_back({"QOnlyRecordOnTheClosuresTag", {.skipFirst = 95, .closureMinute = 23 * 60 + 45}, 2, {"\r\n12/05/26;23:45;Verano;\\d"}, incomplete + "0 CIERRES LEIDOS )"});
    t.push_back({"QMiddleRecordRefused", {.repeatRecord = 50}, 2, {}, incomplete + "49 CIERRES LEIDOS )"});
    t.push_back({"QLastRecordRefused", {.repeatRecord = 96}, 2, {}, incomplete + "95 CIERRES LEIDOS )"});
    t.push_back({.name = "QOneReplyLostAtEveryPosition", .everyReplyLost = true});
    t.push_back({.name = "HOneReplyLostAtEveryPositionOfTwoDays", .everyReplyLost = true, .to = "2026/05/13", .rows = 1 + 48});
    // The opening frame's acknowledgement lost (the frame goes out again), the
    // echo of it held back past the time-out (taken late, its repeat dropped
    // while the next request waits, on a line slow enough for it to come then).
    // Password 7: 07 00 00 00.
    const std::string masked = "\\*\\* \\*\\* \\*\\* \\*\\* \\*\\* 16 \r\n";
    const std::string sent = "   68 0D 0D 68 53 65 00 B7 01 06 01 00 00 " + masked;
    t.push_back({.name = "HPasswordAndChecksumMaskedInEveryTrace", .faults = {.lateReply = 10, .lateReplyMs = 1300, .loseReply = 8}, .replyDelayMs = 100, .log = {
        sent + "\\d\\d/\\d\\d/\\d\\d - \\d\\d:\\d\\d:\\d\\d" + sent,
        "   0D 0D 68 08 65 00 B7 01 07 01 00 00 " + masked,
        "TRAMA DESCARTADA, COPIA DE UNA RESPUESTA YA TOMADA: 0D 0D 68 08 65 00 B7 01 07 01 00 00 " + masked,
        "!B7 01 0[67] 01 00 00 07 00 00 00", "!B7 01 0[67] 01 00 00 (\\*\\* ){4}[0-9A-F]{2} 16"}});
    // clang-format on
    return t;
}

class ProgramTransient : public ::testing::TestWithParam<Transient> {};

TEST_P(ProgramTransient, EndsReadWithTheRowsOfAReadingWithoutIt) {
    const Transient& r = GetParam();
    const std::map<char, std::tuple<const char*, const char*, std::size_t>> ranges = {
        {'Q', {"2026/05/12", "2026/05/12", 1 + 96}},
        {'H', {"2026/05/12", "2026/05/12", 1 + 24}},
        {'D', {"2026/05/10", "2026/05/12", 4}},
        {'M', {"2026/01/15", "2026/03/15", 3}}};
    const auto& [from, lastDay, dayRows] = ranges.at(r.name[0]);
    const char* to = r.to ? r.to : lastDay;
    const std::size_t rows = r.to ? r.rows : dayRows;
    if (r.everyReplyLost) {
        loseEveryReply({"-FROM", from, "-TO", to, "-INTERVAL", r.name.substr(0, 1), "-INTERASDUS",
                        "0", "-TIMEOUTASDUS", "1"},
                       rows);
        return;
    }
    sim::SimConfig c;
    c.meters = {{101, 1, 7, r.faults}};
    c.seed = kSeed;
    c.replyDelayMs = r.replyDelayMs;
    sim::MeterSim sim(c);
    const std::string dir = test::makeTempDir("program_run");
    const bool fails = !r.failure.empty();
    EXPECT_EQ(
        runProgram(dir, {"-IP", "127.0.0.1", "-PORT", std::to_string(sim.listenTcp()), "-CSV",
                         dir + "/out", "-FROM", from, "-TO", to, "-INTERVAL", r.name.substr(0, 1),
                         "-METERS", "101-1-7", "-INTERASDUS", "0", "-TIMEOUTASDUS", "1"}),
        fails ? 15 : 0);
    EXPECT_NE(ReadFile(dir + "/quorvanta_STATUSLOG.CSV")
                  .find(fails ? "(5) ERROR DE LECTURA" : "(6) LECTURA CORRECTA"),
              std::string::npos);
    if (fails) {
        // The log's red line and the stderr reason count the same records.
        EXPECT_EQ(ReadFile(dir + "/output.txt"),
                  "quorvanta: exit code 15: CONTADORES LEIDOS: 0 DE 1 - EL PRIMERO SIN LEER ES EL "
                  "101: " +
                      r.failure + "\n");
        const std::string log = ReadFile(dir + "/quorvanta.LOG");
        EXPECT_NE(log.find(" - " + r.failure), std::string::npos);
        EXPECT_NE(log.find(" - FUERA DE ORDEN, NO ALMACENADO"), std::string::npos);
    }
    const std::string csv = ReadFile(dir + "/out/" + CsvFileName(101, LocalToday()));
    // The header, the last line end.
    EXPECT_EQ(split(csv, "\r\n").size(), (fails ? 1 : rows) + 2);
    if (r.csv.empty()) {
        EXPECT_EQ(checkRows(csv, 101).size(), fails ? 1 : rows);
    }
    expectPatterns(csv, r.csv);
    expectPatterns(ReadFile(dir + "/quorvanta.LOG"), r.log);
    if (!HasFailure()) fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Faults, ProgramTransient, ::testing::ValuesIn(transients()),
                         [](const auto& info) { return info.param.name; });

// The log and the status file beside the program, each refused in a way the
// system has: each is named once on stderr with why (not once per line), the
// run goes on and ends as it would have, and a device stays as it was.
TEST(Program, LogAndStatusThatCannotBeWrittenAreNamedOnceAndTheRunGoesOn) {
    sim::SimConfig c;
    c.seed = kSeed;
    c.meters.push_back({101, 1, 7, {}});
    sim::MeterSim sim(c);
    struct stat device {};
    ASSERT_EQ(stat("/dev/full", &device), 0);
    const struct {
        const char* way;
        void (*make)(const std::string&);
        const char* reason;
    } ways[] = {
        {"a folder at its name", [](const std::string& p) { fs::create_directory(p); },
         "Is a directory"},
        {"a full disk", [](const std::string& p) { fs::create_symlink("/dev/full", p); },
         "No space left on device"},
    };
    for (const auto& w : ways) {
        for (const bool refused : {false, true}) {
            SCOPED_TRACE(std::string(w.way) + (refused ? ", run refused" : ""));
            const std::string dir = test::makeTempDir("program_run");
            fs::create_directory(dir + "/out");
            for (const char* name : {"/quorvanta.LOG", "/quorvanta_STATUSLOG.CSV"})
                w.make(dir + name);
            std::vector<std::string> args = {
                "-IP",         "127.0.0.1", "-PORT",      std::to_string(sim.listenTcp()),
                "-CSV",        "out",       "-INTERVAL",  "D",
                "-METERS",     "101-1-7",   "-ASDURETRY", "1",
                "-INTERASDUS", "0"};
            if (refused) args.insert(args.begin(), {"-T0", "2026/01/01"});
            EXPECT_EQ(test::Program(test::ProgramCopy(dir), dir, args,
                                    {"XDG_RUNTIME_DIR=" + dir + "/out"}, dir + "/output.txt")
                          .Wait(seconds(240)),
                      refused ? 10 : 0);
            const std::string why = std::string(": ") + w.reason + "\n";
            const std::string output = ReadFile(dir + "/output.txt");
            EXPECT_TRUE(std::regex_match(
                output, std::regex("quorvanta: cannot write /\\S+/quorvanta\\.LOG" + why +
                                   "quorvanta: cannot write /\\S+/quorvanta_STATUSLOG\\.CSV" + why +
                                   (refused ? "quorvanta: exit code 10: PALABRA CLAVE "
                                              "DESCONOCIDA: -T0\n"
                                            : ""))))
                << output;
            // The readings are written all the same.
            const auto csvFiles =
                std::ranges::count_if(fs::directory_iterator(dir + "/out"),
                                      [](const auto& e) { return e.path().extension() == ".CSV"; });
            EXPECT_EQ(csvFiles > 0, !refused);
            if (!HasFailure()) fs::remove_all(dir);
        }
    }
    struct stat after {};
    ASSERT_EQ(stat("/dev/full", &after), 0);
    EXPECT_EQ(after.st_mode, device.st_mode);
}

TEST(Program, OneInstancePerPathRunsWithoutADisplayAndClosesOnTerm) {
    const std::string dir = test::makeTempDir("program");
    // The lock files go to this test's own folder; a platform that shows the
    // window is asked for, as a desktop session would have one (VNC, on a
    // port of each start's own: offscreen shows nothing, and a window start
    // there ends at once).
    const auto start = [&](const std::string& exe, const char* name,
                           std::vector<std::string> args = {}) {
        return std::make_unique<test::Program>(
            exe, dir, std::move(args),
            // Qt's VNC platform leaves its screen allocated at exit.
            std::vector<std::string>{
                "XDG_RUNTIME_DIR=" + dir, "QT_QPA_PLATFORM=vnc:port=0",
                "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:strict_string_checks=1"},
            dir + "/" + name);
    };
    const auto first = start(QV_QUORVANTA_EXE, "first.txt");
    ASSERT_TRUE(first->WaitLocked(seconds(30)));

    EXPECT_EQ(start(QV_QUORVANTA_EXE, "second.txt")->Wait(seconds(30)), 0);
    EXPECT_EQ(ReadFile(dir + "/second.txt"), "");  // silent
    // A reading that cannot happen is no success.
    EXPECT_EQ(start(QV_QUORVANTA_EXE, "reading.txt", {"-IP", "127.0.0.1"})->Wait(seconds(30)), 14);
    EXPECT_TRUE(std::regex_match(ReadFile(dir + "/reading.txt"),
                                 std::regex("quorvanta: exit code 14: another instance holds "
                                            "the lock \\S+\\.lock\n")));

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
        // Neither sanitizer reports nor a missing platform.
        const std::string output = ReadFile(dir + name);
        EXPECT_FALSE(std::regex_search(output, std::regex("Sanitizer|runtime error|Could not")))
            << output;
    }
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_NE(entry.path().extension(), ".lock") << entry.path();
    fs::remove_all(dir);
}

// Qt's own options are not the program's arguments: a start with them alone
// is a window start, and where no window can show it ends with the usage, no
// lock file left ("-platform" chooses as QT_QPA_PLATFORM does).
TEST(Program, QtsOwnOptionsAloneAreAWindowStart) {
    const std::string dir = test::makeTempDir("program");
    const std::vector<std::string> starts[] = {
        {"-platform", "offscreen"}, {"-style", "fusion"}, {"--platform", "minimalegl"}};
    // Why each ends: the platform asked for, or no display at all.
    const char* const why[] = {"On the Qt platform offscreen, which shows nothing,",
                               "Without a display", "With the Qt platform minimalegl unusable"};
    for (std::size_t i = 0; i < std::size(starts); ++i) {
        SCOPED_TRACE(starts[i].front() + " " + starts[i].back());
        test::Program p(QV_QUORVANTA_EXE, dir, starts[i], {"XDG_RUNTIME_DIR=" + dir},
                        dir + "/out.txt");
        EXPECT_EQ(p.Wait(seconds(60)), 2);
        const std::string said = ReadFile(dir + "/out.txt");
        EXPECT_TRUE(said.ends_with(std::string("\n") + why[i] +
                                   " and with fewer than two arguments nothing else is done.\n"))
            << said;
    }
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_NE(entry.path().extension(), ".lock") << entry.path();
    if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

// A frame-buffer platform puts console handlers of its own in place as it
// starts (vkkhrdisplay does without a display, and a reading goes on there
// unseen): a stop signal during the reading still ends it in order, and no
// lock file is left.
TEST(Program, StopSignalOnAFrameBufferPlatformLeavesNoLock) {
    sim::SimConfig c;
    c.replyDelayMs = 300;
    c.meters.push_back({101, 1, 7, {}});
    sim::MeterSim sim(c);
    const std::string dir = test::makeTempDir("program");
    test::Program p(test::ProgramCopy(dir), dir,
                    {"-IP", "127.0.0.1", "-PORT", std::to_string(sim.listenTcp()), "-CSV",
                     dir + "/out", "-FROM", "2020/01/01", "-TO", "2026/03/29", "-INTERVAL", "D",
                     "-METERS", "101-1-7", "-INTERASDUS", "0"},
                    {"XDG_RUNTIME_DIR=" + dir, "QT_QPA_PLATFORM=vkkhrdisplay",
                     "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:strict_string_checks=1"},
                    dir + "/out.txt");
    ASSERT_TRUE(test::WaitFor([&] {
        return ReadFile(dir + "/quorvanta.LOG").find("TRY TO OPEN SESSION TO: 101") !=
               std::string::npos;
    }));
    kill(p.pid(), SIGTERM);
    EXPECT_EQ(p.Wait(seconds(60)), 15) << ReadFile(dir + "/out.txt");
    EXPECT_NE(ReadFile(dir + "/out.txt").find("SE HA PEDIDO DETENER"), std::string::npos);
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_NE(entry.path().extension(), ".lock") << entry.path();
    if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

// A stop signal sent while Qt's platform starts waits for the program's own
// handler, also where that platform cannot be used and the reading starts
// again on offscreen: the start ends before or during the reading, never
// after a whole one, and leaves no lock.
TEST(Program, StopSentWhileThePlatformStartsIsNotLost) {
    sim::SimConfig c;
    c.meters.push_back({101, 1, 7, {}});
    sim::MeterSim sim(c);
    const std::string dir = test::makeTempDir("program");
    for (const char* platform : {"", "linuxfb", "minimalegl"}) {
        SCOPED_TRACE(platform);
        std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir};
        if (*platform) env.push_back(std::string("QT_QPA_PLATFORM=") + platform);
        test::Program p(test::ProgramCopy(dir), dir,
                        {"-IP", "127.0.0.1", "-PORT", std::to_string(sim.listenTcp()), "-CSV",
                         dir + "/out", "-FROM", "2026/03/28", "-TO", "2026/03/29", "-INTERVAL", "D",
                         "-METERS", "101-1-7", "-INTERASDUS", "0"},
                        env, dir + "/out.txt", true);
        const std::optional<int> code = p.Wait(seconds(60));
        EXPECT_TRUE(code == 1 || code == 15) << ReadFile(dir + "/out.txt");
        for (const auto& entry : fs::directory_iterator(dir))
            EXPECT_NE(entry.path().extension(), ".lock") << entry.path();
    }
    if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

// Where the lock goes for an XDG_RUNTIME_DIR that is no folder: a missing
// folder is made by Qt (0700, left there, the lock in it and removed); a
// regular file sends the lock to /tmp, as when it is unset.
TEST(Program, LockFolderForEveryXdgRuntimeDir) {
    const std::string dir = test::makeTempDir("program_run");
    const std::string exe = test::ProgramCopy(dir);
    EXPECT_EQ(test::Program(exe, dir, {"-NOSTART", "-DBUPLOAD", dir + "/none.csv"},
                            {"XDG_RUNTIME_DIR=" + dir + "/made"}, dir + "/output.txt")
                  .Wait(seconds(240)),
              16);
    EXPECT_EQ(fs::status(dir + "/made").permissions(), fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(dir + "/made"));

    std::ofstream(dir + "/file") << "";
    const char* before = std::getenv("XDG_RUNTIME_DIR");
    const std::string kept = before ? before : "";
    setenv("XDG_RUNTIME_DIR", (dir + "/file").c_str(), 1);
    EXPECT_TRUE(InstanceLockPath(exe).starts_with("/tmp/quorvanta-" + std::to_string(getuid()) +
                                                  "-quorvanta-"));
    setenv("XDG_RUNTIME_DIR", (dir + "/made").c_str(), 1);
    EXPECT_TRUE(InstanceLockPath(exe).starts_with(dir + "/made/quorvanta-quorvanta-"));
    if (before)
        setenv("XDG_RUNTIME_DIR", kept.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
    if (!HasFailure()) fs::remove_all(dir);
}

}  // namespace
}  // namespace qv

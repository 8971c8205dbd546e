// The real quorvanta executable, unattended and headless, against meter-sim:
// the CSV files compared value by value with the simulator's counters, the
// exit code of the run as the process exit code, and the close after the run.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/core/csv_file.h"
#include "meter-sim/meter_sim.h"
#include "support/test_env.h"

extern char** environ;

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

#if defined(QV_QUORVANTA_EXE)

constexpr uint32_t kSeed = 11;

struct Finished {
    int exitCode = -1;
    steady_clock::time_point endedAt;
};

// A copy of the executable in its own folder, so that its log file, status
// file and single-instance lock are this test's.
class ProgramRun : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = test::makeTempDir("program_run");
        exe = dir + "/quorvanta";
        fs::copy_file(QV_QUORVANTA_EXE, exe);
        fs::permissions(exe, fs::perms::owner_all);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir);
    }

    Finished run(std::vector<std::string> args, std::vector<std::string> extraEnv = {}) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string_view v(*e);
            if (v.starts_with("DISPLAY=") || v.starts_with("WAYLAND_DISPLAY=") ||
                v.starts_with("QT_QPA_PLATFORM=") || v.starts_with("LSAN_OPTIONS="))
                continue;  // no display: the program must choose offscreen itself
            env.emplace_back(v);
        }
        // Qt's font set-up leaves fontconfig's caches allocated at exit; a
        // leak report would replace the program's exit code.
        std::ofstream(dir + "/lsan.supp") << "leak:libfontconfig.so\n";
        env.push_back("LSAN_OPTIONS=suppressions=" + dir + "/lsan.supp");
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        args.insert(args.begin(), exe);
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        for (auto& e : env) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);

        const auto cwd = fs::current_path();
        fs::current_path(dir);  // an FTP output's file lands in the current folder
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), envp.data());
        fs::current_path(cwd);
        EXPECT_EQ(rc, 0);
        Finished f;
        const auto deadline = steady_clock::now() + seconds(240);
        int status = 0;
        while (rc == 0) {
            const pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) break;
            if (steady_clock::now() > deadline) {
                ADD_FAILURE() << "quorvanta did not close by itself";
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        f.endedAt = steady_clock::now();
        if (WIFEXITED(status)) f.exitCode = WEXITSTATUS(status);
        return f;
    }

    std::string csvPath(int link) const { return dir + "/out/" + CsvFileName(link, LocalToday()); }
    std::string logText() const { return read(dir + "/quorvanta.LOG"); }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string dir, exe;
};

std::vector<std::string> split(const std::string& s, const std::string& sep) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    for (;;) {
        const auto next = s.find(sep, pos);
        out.push_back(s.substr(pos, next - pos));
        if (next == std::string::npos) return out;
        pos = next + sep.size();
    }
}

// Every data row of a file checked against the simulator: each absolute value
// is the counter at the row's time tag, each increment the difference to the
// row before (0 in the opening row). Returns the row times "dd/mm/yy hh:nn".
std::vector<std::string> checkRows(const std::string& text, int link, const std::string& opcLine) {
    auto lines = split(text, "\r\n");
    EXPECT_EQ(lines.back(), "");  // every line ends with CR LF
    lines.pop_back();
    std::size_t first = 0;
    if (!opcLine.empty()) {
        EXPECT_EQ(lines[first++], opcLine);
    }
    EXPECT_EQ(lines.at(first++), kCsvHeader);
    std::vector<std::string> times;
    std::array<int32_t, 6> previous{};
    for (std::size_t i = first; i < lines.size(); ++i) {
        const auto f = split(lines[i], ";");
        EXPECT_EQ(f.size(), 16u) << lines[i];
        if (f.size() != 16u) continue;
        sim::SimTime t;
        EXPECT_EQ(std::sscanf(f[0].c_str(), "%d/%d/%d", &t.day, &t.month, &t.year), 3) << lines[i];
        EXPECT_EQ(std::sscanf(f[1].c_str(), "%d:%d", &t.hour, &t.minute), 2) << lines[i];
        t.year += 2000;
        t.summer = f[2] == "Verano";
        EXPECT_EQ(t.summer, sim::isSummerTime(t)) << lines[i];
        EXPECT_EQ(f[15], " ");
        for (int reg = 1; reg <= 6; ++reg) {
            const auto expected = static_cast<int32_t>(sim::counterValue(kSeed, link, reg, t));
            const int32_t abs = std::stoi(f[2 + reg]);
            EXPECT_EQ(abs, expected) << lines[i] << " register " << reg;
            const int32_t inc =
                i == first ? 0 : static_cast<int32_t>(uint32_t(abs) - uint32_t(previous[reg - 1]));
            EXPECT_EQ(std::stoi(f[8 + reg]), inc) << lines[i] << " register " << reg;
            previous[reg - 1] = abs;
        }
        times.push_back(f[0] + " " + f[1]);
    }
    return times;
}

std::vector<std::string> tcpArgs(uint16_t port, const std::string& out, const std::string& from,
                                 const std::string& to, const std::string& interval,
                                 const std::string& meters) {
    return {"-IP",           "127.0.0.1", "-PORT",       std::to_string(port),
            "-CSV",          out,         "-FROM",       from,
            "-TO",           to,          "-INTERVAL",   interval,
            "-METERS",       meters,      "-INTERASDUS", "0",
            "-TIMEOUTASDUS", "2",         "-ASDURETRY",  "1"};
}

sim::SimConfig simConfig(std::vector<std::array<int, 3>> meters) {
    sim::SimConfig c;
    for (const auto& [link, point, password] : meters) {
        sim::SimMeter m;
        m.linkAddress = link;
        m.measurePoint = point;
        m.password = static_cast<uint32_t>(password);
        c.meters.push_back(m);
    }
    c.seed = kSeed;
    c.replyDelayMs = 2;
    return c;
}

// Hourly days of 24 and 23 hours, two meters, one with an OPC code; the run
// reads both (exit 0) and the program closes about 3 s after the run ended.
TEST_F(ProgramRun, HourlyDaysAcrossTheSpringChangeAndTheCloseAfterTheRun) {
    sim::MeterSim sim(simConfig({{101, 1, 1}, {102, 2, 22}}));
    const uint16_t port = sim.listenTcp();
    const Finished f =
        run(tcpArgs(port, dir + "/out", "2026/03/28", "2026/03/29", "H", "101-1-1,102-2-22-opcB"));
    EXPECT_EQ(f.exitCode, 0);

    for (int link : {101, 102}) {
        const auto times = checkRows(read(csvPath(link)), link, link == 102 ? "OPC_ID : OPCB" : "");
        // Opening row, 23 hours and the closing row, 22 hours and the closing row.
        ASSERT_EQ(times.size(), 1u + 24u + 23u) << link;
        EXPECT_EQ(times[0], "28/03/26 00:00");
        EXPECT_EQ(times[24], "29/03/26 00:00");
        EXPECT_EQ(times.back(), "30/03/26 00:00");
    }

    // The run ended when its status file was written; the program closed
    // about 1000 + 2000 ms later.
    const auto statusAt = fs::last_write_time(dir + "/quorvanta_STATUSLOG.CSV");
    const auto closedAfter =
        fs::file_time_type::clock::now() - statusAt -
        duration_cast<fs::file_time_type::duration>(steady_clock::now() - f.endedAt);
    EXPECT_GT(closedAfter, milliseconds(2800));
    EXPECT_LT(closedAfter, milliseconds(4500));

    // Log lines are upper-cased; the file was opened as named.
    const std::string log = logText();
    const QString shown = QString::fromStdString(csvPath(102)).toUpper();
    EXPECT_NE(
        log.find("  - CREADO FICHERO LOCAL DE SALIDA DE DATOS : " + shown.toStdString() + "\r\n"),
        std::string::npos);
    EXPECT_NE(log.find("   - EXIT CODE: 0\r\n"), std::string::npos);
}

// The autumn change day hourly (25 hours); the last meter refuses the session,
// so the run and the program end with 15 and only the first meter has a file.
TEST_F(ProgramRun, HourlyLongDayAndAFailedLastMeterEndWithItsExitCode) {
    sim::MeterSim sim(simConfig({{101, 1, 1}, {103, 3, 333}}));
    const Finished f = run(tcpArgs(sim.listenTcp(), dir + "/out", "2026/10/25", "2026/10/25",
                                   "HORARIO", "101-1-1,103-3-999"));
    EXPECT_EQ(f.exitCode, 15);
    const auto times = checkRows(read(csvPath(101)), 101, "");
    EXPECT_EQ(times.size(), 1u + 24u + 1u);
    EXPECT_FALSE(fs::exists(csvPath(103)));
}

// Quarter hours of one day, then daily and monthly closures: each file value
// by value, each run with exit code 0.
TEST_F(ProgramRun, QuarterHourlyDailyAndMonthlyFiles) {
    sim::MeterSim sim(simConfig({{104, 4, 4}}));
    const uint16_t port = sim.listenTcp();
    const struct {
        const char* interval;
        const char* from;
        const char* to;
        std::size_t rows;
        const char* last;
    } runs[] = {
        {"Q", "2026/06/10", "2026/06/10", 1 + 95 + 1, "11/06/26 00:00"},
        {"D", "2026/06/10", "2026/06/13", 5, "14/06/26 00:00"},
        {"M", "2026/01/15", "2026/04/15", 4, "01/04/26 00:00"},
    };
    for (const auto& r : runs) {
        fs::remove_all(dir + "/out");
        const Finished f = run(tcpArgs(port, dir + "/out", r.from, r.to, r.interval, "104-4-4"));
        EXPECT_EQ(f.exitCode, 0) << r.interval;
        const auto times = checkRows(read(csvPath(104)), 104, "");
        EXPECT_EQ(times.size(), r.rows) << r.interval;
        if (!times.empty()) {
            EXPECT_EQ(times.back(), r.last) << r.interval;
        }
    }
}

// A GSM modem that answers the call with BUSY: exit code 13.
TEST_F(ProgramRun, ModemCallNotConnectedEndsWith13) {
    sim::SimConfig c = simConfig({{101, 1, 1}});
    c.modem.kind = sim::ModemKind::Gsm;
    c.modem.dial = sim::DialResult::Busy;
    c.modem.guardMs = 100;
    c.modem.dialDelayMs = 50;
    sim::MeterSim sim(c);
    const std::string pty = sim.openPty();
    const Finished f = run({"-MODEM", "555", "-METERS", "101-1-1", "-CSV", dir + "/out",
                            "-INTERVAL", "D", "-INTERASDUS", "0", "-TIMEOUTASDUS", "2"},
                           {"QUORVANTA_COM_ALIASES=COM1=" + pty});
    EXPECT_EQ(f.exitCode, 13);
}

#endif

}  // namespace
}  // namespace qv

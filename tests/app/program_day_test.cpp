// A day the meter does not hold whole, read by the real program through
// meter-sim and a proxy that ends a load-profile transfer early or makes one
// record unreadable: every field of every dated row is the fault-free
// reading's value for that row or "- ", the running totals are the counters
// up to the first record missing, and the closing row's increment is written
// only for a day whose every record came. A day of the 00:00 record alone is
// not read.

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>
#include <ranges>

#include "app/core/csv_file.h"
#include "meter-sim/meter_sim.h"
#include "program_harness.h"
#include "support/fault_proxy.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using test::ReadFile;
constexpr uint32_t kSeed = 5;
constexpr int kLink = 101;

// The data rows of a readings file, each split into its 15 fields, blanks
// trimmed: "-" where the file says "- ".
std::vector<std::vector<std::string>> dataRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    for (const auto line : std::views::split(text, std::string_view("\r\n"))) {
        std::vector<std::string> f;
        for (const auto part : std::views::split(line, ';')) {
            std::string field(part.begin(), part.end());
            field.erase(0, field.find_first_not_of(' '));
            field.erase(field.find_last_not_of(' ') + 1);
            f.push_back(field);
        }
        if (f.size() == 16 && f[0] != "FECHA") rows.push_back({f.begin(), f.end() - 1});
    }
    return rows;
}

// The six fields from `first` on: all numbers, or with `known` false all "-".
bool allFields(const std::vector<std::string>& row, int first, bool known) {
    return std::all_of(row.begin() + first, row.begin() + first + 6, [&](const std::string& f) {
        long long v = 0;
        const auto [end, ec] = std::from_chars(f.data(), f.data() + f.size(), v);
        return known ? ec == std::errc() && end == f.data() + f.size() && !f.empty() : f == "-";
    });
}

// Reads meter 101 for one day through `port`; the exit code and the file.
std::pair<std::optional<int>, std::string> readDay(const std::string& dir, uint16_t port,
                                                   const char* interval, const char* day) {
    const auto code =
        test::Program(test::ProgramCopy(dir), dir,
                      {"-IP", "127.0.0.1", "-PORT", std::to_string(port), "-CSV", dir + "/out",
                       "-FROM", day, "-TO", day, "-INTERVAL", interval, "-METERS", "101-1-7",
                       "-INTERASDUS", "0", "-TIMEOUTASDUS", "2"},
                      {}, dir + "/output.txt")
            .Wait(seconds(240));
    return {code, ReadFile(dir + "/out/" + CsvFileName(kLink, LocalToday()))};
}

struct DayCase {
    const char *name, *interval, *day;
    sim::SimFaults meter;      // the simulator's own fault
    test::ProfileFault proxy;  // the proxy's
    std::size_t rows;          // data rows written
    std::size_t
        counters;  // dated rows whose absolutes are numbers: the first ones and the closing row
    const char* failure = "";  // the reason printed (exit 15); "": the day is read, exit 0
};

// The proxy's records count from the day's 00:00 record (1): 08:30 is the
// 35th quarter hour, 08:00 the 9th hour; on 2026/03/29 03:00 follows 01:45,
// on 2026/10/25 02:00 in winter follows 02:00 in summer.
const DayCase kDays[] = {
    {"QuarterHourFirstThreeQuartersMissing",
     "Q",
     "2026/05/12",
     {.skipFirst = 4},
     {},
     1 + 3 + 92 + 1,
     2},
    {"QuarterHourStopsAtNoon", "Q", "2026/05/12", {}, {.endAt = 50}, 1 + 48 + 1, 50},
    {"QuarterHourUnreadableRecordAt0830",
     "Q",
     "2026/05/12",
     {},
     {.spoil = 35},
     1 + 94 + 1,
     1 + 33 + 1},
    {"QuarterHourSpringDayStopsAt1030", "Q", "2026/03/29", {}, {.endAt = 40}, 1 + 38 + 1, 40},
    {"HourlyFirstThreeHoursMissing", "H", "2026/05/12", {.skipFirst = 3}, {}, 1 + 21 + 1, 2},
    {"HourlyStopsAtNoon", "H", "2026/05/12", {}, {.endAt = 14}, 1 + 12 + 1, 14},
    {"HourlyUnreadableRecordAt0800", "H", "2026/05/12", {}, {.spoil = 9}, 1 + 22 + 1, 1 + 7 + 1},
    {"HourlyAutumnDayRepeatedHourUnreadable",
     "H",
     "2026/10/25",
     {},
     {.spoil = 4},
     1 + 23 + 1,
     1 + 2 + 1},
    {"QuarterHourOnlyTheRecordClosingTheDayBefore",
     "Q",
     "2026/05/12",
     {},
     {.endAt = 2},
     1,
     1,
     "ERROR CIERRES CUARTIHORARIOS INCOMPLETOS - ( 1 CIERRES LEIDOS ) - SIN CIERRES DEL DIA"},
    {"HourlyOnlyTheRecordClosingTheDayBefore",
     "H",
     "2026/05/12",
     {},
     {.endAt = 2},
     1,
     1,
     "ERROR CIERRES HORARIOS INCOMPLETOS - ( 1 CIERRES LEIDOS ) - SIN CIERRES DEL DIA"},
};

void PrintTo(const DayCase& c, std::ostream* os) {
    *os << c.name;
}

class ProgramDay : public ::testing::TestWithParam<DayCase> {};

TEST_P(ProgramDay, EveryFieldTheFaultFreeValueOrUnknown) {
    const DayCase& c = GetParam();
    const std::string dir = test::makeTempDir("program_day");

    // The fault-free reading: the simulator's counters, every increment known.
    sim::SimConfig config;
    config.seed = kSeed;
    config.replyDelayMs = 2;
    config.meters = {{kLink, 1, 7, {}}};
    std::map<std::string, std::vector<std::string>> whole;  // by date, time and season
    {
        sim::MeterSim sim(config);
        fs::create_directory(dir + "/whole");
        const auto [code, csv] = readDay(dir + "/whole", sim.listenTcp(), c.interval, c.day);
        EXPECT_EQ(code, 0);
        for (const auto& row : dataRows(csv)) {
            if (row[0].empty()) continue;
            sim::SimTime t;
            std::sscanf(row[0].c_str(), "%d/%d/%d", &t.day, &t.month, &t.year);
            std::sscanf(row[1].c_str(), "%d:%d", &t.hour, &t.minute);
            t.year += 2000;
            t.summer = row[2] == "Verano";
            for (int reg = 1; reg <= 6; ++reg)
                EXPECT_EQ(std::stoll(row[2 + reg]),
                          int32_t(sim::counterValue(kSeed, kLink, reg, t)))
                    << row[0] << " " << row[1];
            EXPECT_TRUE(allFields(row, 9, true)) << row[1];
            whole[row[0] + row[1] + row[2]] = row;
        }
    }

    config.meters[0].faults = c.meter;
    sim::MeterSim sim(config);
    test::FaultProxy proxy(sim.listenTcp(), c.proxy);
    fs::create_directory(dir + "/part");
    const auto [code, csv] = readDay(dir + "/part", proxy.port(), c.interval, c.day);
    const bool read = !*c.failure;
    EXPECT_EQ(code, read ? 0 : 15);
    EXPECT_EQ(ReadFile(dir + "/part/output.txt"),
              read ? ""
                   : "quorvanta: exit code 15: CONTADORES LEIDOS: 0 DE 1 - EL PRIMERO SIN LEER ES "
                     "EL 101: " +
                         std::string(c.failure) + "\n");
    EXPECT_NE(ReadFile(dir + "/part/quorvanta_STATUSLOG.CSV")
                  .find(read ? "(6) LECTURA CORRECTA" : "(5) ERROR DE LECTURA"),
              std::string::npos);

    const auto rows = dataRows(csv);
    EXPECT_EQ(rows.size(), c.rows);
    std::size_t counters = 0;
    bool broken = false;  // a row's absolutes were unknown
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        if (row[0].empty()) {  // a slot without a record
            EXPECT_TRUE(allFields(row, 3, false) && allFields(row, 9, false)) << i;
            broken = true;
            continue;
        }
        const auto fine = whole.find(row[0] + row[1] + row[2]);
        ASSERT_NE(fine, whole.end()) << row[0] << " " << row[1];
        for (int f = 3; f < 15; ++f)
            EXPECT_TRUE(row[f] == fine->second[f] || row[f] == "-")
                << row[1] << " field " << f << ": " << row[f];
        // The counters up to the first record missing, then none until the
        // closing row, which is the next closure as read.
        const bool closing = read && i + 1 == rows.size();
        const bool counter = allFields(row, 3, true);
        EXPECT_TRUE(counter || allFields(row, 3, false)) << row[1];
        EXPECT_TRUE(closing ? counter : !(broken && counter)) << row[1];
        broken = broken || !counter;
        counters += counter;
        // Each record its own energy; the closing row none, a record missing.
        EXPECT_TRUE(allFields(row, 9, !closing)) << row[1];
    }
    EXPECT_EQ(counters, c.counters);
    if (!HasFailure()) fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Days, ProgramDay, ::testing::ValuesIn(kDays),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qv

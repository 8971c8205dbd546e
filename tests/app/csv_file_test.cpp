#include "app/core/csv_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "platform/worker_message.h"
#include "program_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

using test::ReadFile;

// Five daily closures: counters across 2^31, a register missing in the
// second, the fourth not read at all; no increment against what was not read.
// Then the temporary files a killed write left (only ours, older than a day,
// go), a second write of the day (the log says it replaced the first), the
// "(1)" name, the file's mode under the umask and a write failing half-way (a
// file size limit standing in for a full disk): a red line naming the file, no
// partial file, the earlier file kept.
TEST(CsvFile, DailyFileItsEdgeCasesAndFailures) {
    Tdevice d("1234", "1", "1", "abc-9");
    d.IntervalType = IntervalDaily;
    d.Complete = true;
    for (uint32_t k = 0; k < 5; ++k) {
        d.AddDay();
        for (int r = 1; r <= kRegisters; ++r)
            d.Values[k](r, 0, 0) = (k == 0 ? 0x7FFFFFF0u : 0x80000010u) * static_cast<uint32_t>(r);
        d.Labels[k](0, 0).setDate(k != 3 ? "0" + std::to_string(k + 1) + "/12/26" : "");
        d.Labels[k](0, 0).setTime(k != 3 ? "00:00" : "");
    }
    d.Quality[1](2, 0, 0) = TDayQuality::NoData;
    for (int r = 1; r <= kRegisters; ++r) d.Quality[3](r, 0, 0) = TDayQuality::NoData;
    const std::string later = "-2147483632; 32; -2147483600; 64; -2147483568; 96; ";
    std::string expected =
        "OPC_ID : ABC-9\r\n" + std::string(kCsvHeader) +
        "\r\n01/12/26;00:00;Invierno;2147483632; -32; 2147483600; -64; "
        "2147483568; -96; 0; 0; 0; 0; 0; 0; \r\n"
        "02/12/26;00:00;Invierno;-2147483632; - ; -2147483600; 64; "
        "-2147483568; 96; 32; - ; 96; 128; 160; 192; \r\n03/12/26;00:00;Invierno;" +
        later + "0; - ; 0; 0; 0; 0; \r\n;;Invierno;";
    for (int i = 0; i < 12; ++i) expected += "- ; ";
    expected += "\r\n05/12/26;00:00;Invierno;" + later;
    for (int i = 0; i < 6; ++i) expected += "- ; ";
    expected += "\r\n";
    EXPECT_EQ(CsvText(d), expected);
    // Hourly days without records: the same closures, and no closing row's
    // increment, nothing of the day having come.
    Tdevice hourly = d;
    hourly.IntervalType = IntervalHourly;
    std::string unknownIncrements;
    for (int i = 0; i < 6; ++i) unknownIncrements += "- ; ";
    std::string hourlyExpected = expected;
    for (const char* increments : {"32; - ; 96; 128; 160; 192; ", "0; - ; 0; 0; 0; 0; "})
        hourlyExpected.replace(hourlyExpected.find(increments), std::strlen(increments),
                               unknownIncrements);
    EXPECT_EQ(CsvText(hourly), hourlyExpected);
    // The name upper-cased whole, its letters beyond ASCII too.
    Tdevice named = d;
    named.OpcCode = "Peña-öst ÷ ÿ €";
    EXPECT_TRUE(CsvText(named).starts_with("OPC_ID : PEÑA-ÖST ÷ ÿ €\r\n")) << CsvText(named);

    const std::string dir = test::makeTempDir("csv_file"), name = dir + "/1234_26_12_05.CSV";
    std::pair<std::string, int32_t> last;  // the last log line
    std::string logged;
    auto write = [&](const std::string& ruta) {
        logged.clear();
        return Crear_fixer(d, false, ruta, Day{std::chrono::year{2026} / 12 / 5},
                           [&](const std::string& t, int32_t c) {
                               last = {t, c};
                               logged += t + "\n";
                           });
    };
    // Name, hours old, a folder, another user's (when the test may give it away), removed.
    const std::tuple<const char*, int, bool, bool, bool> leftovers[] = {
        {".quorvanta-csv-a1B2c3", 25, false, false, true},
        {".quorvanta-csv-d4E5f6", 23, false, false, false},
        {".quorvanta-csv-g7H8i9", 25, true, false, false},
        {".quorvanta-csv-j0K1l2", 25, false, getuid() == 0, getuid() != 0},
        {".quorvanta-csv-m3N4o5p", 25, false, false, false},
    };
    for (const auto& [file, hours, folder, foreign, removed] : leftovers) {
        const std::string path = dir + "/" + file;
        folder ? void(fs::create_directory(path)) : void(std::ofstream(path) << "1;2;");
        if (foreign) {
            EXPECT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        }
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(hours));
    }
    EXPECT_EQ(write(dir), name);
    EXPECT_EQ(ReadFile(name), expected);
    for (const auto& [file, hours, folder, foreign, removed] : leftovers) {
        EXPECT_NE(fs::exists(dir + "/" + file), removed) << file;
        EXPECT_EQ(logged.find(file) != std::string::npos, removed) << file;
        fs::remove(dir + "/" + file);
    }
    EXPECT_EQ(logged.find("REEMPLAZA"), std::string::npos);
    EXPECT_EQ(write(dir), name);
    EXPECT_NE(logged.find("- SE REEMPLAZA EL FICHERO EXISTENTE DEL MISMO DIA : " + name),
              std::string::npos);

    // Made as other files are (0666 less the umask), also when it replaces one.
    for (const mode_t mask : {077, 002, 022}) {
        const mode_t saved = ::umask(mask);
        EXPECT_EQ(write(dir), name);
        ::umask(saved);
        EXPECT_EQ(int(fs::status(name).permissions()), 0666 & ~mask) << mask;
    }

    // A folder that cannot be made: the file named from the root, the reason.
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    EXPECT_EQ(write("1234_26_12_05.CSV/sub"), "");
    fs::current_path(cwd);
    EXPECT_EQ(last.first, "- ERROR AL CREAR EL FICHERO LOCAL DE SALIDA DE DATOS : " + name +
                              "/sub/1234_26_12_05.CSV - " + std::strerror(ENOTDIR));

    fs::remove(name);
    fs::create_directories(name + "/x");
    EXPECT_EQ(write(dir), name + "(1)");
    fs::remove_all(name);

    std::ofstream(name) << "earlier";
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small{200, saved.rlim_max};
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const std::string result = write(dir);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, "");
    EXPECT_EQ(ReadFile(name), "earlier");
    EXPECT_TRUE(last.first.starts_with(
        "- ERROR AL CREAR EL FICHERO LOCAL DE SALIDA DE DATOS : " + name + " - "))
        << last.first;
    EXPECT_EQ(last.second, colour::Red);
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_FALSE(e.path().filename().string().starts_with(".quorvanta")) << e.path();
    fs::remove_all(dir);
}

// A folder may be named as an FTP target is (RUTA left holding one when the
// output became a folder): every line naming the file, or a file of its
// folder, shows it with that target's password hidden and its control
// characters escaped, as any message quoting RUTA does.
TEST(CsvFile, EveryLineShowsThePathWithTheFoldersMask) {
    Tdevice d("101", "1", "1", "");
    d.IntervalType = IntervalDaily;
    for (int k = 0; k < 2; ++k) {
        d.AddDay();
        d.Labels[k](0, 0).setDate(k == 0 ? "07/12/26" : "08/12/26");
        d.Labels[k](0, 0).setTime("00:00");
    }
    const std::string dir = test::makeTempDir("csv_file");
    std::string logged;
    auto write = [&](const std::string& ruta, bool complete) {
        d.Complete = complete;
        logged.clear();
        return Crear_fixer(d, false, ruta, Day{std::chrono::year{2026} / 12 / 7},
                           [&](const std::string& t, int32_t) { logged += t + "\n"; });
    };
    const auto says = [&](const std::string& line) {
        EXPECT_NE(logged.find(line), std::string::npos) << line << " in:\n" << logged;
        EXPECT_EQ(logged.find("FtpS3cr"), std::string::npos) << logged;
        EXPECT_EQ(logged.find('\x01'), std::string::npos) << logged;
    };
    const std::string target = dir + "/ftpuser:FtpS3cr@h", shown = dir + "/ftpuser:****@h";
    const std::string file = "/101_26_12_07.CSV";
    // Made, replaced, kept beside an incomplete reading; a leftover of a killed write removed.
    EXPECT_EQ(write(target, true), target + file);
    says("- CREADO FICHERO LOCAL DE SALIDA DE DATOS : " + shown + file);
    EXPECT_EQ(write(target, true), target + file);
    says("- SE REEMPLAZA EL FICHERO EXISTENTE DEL MISMO DIA : " + shown + file);
    const std::string leftover = target + "/.quorvanta-csv-a1B2c3";
    std::ofstream(leftover) << "1;";
    fs::last_write_time(leftover, fs::file_time_type::clock::now() - std::chrono::hours(48));
    EXPECT_EQ(write(target, false), target + file + "(1)");
    says("- BORRADO FICHERO TEMPORAL ABANDONADO : " + shown + "/.quorvanta-csv-a1B2c3");
    says("- LECTURA INCOMPLETA, SE CONSERVA EL FICHERO EXISTENTE : " + shown + file);
    // A folder that cannot be made, under a file.
    std::ofstream(dir + "/f") << "";
    EXPECT_EQ(write(dir + "/f/u:FtpS3cr@h", true), "");
    says("- ERROR AL CREAR LA CARPETA/FICHERO LOCAL DE SALIDA DE DATOS : " + dir + "/f/u:****@h" +
         file + " - " + std::strerror(ENOTDIR));
    says("- ERROR AL CREAR EL FICHERO LOCAL DE SALIDA DE DATOS : " + dir + "/f/u:****@h" + file +
         " - " + std::strerror(ENOTDIR));
    // A control character in the folder's name, escaped.
    EXPECT_EQ(write(dir + "/o\x01ut", true), dir + "/o\x01ut" + file);
    says("- CREADO FICHERO LOCAL DE SALIDA DE DATOS : " + dir + "/o\\x01ut" + file);
    fs::remove_all(dir);
}

// One profile day by hand: opening closure 1000 x register, each record
// `register` of energy, the next closure one period after the day's last
// record (so a whole day's closing increment is `register` too). Records are
// (slot hour, slot quarter, tag time, summer); `lacks` register 3 in the
// record of that index.
Tdevice profileDay(bool quarterly,
                   const std::vector<std::tuple<int, int, const char*, int>>& records,
                   int lacks = -1) {
    Tdevice d("7", "1", "1", "");
    d.IntervalType = quarterly ? IntervalQuarterHour : IntervalHourly;
    for (int k = 0; k < 2; ++k) {
        d.AddDay();
        for (int r = 1; r <= kRegisters; ++r)
            d.Values[k](r, 0, 0) = uint32_t(1000 * r + k * (int(records.size()) + 1) * r);
        d.Labels[k](0, 0).setDate(k == 0 ? "05/03/26" : "06/03/26");
        d.Labels[k](0, 0).setTime("00:00");
    }
    for (int h = 0; h < kHours; ++h)
        for (int q = 0; q < kQuarters; ++q)
            if (h + q > 0)
                for (int r = 1; r <= kRegisters; ++r) d.Quality[0](r, h, q) = TDayQuality::NoData;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& [h, q, time, summer] = records[i];
        d.Labels[0](h, q).setDate("05/03/26");
        d.Labels[0](h, q).setTime(time);
        d.Labels[0](h, q).Summer = uint8_t(summer);
        for (int r = 1; r <= kRegisters; ++r) {
            d.Values[0](r, h, q) = uint32_t(r);
            d.Quality[0](r, h, q) = int(i) == lacks && r == 3 ? TDayQuality::NoData : 0;
        }
    }
    return d;
}

// Hourly records from `first` o'clock to 23:00, one slot each from `slot` on;
// `skip`: a tag hour left out; tags in summer time in slots summerFrom to
// summerTo; `repeated`: that hour twice, in summer then in winter.
using Records = std::vector<std::tuple<int, int, const char*, int>>;
Records hours(int first, int slot, int skip = -1, int summerFrom = 0, int summerTo = -1,
              const char* repeated = nullptr) {
    static const std::vector<std::string> kTimes = [] {
        std::vector<std::string> t;
        for (int h = 0; h < 24; ++h) t.push_back((h < 10 ? "0" : "") + std::to_string(h) + ":00");
        return t;
    }();
    Records out;
    for (int hour = first; hour <= 23; ++hour) {
        if (hour == skip) continue;
        out.push_back({slot, 0, kTimes[hour].c_str(), slot >= summerFrom && slot <= summerTo});
        if (repeated && kTimes[hour] == repeated)
            out.push_back({++slot, 0, kTimes[hour].c_str(), 0});
        ++slot;
    }
    return out;
}

// A quarter-hourly day's records 00:15 to 23:45 in their slots, winter time.
Records quarters() {
    static const std::vector<std::string> kTimes = [] {
        std::vector<std::string> t;
        char buf[8];
        for (int i = 1; i < 96; ++i) {
            std::snprintf(buf, sizeof buf, "%02d:%02d", i / 4, i % 4 * 15);
            t.push_back(buf);
        }
        return t;
    }();
    Records out;
    for (int i = 1; i < 96; ++i) out.push_back({i / 4, i % 4, kTimes[i - 1].c_str(), 0});
    return out;
}

// Register 1's absolute in each profile row and register 1's increment in
// the closing row, as the rows read ("-" for "- ").
std::pair<std::string, std::string> register1(const Tdevice& d) {
    const auto rows = CsvRows(d);
    std::string absolutes;
    for (std::size_t i = 1; i + 1 < rows.size(); ++i) {
        std::string f =
            rows[i].substr(rows[i].find(';', rows[i].find(';', rows[i].find(';') + 1) + 1) + 1);
        absolutes += (f.starts_with("- ") ? "-" : "n");
    }
    const std::string& closing = rows.back();
    std::size_t at = 0;
    for (int i = 0; i < 9; ++i) at = closing.find(';', at) + 1;
    std::string increment = closing.substr(at, closing.find(';', at) - at);
    std::erase(increment, ' ');
    return {absolutes, increment};
}

// The running totals are the counters while every period of the day has its
// record, one after the other from the opening closure: then "- " up to the
// closing row, whose increment is written only for a day whose every record
// came, by the day's length (23, 24 or 25 hours, told by the tags' season).
TEST(CsvFile, ProfileDayAbsolutesAndClosingIncrement) {
    const std::string n23(23, 'n');
    const struct {
        const char* name;
        Tdevice device;
        std::string absolutes;  // register 1 row by row: n a number, - none
        const char* closing;    // register 1's closing increment
    } days[] = {
        {"Hourly24", profileDay(false, hours(1, 1)), n23, "1"},
        {"Hourly23SpringDay", profileDay(false, hours(1, 1, 2, 2, 22)), std::string(22, 'n'), "1"},
        {"Hourly25AutumnDay", profileDay(false, hours(1, 1, -1, 1, 2, "02:00")),
         std::string(24, 'n'), "1"},
        {"HourlyLastMissing", profileDay(false, hours(1, 1, 23)), std::string(22, 'n'), "-"},
        {"HourlyFirstTwoMissing", profileDay(false, hours(3, 3)), std::string(21, '-'), "-"},
        // 05:00 unreadable: 06:00 in slot 5, one slot early.
        {"HourlyOneUnreadable", profileDay(false, hours(1, 1, 5)), "nnnn" + std::string(18, '-'),
         "-"},
        {"HourlyRegister3Lacking", profileDay(false, hours(1, 1), 4), n23, "1"},
        {"QuarterWhole", profileDay(true, quarters()), std::string(95, 'n'), "1"},
        {"QuarterFirstMissing", profileDay(true, {{0, 2, "00:30", 0}, {0, 3, "00:45", 0}}), "---",
         "-"},
        {"QuarterStopsAt0030", profileDay(true, {{0, 1, "00:15", 0}, {0, 2, "00:30", 0}}), "nn-",
         "-"},
    };
    for (const auto& day : days) {
        SCOPED_TRACE(day.name);
        const auto [absolutes, closing] = register1(day.device);
        EXPECT_EQ(absolutes, day.absolutes);
        EXPECT_EQ(closing, day.closing);
    }
    // A record lacking register 3: that register unknown from it on, and in
    // the closing increment; its increment "- " there, the others' own.
    const auto rows = CsvRows(days[6].device);
    EXPECT_EQ(rows[4],
              "05/03/26;04:00;Invierno;1004; 2008; 3012; 4016; 5020; 6024; 1; 2; 3; 4; 5; 6; ");
    EXPECT_EQ(rows[5],
              "05/03/26;05:00;Invierno;1005; 2010; - ; 4020; 5025; 6030; 1; 2; - ; 4; 5; 6; ");
    EXPECT_EQ(rows[6],
              "05/03/26;06:00;Invierno;1006; 2012; - ; 4024; 5030; 6036; 1; 2; 3; 4; 5; 6; ");
    EXPECT_EQ(rows.back(),
              "06/03/26;00:00;Invierno;1024; 2048; 3072; 4096; 5120; 6144; 1; 2; - ; 4; 5; 6; ");
}

}  // namespace
}  // namespace qv

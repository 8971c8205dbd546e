#include "app/core/csv_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/worker_message.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

// Slot (h, q) of day k: label and register r holding v * r.
void put(Tdevice& d, std::size_t k, int h, int q, const std::string& date, const std::string& time,
         uint32_t v, uint8_t summer = 0) {
    while (d.DayCount() <= k) d.AddDay();
    auto& l = d.Labels[k](h, q);
    l.setDate(date);
    l.setTime(time);
    l.Summer = summer;
    for (int r = 1; r <= kRegisters; ++r) d.Values[k](r, h, q) = v * static_cast<uint32_t>(r);
}

std::string hhmm(int h, int m) {
    char b[8];
    std::snprintf(b, sizeof b, "%.2d:%.2d", h, m);
    return b;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string blanks12() {
    std::string s;
    for (int i = 0; i < 12; ++i) s += "- ; ";
    return s;
}

TEST(CsvFile, HeaderAndNameAreTheOnesConsumersRead) {
    EXPECT_EQ(kCsvHeader.size(), 305u);
    EXPECT_EQ(CsvFileName(1234, Day{2026y / 12 / 5}), "1234_26_12_05.CSV");
}

// Hourly days of 23, 24 and 25 hours: one row per stored hour, and the
// closing row's increment taken against the day's last hour.
TEST(CsvFile, HourlyClosingRowFollowsTheLengthOfTheDay) {
    for (int hours : {23, 24, 25}) {
        Tdevice d("7", "1", "1", "");
        d.IntervalType = IntervalHourly;
        put(d, 0, 0, 0, "29/03/26", "00:00", 1000);
        for (int h = 1; h < hours; ++h) put(d, 0, h, 0, "29/03/26", hhmm(h, 0), 10);
        put(d, 1, 0, 0, "30/03/26", "00:00", 1000 + 10 * (hours - 1) + 7);
        const auto rows = CsvRows(d);
        ASSERT_EQ(rows.size(), static_cast<std::size_t>(hours + 1)) << hours;
        EXPECT_EQ(rows[0],
                  "29/03/26;00:00;Invierno;1000; 2000; 3000; 4000; 5000; 6000; 0; 0; 0; 0; 0; 0; ");
        EXPECT_EQ(
            rows[1],
            "29/03/26;01:00;Invierno;1010; 2020; 3030; 4040; 5050; 6060; 10; 20; 30; 40; 50; 60; ");
        const uint32_t c1 = 1000 + 10 * (hours - 1) + 7;
        std::string closing = "30/03/26;00:00;Invierno;";
        for (uint32_t r = 1; r <= 6; ++r) closing += std::to_string(c1 * r) + "; ";
        for (uint32_t r = 1; r <= 6; ++r) closing += std::to_string(7 * r) + "; ";
        EXPECT_EQ(rows.back(), closing) << hours;
    }
}

TEST(CsvFile, QuarterHourlyDayWithoutItsFirstQuarter) {
    Tdevice d("7", "1", "1", "");
    d.IntervalType = IntervalQuarterHour;
    put(d, 0, 0, 0, "25/10/26", "00:00", 100, 1);
    for (int h = 0; h < 24; ++h)
        for (int q = 0; q < 4; ++q)
            if (h * 4 + q > 1) put(d, 0, h, q, "25/10/26", hhmm(h, 15 * q), 1, h < 3);
    for (int r = 1; r <= kRegisters; ++r) d.Quality[0](r, 0, 1) = TDayQuality::NoData;
    put(d, 1, 0, 0, "26/10/26", "00:00", 100 + 94 + 5);
    const auto rows = CsvRows(d);
    ASSERT_EQ(rows.size(), 1u + 95u + 1u);
    EXPECT_EQ(rows[1], ";;Invierno;" + blanks12());
    EXPECT_EQ(rows[2], "25/10/26;00:30;Verano;101; 202; 303; 404; 505; 606; 1; 2; 3; 4; 5; 6; ");
    EXPECT_EQ(rows[95],
              "25/10/26;23:45;Invierno;194; 388; 582; 776; 970; 1164; 1; 2; 3; 4; 5; 6; ");
    EXPECT_EQ(rows[96],
              "26/10/26;00:00;Invierno;199; 398; 597; 796; 995; 1194; 5; 10; 15; 20; 25; 30; ");
}

class CsvWrite : public ::testing::Test {
  protected:
    void SetUp() override { dir = test::makeTempDir("csv_file"); }
    void TearDown() override { fs::remove_all(dir); }
    std::string write(const Tdevice& d, bool ftp, const std::string& ruta) {
        lines.clear();
        return Crear_fixer(d, ftp, ruta, Day{2026y / 12 / 5},
                           [this](const std::string& t, int32_t c) {
                               lines.push_back({t, c});
                           });
    }
    bool logged(const std::string& text, int32_t c) const {
        for (const auto& l : lines)
            if (l.first == text && l.second == c) return true;
        return false;
    }
    std::vector<std::string> leftovers() const {
        std::vector<std::string> r;
        for (const auto& e : fs::recursive_directory_iterator(dir))
            if (e.path().filename().string().rfind(".quorvanta", 0) == 0) r.push_back(e.path());
        return r;
    }
    std::string dir;
    std::vector<std::pair<std::string, int32_t>> lines;
};

// Three daily closures: counters across the 2^32 wrap, a missing register,
// an unread closure, and the OPC line upper-cased.
Tdevice dailyDevice(const std::string& opc) {
    Tdevice d("1234", "1", "1", opc);
    d.IntervalType = IntervalDaily;
    put(d, 0, 0, 0, "01/12/26", "00:00", 0x7FFFFFF0u);
    put(d, 1, 0, 0, "02/12/26", "00:00", 0x80000010u);
    d.Quality[1](2, 0, 0) = TDayQuality::NoData;
    d.AddDay();
    for (int r = 1; r <= kRegisters; ++r) d.Quality[2](r, 0, 0) = TDayQuality::NoData;
    return d;
}

TEST_F(CsvWrite, DailyFileInACreatedFolderAndEdgeCasesOfItsName) {
    const std::string ruta = dir + "/out";
    const std::string expectedName = ruta + "/1234_26_12_05.CSV";
    const std::string body = std::string(kCsvHeader) + "\r\n" +
                             "01/12/26;00:00;Invierno;2147483632; -32; 2147483600; -64; "
                             "2147483568; -96; 0; 0; 0; 0; 0; 0; \r\n"
                             "02/12/26;00:00;Invierno;-2147483632; - ; -2147483600; 64; "
                             "-2147483568; 96; 32; - ; 96; 128; 160; 192; \r\n"
                             ";;Invierno;" +
                             blanks12() + "\r\n";

    const struct {
        const char* what;
        std::string opc;
        std::function<void()> before;
        std::string name;
        std::string firstLine;
    } cases[] = {
        {"opc line upper-cased", "abc-9", [] {}, expectedName, "OPC_ID : ABC-9\r\n"},
        {"empty opc: header first, earlier file replaced", "", [] {}, expectedName, ""},
        {"name taken by a folder", "",
         [&] {
             fs::remove(expectedName);
             fs::create_directories(expectedName + "/x");
         },
         expectedName + "(1)", ""},
    };
    for (const auto& c : cases) {
        c.before();
        EXPECT_EQ(write(dailyDevice(c.opc), false, ruta), c.name) << c.what;
        EXPECT_EQ(readFile(c.name), c.firstLine + body) << c.what;
        EXPECT_TRUE(logged("- CREADO FICHERO LOCAL DE SALIDA DE DATOS : " + c.name, colour::Green));
        EXPECT_EQ(lines.front(), std::make_pair(std::string(68, '-'), colour::White));
    }
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(CsvWrite, FtpFileGoesToTheCurrentFolderUnderItsBareName) {
    const auto cwd = fs::current_path();
    fs::current_path(dir);
    const std::string name = write(dailyDevice(""), true, "/nonexistent/ruta");
    fs::current_path(cwd);
    EXPECT_EQ(name, "1234_26_12_05.CSV");
    EXPECT_TRUE(fs::exists(dir + "/" + name));
}

TEST_F(CsvWrite, FailuresAreRedAndNeverLeaveAPartialFile) {
    // A folder whose parent is missing: both error lines, no file.
    const std::string deep = dir + "/missing/out";
    EXPECT_EQ(write(dailyDevice(""), false, deep), "");
    EXPECT_TRUE(logged("- ERROR AL CREAR LA CARPETA/FICHERO LOCAL DE SALIDA DE DATOS : " + deep +
                           "/1234_26_12_05.CSV",
                       colour::Red));
    EXPECT_TRUE(logged("- ERROR AL CREAR EL FICHERO LOCAL DE SALIDA DE DATOS", colour::Red));

    // A write that fails half-way (file size limit in place of a full disk):
    // the earlier file of that name is kept whole, no temporary is left.
    const std::string name = dir + "/1234_26_12_05.CSV";
    std::ofstream(name) << "earlier";
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 200;
    setrlimit(RLIMIT_FSIZE, &small);
    const std::string result = write(dailyDevice(""), false, dir);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, "");
    EXPECT_EQ(readFile(name), "earlier");
    EXPECT_EQ(lines.back().second, colour::Red);
    EXPECT_EQ(
        lines.back().first.rfind("- ERROR AL CREAR EL FICHERO LOCAL DE SALIDA DE DATOS - ", 0), 0u);
    EXPECT_TRUE(leftovers().empty());
}

}  // namespace
}  // namespace qv

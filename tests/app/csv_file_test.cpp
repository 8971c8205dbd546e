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
    // Hourly days without records: each closing row is taken against the day's closure.
    d.IntervalType = IntervalHourly;
    EXPECT_EQ(CsvText(d), expected);
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

}  // namespace
}  // namespace qv

#include "app/core/csv_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "platform/worker_message.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Three daily closures: counters across 2^31, a missing register in the
// second, the third not read at all.
Tdevice dailyDevice(const std::string& opc) {
    Tdevice d("1234", "1", "1", opc);
    d.IntervalType = IntervalDaily;
    for (uint32_t k = 0; k < 3; ++k) {
        d.AddDay();
        for (int r = 1; r <= kRegisters; ++r)
            d.Values[k](r, 0, 0) = (k == 0 ? 0x7FFFFFF0u : 0x80000010u) * static_cast<uint32_t>(r);
    }
    d.Labels[0](0, 0).setDate("01/12/26");
    d.Labels[1](0, 0).setDate("02/12/26");
    d.Labels[0](0, 0).setTime("00:00");
    d.Labels[1](0, 0).setTime("00:00");
    d.Quality[1](2, 0, 0) = TDayQuality::NoData;
    for (int r = 1; r <= kRegisters; ++r) d.Quality[2](r, 0, 0) = TDayQuality::NoData;
    return d;
}

class CsvWrite : public ::testing::Test {
  protected:
    void SetUp() override { dir = test::makeTempDir("csv_file"); }
    void TearDown() override { fs::remove_all(dir); }
    std::string write(const Tdevice& d, const std::string& ruta) {
        lines.clear();
        return Crear_fixer(d, false, ruta, Day{2026y / 12 / 5},
                           [this](const std::string& t, int32_t c) {
                               lines.push_back({t, c});
                           });
    }
    bool noTemporaryLeft() const {
        for (const auto& e : fs::recursive_directory_iterator(dir))
            if (e.path().filename().string().starts_with(".quorvanta")) return false;
        return true;
    }
    std::string dir;
    std::vector<std::pair<std::string, int32_t>> lines;
};

TEST_F(CsvWrite, DailyFileInACreatedFolderAndTheEdgeCasesOfItsName) {
    const std::string ruta = dir + "/out", name = ruta + "/1234_26_12_05.CSV";
    std::string body = std::string(kCsvHeader) + "\r\n" +
                       "01/12/26;00:00;Invierno;2147483632; -32; 2147483600; -64; 2147483568; -96; "
                       "0; 0; 0; 0; 0; 0; \r\n"
                       "02/12/26;00:00;Invierno;-2147483632; - ; -2147483600; 64; -2147483568; "
                       "96; 32; - ; 96; 128; 160; 192; \r\n;;Invierno;";
    for (int i = 0; i < 12; ++i) body += "- ; ";
    body += "\r\n";
    const struct {
        std::string opc, name, firstLine;
        bool nameTakenByAFolder;
    } cases[] = {
        {"abc-9", name, "OPC_ID : ABC-9\r\n", false},
        {"", name, "", false},  // replaces the earlier file
        {"", name + "(1)", "", true},
    };
    for (const auto& c : cases) {
        if (c.nameTakenByAFolder) {
            fs::remove(name);
            fs::create_directories(name + "/x");
        }
        EXPECT_EQ(write(dailyDevice(c.opc), ruta), c.name);
        EXPECT_EQ(readFile(c.name), c.firstLine + body);
        EXPECT_EQ(
            lines.at(1),
            std::make_pair("- CREADO FICHERO LOCAL DE SALIDA DE DATOS : " + c.name, colour::Green));
    }
    EXPECT_TRUE(noTemporaryLeft());
}

TEST_F(CsvWrite, FailuresAreRedAndNeverLeaveAPartialFile) {
    EXPECT_EQ(write(dailyDevice(""), dir + "/missing/out"), "");
    EXPECT_EQ(lines.at(1).first, "- ERROR AL CREAR LA CARPETA/FICHERO LOCAL DE SALIDA DE DATOS : " +
                                     dir + "/missing/out/1234_26_12_05.CSV");
    EXPECT_EQ(lines.at(2),
              std::make_pair(std::string("- ERROR AL CREAR EL FICHERO LOCAL DE SALIDA DE DATOS"),
                             colour::Red));

    // A write failing half-way (a file size limit standing in for a full
    // disk) keeps the earlier file of that name whole.
    const std::string name = dir + "/1234_26_12_05.CSV";
    std::ofstream(name) << "earlier";
    rlimit saved{}, small{};
    getrlimit(RLIMIT_FSIZE, &saved);
    small = saved;
    small.rlim_cur = 200;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const std::string result = write(dailyDevice(""), dir);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, "");
    EXPECT_EQ(readFile(name), "earlier");
    EXPECT_TRUE(
        lines.back().first.starts_with("- ERROR AL CREAR EL FICHERO LOCAL DE SALIDA DE DATOS - "));
    EXPECT_EQ(lines.back().second, colour::Red);
    EXPECT_TRUE(noTemporaryLeft());
}

}  // namespace
}  // namespace qv

// The real quorvanta executable, unattended, when the readings were read but
// their output failed: the status file, the stderr line and the log agree on
// which meters and why. Also the status file's one encoding. Needs no server:
// the outputs fail against a folder in the way and ports where nothing listens.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/csv_file.h"
#include "meter-sim/meter_sim.h"
#include "meter/contador_ip.h"
#include "program_harness.h"
#include "support/loopback_peer.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using test::ReadFile;

class ProgramOutput : public ::testing::Test {
  protected:
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir);
    }
    // Reads meter-sim's meters daily over two days; stdout and stderr to
    // Output(). Its exit code.
    std::optional<int> Run(std::vector<std::string> args, const std::string& meters) {
        args.insert(args.end(),
                    {"-IP", "127.0.0.1", "-PORT", port, "-METERS", meters, "-FROM", "2026/06/10",
                     "-TO", "2026/06/11", "-INTERVAL", "D", "-INTERASDUS", "0"});
        fs::create_directories(dir + "/cwd");
        return test::Program(test::ProgramCopy(dir), dir + "/cwd", std::move(args), {},
                             dir + "/output.txt")
            .Wait(seconds(120));
    }
    std::string Output() const { return ReadFile(dir + "/output.txt"); }
    std::vector<std::string> StatusLines() const {
        std::vector<std::string> lines;
        const std::string text = ReadFile(dir + "/quorvanta_STATUSLOG.CSV");
        for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos;
             at = end + 2)
            lines.push_back(text.substr(at, end - at));
        return lines;
    }
    std::string Log() const { return ReadFile(dir + "/quorvanta.LOG"); }
    int LastExitCode() const {
        const std::string log = Log();
        return std::atoi(log.c_str() + log.rfind("EXIT CODE: ") + 11);
    }

    std::string dir = test::makeTempDir("program_output");
    sim::MeterSim sim{[] {
        sim::SimConfig c;
        c.replyDelayMs = 0;
        for (int link : {101, 102, 103}) c.meters.push_back({link, 1, 7, {}});
        return c;
    }()};
    std::string port = std::to_string(sim.listenTcp());
    const std::string header =
        "DIRECCION DE ENLACE;PUNTO DE MEDIDA;CONTRASEÑA;CODIGO OPC ( OPCIONAL );ESTADO";
    const std::string failed = "(7) LEIDO, SALIDA FALLIDA - ";
};

// The files of 101 and 103 cannot be written (their names are folders); 102's
// can. The code is 16, its reason the first of them; each row says what
// became of its readings.
TEST_F(ProgramOutput, FileThatCannotBeWrittenIsNamedForItsMeter) {
    const std::string out = dir + "/out";
    for (int link : {101, 103})
        for (const char* suffix : {"", "(1)"})
            fs::create_directories(out + "/" + CsvFileName(link, LocalToday()) + suffix + "/x");
    EXPECT_EQ(Run({"-CSV", out}, "101-1-7,102-1-7,103-1-7"), ExitOutputLost);
    const auto reason = [&](int link) {
        return "FICHERO CSV: ERROR AL CREAR EL FICHERO LOCAL DE SALIDA DE DATOS : " + out + "/" +
               CsvFileName(link, LocalToday()) + " - Is a directory";
    };
    EXPECT_EQ(Output(),
              "quorvanta: exit code 16: SALIDA FALLIDA DEL CONTADOR 101 - " + reason(101) + "\n");
    EXPECT_EQ(StatusLines(), (std::vector<std::string>{header, "101;1;7;;" + failed + reason(101),
                                                       "102;1;7;;(6) LECTURA CORRECTA",
                                                       "103;1;7;;" + failed + reason(103)}));
    EXPECT_EQ(LastExitCode(), ExitOutputLost);
    for (const char* meter : {"101", "103"})
        EXPECT_NE(
            Log().find(std::string("SALIDA FALLIDA DEL CONTADOR ") + meter + " - FICHERO CSV"),
            std::string::npos)
            << meter;
    EXPECT_TRUE(fs::exists(out + "/" + CsvFileName(102, LocalToday())));
}

// A file that is made but cannot be written whole (here the process's file
// size limit, as a full disk would): the meter is named as for a file that
// cannot be made, and the reading's partial file is not left behind.
TEST_F(ProgramOutput, FileMadeButNotWrittenIsNamedForItsMeter) {
    const std::string out = dir + "/out";
    fs::create_directories(out);
    fs::create_directories(dir + "/cwd");
    // 512 bytes: the status file fits, ten days of closures do not.
    const std::vector<std::string> args = {"-c",
                                           "ulimit -f 1; trap '' XFSZ; exec \"$0\" \"$@\"",
                                           test::ProgramCopy(dir),
                                           "-CSV",
                                           out,
                                           "-IP",
                                           "127.0.0.1",
                                           "-PORT",
                                           port,
                                           "-METERS",
                                           "101-1-7",
                                           "-FROM",
                                           "2026/06/01",
                                           "-TO",
                                           "2026/06/10",
                                           "-INTERVAL",
                                           "D",
                                           "-INTERASDUS",
                                           "0"};
    EXPECT_EQ(
        test::Program("/bin/sh", dir + "/cwd", args, {}, dir + "/output.txt").Wait(seconds(120)),
        ExitOutputLost);
    const std::string reason =
        "FICHERO CSV: ERROR AL CREAR EL FICHERO LOCAL DE SALIDA DE DATOS : " + out + "/" +
        CsvFileName(101, LocalToday()) + " - File too large";
    // The log beside the program reaches the limit too: named once, the run goes on.
    EXPECT_EQ(Output(), "quorvanta: cannot write " + dir + "/quorvanta.LOG: File too large\n" +
                            "quorvanta: exit code 16: SALIDA FALLIDA DEL CONTADOR 101 - " + reason +
                            "\n");
    EXPECT_EQ(StatusLines(), (std::vector<std::string>{header, "101;1;7;;" + failed + reason}));
    EXPECT_TRUE(fs::is_empty(out));
}

// Uploads that fail after the run has ended: the status file written at the
// end of the run is written again as each one ends, and the stderr line names
// the first meter of the list, whichever upload ended first.
TEST_F(ProgramOutput, FailedUploadsAreNamedInTheStatusFileWrittenAfterThem) {
    const std::string closed = std::to_string(test::LoopbackListener().port());
    EXPECT_EQ(Run({"-FTP", "u:p@127.0.0.1:" + closed + "/x/"}, "101-1-7,102-1-7"), ExitOutputLost);
    const std::vector<std::string> lines = StatusLines();
    ASSERT_EQ(lines.size(), 3u) << ReadFile(dir + "/quorvanta_STATUSLOG.CSV");
    EXPECT_EQ(lines[0], header);
    for (std::size_t row : {1, 2})
        EXPECT_TRUE(lines[row].starts_with(std::to_string(100 + row) + ";1;7;;" + failed + "FTP: "))
            << lines[row];
    EXPECT_TRUE(
        Output().starts_with("quorvanta: exit code 16: SALIDA FALLIDA DEL CONTADOR 101 - FTP: "))
        << Output();
    EXPECT_EQ(LastExitCode(), ExitOutputLost);

    // The database where nothing listens.
    const std::string ini = dir + "/db.ini";
    std::ofstream(ini) << "[MAIN]\nHOST_NAME=127.0.0.1\nPUERTO=" << closed << "\n";
    EXPECT_EQ(Run({"-INI", ini, "-DB", dir + "/db"}, "101-1-7-M1"), ExitOutputLost);
    ASSERT_EQ(StatusLines().size(), 2u);
    EXPECT_TRUE(StatusLines()[1].starts_with(
        "101;1;7;M1;" + failed + "BASE DE DATOS: NO SE HA PODIDO ENCONTRAR EL SERVIDOR"))
        << StatusLines()[1];
    EXPECT_TRUE(
        Output().starts_with("quorvanta: exit code 16: SALIDA FALLIDA DEL CONTADOR 101 - "
                             "BASE DE DATOS: "))
        << Output();
}

// An upload named with -DBUPLOAD that fails, with a reading after it whose
// files are written: the process ends 16 all the same, named by the upload,
// whether it failed at once (a file that is no readings file) or against a
// database where nothing listens; the meter's own row stands as read.
TEST_F(ProgramOutput, FailedCommandLineUploadEndsItsReadingWith16) {
    const std::string out = dir + "/out", closed = std::to_string(test::LoopbackListener().port());
    ASSERT_EQ(Run({"-CSV", dir + "/first"}, "101-1-7-M1"), 0);
    const std::string readings = dir + "/first/" + CsvFileName(101, LocalToday());
    const std::string notReadings = dir + "/x.CSV";
    std::ofstream(notReadings) << "x\r\n";
    const std::string ini = dir + "/db.ini";
    std::ofstream(ini) << "[MAIN]\nHOST_NAME=127.0.0.1\nPUERTO=" << closed << "\n";
    const struct {
        std::string file, reason;
    } rows[] = {
        {notReadings, "EL FICHERO NO CONTIENE IDENTIFICACION OPC_ID"},
        {readings, "NO SE HA PODIDO ENCONTRAR EL SERVIDOR"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.file);
        EXPECT_EQ(Run({"-INI", ini, "-DBUPLOAD", r.file, "-CSV", out}, "102-1-7"), ExitOutputLost);
        EXPECT_TRUE(Output().starts_with("quorvanta: exit code 16: ")) << Output();
        EXPECT_NE(Output().find(r.reason), std::string::npos) << Output();
        EXPECT_EQ(StatusLines(),
                  (std::vector<std::string>{header, "102;1;7;;(6) LECTURA CORRECTA"}));
        EXPECT_EQ(LastExitCode(), ExitOutputLost);
        EXPECT_TRUE(fs::exists(out + "/" + CsvFileName(102, LocalToday())));
    }
}

// A run refused before it starts, with no meters: the status file is its
// UTF-8 header alone, no empty meter row.
TEST_F(ProgramOutput, RefusedRunWithoutMetersWritesTheHeaderAlone) {
    std::ofstream(dir + "/quorvanta_STATUSLOG.CSV") << "101;1;7;;(6) LECTURA CORRECTA\r\n";
    fs::create_directories(dir + "/cwd");
    EXPECT_EQ(test::Program(test::ProgramCopy(dir), dir + "/cwd", {"-IP", "127.0.0.1", "-BOGUS"},
                            {}, dir + "/output.txt")
                  .Wait(seconds(60)),
              ExitInitFailed);
    EXPECT_EQ(ReadFile(dir + "/quorvanta_STATUSLOG.CSV"), header + "\r\n");
}

}  // namespace
}  // namespace qv

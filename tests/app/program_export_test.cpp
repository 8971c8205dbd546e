// The real quorvanta executable, unattended, handing readings on to the real
// servers that scripts/test starts; it closes only once its uploads have ended.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "app/core/csv_file.h"
#include "app/core/password_codec.h"
#include "export/export_harness.h"
#include "meter-sim/meter_sim.h"
#include "meter/contador_ip.h"
#include "platform/text.h"
#include "program_harness.h"
#include "support/loopback_peer.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using test::ReadFile;

// Each run reads one simulated meter daily over two days: three closures.
class ProgramExport : public test::UploadTest {
  protected:
    // A copy of the program in the test's folder (its log, status and CSV
    // files), run in a folder of its own (the FTP output's local files).
    // stdout and stderr go to `output` when given.
    std::unique_ptr<test::Program> Start(std::vector<std::string> args,
                                         const char* meter = "101-1-7",
                                         const std::string& output = {}) {
        args.insert(args.end(),
                    {"-IP", "127.0.0.1", "-PORT", port, "-METERS", meter, "-FROM", "2026/06/10",
                     "-TO", "2026/06/11", "-INTERVAL", "D", "-INTERASDUS", "0"});
        fs::create_directory(cwd());
        return std::make_unique<test::Program>(test::ProgramCopy(dir), cwd(), std::move(args),
                                               std::vector<std::string>{}, output);
    }
    std::string cwd() const { return dir + "/cwd"; }
    // The log, and the code of its last "EXIT CODE" line.
    std::string Log() const { return ReadFile(dir + "/quorvanta.LOG"); }
    int LastExitCode() const {
        const std::string log = Log();
        return std::atoi(log.c_str() + log.rfind("EXIT CODE: ") + 11);
    }

    sim::MeterSim sim{[] {
        sim::SimConfig c;
        c.meters.push_back({101, 1, 7, {}});
        return c;
    }()};
    std::string port = std::to_string(sim.listenTcp());
};

TEST_F(ProgramExport, DbUploadPlainThenUniqueStaysOpenUntilWritten) {
    const DbSettings db = test::DbSettingsFromEnv();
    const std::string ini = dir + "/db.ini";
    std::ofstream(ini) << "[MAIN]\nHOST_NAME=" << db.HOST_NAME << "\nPUERTO=" << db.PUERTO
                       << "\nDB_NAME=" << schema << "\nUSER_NAME=" << db.USER_NAME
                       << "\nPASSW=" << EncodePWDEx(db.PASSWORD) << "\n";
    const auto row = [](const char* time, const char* v) {
        return test::CsvRow("05/12/26", time, "I", {v, "0", "0", "0", "0", "0"});
    };
    const auto stored = [&] {
        std::string text;
        for (const auto& r : Stored())
            text += r[0] + " " + (r[0] == "M1" ? r[2] + "=" + r[4] + "/" + r[10] : r[1]) + ", ";
        return text;
    };

    // The table locked, the upload waits; the program, past its run's end
    // (its status file) and its 3 s to the close, waits for the upload.
    client.Run("LOCK TABLES `" + schema + "`.quorvanta WRITE");
    const std::string first = test::ReadingsFile(
        dir, "M1", {row("00:15", "100"), row("00:30", "200"), row("00:45", "300")});
    const auto plain = Start({"-INI", ini, "-CSV", dir, "-DBUPLOAD", first});
    for (int i = 0; i < 600 && !fs::exists(dir + "/quorvanta_STATUSLOG.CSV"); ++i)
        std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(plain->Wait(seconds(6)), std::nullopt) << "closed while an upload was running";
    client.Run("UNLOCK TABLES");
    EXPECT_EQ(plain->Wait(seconds(60)), 0);
    // The writer thread's count reaches the log file through the window.
    EXPECT_NE(ReadFile(dir + "/quorvanta.LOG").find("SE SUBIRAN 3 DATOS...\r\n"),
              std::string::npos);
    // A command line refused whole: the upload it names before the fault never starts.
    const std::string storedBefore = stored();
    EXPECT_EQ(Start({"-INI", ini, "-DBUPLOAD", first, "-BOGUS"})->Wait(seconds(60)),
              ExitInitFailed);
    EXPECT_EQ(stored(), storedBefore);

    // Unique mode, asked for anywhere on the command line in any case: a key
    // is updated, one whose reading is marked as an error kept, a new one
    // added; the run's own readings (meter OPCÑ, typed in UTF-8) go to the
    // database too, in its Latin-1.
    const std::string second = test::ReadingsFile(
        dir, "M1", {row("00:15", "111"), row("00:30", "- "), row("01:00", "400")});
    EXPECT_EQ(Start({"-dbUnique", "-INI", ini, "-DB", dir, "-DBUPLOAD", second}, "101-1-7-OPCÑ")
                  ->Wait(seconds(60)),
              0);
    EXPECT_EQ(stored(),
              "OPC\xD1 2026-06-10, OPC\xD1 2026-06-11, OPC\xD1 2026-06-12, M1 00:15:00=111/0, "
              "M1 00:30:00=200/0, M1 00:45:00=300/0, M1 01:00:00=400/0, ");

    // Named without meters: no link, the upload's result, also with -NOSTART; cut
    // by SIGTERM while the table is locked: a failed upload, the file kept.
    const auto alone = [&](const std::string& file) {
        return test::Program(test::ProgramCopy(dir), cwd(),
                             {"-INI", ini, "-NOSTART", "-DBUPLOAD", file});
    };
    EXPECT_EQ(alone(first).Wait(seconds(60)), 0);
    client.Run("LOCK TABLES `" + schema + "`.quorvanta WRITE");
    test::Program cut = alone(first);
    EXPECT_EQ(cut.Wait(seconds(5)), std::nullopt);
    kill(cut.pid(), SIGTERM);
    EXPECT_EQ(cut.Wait(seconds(30)), ExitOutputLost);
    client.Run("UNLOCK TABLES");
    EXPECT_NE(Log().find("INTERRUMPIDA AL CERRAR EL PROGRAMA: 0 DE 3 DATOS"), std::string::npos);
    EXPECT_EQ(LastExitCode(), ExitOutputLost);
    EXPECT_TRUE(fs::exists(first));
    // A meter without an OPC code is not read, nor one whose name Latin-1
    // cannot hold: the table could not name their readings.
    EXPECT_EQ(Start({"-INI", ini, "-DB", dir})->Wait(seconds(60)), ExitInitFailed);
    EXPECT_EQ(Start({"-INI", ini, "-DB", dir}, "101-1-7-M\u20AC")->Wait(seconds(60)),
              ExitInitFailed);
}

TEST_F(ProgramExport, FtpRunClosesAfterTheUploadEnded) {
    // A server that never greets: the upload ends at its 10 s login deadline,
    // long after the run, and the program waits for it, then reports the readings
    // as not handed on. The readings stay.
    test::LoopbackListener silent;
    const std::string target = "u:p@127.0.0.1:" + std::to_string(silent.port()) + "/x/";
    EXPECT_EQ(Start({"-FTP", target})->Wait(seconds(90)), ExitOutputLost);
    EXPECT_NE(Log().find("- IMPOSIBLE CONECTAR/ENVIAR FICHERO"), std::string::npos);
    EXPECT_EQ(LastExitCode(), ExitOutputLost);  // after the run's 0
    // Stopped after the run while the upload waits: a failed upload, the file kept.
    const std::size_t from = Log().size();
    const auto stopped = Start({"-FTP", target});
    while (Log().find("EXIT CODE: 0", from) == std::string::npos &&
           !stopped->Wait(milliseconds(100))) {
    }
    kill(stopped->pid(), SIGTERM);
    EXPECT_EQ(stopped->Wait(seconds(30)), ExitOutputLost);
    EXPECT_NE(Log().find("FTP ! - SUBIDA INTERRUMPIDA AL CERRAR EL PROGRAMA"), std::string::npos);
    const std::string local = cwd() + "/" + CsvFileName(101, LocalToday());
    EXPECT_TRUE(fs::remove(local)) << local;

    // As a URL, and with a user, password and folder beyond ASCII as typed.
    const std::string server = "@127.0.0.1:" + test::RequireEnv("QV_FTP_PORT") + "/";
    // The last item: the password as the log's letters would show it.
    const std::tuple<std::string, std::string, const char*, std::string> logins[] = {
        {"ftp://" + test::RequireEnv("QV_FTP_USER") + ":", "QV_FTP_PASS", "up",
         UpperAscii(test::RequireEnv("QV_FTP_PASS"))},
        {test::RequireEnv("QV_FTP_UTF8_USER") + ":", "QV_FTP_UTF8_PASS", "año € ", "P 5-W RD"},
    };
    for (const auto& [user, pass, folder, shown] : logins) {
        const std::string name = folder + std::to_string(getpid());
        const std::string remote = test::RequireEnv("QV_FTP_ROOT") + "/" + name;
        fs::create_directory(remote);
        fs::permissions(remote, fs::perms::all);  // the server's sessions run as nobody
        EXPECT_EQ(Start({"-FTP", user + test::RequireEnv(pass.c_str()) + server + name + "/"})
                      ->Wait(seconds(90)),
                  0)
            << name;
        // Arrived whole (header and three closures) under its name; the local copy
        // went with it.
        const std::string text = ReadFile(remote + "/" + fs::path(local).filename().string());
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << name;
        EXPECT_FALSE(fs::exists(local));
        EXPECT_EQ(Log().find(shown), std::string::npos);
        fs::remove_all(remote);
    }

    // A password in any form is shown neither in the log nor on stderr; a
    // target that cannot be read stops the run before any link opens. The log
    // and status files are not world-readable.
    const std::string closed = std::to_string(test::LoopbackListener().port());
    const std::pair<std::string, int> targets[] = {
        {"qvuser:s3cr/et", ExitInitFailed},
        {"sftp://qvuser:s3cr/et@127.0.0.1/x/", ExitInitFailed},
        {"ftp://qvuser:s3cr/et@127.0.0.1:" + closed + "/x/", ExitOutputLost},
        {"qvuser:s3cr/et@127.0.0.1:" + closed + "/x/", ExitOutputLost},
    };
    for (const auto& [target, code] : targets) {
        const std::string out = dir + "/out.txt";
        EXPECT_EQ(Start({"-FTP", target}, "101-1-7", out)->Wait(seconds(60)), code) << target;
        for (const std::string& text : {Log(), ReadFile(out)})
            EXPECT_EQ(UpperAscii(text).find("S3CR"), std::string::npos) << target << "\n" << text;
    }
    for (const char* file : {"/quorvanta.LOG", "/quorvanta_STATUSLOG.CSV"})
        EXPECT_EQ(int(fs::status(dir + file).permissions()), 0640) << file;
}

}  // namespace
}  // namespace qv

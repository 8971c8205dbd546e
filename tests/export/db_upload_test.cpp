// Uploads against the MariaDB test server.
#include <gtest/gtest.h>

#include <thread>

#include "export/export_harness.h"
#include "export/sql_rows.h"
#include "support/loopback_peer.h"

namespace qv {
namespace {

using Table = std::vector<std::vector<std::string>>;
const std::string kEnd = "G  - DESCONECTADO DE LA BASE DE DATOS...\n";

using DbUpload = test::UploadTest;

// Rows are inserted one by one; a placeholder row and a short line give none;
// the first failing statement (a date the server refuses) ends the upload.
TEST_F(DbUpload, WholeFileIsInsertedRowByRowUpToTheFirstFailure) {
    int lost = 0;
    h.output.UploadFailed = [&] { ++lost; };
    const std::string log = Upload(
        "M1",
        {test::CsvRow("05/12/26", "00:15", "Invierno", {"-1", "2", "3", "4", "5", "6"}),
         test::CsvRow(";", "", "Invierno", {"- ", "- ", "- ", "- ", "- ", "- "}), "garbage;line",
         test::CsvRow("05/12/26", "00:30", "Verano", {"7", "- ", "9", "10", "11", "12"}),
         test::CsvRow("31/02/26", "00:15", "Invierno", {"1", "1", "1", "1", "1", "1"}),
         test::CsvRow("06/12/26", "00:15", "Invierno", {"1", "1", "1", "1", "1", "1"})},
        false);
    EXPECT_NE(log.find("Y  - SE SUBIRAN 4 DATOS...\n"), std::string::npos) << log;
    EXPECT_NE(log.find("R  - ERROR EN LA BASE DE DATOS  - INCORRECT DATE VALUE: '2026-02-31'"),
              std::string::npos)
        << log;
    EXPECT_TRUE(log.ends_with(kEnd)) << log;
    EXPECT_EQ(Stored(),
              (Table{{"M1", "2026-12-05", "00:15:00", "I", "-1", "2", "3", "5", "4", "6", "0"},
                     {"M1", "2026-12-05", "00:30:00", "V", "7", "0", "9", "11", "10", "12", "1"}}));
    EXPECT_EQ(lost, 1);
}

// Quotes, backslashes, semicolons and Latin-1 letters in the meter name and the schema name are
// stored as written; unique mode reads and writes the configured schema only (the
// row of a reading with an error kept: the program's own unique upload).
TEST_F(DbUpload, UniqueModeUpdatesAndInsertsUnderOddNames) {
    const std::string odd = schema + "`'\\;";
    const std::string name = "O'B\\\"X\"; DROP TABLE quorvanta; -- \xD1";  // Latin-1 too
    client.FreshTable(odd);
    h.output.Settings.DATA_BASE = odd;
    Upload(name, {test::CsvRow("05/12/26", "00:15", "Invierno", {"1", "2", "3", "4", "5", "6"})},
           false);
    Upload(name,
           {test::CsvRow("05/12/26", "00:15", "Verano", {"10", "20", "30", "40", "50", "60"}),
            test::CsvRow("05/12/26", "00:45", "Invierno", {"7", "7", "7", "7", "7", "- "})},
           true);
    // The update changes the six energies only (the season stays).
    EXPECT_EQ(Stored(odd),
              (Table{{name, "2026-12-05", "00:15:00", "I", "10", "20", "30", "50", "40", "60", "0"},
                     {name, "2026-12-05", "00:45:00", "I", "7", "7", "7", "7", "7", "0", "1"}}));
    EXPECT_TRUE(Stored().empty());
    client.Drop(odd);
}

// Wrong password, nothing listening, a server that never answers: each ends
// with the red line and the disconnection, within the connection's waits.
// Closing the program while a statement waits on a locked table, or while the
// connection waits for a server that never answers, does not wait for them.
TEST_F(DbUpload, ConnectionFailuresAndStopsEndInBoundedTime) {
    test::LoopbackListener silent;
    const uint16_t closedPort = test::LoopbackListener().port();
    const DbSettings good = h.output.Settings;
    const struct {
        std::string password, port, text;
    } cases[] = {
        {"wrong", good.PUERTO, "ACCESS DENIED FOR USER 'QVTEST'@'127.0.0.1' (USING PASSWORD: YES)"},
        {good.PASSWORD, std::to_string(closedPort), "CAN'T CONNECT TO SERVER ON '127.0.0.1'"},
        {good.PASSWORD, std::to_string(silent.port()), "LOST CONNECTION TO SERVER AT 'HANDSHAKE: "},
    };
    for (const auto& c : cases) {
        h.output.Settings.PASSWORD = c.password;
        h.output.Settings.PUERTO = c.port;
        h.output.TestConnection();
        ASSERT_TRUE(h.WaitIdle(std::chrono::seconds(20))) << h.Log();
        const std::string log = h.Log(true);
        EXPECT_NE(log.find("R  - NO SE HA PODIDO ENCONTRAR EL SERVIDOR! - " + c.text),
                  std::string::npos)
            << log;
        EXPECT_TRUE(log.ends_with(kEnd)) << log;
    }

    client.Run("LOCK TABLES " + QuoteIdentifier(schema) + ".quorvanta WRITE");
    const std::string file = test::ReadingsFile(
        dir, "M1", {test::CsvRow("05/12/26", "00:15", "I", {"1", "2", "3", "4", "5", "6"})});
    for (const std::string& port : {good.PUERTO, std::to_string(silent.port())}) {
        auto out = std::make_unique<SqlOutput>(h.executor, h.receiver.target(), nullptr);
        out->Settings = good;
        out->Settings.PUERTO = port;
        out->Settings.ConnectTimeoutSeconds = out->Settings.ReadTimeoutSeconds = 60;
        out->Subir_a_base(file, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto start = std::chrono::steady_clock::now();
        out.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << port;
    }
    client.Run("UNLOCK TABLES");
}

}  // namespace
}  // namespace qv

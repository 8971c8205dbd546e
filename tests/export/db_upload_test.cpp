// Uploads against the MariaDB test server.
#include <gtest/gtest.h>

#include <filesystem>

#include "export/export_harness.h"
#include "export/sql_rows.h"
#include "support/loopback_peer.h"
#include "support/test_env.h"

namespace qv {
namespace {

using Lines = std::vector<std::pair<std::string, int32_t>>;
using Table = std::vector<std::vector<std::string>>;
const std::string kColumns =
    "SELECT NOMBRE, METER_DATE, METER_TIME, HORARIO, E_ACTIVA_POS, E_ACTIVA_NEG, "
    "E_REACTIVA_L_POS, E_REACTIVA_L_NEG, E_REACTIVA_C_POS, E_REACTIVA_C_NEG, COD_ERROR FROM ";

class DbUpload : public ::testing::Test {
  protected:
    void SetUp() override {
        h.output.Settings = test::DbSettingsFromEnv();
        schema = h.output.Settings.DATA_BASE;
        client.FreshTable(schema);
        dir = test::makeTempDir("qv_db_upload");
    }
    void TearDown() override {
        std::filesystem::remove_all(dir);
        client.Drop(schema);
    }

    // Uploads a readings file of meter `name` and waits for the upload's end.
    void Upload(const std::string& name, const std::vector<std::string>& rows, bool unique) {
        std::vector<std::string> lines{"OPC_ID : " + name, test::kHeader};
        lines.insert(lines.end(), rows.begin(), rows.end());
        h.lines.clear();
        h.output.Subir_a_base(test::WriteFile(dir, "1_26_12_05.CSV", lines), unique);
        ASSERT_TRUE(h.WaitIdle()) << h.Log();
    }
    Table Stored(const std::string& in) {
        return client.Rows(kColumns + QuoteIdentifier(in) +
                           ".quorvanta ORDER BY METER_DATE, METER_TIME");
    }

    test::ExportHarness h;
    test::SqlClient client;
    std::string schema, dir;
};

const std::string kStart = " - INICIANDO COMUNICACION CON BASE DE DATOS...";
const std::string kContact = " - CONTACTANDO SERVIDOR DE BASES DE DATOS !";
const std::string kReached = " - SERVIDOR DE BASES DE DATOS CONTACTADO DE FORMA EXITOSA !";
const std::string kEnd = " - DESCONECTADO DE LA BASE DE DATOS...";

TEST_F(DbUpload, WholeFileIsInsertedRowByRowAndTheFileStays) {
    Upload("M1",
           {test::CsvRow("05/12/26", "00:15", "Invierno", {"1", "2", "3", "4", "5", "6"}),
            test::CsvRow(";", "", "Invierno", {"- ", "- ", "- ", "- ", "- ", "- "}), "garbage;line",
            test::CsvRow("05/12/26", "00:30", "Verano", {"7", "- ", "9", "10", "11", "12"}),
            test::CsvRow("06/12/26", "00:00", "Invierno", {"-1", "0", "0", "0", "0", "0"})},
           false);
    EXPECT_EQ(h.lines, (Lines{{kStart, colour::Yellow},
                              {kContact, colour::White},
                              {kReached, colour::Green},
                              {" - SE SUBIRAN 3 DATOS...", colour::Yellow},
                              {" -   INSERTADO DATO  1", colour::White},
                              {" -   INSERTADO DATO  2", colour::White},
                              {" -   INSERTADO DATO  3", colour::White},
                              {kEnd, colour::Green}}));
    EXPECT_EQ(Stored(schema),
              (Table{{"M1", "2026-12-05", "00:15:00", "I", "1", "2", "3", "5", "4", "6", "0"},
                     {"M1", "2026-12-05", "00:30:00", "V", "7", "0", "9", "11", "10", "12", "1"},
                     {"M1", "2026-12-06", "00:00:00", "I", "-1", "0", "0", "0", "0", "0", "0"}}));
    EXPECT_TRUE(std::filesystem::exists(dir + "/1_26_12_05.CSV"));
}

// Quotes, backslashes and semicolons in the meter name and the schema name are
// stored as written; unique mode reads and writes the configured schema only.
TEST_F(DbUpload, UniqueModeInsertsUpdatesAndKeepsRowsOfReadingsWithErrors) {
    const std::string odd = schema + "`'\\;";
    const std::string name = "O'B\\\"X\"; DROP TABLE quorvanta; --";
    client.FreshTable(odd);
    h.output.Settings.DATA_BASE = odd;
    Upload(name,
           {test::CsvRow("05/12/26", "00:15", "Invierno", {"1", "2", "3", "4", "5", "6"}),
            test::CsvRow("05/12/26", "00:30", "Invierno", {"1", "1", "1", "1", "1", "1"})},
           false);
    Upload(name,
           {test::CsvRow("05/12/26", "00:15", "Verano", {"10", "20", "30", "40", "50", "60"}),
            test::CsvRow("05/12/26", "00:30", "Invierno", {"- ", "9", "9", "9", "9", "9"}),
            test::CsvRow("05/12/26", "00:45", "Invierno", {"7", "7", "7", "7", "7", "- "})},
           true);
    EXPECT_EQ(h.lines,
              (Lines{{kStart, colour::Yellow},
                     {kContact, colour::White},
                     {kReached, colour::Green},
                     {" - SE SUBIRAN 3 DATOS...", colour::Yellow},
                     {" -   ACTUALIZADO DATO  1", colour::White},
                     {" -   NO SE ACTUALIZA DATO CON CODIGO DE ERROR '1');", colour::White},
                     {" -   INSERTADO DATO  3", colour::White},
                     {kEnd, colour::Green}}));
    // The update changes the six energies only (the season stays).
    EXPECT_EQ(Stored(odd),
              (Table{{name, "2026-12-05", "00:15:00", "I", "10", "20", "30", "50", "40", "60", "0"},
                     {name, "2026-12-05", "00:30:00", "I", "1", "1", "1", "1", "1", "1", "0"},
                     {name, "2026-12-05", "00:45:00", "I", "7", "7", "7", "7", "7", "0", "1"}}));
    EXPECT_TRUE(Stored(schema).empty());
    client.Drop(odd);
}

TEST_F(DbUpload, FirstFailingStatementStopsTheUpload) {
    Upload("M1",
           {test::CsvRow("05/12/26", "00:15", "Invierno", {"1", "2", "3", "4", "5", "6"}),
            test::CsvRow("31/02/26", "00:30", "Invierno", {"1", "2", "3", "4", "5", "6"}),
            test::CsvRow("05/12/26", "00:45", "Invierno", {"1", "2", "3", "4", "5", "6"})},
           false);
    ASSERT_EQ(h.lines.size(), 7u) << h.Log();
    EXPECT_EQ(h.lines[4], std::make_pair(std::string(" -   INSERTADO DATO  1"), colour::White));
    EXPECT_EQ(h.lines[5].first.rfind(" - ERROR EN LA BASE DE DATOS  - INCORRECT DATE VALUE", 0), 0u)
        << h.lines[5].first;
    EXPECT_EQ(h.lines[5].second, colour::Red);
    EXPECT_EQ(h.lines[6].first, kEnd);
    EXPECT_EQ(Stored(schema).size(), 1u);
}

// Wrong password, nothing listening, a server that never answers: each ends
// with the red line and the disconnection, within the connection's waits.
TEST_F(DbUpload, ConnectionFailuresEndTheUploadInBoundedTime) {
    test::LoopbackListener silent;
    uint16_t closedPort = 0;
    {
        test::LoopbackListener gone;
        closedPort = gone.port();
    }
    const DbSettings good = h.output.Settings;
    const struct {
        std::string password, port, text;
    } cases[] = {
        {"wrong", good.PUERTO, "ACCESS DENIED FOR USER"},
        {good.PASSWORD, std::to_string(closedPort), "CAN'T CONNECT TO SERVER ON '127.0.0.1'"},
        {good.PASSWORD, std::to_string(silent.port()), "LOST CONNECTION"},
    };
    for (const auto& c : cases) {
        h.output.Settings.PASSWORD = c.password;
        h.output.Settings.PUERTO = c.port;
        h.lines.clear();
        h.output.TestConnection();
        ASSERT_TRUE(h.WaitIdle(std::chrono::seconds(20))) << h.Log();
        ASSERT_EQ(h.lines.size(), 4u) << h.Log();
        const std::string prefix = " - NO SE HA PODIDO ENCONTRAR EL SERVIDOR! - ";
        EXPECT_EQ(h.lines[2].first.rfind(prefix, 0), 0u) << h.Log();
        EXPECT_NE(h.lines[2].first.find(c.text), std::string::npos) << h.Log();
        EXPECT_EQ(h.lines[2].second, colour::Red);
        EXPECT_EQ(h.lines[3], std::make_pair(kEnd, colour::Green));
    }
}

}  // namespace
}  // namespace qv

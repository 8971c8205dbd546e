#include "export/export_harness.h"

#include <mysql.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "export/sql_rows.h"
#include "support/test_env.h"

namespace qv::test {

std::string RequireEnv(const char* name) {
    const char* v = std::getenv(name);
    if (!v || !*v) {
        ADD_FAILURE() << name
                      << " is not set: run the suite through scripts/test, which starts the "
                         "MariaDB and sshd test servers (scripts/services) and exports it";
        throw std::runtime_error(std::string("missing ") + name);
    }
    return v;
}

DbSettings DbSettingsFromEnv() {
    DbSettings s;
    s.HOST_NAME = RequireEnv("QV_MYSQL_HOST");
    s.PUERTO = RequireEnv("QV_MYSQL_PORT");
    s.USER_NAME = RequireEnv("QV_MYSQL_USER");
    s.PASSWORD = RequireEnv("QV_MYSQL_PASSWORD");
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    s.DATA_BASE = RequireEnv("QV_MYSQL_SCHEMA") + "_" +
                  std::to_string(std::hash<std::string>()(std::string(test->test_suite_name()) +
                                                          "." + test->name()) %
                                 1000000);
    s.ConnectTimeoutSeconds = s.ReadTimeoutSeconds = 3;
    return s;
}

std::string CsvRow(const std::string& date, const std::string& time, const std::string& season,
                   const std::vector<std::string>& abs) {
    std::string row = date + ";" + time + ";" + season + ";";
    for (const std::string& v : abs) row += v + "; ";
    for (int i = 0; i < 6; ++i) row += "0; ";
    return row;
}

std::string WriteFile(const std::string& dir, const std::string& name,
                      const std::vector<std::string>& lines) {
    std::string path = dir + "/" + name;
    std::ofstream out(path, std::ios::binary);
    for (const std::string& l : lines) out << l << "\r\n";
    return path;
}

std::string ReadingsFile(const std::string& dir, const std::string& meter,
                         const std::vector<std::string>& rows) {
    std::vector<std::string> lines{"OPC_ID : " + meter, kHeader};
    lines.insert(lines.end(), rows.begin(), rows.end());
    return WriteFile(dir, std::to_string(std::hash<std::string>()(meter)) + ".CSV", lines);
}

ExportHarness::ExportHarness()
    : receiver(executor,
               [this](int, std::unique_ptr<MessagePayload> p) {
                   if (auto* t = dynamic_cast<Tmensaje_TXT*>(p.get()))
                       lines.emplace_back(t->Text, t->Value);
               }),
      output(executor, receiver.target(),
             [this](const std::string& text, int32_t c) { lines.emplace_back(text, c); }) {}

bool ExportHarness::WaitIdle(std::chrono::seconds timeout, const SqlOutput* out) {
    if (!out) out = &output;
    return executor.runUntil([out] { return out->RunningUploads() == 0; }, timeout);
}

std::string ExportHarness::Log(bool clear) {
    std::string all;
    for (const auto& [text, c] : lines) {
        all += c == colour::White    ? 'W'
               : c == colour::Yellow ? 'Y'
               : c == colour::Green  ? 'G'
                                     : 'R';
        all += " " + text + "\n";
    }
    if (clear) lines.clear();
    return all;
}

SqlClient::SqlClient() {
    mysql_ = mysql_init(nullptr);
    unsigned tcp = MYSQL_PROTOCOL_TCP;
    mysql_optionsv(mysql_, MYSQL_OPT_PROTOCOL, &tcp);
    mysql_optionsv(mysql_, MYSQL_SET_CHARSET_NAME, "latin1");
    if (!mysql_real_connect(mysql_, RequireEnv("QV_MYSQL_HOST").c_str(),
                            RequireEnv("QV_MYSQL_USER").c_str(),
                            RequireEnv("QV_MYSQL_PASSWORD").c_str(), nullptr,
                            std::stoi(RequireEnv("QV_MYSQL_PORT")), nullptr, 0))
        throw std::runtime_error(std::string("test client: ") + mysql_error(mysql_));
}

SqlClient::~SqlClient() {
    mysql_close(mysql_);
}

std::vector<std::vector<std::string>> SqlClient::Run(const std::string& sql) {
    if (mysql_query(mysql_, sql.c_str()))
        throw std::runtime_error("test client: " + sql + ": " + mysql_error(mysql_));
    std::vector<std::vector<std::string>> rows;
    MYSQL_RES* res = mysql_store_result(mysql_);
    if (!res) return rows;
    unsigned n = mysql_num_fields(res);
    while (MYSQL_ROW r = mysql_fetch_row(res)) {
        std::vector<std::string> row;
        for (unsigned i = 0; i < n; ++i) row.emplace_back(r[i] ? r[i] : "NULL");
        rows.push_back(std::move(row));
    }
    mysql_free_result(res);
    return rows;
}

void SqlClient::Drop(const std::string& schema) {
    Run("DROP DATABASE IF EXISTS " + QuoteIdentifier(schema));
}

void SqlClient::FreshTable(const std::string& schema) {
    const std::string s = QuoteIdentifier(schema);
    Drop(schema);
    Run("CREATE DATABASE " + s);
    Run("CREATE TABLE " + s +
        ".quorvanta (NOMBRE VARCHAR(255) NOT NULL, METER_DATE DATE, METER_TIME TIME,"
        " HORARIO CHAR(1), E_ACTIVA_POS BIGINT, E_ACTIVA_NEG BIGINT, E_REACTIVA_L_POS BIGINT,"
        " E_REACTIVA_L_NEG BIGINT, E_REACTIVA_C_POS BIGINT, E_REACTIVA_C_NEG BIGINT,"
        " COD_ERROR INT, KEY (NOMBRE, METER_DATE, METER_TIME, HORARIO)) ENGINE=InnoDB");
}

void UploadTest::SetUp() {
    h.output.Settings = DbSettingsFromEnv();
    schema = h.output.Settings.DATA_BASE;
    client.FreshTable(schema);
    dir = makeTempDir("qv_upload");
}

void UploadTest::TearDown() {
    std::filesystem::remove_all(dir);
    client.Drop(schema);
}

std::string UploadTest::Upload(const std::string& meter, const std::vector<std::string>& rows,
                               bool unique) {
    h.output.Subir_a_base(ReadingsFile(dir, meter, rows), unique);
    EXPECT_TRUE(h.WaitIdle());
    return h.Log(true);
}

void UploadTest::NonStrict() {
    // init_connect runs for users without SUPER only; the test user has SUPER,
    // and may not grant, but may write the grant tables.
    client.Run("CREATE USER IF NOT EXISTS 'qvlax'@'127.0.0.1' IDENTIFIED BY 'qv-lax'");
    client.Run("REPLACE INTO mysql.db SET Host = '127.0.0.1', User = 'qvlax', Db = '" + schema +
               "', Select_priv = 'Y', Insert_priv = 'Y', Update_priv = 'Y'");
    client.Run("FLUSH PRIVILEGES");
    client.Run(
        "SET GLOBAL init_connect = 'SET sql_mode = IF(CURRENT_USER() LIKE ''qvlax@%'', "
        "'''', @@sql_mode)'");
    h.output.Settings.USER_NAME = "qvlax";
    h.output.Settings.PASSWORD = "qv-lax";
}

// The summer hour comes first on the day summer time ends.
std::vector<std::vector<std::string>> UploadTest::Stored(std::string in) {
    return client.Run("SELECT * FROM " + QuoteIdentifier(in.empty() ? schema : in) +
                      ".quorvanta ORDER BY METER_DATE, METER_TIME, HORARIO DESC");
}

}  // namespace qv::test

// Uploads a year of one meter's quarter-hourly rows (35,040 by default; the
// first argument changes it) in normal mode through the program's upload, then
// the same rows as one autocommitted INSERT per row by a minimal client loop on
// the same connection settings, then through LOAD DATA LOCAL INFILE, all on the
// MariaDB server named by QV_MYSQL_HOST, QV_MYSQL_PORT, QV_MYSQL_USER,
// QV_MYSQL_PASSWORD and QV_MYSQL_SCHEMA (scripts/services/mariadb.sh starts one).
// Prints rows/s of each (best of three rounds) and the ratio of the upload to
// the minimal loop.
#include <mysql.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "export/sql_output.h"
#include "export/sql_rows.h"
#include "platform/main_executor.h"
#include "platform/worker_message.h"

using namespace qv;
using Clock = std::chrono::steady_clock;

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    if (!v || !*v) {
        std::fprintf(stderr, "%s is not set (start scripts/services/mariadb.sh first)\n", name);
        std::exit(2);
    }
    return v;
}

MYSQL* Connect(const std::string& schema) {
    MYSQL* m = mysql_init(nullptr);
    unsigned tcp = MYSQL_PROTOCOL_TCP, timeout = 30;
    my_bool local = 1;
    mysql_optionsv(m, MYSQL_OPT_PROTOCOL, &tcp);
    mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_optionsv(m, MYSQL_OPT_READ_TIMEOUT, &timeout);
    mysql_optionsv(m, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
    mysql_optionsv(m, MYSQL_OPT_LOCAL_INFILE, &local);
    if (!mysql_real_connect(m, Env("QV_MYSQL_HOST").c_str(), Env("QV_MYSQL_USER").c_str(),
                            Env("QV_MYSQL_PASSWORD").c_str(),
                            schema.empty() ? nullptr : schema.c_str(),
                            std::stoi(Env("QV_MYSQL_PORT")), nullptr, 0)) {
        std::fprintf(stderr, "connect: %s\n", mysql_error(m));
        std::exit(2);
    }
    mysql_autocommit(m, 1);
    return m;
}

void Run(MYSQL* m, const std::string& sql) {
    if (mysql_query(m, sql.c_str())) {
        std::fprintf(stderr, "%s: %s\n", sql.c_str(), mysql_error(m));
        std::exit(2);
    }
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int rowCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 35040;
    const std::string schema = Env("QV_MYSQL_SCHEMA") + "_bench";
    const std::string table = QuoteIdentifier(schema) + ".quorvanta";
    MYSQL* admin = Connect("");
    Run(admin, "DROP DATABASE IF EXISTS " + QuoteIdentifier(schema));
    Run(admin, "CREATE DATABASE " + QuoteIdentifier(schema));
    Run(admin, "CREATE TABLE " + table +
                   " (NOMBRE VARCHAR(255) NOT NULL, METER_DATE DATE, METER_TIME TIME,"
                   " HORARIO CHAR(1), E_ACTIVA_POS BIGINT, E_ACTIVA_NEG BIGINT,"
                   " E_REACTIVA_L_POS BIGINT, E_REACTIVA_L_NEG BIGINT, E_REACTIVA_C_POS BIGINT,"
                   " E_REACTIVA_C_NEG BIGINT, COD_ERROR INT, KEY (NOMBRE, METER_DATE, METER_TIME))"
                   " ENGINE=InnoDB");

    // The readings file of one meter: quarter hours from 1 January 2026.
    char dirTemplate[] = "/tmp/qv_bench_dbXXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    const std::string csv = dir + "/1_26_12_31.CSV";
    {
        std::ofstream out(csv, std::ios::binary);
        out << "OPC_ID : BENCH\r\nFECHA; HORA; HORARIO; ...\r\n";
        static const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        int month = 0, day = 1, quarter = 1;
        for (int i = 0; i < rowCount; ++i, ++quarter) {
            if (quarter == 96) {
                quarter = 0;
                if (++day > kMonthDays[month]) day = 1, month = (month + 1) % 12;
            }
            char line[160];
            std::snprintf(
                line, sizeof line,
                "%02d/%02d/26;%02d:%02d;Invierno;%d; 0; %d; 0; %d; 0; 5; 0; 1; 0; 0; 0; \r\n", day,
                month + 1, quarter / 4, quarter % 4 * 15, 1000 + i * 5, 300 + i, i % 7);
            out << line;
        }
    }
    std::vector<SqlRow> rows;
    ReadReadingsFile(csv, rows,
                     [](const std::string& l) { std::fprintf(stderr, "%s\n", l.c_str()); });

    // The program's upload: the file read, parsed and written by the writer thread,
    // its log lines handled by the main thread as the main window would.
    LoopExecutor executor;
    long logLines = 0;
    MessageReceiver receiver(executor, [&](int, std::unique_ptr<MessagePayload>) { ++logLines; });
    SqlOutput output(executor, receiver.target(), [&](const std::string&, int32_t) { ++logLines; });
    output.Settings.HOST_NAME = Env("QV_MYSQL_HOST");
    output.Settings.PUERTO = Env("QV_MYSQL_PORT");
    output.Settings.USER_NAME = Env("QV_MYSQL_USER");
    output.Settings.PASSWORD = Env("QV_MYSQL_PASSWORD");
    output.Settings.DATA_BASE = schema;
    output.Settings.ReadTimeoutSeconds = 30;
    MYSQL* m = Connect(schema);
    const std::string tsv = dir + "/rows.tsv";
    {
        std::ofstream out(tsv, std::ios::binary);
        for (const SqlRow& r : rows) {
            const char* sep = "";
            for (const std::string& v : r.InsertValues()) out << sep << v, sep = "\t";
            out << "\n";
        }
    }
    // Best of a few rounds, the three ways taking turns, so that a busy
    // machine weighs on all of them alike.
    double ours = 1e9, minimal = 1e9, load = 1e9;
    std::string sql, escaped;
    for (int round = 0; round < 3; ++round) {
        Run(admin, "TRUNCATE TABLE " + table);
        auto start = Clock::now();
        output.Subir_a_base(csv, false);
        executor.runUntil([&] { return output.RunningUploads() == 0; }, std::chrono::hours(2));
        ours = std::min(ours, Seconds(start));

        // The minimal loop: one INSERT text per row, values escaped, autocommit.
        Run(admin, "TRUNCATE TABLE " + table);
        start = Clock::now();
        for (const SqlRow& r : rows) {
            sql = "INSERT INTO " + table + " VALUES (";
            const char* sep = "";
            for (const std::string& v : r.InsertValues()) {
                escaped.resize(v.size() * 2 + 1);
                escaped.resize(mysql_real_escape_string(m, escaped.data(), v.data(), v.size()));
                sql.append(sep).append(1, '\'').append(escaped).append(1, '\'');
                sep = ",";
            }
            Run(m, sql + ")");
        }
        minimal = std::min(minimal, Seconds(start));

        // LOAD DATA LOCAL INFILE of the same rows, one tab-separated line each.
        Run(admin, "TRUNCATE TABLE " + table);
        start = Clock::now();
        Run(m, "LOAD DATA LOCAL INFILE '" + tsv + "' INTO TABLE " + table);
        load = std::min(load, Seconds(start));
    }

    MYSQL_RES* res = (Run(admin, "SELECT COUNT(*) FROM " + table), mysql_store_result(admin));
    const std::string loaded = mysql_fetch_row(res)[0];
    mysql_free_result(res);
    Run(admin, "DROP DATABASE " + QuoteIdentifier(schema));
    mysql_close(m);
    mysql_close(admin);
    unlink(csv.c_str());
    unlink(tsv.c_str());
    rmdir(dir.c_str());

    const double n = double(rows.size());
    std::printf("rows: %zu (LOAD DATA loaded %s), log lines of the upload: %ld\n", rows.size(),
                loaded.c_str(), logLines);
    std::printf("upload (normal mode):       %10.0f rows/s  %7.2f s\n", n / ours, ours);
    std::printf("minimal INSERT loop:        %10.0f rows/s  %7.2f s\n", n / minimal, minimal);
    std::printf("LOAD DATA LOCAL INFILE:     %10.0f rows/s  %7.2f s\n", n / load, load);
    std::printf("upload / minimal loop:      %10.2f (target 0.9 or better)\n", minimal / ours);
    return 0;
}

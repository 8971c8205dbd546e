#pragma once
// Shared pieces of the export suites: the settings of the test servers from
// the environment scripts/test exports, an output whose log lines are
// collected in order, readings files, and a plain client to look at the table.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "export/sql_output.h"
#include "platform/main_executor.h"
#include "platform/worker_message.h"

namespace qv::test {

// The value of a QV_* variable; the calling test fails with the reason when it is missing.
std::string RequireEnv(const char* name);

// The database boxes pointed at the MariaDB test server (fails the test when
// the server's variables are missing), with a schema of the running test's own
// so that tests can run at once.
DbSettings DbSettingsFromEnv();

const std::string kHeader =
    "FECHA; HORA; HORARIO; ABS ACTIVA (+); ABS ACTIVA (-);ABS REACTIVA 1ER. CUADRANTE; ABS "
    "REACTIVA 2DO CUADRANTE;ABS REACTIVA 3ER CUADRANTE; ABS REACTIVA 4TO CUADRANTE;INC ACTIVA (+); "
    "INC ACTIVA (-);INC REACTIVA 1ER. CUADRANTE; INC REACTIVA 2DO CUADRANTE;INC REACTIVA 3ER "
    "CUADRANTE; INC REACTIVA 4TO CUADRANTE";

// A data row as the CSV file writes it; `abs` are the six absolute fields.
std::string CsvRow(const std::string& date, const std::string& time, const std::string& season,
                   const std::vector<std::string>& abs);
// Writes `lines` (CR LF endings) to dir/name and returns the path.
std::string WriteFile(const std::string& dir, const std::string& name,
                      const std::vector<std::string>& lines);

struct ExportHarness {
    ExportHarness();
    LoopExecutor executor;
    std::vector<std::pair<std::string, int32_t>> lines;  // writer's and window's lines, in order
    MessageReceiver receiver;
    SqlOutput output;

    // Handles messages until no upload runs; false when that takes longer.
    bool WaitIdle(std::chrono::seconds timeout = std::chrono::seconds(60)) {
        return WaitIdle(output, timeout);
    }
    bool WaitIdle(const SqlOutput& out, std::chrono::seconds timeout = std::chrono::seconds(60));
    std::string Log() const;  // every line, one per text line
    bool Has(const std::string& text, int32_t colour) const;
};

// A plain client on the test server (root of nothing: the test user).
class SqlClient {
  public:
    SqlClient();
    ~SqlClient();
    void Run(const std::string& sql);
    std::vector<std::vector<std::string>> Rows(const std::string& sql);
    // Drops and creates `schema` with an empty table quorvanta.
    void FreshTable(const std::string& schema);
    void Drop(const std::string& schema);

  private:
    void* mysql_ = nullptr;
};

}  // namespace qv::test

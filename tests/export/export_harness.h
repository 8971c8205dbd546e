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

typedef struct st_mysql MYSQL;

namespace qv::test {

// The value of a QV_* variable; the calling test fails with the reason when it is missing.
std::string RequireEnv(const char* name);

// The database boxes pointed at the MariaDB test server (fails the test when
// the server's variables are missing), with a schema of the running test's own
// so that tests can run at once.
DbSettings DbSettingsFromEnv();

const std::string kHeader = "FECHA; HORA; HORARIO; ABS ACTIVA (+); ABS ACTIVA (-);ABS REACTIVA";

// A data row as the CSV file writes it; `abs` are the six absolute fields.
std::string CsvRow(const std::string& date, const std::string& time, const std::string& season,
                   const std::vector<std::string>& abs);
// Writes `lines` (CR LF endings) to dir/name and returns the path.
std::string WriteFile(const std::string& dir, const std::string& name,
                      const std::vector<std::string>& lines);
// A readings file of meter `meter` with these data rows, as dir/<meter>.CSV.
std::string ReadingsFile(const std::string& dir, const std::string& meter,
                         const std::vector<std::string>& rows);

struct ExportHarness {
    ExportHarness();
    LoopExecutor executor;
    std::vector<std::pair<std::string, int32_t>> lines;  // writer's and window's lines, in order
    MessageReceiver receiver;
    SqlOutput output;

    // Handles messages until no upload of `out` (default: output) runs; false
    // when that takes longer.
    bool WaitIdle(std::chrono::seconds timeout = std::chrono::seconds(60),
                  const SqlOutput* out = nullptr);
    // Every line as "<colour letter> text\n" (W, Y, G, R); clears them when asked.
    std::string Log(bool clear = false);
};

// A plain client on the test server, as the test user.
class SqlClient {
  public:
    SqlClient();
    ~SqlClient();
    // The statement's rows, if it has any.
    std::vector<std::vector<std::string>> Run(const std::string& sql);
    // Drops and creates `schema` with an empty table quorvanta.
    void FreshTable(const std::string& schema);
    void Drop(const std::string& schema);

  private:
    MYSQL* mysql_ = nullptr;
};

// Uploads to a fresh table of the test's own schema on the MariaDB test server.
class UploadTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Uploads a readings file of `meter` with these rows and waits for its end;
    // returns its log lines and clears them.
    std::string Upload(const std::string& meter, const std::vector<std::string>& rows,
                       bool unique = false);
    // Points the upload at a user whose sessions run without strict SQL mode.
    void NonStrict();
    // The rows of table quorvanta in `schema` (default: the test's own), in time order.
    std::vector<std::vector<std::string>> Stored(std::string schema = {});

    ExportHarness h;
    SqlClient client;
    std::string schema, dir;
};

}  // namespace qv::test

#pragma once
// Tescribe_SQL: the writer thread of one upload. It connects, writes the queued
// rows one autocommitted statement at a time (or, in unique mode, updates the
// row with the same meter, date, time and season), reports every row to the main
// window's log and ends at the first failing statement.

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "export/db_connection.h"
#include "export/sql_rows.h"
#include "platform/main_executor.h"
#include "platform/text.h"
#include "platform/worker_message.h"

namespace qv {

class Tescribe_SQL {
  public:
    Tescribe_SQL() = default;
    ~Tescribe_SQL();  // asks the thread to stop and waits for it
    Tescribe_SQL(const Tescribe_SQL&) = delete;
    Tescribe_SQL& operator=(const Tescribe_SQL&) = delete;

    bool Unique = false;
    std::deque<SqlRow> Queue;  // rows still to write, taken from the front
    std::unique_ptr<DbConnection> Connection;
    MessageTarget MainWindow;  // target of the log lines
    std::string Schema;        // the schema the rows are written to

    // Starts the thread. `onTerminate` runs in the main thread of `executor`
    // once the thread has ended and its log lines have been posted.
    void Start(MainExecutor& executor, std::function<void()> onTerminate);
    void Terminate() { terminated_ = true; }
    // Any thread: Terminate, and break off the statement that waits on the
    // server; an upload cut short so logs how far it got.
    void Abort();
    bool Terminated() const { return terminated_; }
    void WaitFor();
    bool Ready() const { return ready_; }
    // After the thread: every queued row was written.
    bool Complete() const { return complete_; }
    // After the thread: why the rows were not all written (its first red
    // line), empty when they were.
    const std::string& Failure() const { return failure_; }

    // One log line to the main window: " - " + line.
    void PostLog(const std::string& line, int32_t colour) const;

  private:
    struct LogBatch;
    void Execute();
    void WriteRow(const SqlRow& row, int n);
    // A red line that says why the upload fails; the first is its reason.
    void PostFailure(const std::string& line);

    std::string insertSql_, selectSql_, updateSql_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> aborted_{false};  // by Abort: the program is closing
    std::atomic<bool> ready_{false};
    std::atomic<bool> complete_{false};
    std::string failure_;
    std::shared_ptr<LogBatch> log_;
    std::thread thread_;
};

}  // namespace qv

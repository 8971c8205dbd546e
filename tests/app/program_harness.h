#pragma once
// The real quorvanta executable started as a process, as cron or a desktop
// starts it: without a display, in a folder of the test's own.

#include <QProcess>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qv::test {

std::string ReadFile(const std::string& path);

// The program under a path in `dir` (a hard link, else a copy; made once):
// its log, status file and instance lock are then the test's. Returns its path.
std::string ProgramCopy(const std::string& dir);

// `exe` started in `dir` with `args` and the test's environment less the
// display and Qt platform, plus `env` ("NAME=value", replacing the same
// names); stdout and stderr to `output` when given. `stopPending`: it starts
// with a SIGTERM held and pending, as one sent while it was starting would be.
// Killed and reaped at the end of the test if it still runs.
class Program {
  public:
    Program(const std::string& exe, const std::string& dir, std::vector<std::string> args = {},
            std::vector<std::string> env = {}, const std::string& output = {},
            bool stopPending = false);
    ~Program();
    qint64 pid() const { return process_.processId(); }

    // The exit code (-1 when a signal ended it or it never started), or
    // nothing while it still runs after `limit`.
    std::optional<int> Wait(std::chrono::milliseconds limit);
    // True once the process holds a file lock (its instance lock).
    bool WaitLocked(std::chrono::milliseconds limit);

  private:
    QProcess process_;
};

}  // namespace qv::test

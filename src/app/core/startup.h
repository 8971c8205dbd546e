#pragma once
// Pieces of the program's start-up that need no window: the one-instance lock
// per executable path, the choice of a display-less platform, the usage text,
// the files beside the executable, and the exit code the process ends with and
// the one line that reports it.

#include <string>

namespace qv {

// The running executable's full path (symbolic links resolved); empty when
// the system does not tell.
std::string ExecutablePath();

// The lock file that stands for one executable path: in $XDG_RUNTIME_DIR when
// that is a folder, else in /tmp with the user id in the name. The name holds
// the executable's file name and a hash of its full path, so two copies under
// different paths (or names differing only in case) get different files.
std::string InstanceLockPath(const std::string& executablePath);

// Exit codes of the start-up itself; the reading run's are its own.
constexpr int kExitUsage = 2;          // no window anyone could see, no reading asked for
constexpr int kExitInstanceBusy = 14;  // a reading that cannot take the instance lock

// Two or more arguments ask for an unattended reading (argc counts the program).
inline bool AsksForReading(int argc) {
    return argc >= 3;
}

// What a start that cannot work prints: every keyword with its value, the exit
// codes and where the files go, and last `whyStopped` (see UsageStopLine).
std::string UsageText(const std::string& programName, const std::string& whyStopped);

// Why a window start showed nothing: no display set, the display or platform
// asked for could not be used (Qt fell back to offscreen), or the platform
// asked for shows nothing (see PlatformShowsNothing).
enum class Unseen { NoDisplay, PlatformUnusable, PlatformShowsNothing };
// The usage text's last line: where the window could not be seen (`platform`:
// the Qt platform concerned) and what the arguments asked for (fewer than
// two, or -NOSTART without -DBUPLOAD).
std::string UsageStopLine(Unseen where, const std::string& platform, bool fewerThanTwo);

// True for a Qt platform that draws nowhere anyone can see: a window there
// would wait for ever, unseen.
bool PlatformShowsNothing(const std::string& platformName);

// An exclusive flock held for the object's life; the kernel drops it when the
// process ends, however it ends. The file is removed when the object goes.
class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    enum Result { Acquired, HeldElsewhere, Unavailable };
    // Unavailable: the lock file cannot be made or locked (its folder not
    // writable, say); Problem() then says why.
    Result Acquire(const std::string& lockPath);
    // Removes the file and lets the lock go now (a process about to abort).
    void Release();
    const std::string& Problem() const { return problem_; }

  private:
    int fd_ = -1;
    std::string path_;
    std::string problem_;
};

// True when neither a display (DISPLAY, WAYLAND_DISPLAY) nor a Qt platform
// (QT_QPA_PLATFORM) is set: the program then selects Qt's offscreen platform.
bool NeedsOffscreenPlatform();

// The QT_QPA_PLATFORM value for this start, empty to leave it as it is:
// "offscreen" without a display; else the platform asked for (QT_QPA_PLATFORM,
// else the display's) with "offscreen" after it, which Qt takes when that one
// cannot start; empty when the one asked for names offscreen itself.
std::string PlatformChoice();

// Why the file at `path` cannot be written (or made), or empty when it can.
std::string WriteProblem(const std::string& path);

// The files beside the executable: the log, its older part, the run status.
struct FilesBeside {
    std::string Log, OldLog, Status;
};
FilesBeside FilesBesideExecutable(const std::string& executablePath);

// Says on stderr, once, each of these files that cannot be written and why.
void ReportUnwritableFiles(const FilesBeside& files);

// Appends one stamped line to the log of `files`.
void LogBeside(const FilesBeside& files, const std::string& text);

// The last red line of the log, without its stamp: the reason an unattended
// run reports when it fails.
void NoteRedLine(const std::string& text);
std::string LastRedLine();

// The one stderr line of a run that ended with a non-zero code.
std::string ExitLine(int code, const std::string& reason);

// The code the process ends with: 1 once the main window exists, then the
// result of the last reading run. Setting it pairs it with the last red line
// noted so far, its reason: a red line noted later (a configuration file
// refused after the run) does not become the reason of that code.
int ProcessExitCode();
void SetProcessExitCode(int code);
// With its own reason: a run's failed outputs are reported by the first one,
// not by whatever red line came last.
void SetProcessExitCode(int code, const std::string& reason);
std::string ProcessExitReason();

}  // namespace qv

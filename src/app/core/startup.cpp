#include "app/core/startup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <utility>

#include "app/core/app_log.h"
#include "meter/reading_run.h"
#include "platform/files.h"

namespace qv {

namespace {

std::atomic<int> exit_code{0};

std::mutex red_mutex;
std::string last_red;
std::string exit_reason;  // the last red line when the exit code was set

constexpr const char* kUsage = R"(usage: %1$s                      the main window (needs a display)
       %1$s KEYWORD [VALUE] ...  read at once, unattended, and close

Two or more arguments start a reading at once, hidden, and close after it.
Keywords begin with "-" (any letter case); a keyword's value is the next
argument:
  -INI file             load a configuration file (later keywords override it)
  -IP host              TCP/IP link to the meter or gateway
  -PORT port            its TCP port
  -SERIAL               the serial line of the configuration
  -MODEM number         GSM modem dialling that number
  -ANALOG number        analog modem dialling that number
  -MODEM_INIT string    modem initialisation string (a quote inside as \")
  -RESTART              reset the modem (AT+CFUN=1,1) before calling
  -FROM yyyy/MM/dd      first day to read (year 2000..2099; month and day
                        may have one digit: 2026/3/5 is 5 March)
  -TO yyyy/MM/dd        last day to read
  -INTERVAL Q|H|D|M     quarter-hourly, hourly, daily or monthly
  -CSV folder           CSV files into that folder
  -FTP user:password@host[:port]/folder/
                        CSV files to an FTP server
  -DB [folder]          rows into the MySQL table (settings from -INI)
  -DBUPLOAD file        upload an existing CSV file to the database
  -DBUNIQUE             with -DB or -DBUPLOAD: update rows that exist
                        (a nightly -DB run needs it: each day's file
                        ends with the next day's opening row)
  -METERS LINK-POINT-PASSWORD[-OPC],...
                        the meter list
  -ASDURETRY n          tries per request, 1..9 (0 is taken as 1, above 9 as 9)
  -INTERASDUS n         pause between requests, seconds, 0..20 (above 20 as 20)
  -TIMEOUTASDUS n       reply time-out, seconds, 0 or more as given
  -SHOW                 stay visible
  -NOSTART              do not start reading
  -NOCLOSE              do not close after the run

Exit codes: 0 every meter was read; 1 no run reported a result; 2 this
text (no window anyone could see and no reading asked for); 10 the run could
not be set up (also a keyword, value, date, meter or -INI file that cannot be
taken as written); 11 the serial port could not be opened (or a COM alias is malformed);
12 the TCP client could not be set up; 13 a modem call was not connected;
14 another instance of this executable holds its lock, or the lock cannot be
taken (its folder not writable); 15 a meter of the list was not read, or the
list is empty; 16 readings were read but a file or upload failed.

Files: the log       %2$s
       the run status %3$s
       CSV files      in the -CSV folder (for -FTP in the current folder until
                      uploaded), <link address>_yy_mm_dd.CSV per meter and day
)";

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

bool env_set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

// FNV-1a: stable across builds and machines, unlike std::hash.
uint64_t path_hash(const std::string& text) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace

std::string ExecutablePath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string InstanceLockPath(const std::string& executablePath) {
    std::string dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    if (runtime && *runtime && std::filesystem::is_directory(runtime, ec))
        dir = std::string(runtime) + "/quorvanta-";
    else  // shared folder: the user id keeps users from locking each other out
        dir = "/tmp/quorvanta-" + std::to_string(getuid()) + "-";
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx",
                  static_cast<unsigned long long>(path_hash(executablePath)));
    return dir + std::filesystem::path(executablePath).filename().string() + "-" + hash + ".lock";
}

std::string UsageText(const std::string& programName, const std::string& whyStopped) {
    const FilesBeside files = FilesBesideExecutable(ExecutablePath());
    std::string text = replace_all(kUsage, "%1$s", programName);
    text = replace_all(text, "%2$s", files.Log);
    return replace_all(text, "%3$s", files.Status) + whyStopped + "\n";
}

std::string UsageStopLine(Unseen where, const std::string& platform, bool fewerThanTwo) {
    std::string line;
    switch (where) {
        case Unseen::NoDisplay:
            line = "Without a display";
            break;
        case Unseen::PlatformUnusable:
            line = "With the Qt platform " + platform + " unusable";
            break;
        case Unseen::PlatformShowsNothing:
            line = "On the Qt platform " + platform + ", which shows nothing,";
            break;
    }
    return line +
           (fewerThanTwo ? " and with fewer than two arguments"
                         : " and with -NOSTART and no -DBUPLOAD (no reading, no upload)") +
           " nothing else is done.";
}

bool PlatformShowsNothing(const std::string& platformName) {
    // vkkhrdisplay draws Vulkan windows only: a widget window never shows there.
    return platformName == "offscreen" || platformName == "minimal" ||
           platformName == "vkkhrdisplay";
}

InstanceLock::~InstanceLock() {
    Release();
}

void InstanceLock::Release() {
    if (fd_ < 0) return;
    // Removed while still locked: a start that opened the file before the
    // removal finds it gone when it has its lock, and starts over.
    unlink(path_.c_str());
    close(fd_);
    fd_ = -1;
}

InstanceLock::Result InstanceLock::Acquire(const std::string& lockPath) {
    if (fd_ >= 0) return Acquired;
    for (int attempt = 0; attempt < 10; ++attempt) {
        // O_NOFOLLOW: a link planted in /tmp must not make us open another file.
        const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            problem_ = std::strerror(errno);
            return Unavailable;
        }
        int rc;
        while ((rc = flock(fd, LOCK_EX | LOCK_NB)) < 0 && errno == EINTR) {
        }
        if (rc < 0) {
            const bool busy = errno == EWOULDBLOCK;
            problem_ = std::strerror(errno);
            close(fd);
            return busy ? HeldElsewhere : Unavailable;
        }
        // The lock counts only on the file the path still names: the holder
        // that ended meanwhile removed the one we opened.
        struct stat held {
        }, named{};
        if (fstat(fd, &held) == 0 && stat(lockPath.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            fd_ = fd;
            path_ = lockPath;
            return Acquired;
        }
        close(fd);
    }
    problem_ = "the lock file kept being replaced";
    return Unavailable;
}

bool NeedsOffscreenPlatform() {
    return !env_set("DISPLAY") && !env_set("WAYLAND_DISPLAY") && !env_set("QT_QPA_PLATFORM");
}

std::string PlatformChoice() {
    if (NeedsOffscreenPlatform()) return "offscreen";
    // A stale DISPLAY in a cron or ssh environment, or a QT_QPA_PLATFORM that
    // cannot start (a typo, xcb without a display), must not abort the program.
    if (env_set("QT_QPA_PLATFORM")) {
        const std::string asked = std::getenv("QT_QPA_PLATFORM");
        for (std::size_t at = 0; at <= asked.size();) {
            const std::size_t end = std::min(asked.find(';', at), asked.size());
            const std::string entry = asked.substr(at, end - at);
            if (entry.substr(0, entry.find(':')) == "offscreen") return std::string();
            at = end + 1;
        }
        return asked + ";offscreen";
    }
    return env_set("WAYLAND_DISPLAY") ? "wayland;xcb;offscreen" : "xcb;offscreen";
}

std::string WriteProblem(const std::string& path) {
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    // A file that does not exist yet needs a folder it can be made in.
    const std::string target = exists ? path : std::filesystem::path(path).parent_path().string();
    if (faccessat(AT_FDCWD, target.empty() ? "." : target.c_str(), exists ? W_OK : W_OK | X_OK,
                  AT_EACCESS) == 0)
        return std::string();
    return std::strerror(errno);
}

FilesBeside FilesBesideExecutable(const std::string& executablePath) {
    return {ReplaceExtension(executablePath, ".LOG"), ReplaceExtension(executablePath, ".OLD"),
            StatusFilePath(executablePath)};
}

void ReportUnwritableFiles(const FilesBeside& files) {
    for (const std::string* file : {&files.Log, &files.Status})
        if (const std::string why = WriteProblem(*file); !why.empty())
            ReportUnwritableFile(*file, why);
}

void LogBeside(const FilesBeside& files, const std::string& text) {
    Log_2_disk(files.Log, files.OldLog, LogLine(text, std::chrono::system_clock::now()));
}

void NoteRedLine(const std::string& text) {
    // The run's closing line is red on every run, and so are frame traces:
    // none of them says a reason.
    if (!SaysAReason(text)) return;
    // The terminal gets paths and names as written; the log's upper case is the log's.
    std::lock_guard lock(red_mutex);
    last_red = ReasonText(OneLineText(text));
}

std::string LastRedLine() {
    std::lock_guard lock(red_mutex);
    return last_red;
}

std::string ExitLine(int code, const std::string& reason) {
    // Without a red line, what the code itself means.
    static constexpr std::pair<int, const char*> kMeanings[] = {
        {1, "no run reported a result"},
        {10, "the run could not be set up"},
        {11, "the serial port could not be opened"},
        {12, "the TCP client could not be set up"},
        {13, "the modem call was not connected"},
        {15, "a meter of the list was not read"},
        {16, "a CSV file or its upload failed"},
    };
    std::string why = reason;
    for (const auto& [c, text] : kMeanings)
        if (why.empty() && c == code) why = text;
    return "quorvanta: exit code " + std::to_string(code) + ": " +
           (why.empty() ? "see the log" : why);
}

int ProcessExitCode() {
    return exit_code.load();
}

void SetProcessExitCode(int code) {
    std::lock_guard lock(red_mutex);
    exit_code.store(code);
    exit_reason = last_red;
}

void SetProcessExitCode(int code, const std::string& reason) {
    std::lock_guard lock(red_mutex);
    exit_code.store(code);
    exit_reason = ReasonText(OneLineText(reason));
}

std::string ProcessExitReason() {
    std::lock_guard lock(red_mutex);
    return exit_reason;
}

}  // namespace qv

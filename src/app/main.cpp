// Start-up: the usage text when the program cannot work, one instance per
// executable path, the platform, the splash window while the windows are made,
// the command line, the message loop, the exit code and its one stderr line.

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QLocale>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "app/core/command_line.h"
#include "app/core/startup.h"
#include "app/gui/form_progress.h"
#include "app/gui/remotex.h"
#include "app/gui/splash.h"
#include "export/sql_form.h"
#include "imaging/gif_image.h"
#include "imaging/png_picture.h"
#include "widgets/inst_opc.h"

namespace {

int stop_pipe[2] = {-1, -1};

void on_stop_signal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(stop_pipe[1], &byte, 1);
}

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, sig);
    return set;
}

// SIGTERM, SIGINT and SIGHUP close the main window as the operator would, so
// that a service stop or Ctrl+C ends a run and the log in order. The handler
// only writes to a pipe; the main loop does the rest. A stop signal held
// meanwhile (hold_stop_signals) reaches the handler now.
// Called again once Qt's platform has started: a frame-buffer platform puts
// its own console handlers in place, which end the process at once and leave
// the lock file behind.
void catch_stop_signals() {
    if (stop_pipe[1] < 0 && pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Stop signals wait while Qt's platform starts: a frame-buffer platform's own
// handlers would take one meant for this program, and a start again on the
// offscreen platform keeps a held one pending for its own handlers.
void hold_stop_signals() {
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

qv::FilesBeside files_beside;

// What Qt said while it looked for a platform (one line each: simplified):
// why the one asked for could not start. Gathered only while the application
// object is being made.
std::atomic<bool> starting_platform{false};
std::mutex platform_mutex;
std::string platform_reasons;

std::string platform_said() {
    std::lock_guard lock(platform_mutex);
    return platform_reasons;
}

void platform_says(const std::string& text) {
    std::lock_guard lock(platform_mutex);
    if (platform_reasons.find(text) == std::string::npos)
        platform_reasons += (platform_reasons.empty() ? "" : "; ") + text;
}

// What this start was asked for, kept for the message handler: a platform
// that aborts while it starts can only be answered from there.
struct StartAsked {
    std::vector<std::string> args;  // as given, less Qt's -platform
    bool reading = false, idle = false;
    std::string platform;       // the one asked for, when it may fail to start; else empty
    bool startedAgain = false;  // this process reads on offscreen in place of `platform`
} start_asked;

// The instance lock while it is held: a process that Qt aborts leaves no lock file.
std::atomic<qv::InstanceLock*> held_lock{nullptr};

// Tells the process started again on the offscreen platform which platform
// could not be used, a line feed, and why.
constexpr const char* kFellBackFrom = "QUORVANTA_FELL_BACK_FROM";

// Why the platform asked for gave way to the offscreen one.
std::string platform_fallback(const std::string& asked) {
    const std::string said = platform_said();
    return "the Qt platform " + asked + " cannot be used" + (said.empty() ? "" : ": " + said);
}

// What a start that cannot work prints, ending with why it stopped; its exit code.
// `reading`: two or more arguments of the program's own were given.
int usage(const char* program, bool reading, qv::Unseen where, const std::string& platform = {}) {
    const std::string why = qv::UsageStopLine(where, platform, !reading);
    std::fputs(qv::UsageText(program ? program : "quorvanta", why).c_str(), stderr);
    return qv::kExitUsage;
}

// A window start on a platform that cannot be used: Qt's reason, the usage.
int platform_unusable(const std::string& platform) {
    std::fprintf(stderr, "quorvanta: %s\n", platform_fallback(platform).c_str());
    return usage(start_asked.args.front().c_str(), start_asked.reading,
                 qv::Unseen::PlatformUnusable, platform);
}

// A reading whose platform cannot be used starts again on the offscreen one,
// with the same arguments and before it takes the lock: Qt cannot change its
// platform within a process. Returns only when that cannot be done.
void read_offscreen(const std::string& platform) {
    if (start_asked.startedAgain) return;  // offscreen failed as well: nothing left to try
    // A stop already caught is asked again of the new process: held across
    // the start, it reaches that one's handlers.
    hold_stop_signals();
    char byte;
    if (stop_pipe[0] >= 0 && read(stop_pipe[0], &byte, 1) == 1) raise(SIGTERM);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv(kFellBackFrom, (platform + "\n" + platform_said()).c_str(), 1);
    std::vector<char*> args;
    for (std::string& a : start_asked.args) args.push_back(a.data());
    args.push_back(nullptr);
    execv("/proc/self/exe", args.data());
}

// Qt aborts after a fatal message. One while the platform starts (EGL without
// a display, no DRM device) ends as a platform that cannot start does: the
// usage for a window, the offscreen platform for a reading.
void platform_cannot_start() {
    if (start_asked.platform.empty()) return;  // offscreen itself: nothing to fall back to
    if (start_asked.idle) _exit(platform_unusable(start_asked.platform));
    read_offscreen(start_asked.platform);
}

// Qt's own messages never reach the terminal (cron mails what a job prints);
// those that tell of a failure go to the log. A fatal one ends the process
// (Qt aborts, exit code 134): the terminal gets it on one line, and the lock
// file goes first.
void qt_message_to_log(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const std::string text = message.simplified().toStdString();
    if (starting_platform && type != QtDebugMsg && context.category &&
        std::string_view(context.category).starts_with("qt.qpa"))
        platform_says(text);
    if (type == QtCriticalMsg || type == QtFatalMsg) qv::LogBeside(files_beside, "- QT: " + text);
    if (type != QtFatalMsg) return;
    if (starting_platform) {
        platform_says(text);
        platform_cannot_start();
    }
    if (qv::InstanceLock* lock = held_lock.load()) lock->Release();
    const std::string said = starting_platform ? platform_said() : text;
    std::fprintf(stderr, "quorvanta: Qt: %s\n", said.c_str());
}

// A reading asked for that cannot take the lock ends with a code of its own,
// so that cron does not take it for a reading; a plain start ends quietly
// while another instance runs, and goes on without the guard when the lock
// cannot be taken at all (an operator at the window). Nothing when this start
// goes on.
std::optional<int> take_instance_lock(qv::InstanceLock& lock, bool reading) {
    const std::string path = qv::InstanceLockPath(qv::ExecutablePath());
    const qv::InstanceLock::Result result = lock.Acquire(path);
    if (result == qv::InstanceLock::Acquired) {
        held_lock = &lock;
        return std::nullopt;
    }
    if (result == qv::InstanceLock::HeldElsewhere) {
        if (!reading) return 0;
        std::fprintf(stderr, "quorvanta: exit code %d: another instance holds the lock %s\n",
                     qv::kExitInstanceBusy, path.c_str());
        return qv::kExitInstanceBusy;
    }
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (!reading) {
        std::fprintf(stderr,
                     "quorvanta: cannot take the instance lock in %s: %s; the window runs "
                     "without it\n",
                     folder.c_str(), lock.Problem().c_str());
        return std::nullopt;
    }
    std::fprintf(stderr, "quorvanta: exit code %d: cannot take the instance lock in %s: %s\n",
                 qv::kExitInstanceBusy, folder.c_str(), lock.Problem().c_str());
    return qv::kExitInstanceBusy;
}

// The platform and Qt's messages. The platform asked for when Qt may fall
// back to the offscreen one because that one cannot start, else empty; in a
// reading started again on offscreen, the one it could not use.
std::string prepare_process() {
    std::string fellBackFrom;
    if (const char* note = std::getenv(kFellBackFrom)) {
        const std::string text = note;
        unsetenv(kFellBackFrom);  // not for the programs this one starts
        const auto lineEnd = text.find('\n');
        fellBackFrom = text.substr(0, lineEnd);
        if (lineEnd != std::string::npos) platform_reasons = text.substr(lineEnd + 1);
        start_asked.startedAgain = true;
    }
    const std::string platform = qv::PlatformChoice();
    if (!platform.empty()) setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
    files_beside = qv::FilesBesideExecutable(qv::ExecutablePath());
    qInstallMessageHandler(qt_message_to_log);
    const auto fallback = platform.rfind(';');
    if (fallback != std::string::npos) start_asked.platform = platform.substr(0, fallback);
    return start_asked.startedAgain ? fellBackFrom : start_asked.platform;
}

// Whether the window can be shown on the platform Qt started: the exit code
// of a start that ends here. `headless`: no display was set. `unseen` is set
// for a platform that shows nothing, `fellBack` when the one asked for gave
// way to offscreen.
std::optional<int> settle_platform(const std::string& fallbackFrom, bool headless, bool& unseen,
                                   bool& fellBack) {
    using namespace qv;
    // A display or platform that cannot be used, or one that shows nothing:
    // a reading goes on without it, a window nobody could see is not shown
    // (it would wait for ever, holding the lock).
    const std::string platform = QGuiApplication::platformName().toStdString();
    fellBack = !fallbackFrom.empty() && platform == "offscreen";
    unseen = PlatformShowsNothing(platform);
    if (fellBack && start_asked.idle) return platform_unusable(fallbackFrom);
    if (unseen && start_asked.idle)  // offscreen because no display was set: say that
        return usage(start_asked.args.front().c_str(), start_asked.reading,
                     headless ? Unseen::NoDisplay : Unseen::PlatformShowsNothing, platform);
    // A platform without a screen (linuxfb without a frame buffer) starts,
    // but aborts at the first window.
    if (!fellBack && QGuiApplication::primaryScreen() == nullptr) {
        platform_says("no screen available");
        if (start_asked.idle) return platform_unusable(platform);
        read_offscreen(platform);
    }
    return std::nullopt;
}

// Qt's own "-platform NAME" chooses the platform as QT_QPA_PLATFORM does (and
// before it): taken out of the arguments into the variable, so that a platform
// that cannot start falls back or ends as the variable's does, and it is not
// counted as one of the program's arguments. The number of arguments left.
int take_platform_argument(int argc, char** argv) {
    for (int i = 1; i + 1 < argc;) {
        const std::string_view arg = argv[i];
        if (arg != "-platform" && arg != "--platform") {
            ++i;
            continue;
        }
        setenv("QT_QPA_PLATFORM", argv[i + 1], 1);
        std::copy(argv + i + 2, argv + argc + 1, argv + i);  // with the closing null
        argc -= 2;
    }
    return argc;
}

// Whether this start reads, and whether it asks for nothing at all: without a
// display a window would wait unseen for ever, holding the lock, also one
// started with arguments that read and upload nothing (-NOSTART). Decided
// again once Qt has taken its own options (-style, -qwindowgeometry...).
void settle_arguments(int argc, char** argv) {
    using namespace qv;
    start_asked.reading = AsksForReading(argc);
    start_asked.idle = !start_asked.reading || AsksForNothing(CommandLine::FromArguments(
                                                   {argv, argv + argc}, std::string()));
}

// The windows and the message loop; the exit code reached. `headless`: no
// display was set.
int run_windows(int argc, char** argv, bool headless, const std::string& fallbackFrom) {
    using namespace qv;
    try {
        hold_stop_signals();
        starting_platform = true;
        QApplication app(argc, argv);
        starting_platform = false;
        settle_arguments(argc, argv);
        bool unseen = false, fellBack = false;
        if (const std::optional<int> code =
                settle_platform(fallbackFrom, headless, unseen, fellBack))
            return *code;
        catch_stop_signals();
        InstanceLock lock;
        const struct Forget {
            ~Forget() { held_lock = nullptr; }
        } forgetLock;  // goes before the lock does
        if (const std::optional<int> code = take_instance_lock(lock, start_asked.reading))
            return *code;
        if (fellBack)
            LogBeside(files_beside,
                      "- QT: " + platform_fallback(fallbackFrom) + " - SE LEE SIN PANTALLA");
        // One word on each file beside the executable that cannot be written:
        // the run goes on without it.
        ReportUnwritableFiles(files_beside);
        // The process's own number format; nothing outside the process changes.
        std::setlocale(LC_NUMERIC, "C");
        QLocale::setDefault(QLocale::c());

        RegisterGifFormat(Pictures());
        RegisterPngPicture(Pictures());
        OPCLibrary::Instance();  // optional: absent, nothing more happens

        LoadSpanishQtTexts();
        auto splash = ShowSplash();

        Tremotex remotex;
        remotex.Headless = headless || unseen;
        const std::unique_ptr<TSql_Form> Sql_Form = CreateSqlForm(remotex);
        TForm_progress form_progress;
        remotex.Form_progress = &form_progress;
        splash.reset();

        // What Qt took for itself is gone from argv.
        remotex.Analiza_parametros(argc, argv);
        remotex.show();

        std::optional<QSocketNotifier> stopNotifier;
        if (stop_pipe[0] >= 0) {
            stopNotifier.emplace(stop_pipe[0], QSocketNotifier::Read);
            QObject::connect(&*stopNotifier, &QSocketNotifier::activated, &remotex, [&remotex] {
                char buffer[16];
                while (read(stop_pipe[0], buffer, sizeof buffer) > 0) {
                }
                remotex.close();
                QApplication::quit();
            });
        }
        QApplication::exec();
    } catch (...) {
        // Ends quietly with the exit code reached so far.
    }
    return ProcessExitCode();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qv;
    argc = take_platform_argument(argc, argv);
    start_asked.args.assign(argv, argv + argc);
    if (start_asked.args.empty()) start_asked.args.emplace_back("quorvanta");
    settle_arguments(argc, argv);
    const bool headless = NeedsOffscreenPlatform();
    if (start_asked.idle && headless) return usage(argv[0], start_asked.reading, Unseen::NoDisplay);
    const std::string fallbackFrom = prepare_process();
    catch_stop_signals();

    const int code = run_windows(argc, argv, headless, fallbackFrom);
    // Silent on success; one line with the code and its reason otherwise (the
    // lock's refusal and the usage text have said their own).
    if (start_asked.reading && code != 0 && code != kExitInstanceBusy && code != kExitUsage)
        std::fprintf(stderr, "%s\n", ExitLine(code, ProcessExitReason()).c_str());
    return code;
}

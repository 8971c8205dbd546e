// Start-up: the usage text when the program cannot work, one instance per
// executable path, the platform, the splash window while the windows are made,
// the command line, the message loop, the exit code and its one stderr line.

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QLocale>
#include <QSocketNotifier>
#include <atomic>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>

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

// SIGTERM, SIGINT and SIGHUP close the main window as the operator would, so
// that a service stop or Ctrl+C ends a run and the log in order. The handler
// only writes to a pipe; the main loop does the rest.
void catch_stop_signals() {
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
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

// Qt's own messages never reach the terminal (cron mails what a job prints);
// those that tell of a failure go to the log. A fatal one ends the process
// (Qt aborts, exit code 134): the terminal gets it on one line.
void qt_message_to_log(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const std::string text = message.simplified().toStdString();
    if (starting_platform && type != QtDebugMsg && context.category &&
        std::string_view(context.category).starts_with("qt.qpa")) {
        std::lock_guard lock(platform_mutex);
        platform_reasons += (platform_reasons.empty() ? "" : "; ") + text;
    }
    if (type == QtFatalMsg) {
        const std::string said = starting_platform ? platform_said() : std::string();
        std::fprintf(stderr, "quorvanta: Qt: %s\n",
                     (said.empty() ? text : said + "; " + text).c_str());
    }
    if (type != QtCriticalMsg && type != QtFatalMsg) return;
    qv::LogBeside(files_beside, "- QT: " + text);
}

// Why the platform asked for gave way to the offscreen one.
std::string platform_fallback(const std::string& asked) {
    const std::string said = platform_said();
    return "the Qt platform " + asked + " cannot be used" + (said.empty() ? "" : ": " + said);
}

// A reading asked for that cannot take the lock ends with a code of its own,
// so that cron does not take it for a reading; a plain start ends quietly
// while another instance runs, and goes on without the guard when the lock
// cannot be taken at all (an operator at the window). Nothing when this start
// goes on.
std::optional<int> take_instance_lock(qv::InstanceLock& lock, bool reading) {
    const std::string path = qv::InstanceLockPath(qv::ExecutablePath());
    const qv::InstanceLock::Result result = lock.Acquire(path);
    if (result == qv::InstanceLock::Acquired) return std::nullopt;
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

// What a start that cannot work prints, ending with why it stopped; its exit code.
// `reading`: two or more arguments were given (counted before Qt took its own).
int usage(char** argv, bool reading, qv::Unseen where, const std::string& platform = {}) {
    const std::string why = qv::UsageStopLine(where, platform, !reading);
    std::fputs(qv::UsageText(argv[0] ? argv[0] : "quorvanta", why).c_str(), stderr);
    return qv::kExitUsage;
}

// The platform and Qt's messages. The platform asked for when Qt may fall
// back to the offscreen one because that one cannot start, else empty.
std::string prepare_process() {
    const std::string platform = qv::PlatformChoice();
    if (!platform.empty()) setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
    files_beside = qv::FilesBesideExecutable(qv::ExecutablePath());
    qInstallMessageHandler(qt_message_to_log);
    const auto fallback = platform.rfind(';');
    return fallback == std::string::npos ? std::string() : platform.substr(0, fallback);
}

// The windows and the message loop; the exit code reached. `idle`: the
// arguments ask for no reading and no upload; `headless`: no display was set.
int run_windows(int argc, char** argv, bool reading, bool idle, bool headless,
                const std::string& fallbackFrom) {
    using namespace qv;
    try {
        starting_platform = true;
        QApplication app(argc, argv);
        starting_platform = false;
        // A display or platform that cannot be used, or one that shows
        // nothing: a reading goes on without it, a window nobody could see
        // is not shown (it would wait for ever, holding the lock).
        const std::string platform = QGuiApplication::platformName().toStdString();
        const bool fellBack = !fallbackFrom.empty() && platform == "offscreen";
        const bool unseen = PlatformShowsNothing(platform);
        if (fellBack && idle) {
            std::fprintf(stderr, "quorvanta: %s\n", platform_fallback(fallbackFrom).c_str());
            return usage(argv, reading, Unseen::PlatformUnusable, fallbackFrom);
        }
        if (unseen && idle) return usage(argv, reading, Unseen::PlatformShowsNothing, platform);
        InstanceLock lock;
        if (const std::optional<int> code = take_instance_lock(lock, reading)) return *code;
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
    const bool reading = AsksForReading(argc);
    // Without a display a window would wait unseen for ever, holding the lock:
    // also one started with arguments that read and upload nothing (-NOSTART).
    const bool idle =
        !reading || AsksForNothing(CommandLine::FromArguments({argv, argv + argc}, std::string()));
    const bool headless = NeedsOffscreenPlatform();
    if (idle && headless) return usage(argv, reading, Unseen::NoDisplay);
    const std::string fallbackFrom = prepare_process();
    catch_stop_signals();

    const int code = run_windows(argc, argv, reading, idle, headless, fallbackFrom);
    // Silent on success; one line with the code and its reason otherwise (the
    // lock's refusal and the usage text have said their own).
    if (reading && code != 0 && code != kExitInstanceBusy && code != kExitUsage)
        std::fprintf(stderr, "%s\n", ExitLine(code, ProcessExitReason()).c_str());
    return code;
}

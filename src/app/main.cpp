// Start-up: one instance per executable path, the splash window while the
// windows are made, the command line, the message loop, the exit code.

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QLocale>
#include <QSocketNotifier>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <optional>

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

}  // namespace

int main(int argc, char** argv) {
    using namespace qv;
    catch_stop_signals();

    InstanceLock lock;
    if (lock.Acquire(InstanceLockPath(ExecutablePath())) == InstanceLock::HeldElsewhere) return 0;

    // From cron or a service there is no display: run without one.
    if (NeedsOffscreenPlatform()) setenv("QT_QPA_PLATFORM", "offscreen", 1);

    try {
        QApplication app(argc, argv);
        // The process's own number format; nothing outside the process changes.
        std::setlocale(LC_NUMERIC, "C");
        QLocale::setDefault(QLocale::c());

        RegisterGifFormat(Pictures());
        RegisterPngPicture(Pictures());
        OPCLibrary::Instance();  // optional: absent, nothing more happens

        LoadSpanishQtTexts();
        auto splash = ShowSplash();

        Tremotex remotex;
        const std::unique_ptr<TSql_Form> Sql_Form = CreateSqlForm(remotex);
        TForm_progress form_progress;
        remotex.Form_progress = &form_progress;
        splash.reset();

        remotex.Analiza_parametros();
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

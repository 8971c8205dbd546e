// The main window under Qt's offscreen platform, read from as an operator
// who keeps it open does: three meters on a meter-sim process over loopback
// TCP, no pause between requests, "LEER AHORA" clicked again as soon as the
// last reading has ended, each reading checked to end with exit code 0 and
// every meter "(6) LECTURA CORRECTA". Prints the resident memory after 20,
// 100 and 300 readings (the first argument changes the last count). Target:
// after 300 within 1 MiB of after 20: a window that reads every night holds
// what it held after its first readings.
#include <QApplication>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/startup.h"
#include "app/gui/form_progress.h"
#include "app/gui/remotex.h"
#include "export/sql_form.h"

using namespace qv;

namespace {

// VmRSS of this process, KiB.
long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// meter-sim on a free loopback port; the port, or 0 when it did not start.
int startMeterSim(QProcess& sim) {
    sim.start(QV_METER_SIM_EXE, {"--tcp", "127.0.0.1:0", "--meter", "101:1:7", "--meter", "102:1:7",
                                 "--meter", "103:1:7", "--reply-delay", "0"});
    if (!sim.waitForStarted(5000)) return 0;
    while (!sim.canReadLine())
        if (!sim.waitForReadyRead(5000)) return 0;
    const QString line = QString::fromLatin1(sim.readLine()).trimmed();  // "tcp HOST:PORT"
    return line.startsWith("tcp ") ? line.section(':', -1).toInt() : 0;
}

// The reading that ended: exit code 0, every meter of the grid read.
bool everyMeterRead(const Tremotex& w) {
    const GridRows grid = w.GridContents();
    bool read = ProcessExitCode() == 0;
    for (std::size_t r = 1; r < grid.size(); ++r)
        read = read && grid[r][4] == "(6) LECTURA CORRECTA";
    return read;
}

}  // namespace

int main(int argc, char** argv) {
    const int readings = argc > 1 ? std::max(101, std::atoi(argv[1])) : 300;
    const std::vector<int> marks = {20, 100, readings};
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(QLocale::c());

    QProcess sim;
    const int port = startMeterSim(sim);
    if (port == 0) {
        std::fprintf(stderr, "bench_window: meter-sim did not start (%s)\n", QV_METER_SIM_EXE);
        return 1;
    }
    QTemporaryDir dir;

    // The windows as the program makes them.
    Tremotex w;
    const std::unique_ptr<TSql_Form> sqlForm = CreateSqlForm(w);
    TForm_progress progress;
    w.Form_progress = &progress;
    w.LogFilePath = dir.filePath("bench.LOG").toStdString();
    w.OldLogFilePath = dir.filePath("bench.OLD").toStdString();
    WindowSettings s = w.Settings();
    s.Grid = {
        s.Grid[0], {"101", "1", "7", "", ""}, {"102", "1", "7", "", ""}, {"103", "1", "7", "", ""}};
    s.Conexion = LinkTcp;
    s.Host = "127.0.0.1";
    s.HostPort = std::to_string(port);
    s.InterAsdu = 0;
    s.Ruta = dir.path().toStdString();
    w.ApplySettings(s);
    w.show();

    // Clicks "LEER AHORA" whenever it is enabled again, after checking the
    // reading that ended.
    int done = 0;
    bool failed = false;
    std::vector<long> memory;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!w.BitBtn2.isEnabled()) return;
        if (done > 0 && !everyMeterRead(w)) {
            std::fprintf(stderr, "bench_window: reading %d ended %d, not every meter read\n", done,
                         ProcessExitCode());
            failed = true;
            QApplication::quit();
            return;
        }
        if (std::find(marks.begin(), marks.end(), done) != marks.end()) {
            memory.push_back(residentKiB());
            std::printf("after %d readings: %ld KiB\n", done, memory.back());
            std::fflush(stdout);
        }
        if (done == readings) {
            QApplication::quit();
            return;
        }
        ++done;
        SetProcessExitCode(1);  // each reading sets its own
        w.BitBtn2.click();
    });
    poll.start(20);
    QApplication::exec();
    sim.terminate();
    sim.waitForFinished(5000);
    if (failed || memory.size() != marks.size()) return 1;
    std::printf("target (after %d within 1 MiB of after %d): %s\n", marks[2], marks[0],
                memory[2] - memory[0] <= 1024 ? "met" : "MISSED");
    std::printf("window memory after %d/%d/%d readings: %ld / %ld / %ld KiB\n", marks[0], marks[1],
                marks[2], memory[0], memory[1], memory[2]);
    return 0;
}

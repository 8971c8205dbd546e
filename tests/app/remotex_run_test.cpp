// The main window's run side in-process: the log pane, the worker messages
// posted from another thread, a manual run against meter-sim, and the close
// that waits for pending uploads.

#include <gtest/gtest.h>

#include <QTextBlock>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/core/csv_file.h"
#include "app/core/startup.h"
#include "app/gui/form_progress.h"
#include "app/gui/remotex.h"
#include "gui_app.h"
#include "meter-sim/meter_sim.h"
#include "meter/meter_messages.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

class RemotexRun : public ::testing::Test {
  protected:
    RemotexRun() { test::GuiApp(); }
    void SetUp() override {
        dir = test::makeTempDir("remotex_run");
        w = std::make_unique<Tremotex>();
        w->LogFilePath = dir + "/q.LOG";
        w->OldLogFilePath = dir + "/q.OLD";
        w->RUTA.setText(QString::fromStdString(dir + "/out"));
    }
    void TearDown() override {
        w.reset();
        fs::remove_all(dir);
    }
    // Handles events until done() holds or the time is up.
    bool pumpUntil(const std::function<bool()>& done, milliseconds limit) {
        const auto end = steady_clock::now() + limit;
        while (!done() && steady_clock::now() < end)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                            20);
        return done();
    }
    std::string pane() const { return w->Rx9.toPlainText().toStdString(); }
    std::string lastPaneLine() const { return w->Rx9.document()->lastBlock().text().toStdString(); }
    std::string dir;
    std::unique_ptr<Tremotex> w;
};

TEST_F(RemotexRun, PaneKeeps501LinesAndTheFileEveryLine) {
    for (int i = 1; i <= 502; ++i) w->Show_data_Text("line " + std::to_string(i), colour::Yellow);
    QTextDocument* doc = w->Rx9.document();
    EXPECT_EQ(doc->blockCount(), 501);
    EXPECT_TRUE(doc->firstBlock().text().endsWith("  LINE 2"));
    EXPECT_TRUE(doc->lastBlock().text().endsWith("  LINE 502"));

    w->BitBt_ClearClick();
    w->Show_data_Text("clave:\r\ncontraseña", colour::Red);
    EXPECT_EQ(doc->blockCount(), 1);
    EXPECT_TRUE(lastPaneLine().ends_with("  CLAVE:  CONTRASE A"));
    const QTextCharFormat f = QTextCursor(doc->lastBlock()).block().begin().fragment().charFormat();
    EXPECT_EQ(f.foreground().color(), QColor(255, 0, 0));

    w->Log.setChecked(false);
    w->LOG_FILE.setChecked(false);
    w->Show_data_Text("nowhere", colour::White);
    EXPECT_EQ(doc->blockCount(), 1);

    std::ifstream in(w->LogFilePath, std::ios::binary);
    const std::string file(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 503);
    EXPECT_TRUE(file.ends_with("  CLAVE:  CONTRASE A\r\n"));
}

TEST_F(RemotexRun, WorkerMessagesReachTheirControls) {
    TForm_progress progress;
    w->Form_progress = &progress;
    w->SetGridContents(
        {GridRow{"A", "B", "C", "D", "E"}, GridRow{"1"}, GridRow{"2"}, GridRow{"3"}});
    w->Tipo_Salida.SetItemIndex(OutputFtp);
    std::vector<std::string> uploads;
    std::vector<PendingUploads::Token> held;
    w->StartFtpUpload = [&](const std::string& file, const std::string&, PendingUploads::Token t) {
        uploads.push_back(file);
        held.push_back(std::move(t));
    };
    const auto cwd = fs::current_path();
    fs::current_path(dir);
    SetProcessExitCode(1);

    auto device = std::make_unique<Tdevice>("77", "1", "1", "");
    device->AddDay();
    const MessageTarget target = w->WindowTarget();
    std::thread worker([&] {
        PostModemStatus(target, ModemNoAnswer, 0);
        PostGridStatus(target, 3, "(6) LECTURA CORRECTA");
        PostGridStatus(target, 9, "(6) LECTURA CORRECTA");  // no such row
        target.post(MSG_GRIDSTATUS, std::make_unique<Tmensaje_TXT>(std::string("\0\1", 2), 0));
        PostExitCode(target, 15);
        target.post(MSG_EXITCODE, std::make_unique<Tmensaje_TXT>("", 0));
        target.post(MSG_PROGRESSINIT, std::make_unique<Tmensaje_TXT>("SUBIENDO", 40));
        target.post(MSG_PROGRESSPOS, std::make_unique<Tmensaje_TXT>("", 7));
        PostDataReady(target, std::move(device));
        PostLog(target, " - last", colour::White);
    });
    worker.join();
    pumpUntil([&] { return lastPaneLine().ends_with(" - LAST"); }, seconds(5));
    fs::current_path(cwd);

    EXPECT_EQ(w->SIM.text().toStdString(), "  MODEM  NO RESPONDE!");
    EXPECT_EQ(w->SIM.palette().color(QPalette::WindowText), QColor(0, 0, 0));
    EXPECT_EQ(w->signal.toolTip().toLatin1().toStdString(),
              "INTENSIDAD DE SE\xD1"
              "AL (-113dBm)");
    EXPECT_EQ(w->GridContents()[3][4], "(6) LECTURA CORRECTA");
    EXPECT_EQ(w->GridContents()[1][4], "");
    EXPECT_EQ(ProcessExitCode(), 15);
    EXPECT_TRUE(progress.isVisible());
    EXPECT_EQ(progress.namex.text(), "SUBIENDO");
    EXPECT_EQ(progress.Progress_Bar.value(), 7);
    ASSERT_EQ(uploads, std::vector<std::string>{CsvFileName(77, LocalToday())});
    EXPECT_TRUE(fs::exists(dir + "/" + uploads[0]));
    EXPECT_NE(pane().find(" - DATOS RECOGIDOS DE METER : 77"), std::string::npos);

    // Level 99 fills the bar; progress 0 hides the window.
    PostModemStatus(target, ModemRegistered, 99);
    target.post(MSG_PROGRESSPOS, std::make_unique<Tmensaje_TXT>("", 0));
    pumpUntil([&] { return !progress.isVisible(); }, seconds(5));
    EXPECT_EQ(w->SIM.text().toStdString(), "SIM REGISTRADA CON OPERADOR");
    EXPECT_EQ(w->signal.toolTip().toLatin1().toStdString(),
              "INTENSIDAD DE SE\xD1"
              "AL (85dBm)");
    EXPECT_FALSE(progress.isVisible());

    // An unattended run's close waits for the upload still holding its token.
    w->show();
    w->AutoClose = true;
    w->reenableTimer();
    EXPECT_TRUE(w->Do_close.isActive());
    w->Do_closeTimer();
    EXPECT_TRUE(w->Do_close.isActive());
    EXPECT_TRUE(w->isVisible());
    held.clear();
    w->Do_closeTimer();
    EXPECT_FALSE(w->Do_close.isActive());
    EXPECT_FALSE(w->isVisible());
}

// A run from "LEER AHORA": it starts 500 ms later with the settings locked,
// writes the meter's file, and leaves the window open and idle.
TEST_F(RemotexRun, ManualRunLocksTheSettingsAndLeavesTheWindowOpen) {
    sim::SimConfig c;
    sim::SimMeter m;
    m.linkAddress = 104;
    m.measurePoint = 4;
    m.password = 4;
    c.meters = {m};
    c.replyDelayMs = 2;
    sim::MeterSim sim(c);
    WindowSettings s = w->Settings();
    s.Conexion = LinkTcp;
    s.Host = "127.0.0.1";
    s.HostPort = std::to_string(sim.listenTcp());
    s.Grid = {s.Grid[0], GridRow{"104", "4", "4", "", ""}};
    s.FechaInicio = s.FechaFin = Day{std::chrono::year{2026} / 6 / 10};
    s.Intervalo = IntervalDaily;
    s.InterAsdu = 0;
    s.AsduTimeout = 2;
    s.AutoClose = true;  // a manual start clears it
    w->ApplySettings(s);
    w->show();

    const auto clicked = steady_clock::now();
    w->BitBtn2Click();
    EXPECT_FALSE(w->Conta);
    ASSERT_TRUE(pumpUntil([&] { return w->Conta != nullptr; }, seconds(5)));
    EXPECT_GE(steady_clock::now() - clicked, milliseconds(450));
    EXPECT_FALSE(w->RANGO.isEnabled());
    EXPECT_FALSE(w->CONFSERIAL.isEnabled());
    EXPECT_TRUE(w->MINIMIZAR.isEnabled());
    EXPECT_TRUE(w->DETENER.isEnabled());

    ASSERT_TRUE(pumpUntil([&] { return w->BitBtn2.isEnabled(); }, seconds(60)));
    EXPECT_FALSE(w->DETENER.isEnabled());
    EXPECT_TRUE(w->RANGO.isEnabled());
    EXPECT_TRUE(w->CONFSERIAL.isEnabled());
    EXPECT_FALSE(w->Do_close.isActive());
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(fs::exists(dir + "/out/" + CsvFileName(104, LocalToday())));
    EXPECT_NE(pane().find(" - EXIT CODE: 0"), std::string::npos);
}

}  // namespace
}  // namespace qv

// Qt's font set-up leaves fontconfig's caches allocated at exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

// The main window's run side in-process: the log pane, and worker messages
// posted from another thread up to the close that waits for an upload.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTextBlock>
#include <filesystem>
#include <thread>

#include "app/core/csv_file.h"
#include "app/gui/form_progress.h"
#include "app/gui/remotex.h"
#include "meter/meter_messages.h"
#include "support/test_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

// Kept to the end of the process: destroyed after Qt's own statics it would
// crash at exit.
QApplication& app() {
    static int argc = 1;
    static char name[] = "app_tests", *argv[] = {name, nullptr};
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!QApplication::instance()) std::make_unique<QApplication>(argc, argv).release();
    return *qobject_cast<QApplication*>(QApplication::instance());
}

class RemotexRun : public ::testing::Test {
  protected:
    RemotexRun() : dir((app(), test::makeTempDir("remotex_run"))) { w.LOG_FILE.setChecked(false); }
    ~RemotexRun() override { fs::remove_all(dir); }
    std::string dir;
    Tremotex w;
};

TEST_F(RemotexRun, PaneKeeps501Lines) {
    for (int i = 1; i <= 502; ++i) w.Show_data_Text("line " + std::to_string(i), colour::Yellow);
    QTextDocument* doc = w.Rx9.document();
    EXPECT_EQ(doc->blockCount(), 501);
    EXPECT_TRUE(doc->firstBlock().text().endsWith("  LINE 2"));
    w.BitBt_ClearClick();
    w.Show_data_Text("- error", colour::Red);
    EXPECT_EQ(doc->blockCount(), 1);
    EXPECT_EQ(doc->firstBlock().begin().fragment().charFormat().foreground().color(),
              QColor(Qt::red));
}

TEST_F(RemotexRun, WorkerMessagesReachTheirControlsAndTheCloseWaitsForUploads) {
    TForm_progress progress;
    w.Form_progress = &progress;
    w.SetGridContents({GridRow{"A", "B", "C", "D", "E"}, GridRow{"1"}, GridRow{"2"}, GridRow{"3"}});
    w.Tipo_Salida.SetItemIndex(OutputFtp);
    std::vector<std::string> uploads;
    std::vector<PendingUploads::Token> held;
    w.StartFtpUpload = [&](const std::string& file, const std::string&, PendingUploads::Token t) {
        uploads.push_back(file);
        held.push_back(std::move(t));
    };
    const auto cwd = fs::current_path();
    fs::current_path(dir);  // the FTP output's file lands in the current folder
    auto device = std::make_unique<Tdevice>("77", "1", "1", "");
    device->AddDay();
    const MessageTarget target = w.WindowTarget();
    std::thread([&] {
        PostModemStatus(target, ModemNoAnswer, 0);
        PostGridStatus(target, 3, "(6) LECTURA CORRECTA");
        PostGridStatus(target, 9, "(6) LECTURA CORRECTA");  // no such row
        target.post(MSG_GRIDSTATUS, std::make_unique<Tmensaje_TXT>(std::string("\0\1", 2), 0));
        target.post(MSG_PROGRESSINIT, std::make_unique<Tmensaje_TXT>("SUBIENDO", 40));
        target.post(MSG_PROGRESSPOS, std::make_unique<Tmensaje_TXT>("", 7));
        PostDataReady(target, std::move(device));
    }).join();
    QCoreApplication::processEvents();
    fs::current_path(cwd);

    EXPECT_EQ(w.SIM.text().toStdString(), "  MODEM  NO RESPONDE!");
    EXPECT_EQ(w.SIM.palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(w.signal.Hint().toLatin1().toStdString(),
              "INTENSIDAD DE SE\xD1"
              "AL (-113dBm)");
    EXPECT_EQ(w.GridContents()[3][4], "(6) LECTURA CORRECTA");
    EXPECT_EQ(w.GridContents()[1][4], "");
    EXPECT_TRUE(progress.isVisible());
    EXPECT_EQ(progress.namex.text(), "SUBIENDO");
    EXPECT_EQ(progress.Progress_Bar.value(), 7);
    ASSERT_EQ(uploads, std::vector<std::string>{CsvFileName(77, LocalToday())});
    EXPECT_TRUE(fs::exists(dir + "/" + uploads[0]));

    PostModemStatus(target, ModemRegistered, 99);  // fills the bar
    target.post(MSG_PROGRESSPOS, std::make_unique<Tmensaje_TXT>("", 0));
    QCoreApplication::processEvents();
    EXPECT_EQ(w.signal.Hint().toLatin1().toStdString(),
              "INTENSIDAD DE SE\xD1"
              "AL (85dBm)");
    EXPECT_EQ(w.signal.GetPosition(), 100.0);
    EXPECT_FALSE(progress.isVisible());

    // An unattended run's end: the close waits while an upload holds its token.
    w.show();
    w.AutoClose = true;
    w.reenableTimer();
    EXPECT_TRUE(w.Do_close.isActive());
    w.Do_closeTimer();
    EXPECT_TRUE(w.Do_close.isActive() && w.isVisible());
    held.clear();
    w.Do_closeTimer();
    EXPECT_FALSE(w.Do_close.isActive() || w.isVisible());
}

}  // namespace
}  // namespace qv

// Qt's font set-up leaves fontconfig's caches allocated at exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

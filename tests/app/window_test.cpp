// The main window under Qt's offscreen platform: its start values, the
// reactions of its settings controls, its grid, the run side's log pane and
// worker messages, the web page opener, the window bound to its
// configuration file and command line (key store, caption, start timer), and
// a reading through its button that leaves nothing of its run behind.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCalendarWidget>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>
#include <tuple>
#include <utility>

#include "app/core/config_file.h"
#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "app/core/version.h"
#include "app/gui/form_progress.h"
#include "app/gui/remotex.h"
#include "app/gui/splash.h"
#include "export/sql_form.h"
#include "meter-sim/meter_sim.h"
#include "meter/meter_messages.h"
#include "program_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

// One application object for the suite, gone before the program's exit
// handlers run (Qt cannot take it down after its own globals).
std::unique_ptr<QApplication> application_object;

struct QtEnvironment : ::testing::Environment {
    void TearDown() override { application_object.reset(); }
};
[[maybe_unused]] const auto* qt_environment =
    ::testing::AddGlobalTestEnvironment(std::make_unique<QtEnvironment>().release());

QApplication& app() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!QApplication::instance()) application_object = std::make_unique<QApplication>(argc, argv);
    return *qobject_cast<QApplication*>(QApplication::instance());
}

class MainWindow : public ::testing::Test {
  protected:
    QApplication& application = app();
    std::unique_ptr<Tremotex> w = std::make_unique<Tremotex>();
};

TEST_F(MainWindow, StartsWithTheDesignValuesYesterdayToTodayAndTheVersionCaption) {
    // Yesterday to today, everything else as a fresh settings record holds it;
    // the meter list its header and one empty row.
    WindowSettings expected;
    expected.FechaInicio = Today() - std::chrono::days(1);
    expected.FechaFin = Today();
    expected.Grid = {w->GridContents()[0], {}};
    EXPECT_EQ(w->Settings(), expected);

    EXPECT_EQ(w->windowTitle().toStdString(),
              std::string("Quorvanta IEC60870-5-102 - Ver. ") + QV_VERSION_STRING);
    EXPECT_EQ(w->TrayIcon1.Hint(), w->windowTitle());
    EXPECT_FALSE(w->DETENER.isEnabled());
    // The about and splash pictures are JPEG: Qt's reader must be there.
    EXPECT_FALSE(w->Image2.pixmap().isNull());
    EXPECT_FALSE(TSplashForm().Image2.pixmap().isNull());

    // The start button's text green and the stop button's red while enabled,
    // greyed out like any other while not: (green shown, red shown).
    const auto look = [](QPushButton& button, bool enabled) {
        button.setEnabled(enabled);
        const QImage image = button.grab().toImage();
        bool green = false, red = false;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                green |= image.pixelColor(x, y) == QColor(0, 128, 0);
                red |= image.pixelColor(x, y) == QColor(255, 0, 0);
            }
        return std::pair(green, red);
    };
    EXPECT_EQ(look(w->BitBtn2, true), std::pair(true, false));
    EXPECT_EQ(look(w->BitBtn2, false), std::pair(false, false));
    EXPECT_EQ(look(w->DETENER, true), std::pair(false, true));
    EXPECT_EQ(look(w->DETENER, false), std::pair(false, false));
}

// Qt's own dialog texts in Spanish; the date field keeps its form.
TEST_F(MainWindow, QtDialogsSpeakSpanish) {
    ASSERT_TRUE(LoadSpanishQtTexts());
    QFileDialog dialog(w.get());
    EXPECT_EQ(dialog.findChild<QLabel*>("lookInLabel")->text().toStdString(), "Ver en:");
    w->FECHA_INICIO.setDate(QDate(2016, 12, 5));
    const QCalendarWidget& calendar = *w->FECHA_INICIO.calendarWidget();
    EXPECT_EQ(calendar.findChild<QAbstractButton*>("qt_calendar_monthbutton")->text(), "diciembre");
    EXPECT_EQ(w->FECHA_INICIO.text(), " 05/12/16");
}

TEST_F(MainWindow, LinkAndOutputChoicesShowTheirGroups) {
    // Link item; serial, GSM, dial-up, modem string and IP groups shown.
    using Shown = std::tuple<bool, bool, bool, bool, bool>;
    const std::pair<int, Shown> rows[] = {
        {LinkSerialDirect, {true, false, false, false, false}},
        {LinkGsmModem, {true, true, true, false, false}},
        {LinkTcp, {false, false, false, false, true}},
        {LinkAnalogModem, {true, false, true, true, false}},
        // No item: the groups stay, the IP group follows the serial one.
        {-1, {true, false, true, true, false}},
    };
    for (const auto& [link, shown] : rows) {
        w->CONEXION.SetItemIndex(link);
        EXPECT_EQ(Shown(!w->CONFSERIAL.isHidden(), !w->CONF_GSM.isHidden(), !w->dial_up.isHidden(),
                        !w->MODEM_INI.isHidden(), !w->GRUPOIP.isHidden()),
                  shown)
            << link;
    }

    // Output item; folder and database buttons shown.
    const std::tuple<int, bool, bool> outs[] = {
        {OutputFtp, false, false}, {OutputDatabase, true, true}, {OutputFolder, true, false}};
    for (const auto& [type, folderButton, sqlButton] : outs) {
        w->Tipo_Salida.SetItemIndex(type);
        EXPECT_EQ(std::pair(!w->sel_carpeta.isHidden(), !w->BitBtn_SQL.isHidden()),
                  std::pair(folderButton, sqlButton))
            << type;
    }
}

TEST_F(MainWindow, LeavingThePortOrHostFieldCorrectsThePort) {
    const std::pair<const char*, const char*> cases[] = {
        {"abc", "40000"}, {"0", "1"},  {"123456", "99999"}, {"502", "502"},
        {"", "40000"},    {"-7", "1"}, {" 502 ", " 502 "},  {"99999999999", "40000"}};
    QApplication::setActiveWindow(w.get());
    bool viaHost = false;
    for (auto [typed, expected] : cases) {
        w->PUERTOIP.setText(typed);  // not an edit: editingFinished would stay silent
        (std::exchange(viaHost, !viaHost) ? w->HOST : w->PUERTOIP).setFocus();
        w->nro.setFocus();
        EXPECT_EQ(w->PUERTOIP.text().toStdString(), expected) << typed;
    }
}

TEST_F(MainWindow, GridPaintsHeaderAndAddressesOnNavyAndTheOtherCellsOnWhite) {
    w->SetGridContents({w->GridContents()[0], {"12345", "1", "2", "", ""}});
    w->resize(640, 480);  // narrower than the grid's columns
    w->show();
    QApplication::processEvents();
    QTableWidget& grid = w->Grid_contadores;
    const QImage image = grid.grab().toImage();
    const QPoint origin = grid.viewport()->mapTo(&grid, QPoint(0, 0));
    const QRect cell0 = grid.visualItemRect(grid.item(0, 0)).translated(origin);
    const QRect cell1 = grid.visualItemRect(grid.item(0, 1)).translated(origin);
    const QRect header(origin.x(), 0, cell0.width(), grid.horizontalHeader()->height());
    // The background at a cell's right edge, and whether the text's colour shows.
    const auto look = [&](const QRect& r, const QColor& text) {
        bool shown = false;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) shown |= image.pixelColor(x, y) == text;
        return std::pair(image.pixelColor(r.right() - 2, r.center().y()), shown);
    };
    const QColor navy(0, 0, 128);
    EXPECT_EQ(look(header, Qt::white), std::pair(navy, true));
    EXPECT_EQ(look(cell0, QColor(0, 255, 0)), std::pair(navy, true));  // lime addresses
    EXPECT_EQ(look(cell1, Qt::black), std::pair(QColor(Qt::white), true));
    // Scrolled sideways, the first column's header and address stay.
    grid.horizontalScrollBar()->setValue(grid.horizontalScrollBar()->maximum());
    const QImage scrolled = grid.grab().toImage();
    EXPECT_TRUE(grid.horizontalScrollBar()->value() > 0 &&
                scrolled.copy(cell0) == image.copy(cell0) &&
                scrolled.copy(header) == image.copy(header));
}

// The log pane, and messages posted from another thread (the files, uploads
// and the close after a run are the program tests').
TEST_F(MainWindow, LogPaneKeeps501LinesAndWorkerMessagesReachTheirControls) {
    w->LOG_FILE.setChecked(false);  // the pane only
    for (int i = 1; i <= 502; ++i) w->Show_data_Text("line " + std::to_string(i), colour::Yellow);
    QTextDocument* doc = w->Rx9.document();
    EXPECT_EQ(doc->blockCount(), 501);
    EXPECT_TRUE(doc->firstBlock().text().endsWith("  LINE 2"));
    w->BitBt_ClearClick();
    w->Show_data_Text("- error", colour::Red);
    EXPECT_EQ(doc->blockCount(), 1);
    EXPECT_EQ(doc->availableUndoSteps(), 0);  // no history of the lines dropped
    EXPECT_EQ(doc->firstBlock().begin().fragment().charFormat().foreground().color(),
              QColor(Qt::red));

    TForm_progress progress;
    w->Form_progress = &progress;
    w->SetGridContents(
        {GridRow{"A", "B", "C", "D", "E"}, GridRow{"1"}, GridRow{"2"}, GridRow{"3"}});
    const MessageTarget target = w->WindowTarget();
    std::thread([&] {
        PostModemStatus(target, ModemNoAnswer, 0);
        PostGridStatus(target, 3, "(6) LECTURA CORRECTA");
        PostGridStatus(target, 9, "(6) LECTURA CORRECTA");  // no such row
        target.post(MSG_GRIDSTATUS, std::make_unique<Tmensaje_TXT>(std::string("\0\1", 2), 0));
        target.post(MSG_PROGRESSINIT, std::make_unique<Tmensaje_TXT>("SUBIENDO", 40));
        target.post(MSG_PROGRESSPOS, std::make_unique<Tmensaje_TXT>("", 7));
    }).join();
    QCoreApplication::processEvents();

    EXPECT_EQ(w->SIM.text().toStdString(), "  MODEM  NO RESPONDE!");
    EXPECT_EQ(w->signal.Hint().toLatin1().toStdString(),
              "INTENSIDAD DE SE\xD1"
              "AL (-113dBm)");
    EXPECT_EQ(w->GridContents()[3][4], "(6) LECTURA CORRECTA");
    EXPECT_EQ(w->GridContents()[1][4], "");
    EXPECT_TRUE(progress.isVisible());
    EXPECT_EQ(progress.namex.text(), "SUBIENDO");
    EXPECT_EQ(progress.Progress_Bar.value(), 7);

    PostModemStatus(target, ModemRegistered, 99);                          // fills the bar
    target.post(MSG_PROGRESSPOS, std::make_unique<Tmensaje_TXT>("", 99));  // held at 40
    QCoreApplication::processEvents();
    EXPECT_EQ(progress.Progress_Bar.value(), 40);
    target.post(MSG_PROGRESSPOS, std::make_unique<Tmensaje_TXT>("", 0));
    QCoreApplication::processEvents();
    EXPECT_TRUE(w->signal.Hint().endsWith("(85dBm)"));
    EXPECT_EQ(w->signal.GetPosition(), 100.0);
    EXPECT_FALSE(progress.isVisible());
}

TEST(WebPage, OpensThroughTheDesktopOpenerWhenThereIsOne) {
    const std::string dir = test::makeTempDir("opener"), url = "https://quorvanta.example/?a=1&b=2";
    const std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", dir.c_str(), 1);
    EXPECT_FALSE(OpenInBrowser(url));
    std::ofstream(dir + "/xdg-open") << "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.url\"\n";
    std::filesystem::permissions(dir + "/xdg-open", std::filesystem::perms::owner_all);
    EXPECT_TRUE(OpenInBrowser(url));
    setenv("PATH", oldPath.c_str(), 1);
    for (int i = 0; i < 500 && test::ReadFile(dir + "/xdg-open.url").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(test::ReadFile(dir + "/xdg-open.url"), url);
    std::filesystem::remove_all(dir);
}

class ConfigWindow : public MainWindow {
  protected:
    void SetUp() override {
        w->KeyStorePath = dir + "/store/QUORVANTA.conf";
        w->LOG_FILE.setChecked(false);
        sqlForm = CreateSqlForm(*w);
    }
    std::string dir = test::makeTempDir("config_window");
    std::unique_ptr<TSql_Form> sqlForm;
};

// The file loaded over what the command line set before it; what follows
// overrides it.
TEST_F(ConfigWindow, CommandLineLoadsTheFileIntoTheControls) {
    const std::string ini = dir + "/Site Config.ini";
    std::ofstream(ini) << "[MAIN]\nHOST=from-file\nRUTA=/srv/csv\nCONTADORES=7,1,1,,99,2,2,X\n";
    w->ArgumentsFrom({"quorvanta", "-METERS", "12-1-5,13-1-5-OPC", "-INI", "\"" + ini + "\"", "-IP",
                      "10.0.0.9", "-NOSTART"});
    const WindowSettings s = w->Settings();
    EXPECT_EQ(std::tuple(s.Host, s.Ruta, s.IniFileName), std::tuple("10.0.0.9", "/srv/csv", ini));
    EXPECT_EQ(MeterLinkTexts(s.Grid), (std::vector<std::string>{"12", "13", "7", "99"}));
    EXPECT_FALSE(w->Delay_start.isActive());
    EXPECT_TRUE(w->Rx9.toPlainText().section('\n', 0, 0).endsWith("  - ANALIZANDO PARAMETROS"));
}

// "LEER AHORA" over a reversed range says, as the command line does, that it
// reads the end date alone.
TEST_F(ConfigWindow, ReversedRangeFromTheWindowIsLogged) {
    w->FECHA_INICIO.setDate(QDate(2026, 6, 12));
    w->FECHA_FIN.setDate(QDate(2026, 6, 10));
    w->BitBtn2Click();
    w->Delay_start.stop();
    EXPECT_TRUE(w->Rx9.toPlainText().endsWith("SOLO SE LEE EL 2026/06/10"));
}

// Every key from the boxes of both windows to the file, in its form, and back
// through the load button (twice: the meters are matched by link address).
TEST_F(ConfigWindow, EveryKeySavedAndLoadedBackThroughBothWindows) {
    const WindowSettings start = w->Settings();
    WindowSettings s = start;
    Add_to_Grid(s.Grid, 12, 1, 5, "");
    Add_to_Grid(s.Grid, 65535, 0, 7, "OPC 7, \"x\"");
    s.PortIndex = 29, s.BaudText = "115200", s.BitsText = "7", s.ParityText = "Marca";
    s.StopText = "1.5", s.Conexion = LinkAnalogModem, s.Numero = "600 123", s.ModemInit = "AT&F";
    s.Host = "h.example", s.HostPort = "40001", s.FechaInicio = NullDate;
    s.FechaFin = std::chrono::year(2016) / 3 / 1, s.Intervalo = 0, s.TipoSalida = OutputDatabase;
    s.LogScreen = false, s.LogDisk = false, s.Minimizar = true;
    s.Ruta = "/srv/a\xF1o dir", s.IniFileName = dir + "/My Config.ini";
    DbSettings db;
    db.HOST_NAME = "H", db.DATA_BASE = "DB", db.USER_NAME = "U", db.PASSWORD = "";
    db.PUERTO = "3308", db.HABILITA_TUNEL = true, db.SSH_HOST = "ssh.example";
    db.SSH_PORT = "2222", db.SSH_LOGIN = "op", db.SSH_PASS = std::string(40, 's');
    db.DEST_HOST = "db", db.DEST_PORT = "3307", db.LIST_PORT = "13306";
    w->ApplySettings(s);
    sqlForm->SetSettings(db);
    ASSERT_TRUE(w->Save_data(s.IniFileName));
    // The section as written, encoded passwords (64 characters or more)
    // masked: every key in order, in its form.
    const auto masked = [](const std::string& path) {
        return std::regex_replace(test::ReadFile(path), std::regex("(PASSW?)=.{64,}"), "$1=*");
    };
    const std::string expected =
        "[MAIN]\nCONTADORES=12,1,5,,65535,0,7,\"OPC 7, \"\"x\"\"\"\nPORT=29\nBAUD_CONTADOR=115200\n"
        "BITS_CONTADOR=7\nPARIDAD_CONTADOR=Marca\nSTOP_CONTADOR=1.5\nCONEXION=3\nNUMERO=600 123\n"
        "MODEM_INIT=AT&F\nHOST=h.example\nHOST_PORT=40001\nFECHA_INICIO=1899/12/30\n"
        "FECHA_FIN=2016/03/01\nINTERVALO=0\nTipo_Salida=2\nLOGSCREEN=0\nLOGDISK=0\nMINIMIZAR=1\n"
        "RUTA=/srv/a\xF1o dir\nSSH_HOST=ssh.example\nSSH_PORT=2222\nSSH_LOGIN=op\nSSH_PASS=*\n"
        "DEST_HOST=db\nDEST_PORT=3307\nLIST_PORT=13306\nHABILITA_TUNEL=1\nHOST_NAME=H\n"
        "DB_NAME=DB\nUSER_NAME=U\nPASSW=*\nPUERTO=3308\n";
    EXPECT_EQ(masked(s.IniFileName), expected);

    w->ApplySettings(start);
    sqlForm->SetSettings({});
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            dialog->selectFile(QString::fromStdString(s.IniFileName));
            static_cast<QDialog*>(dialog)->accept();  // public there
        });
        w->BitBtn_LoadClick();
    }
    EXPECT_EQ(w->Settings(), s);
    EXPECT_EQ(sqlForm->Settings().SSH_PASS + "|" + sqlForm->PASSWORD->text().toStdString(),
              db.SSH_PASS + "|");
    EXPECT_TRUE(w->windowTitle().endsWith(QString::fromStdString("   -   " + s.IniFileName)));
    KeyStore store(w->KeyStorePath);
    ASSERT_TRUE(store.openKey(std::string(IniRecordKey), false));
    EXPECT_EQ(store.readString("INI"), s.IniFileName);
    ASSERT_TRUE(w->Save_data(dir + "/again.ini"));
    EXPECT_EQ(masked(dir + "/again.ini"), expected);
}

// Handles the window's events until done() holds, at most 60 s.
bool eventsUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer poll;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done() || std::chrono::steady_clock::now() > end) loop.quit();
    });
    poll.start(20);
    loop.exec();
    return done();
}

// A reading through "LEER AHORA" leaves nothing of its run alive once the
// window is ready for the next one: not the run object, not its thread
// object, which holds the meter records until it hands each one over. A
// reference left behind in a callback would keep a run per reading.
TEST_F(ConfigWindow, ReadingLeavesNoObjectOfItsRunAlive) {
    sim::SimConfig config;
    config.replyDelayMs = 0;
    for (int link : {101, 102})
        config.meters.push_back({.linkAddress = link, .password = 7, .faults = {}});
    sim::MeterSim sim(config);
    WindowSettings s = w->Settings();
    s.Grid = {s.Grid[0], {"101", "1", "7", "", ""}, {"102", "1", "7", "", ""}};
    s.Conexion = LinkTcp, s.Host = "127.0.0.1", s.HostPort = std::to_string(sim.listenTcp());
    s.InterAsdu = 0, s.Ruta = dir;
    w->ApplySettings(s);

    w->BitBtn2.click();
    ASSERT_TRUE(eventsUntil([&] { return w->Conta != nullptr; }));
    const std::weak_ptr<TContador_IP> thread = w->Conta->Thread;
    ASSERT_TRUE(eventsUntil([&] { return w->BitBtn2.isEnabled(); }));
    const GridRows grid = w->GridContents();
    EXPECT_EQ(grid[1][4] + "|" + grid[2][4], "(6) LECTURA CORRECTA|(6) LECTURA CORRECTA");
    EXPECT_EQ(w->Conta.get(), nullptr);
    EXPECT_TRUE(thread.expired());
}

struct DialogAnswers {  // boxes answered Yes or OK, questions in turn (null cancels)
    explicit DialogAnswers(std::vector<const char*> a) : answers(std::move(a)) {
        QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
        timer.start(5);
    }
    void answer() {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
            boxes.push_back(box->text().toStdString());
            return box->button(box->button(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok)
                ->click();
        }
        const char* text = given < answers.size() ? answers[given++] : nullptr;
        if (text && *text) dialog->findChild<QLineEdit*>()->setText(text);
        return text ? dialog->accept() : dialog->reject();
    }
    std::vector<const char*> answers;
    std::size_t given = 0;
    std::vector<std::string> boxes;
    QTimer timer;
};

// The add, remove and remove-all buttons through their dialogs.
TEST_F(ConfigWindow, MeterDialogsAddRemoveAndEmptyTheList) {
    DialogAnswers d(
        {nullptr, "12", "", "", "OPC", "13", "2", "65535", "13", "", "", "", "12", "13"});
    for (int i = 0; i < 4; ++i) w->AGREGAR_CONTADOR21.click();
    EXPECT_EQ(GridCommaText(w->GridContents()), "12,1,1,OPC,13,1,1,");
    w->QUITAR_CONTADOR21.click();
    EXPECT_EQ(w->GridContents()[1], (GridRow{"13", "1", "1", "", ""}));
    w->QUITAR_CONTADOR21.click();  // the last one: the header row alone, no empty meter saved
    ASSERT_TRUE(w->Grid_contadores.rowCount() == 0 && w->Save_data(dir + "/none.ini"));
    EXPECT_NE(test::ReadFile(dir + "/none.ini").find("CONTADORES=\n"), std::string::npos);
    w->BitBtn3.click();  // "QUITAR TODOS": the header row and one empty row
    EXPECT_EQ(w->GridContents(), (GridRows{w->GridContents()[0], GridRow{}}));
    EXPECT_EQ(d.boxes.size() == 7 ? d.boxes[0] : "", "DATOS INGRESADOS SON ERRONEOS");
}

}  // namespace
}  // namespace qv

// Qt's font set-up leaves fontconfig's caches allocated at exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

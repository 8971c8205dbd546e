// The main window's run side: the log, the worker messages, starting and
// stopping runs, closing after an unattended run, and the CSV hand-off.

#include <QCoreApplication>
#include <QFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <chrono>
#include <utility>

#include "app/core/app_log.h"
#include "app/core/csv_file.h"
#include "app/core/dates.h"
#include "app/core/run_setup.h"
#include "app/core/settings_check.h"
#include "app/core/startup.h"
#include "app/gui/form_progress.h"
#include "app/gui/remotex.h"
#include "meter/meter_messages.h"
#include "platform/text.h"

namespace qv {

namespace {

constexpr int kPaneLines = 501;

QColor toQColor(int32_t c) {
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

QString latin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void Tremotex::InitRunControl() {
    const FilesBeside files = FilesBesideExecutable(ExecutablePath());
    LogFilePath = files.Log;
    OldLogFilePath = files.OldLog;
    StatusLogPath = files.Status;

    executor_ = std::make_unique<QtMainExecutor>();
    receiver_ = std::make_unique<MessageReceiver>(
        *executor_, [this](int kind, std::unique_ptr<MessagePayload> payload) {
            WM_C_MSG(kind, std::move(payload));
        });

    for (QTimer* t : {&Delay_start, &reenable, &Do_close}) t->setSingleShot(true);
    connect(&Delay_start, &QTimer::timeout, this, &Tremotex::Delay_startTimer);
    connect(&reenable, &QTimer::timeout, this, &Tremotex::reenableTimer);
    connect(&Do_close, &QTimer::timeout, this, &Tremotex::Do_closeTimer);
    connect(&BitBtn2, &QPushButton::clicked, this, &Tremotex::BitBtn2Click);
    connect(&DETENER, &QPushButton::clicked, this, &Tremotex::DETENERClick);
    connect(&BitBt_Clear, &QPushButton::clicked, this, &Tremotex::BitBt_ClearClick);
    // Minimising hides the window in the notification area (WMSIZE); a
    // click on the icon brings it back.
    TrayIcon1.SetMinimizeToTray(true);
    TrayIcon1.OnClick = [this](TTrayIcon*) { TrayIcon1Click(); };
    // The configuration and command-line side logs through the same line.
    ConfigLog = [this](const std::string& text, int32_t c) { Show_data_Text(text, c); };
    DETENER.setEnabled(false);
    Log.setChecked(true);
    LOG_FILE.setChecked(true);
    Rx9.setReadOnly(true);
}

MessageTarget Tremotex::WindowTarget() const {
    return receiver_->target();
}

// ---------------------------------------------------------------- log

void Tremotex::Show_data_Text(const std::string& text, int32_t colour) {
    const std::string line = LogLine(text, std::chrono::system_clock::now());
    if (colour == colour::Red) NoteRedLine(text);  // the reason a failed run reports
    if (LOG_FILE.isChecked()) Log_2_disk(line);
    if (!Log.isChecked()) return;
    QTextDocument* doc = Rx9.document();
    if (doc->blockCount() >= kPaneLines) {
        QTextCursor first(doc->firstBlock());
        first.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        first.removeSelectedText();
    }
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    // An empty pane already holds one empty line: the first line goes there.
    if (!doc->isEmpty()) cursor.insertBlock();
    QTextCharFormat format;
    format.setForeground(toQColor(colour));
    cursor.insertText(latin1(line), format);
    Rx9.setTextCursor(cursor);
    Rx9.ensureCursorVisible();
}

void Tremotex::Log_2_disk(const std::string& line) {
    qv::Log_2_disk(LogFilePath, OldLogFilePath, line);
}

void Tremotex::BitBt_ClearClick() {
    Rx9.clear();
}

// ---------------------------------------------------------------- messages

void Tremotex::SetSignal(double position, const std::string& hint) {
    signal.SetPosition(position);
    signal.SetHint(latin1(hint));
}

void Tremotex::OutputReadings(const Tdevice& d) {
    Show_data_Text(" - DATOS RECOGIDOS DE METER : " + std::to_string(d.LinkAddress), colour::Green);
    // Where the run was checked to write, whatever the box shows now.
    switch (run_ ? run_->Window.TipoSalida : Tipo_Salida.ItemIndex()) {
        case OutputFolder:
            Crear_fixer(d, false);
            break;
        case OutputFtp:
            Crear_fixer(d, true);
            break;
        default:
            if (PostFixer) {
                PostFixer(d);
            } else if (Crear_fixer(d, false).empty()) {
                Show_data_Text("- NO EXISTEN DATOS PARA SUBIR A LA BASE", colour::Red);
            } else {
                Show_data_Text("- SALIDA A BASE DE DATOS NO DISPONIBLE", colour::Red);
            }
    }
}

void Tremotex::WM_C_MSG(int kind, std::unique_ptr<MessagePayload> payload) {
    try {
        if (kind == MSG_DATA) {
            auto* data = dynamic_cast<ObjectPayload<Tdevice>*>(payload.get());
            if (data && data->object) OutputReadings(*data->object);
            return;
        }
        auto* m = dynamic_cast<Tmensaje_TXT*>(payload.get());
        if (!m) return;
        switch (kind) {
            case MSG_LOG:
                Show_data_Text(m->Text, m->Value);
                break;
            case MSG_MODEM: {
                QPalette p = SIM.palette();
                p.setColor(QPalette::WindowText, toQColor(m->Value));
                SIM.setPalette(p);
                SIM.setText(latin1(ModemCaption(m->Value)));
                const int level = SignalLevel(m->Text);
                SetSignal(SignalPosition(level), SignalHint(level));
                break;
            }
            case MSG_PROGRESSINIT:
                if (Form_progress) {
                    Form_progress->namex.setText(latin1(m->Text));
                    Form_progress->Progress_Bar.setMaximum(m->Value);
                    Form_progress->Progress_Bar.setValue(0);
                    Form_progress->show();
                    Form_progress->raise();
                }
                break;
            case MSG_PROGRESSPOS:
                if (Form_progress) {
                    // Held to the bar's range, as a native bar does: Qt would
                    // ignore a value outside it and keep the old one.
                    QProgressBar& bar = Form_progress->Progress_Bar;
                    bar.setValue(std::clamp(m->Value, bar.minimum(), bar.maximum()));
                    if (bar.value() == 0) Form_progress->hide();
                }
                break;
            case MSG_EXITCODE:
                if (auto code = ParseExitCode(m->Text)) {
                    if (*code == 0 && outputLost_)
                        SetOutputLostCode();
                    else
                        SetProcessExitCode(*code);
                }
                break;
            case MSG_GRIDSTATUS: {
                int row = 0;
                std::string status;
                if (DecodeGridStatus(m->Text, row, status))
                    ShowRunStatus(row, status.substr(0, 255));
                break;
            }
            default:
                break;
        }
    } catch (...) {
        // A failing output or control must not stop the messages that follow.
    }
}

namespace {

// The status row `r` of the run shows: a meter read whose output failed
// says so in place of "(6) LECTURA CORRECTA".
std::string statusOf(const Tremotex::RunCopy& run, std::size_t r) {
    const std::string& status = run.Grid[r][4];
    if (!run.OutputFault[r].empty() && status.starts_with("(6)")) return run.OutputFault[r];
    return status;
}

}  // namespace

GridRows Tremotex::StatusRows(const RunCopy& run) {
    GridRows rows = run.Grid;
    for (std::size_t r = 1; r < rows.size(); ++r) rows[r][4] = statusOf(run, r);
    return rows;
}

int Tremotex::RunRow(int32_t link) const {
    if (!run_) return 0;
    for (std::size_t r = 1; r < run_->Grid.size(); ++r)
        if (!TrimBlanks(run_->Grid[r][0]).empty() && TextToInt(run_->Grid[r][0]) == link)
            return static_cast<int>(r);
    return 0;
}

void Tremotex::ShowRunStatus(int row, const std::string& status) {
    QString text = SettingText(status);
    if (run_ && row >= 1 && row < static_cast<int>(run_->Grid.size())) {
        run_->Grid[static_cast<std::size_t>(row)][4] = status;
        text = SettingText(statusOf(*run_, static_cast<std::size_t>(row)));
        // The cell shows it only while its row still shows the run's meter.
        if (row > Grid_contadores.rowCount()) return;
        for (int c = 0; c < 4; ++c)
            if (SettingText(gridText(c, row)) != run_->Grid[static_cast<std::size_t>(row)][c])
                return;
    }
    // Table row r is grid row r + 1; a row gone since the run started is ignored.
    if (row < 1 || row > Grid_contadores.rowCount()) return;
    if (auto* item = Grid_contadores.item(row - 1, 4))
        item->setText(text);
    else
        Grid_contadores.setItem(row - 1, 4, std::make_unique<QTableWidgetItem>(text).release());
}

std::string Tremotex::Crear_fixer(const Tdevice& device, bool viaFtp) {
    // The run's folder or FTP target; a path keeps the bytes it has on disk.
    const std::string ruta = run_ ? run_->Target : QFile::encodeName(RUTA.text()).toStdString();
    std::string why;  // the first red line: what kept the file from being written
    const std::string name = qv::Crear_fixer(device, viaFtp, ruta, LocalToday(),
                                             [this, &why](const std::string& text, int32_t c) {
                                                 if (c == colour::Red && why.empty()) why = text;
                                                 Show_data_Text(text, c);
                                             });
    if (name.empty())
        OutputFailed({}, device.LinkAddress, "FICHERO CSV",
                     why.empty() ? "NO SE HA PODIDO ESCRIBIR" : why);
    else if (run_)
        run_->FileRows[name] = RunRow(device.LinkAddress);
    if (viaFtp && !name.empty()) {
        PendingUploads::Token upload = Uploads.Begin();
        if (StartFtpUpload)
            StartFtpUpload(name, ruta, !device.Complete, std::move(upload));
        else
            Show_data_Text("- SALIDA FTP NO DISPONIBLE", colour::Red);
    }
    return name;
}

// ---------------------------------------------------------------- run control

void Tremotex::OutputFailed(const std::string& file, int32_t link, const std::string& output,
                            const std::string& why) {
    int row = 0;
    if (run_ && file.empty()) {
        row = RunRow(link);
    } else if (run_) {
        const auto it = run_->FileRows.find(file);
        row = it == run_->FileRows.end() ? 0 : it->second;
    }
    // Not a file of the run (one named with -DBUPLOAD): the code alone says
    // it. One that failed before the command line's run began is that run's.
    if (row <= 0) {
        if (!run_ && uploadFault_.empty()) uploadFault_ = why.empty() ? output : why;
        return OutputLost();
    }
    RunCopy& run = *run_;
    const auto r = static_cast<std::size_t>(row);
    const std::string line = OutputFaultLine(TextToInt(run.Grid[r][0]), output, why);
    Show_data_Text(line, colour::Red);
    if (run.OutputFault[r].empty()) run.OutputFault[r] = OutputFaultStatus(output, why);
    ShowRunStatus(row, run.Grid[r][4]);
    OutputLost(line, row);
    // After the run's end its status file is written again; before, the end writes it.
    if (!runOpen_) WriteStatusFile(StatusLogPath, StatusRows(run));
}

void Tremotex::SetOutputLostCode() {
    if (firstOutputFault_.empty())
        SetProcessExitCode(ExitOutputLost);
    else
        SetProcessExitCode(ExitOutputLost, firstOutputFault_);
}

void Tremotex::OutputLost(const std::string& reason, int row) {
    outputLost_ = true;
    // The reason is the failed output of the meter first in the list, as the
    // first meter not read is for 15, however the uploads' ends are ordered.
    if (!reason.empty() && (firstOutputFault_.empty() || row < firstOutputRow_)) {
        firstOutputFault_ = reason;
        firstOutputRow_ = row;
        if (ProcessExitCode() == ExitOutputLost) SetOutputLostCode();
    }
    if (ProcessExitCode() != 0) return;
    SetOutputLostCode();
    // An upload that fails after the run has logged its exit code changes the
    // code: the log's last "EXIT CODE" line says so.
    if (!runOpen_) LogExitCode();
}

void Tremotex::LogExitCode() {
    loggedExitCode_ = ProcessExitCode();
    Show_data_Text(" - EXIT CODE: " + std::to_string(*loggedExitCode_), colour::White);
}

void Tremotex::MetersNotRead(const std::string& reason) {
    // In the run's own words for a run whose set-up failed; a ";" would
    // split the status file's line.
    std::string status = "(2) ERROR INICIANDO - (" + reason + ")";
    std::ranges::replace(status, ';', ',');
    for (int row = 0; row < Grid_contadores.rowCount(); ++row) {
        const QTableWidgetItem* link = Grid_contadores.item(row, 0);
        if (!link || link->text().trimmed().isEmpty()) continue;  // no meter
        Grid_contadores.setItem(row, 4,
                                std::make_unique<QTableWidgetItem>(SettingText(status)).release());
    }
    WriteStatusFile(StatusLogPath, GridContents());
}

void Tremotex::RunRefused(const std::string& line) {
    if (!line.empty()) Show_data_Text(line, colour::Red);
    SetProcessExitCode(ExitInitFailed);
    MetersNotRead(ProcessExitReason());
    LogExitCode();
    reenable.start();  // as after a run: the window back, an unattended program closed
}

void Tremotex::LockSettings(bool enabled) {
    // The dial number and the modem's first line are a run's settings too;
    // their groups stay enabled, so the modem state keeps its colour.
    for (QWidget* w : std::initializer_list<QWidget*>{
             &RANGO, &Tipo_Salida, &Box_Contadores, &BitBtn_Save, &NOMBRE_CSV_FTP, &BitBtn_SQL,
             &CONEXION, &GRUPOIP, &CONF_GSM, &CONFSERIAL, &nro, &Modem_Init_str})
        w->setEnabled(enabled);
}

bool Tremotex::TakeRunSettings() {
    // Nothing a run cannot start with reaches a link.
    if (const std::string problem = RunProblem(Settings()); !problem.empty()) {
        RunRefused("- " + problem);
        return false;
    }
    RunCopy copy;
    copy.Window = Settings();
    copy.PortName = QFile::encodeName(ComboBox1.currentText()).toStdString();
    copy.Target = QFile::encodeName(RUTA.text()).toStdString();
    copy.Db = DatabaseSettings();
    copy.Grid = copy.Window.Grid;
    copy.OutputFault.resize(copy.Grid.size());
    pendingRun_ = std::move(copy);
    BitBtn2.setEnabled(false);
    LockSettings(BitBtn2.isEnabled());
    return true;
}

void Tremotex::BitBtn2Click() {
    BitBtn2.setEnabled(false);
    AutoMinimize = false;
    AutoClose = false;
    // Checked, copied and locked at the click: nothing changes the run's
    // settings in the half second before it starts.
    if (!TakeRunSettings()) return;
    // Said as the command line says it: the run reads the end date alone.
    const WindowSettings& s = pendingRun_->Window;
    if (const std::string line = ReversedRangeLine(s.FechaInicio, s.FechaFin); !line.empty())
        Show_data_Text(line, colour::Yellow);
    Delay_start.start();
}

void Tremotex::Delay_startTimer() {
    Delay_start.stop();
    // An automatic start takes the settings now; LEER AHORA took them at its click.
    if (!pendingRun_ && !TakeRunSettings()) return;
    RunCopy copy = std::move(*pendingRun_);
    pendingRun_.reset();
    StartRun(std::move(copy));
}

void Tremotex::StartRun(RunCopy copy) {
    // The controls were locked when the copy was taken.
    if (AutoMinimize || MINIMIZAR.isChecked()) TrayIcon1.HideMainForm();
    QPalette p = SIM.palette();
    p.setColor(QPalette::WindowText, toQColor(colour::Grey));
    SIM.setPalette(p);
    SIM.setText(latin1(ModemCaption(colour::Grey)));
    SetSignal(0, SignalHintIdle());
    DETENER.setEnabled(true);

    RunSettings s = MakeRunSettings(copy.Window);
    s.PortName = copy.PortName;
    s.MainWindow = WindowTarget();
    s.Executor = executor_.get();
    s.StatusPath = StatusLogPath;
    run_ = std::make_shared<RunCopy>(std::move(copy));
    RunCallbacks cb;
    cb.ShowDataText = [this](const std::string& text, int32_t c) { Show_data_Text(text, c); };
    cb.RunEnded = [this] { reenable.start(); };
    // Asked for as the run logs its exit code line.
    cb.ProgramExitCode = [this] {
        runOpen_ = false;
        loggedExitCode_ = ProcessExitCode();
        return *loggedExitCode_;
    };
    // The run's own grid, whatever the meter grid shows now.
    cb.CurrentGrid = [run = run_] { return StatusRows(*run); };
    // ApplicationTerminating stays unset: the reading thread posts its end into
    // this window's executor, so a run stopped while the program closes is
    // waited for (its waits notice the stop within 100 ms) rather than left
    // running against a freed window.
    // Whether this run's readings reach their output is this run's own state;
    // a -DBUPLOAD upload that failed before the first run counts in it.
    outputLost_ = !uploadFault_.empty();
    firstOutputFault_ = std::exchange(uploadFault_, {});
    firstOutputRow_ = 0;
    runOpen_ = true;
    try {
        Conta.reset();  // the last run's object; its thread has ended
        Conta = std::make_unique<T_Conta>(std::move(s), std::move(cb));
    } catch (const std::exception& e) {
        runOpen_ = false;
        // No run, so no end handler: end it from here.
        RunRefused(std::string(" - INIT ERROR ") + e.what());
    }
    QCoreApplication::processEvents();
}

void Tremotex::DETENERClick() {
    DETENER.setEnabled(false);
    if (Conta) Conta->Destroy();
    Conta.reset();
    reenable.start();
}

void Tremotex::reenableTimer() {
    reenable.stop();
    runOpen_ = false;  // also for a run stopped before it logged its end
    // The run has ended: its object, thread and meter records go now rather
    // than when the next run starts.
    Conta.reset();
    DETENER.setEnabled(false);
    BitBtn2.setEnabled(true);
    LockSettings(BitBtn2.isEnabled());
    QCoreApplication::processEvents();
    if (AutoClose) Do_close.start();
}

void Tremotex::Do_closeTimer() {
    Do_close.stop();
    if (Uploads.Count() != 0) {
        Do_close.start();  // looks again every 2000 ms while an upload runs
        return;
    }
    close();  // which ends the program
}

void Tremotex::TrayIcon1Click() {
    TrayIcon1.ShowMainForm();
}

}  // namespace qv

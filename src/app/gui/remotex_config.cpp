// The main window's configuration file, command line and meter list: the
// buttons and dialogs over the plain functions of core/.

#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>

#include "app/core/command_line.h"
#include "app/core/config_file.h"
#include "app/core/meter_grid.h"
#include "app/core/password_codec.h"
#include "app/core/settings_check.h"
#include "app/core/startup.h"
#include "app/core/version.h"
#include "app/gui/remotex.h"
#include "export/sql_form.h"
#include "platform/worker_message.h"

namespace qv {

namespace {

// File names keep the bytes they have on disk.
std::string path_bytes(const QString& path) {
    return QFile::encodeName(path).toStdString();
}
QString path_text(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

void config_log(Tremotex& w, const std::string& text, int32_t c) {
    if (w.ConfigLog)
        w.ConfigLog(text, c);
    else
        w.Show_data_Text(text, c);
}

std::string decode_password(const std::string& encoded) {
    return DecodePWDEx(encoded);
}

// "Shown" paths may be upper-cased; the file is always opened as named.
void set_file_caption(Tremotex& w, const QString& shownPath) {
    w.setWindowTitle(QString(CaptionPrefix) + SettingText(ReadFileVersion()) + "   -   " +
                     shownPath);
}

// One step of the add dialog: OK with a number that fits its field of the
// frames, as the meter list takes it. A text refused sets `refused` to the
// list's reason, naming the field and the text.
bool ask_number(QWidget* parent, const QString& caption, const QString& prompt, MeterNumber field,
                std::string& text, int32_t& value, std::string& refused) {
    bool ok = false;
    const QString typed =
        QInputDialog::getText(parent, caption, prompt, QLineEdit::Normal, SettingText(text), &ok);
    if (!ok) return false;
    text = SettingText(typed);
    refused = MeterNumberProblem(field, text);
    return refused.empty() && parse_int32(TrimBlanks(text), value);
}

bool confirmed(QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, parent->windowTitle(), text,
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace

bool Tremotex::Save_data(const std::string& FileName, std::string* problem) {
    // A file the window saves is one a run starts with and -INI loads.
    const WindowSettings s = Settings();
    std::string why = RunSettingsProblem(s);
    if (why.empty() && Sql_Form) why = Sql_Form->PortProblem();
    if (!why.empty()) {
        if (problem) *problem = std::move(why);
        return false;
    }
    // Without a database window the keys get the boxes' initial texts.
    return SaveConfigFile(FileName, s, Sql_Form ? Sql_Form->Settings() : DbSettings{}, problem);
}

std::string Tremotex::RunProblem(const WindowSettings& s) const {
    const DbSettings db = Sql_Form ? Sql_Form->Settings() : DbSettings{};
    return RunSettingsProblem(s, &db);
}

std::vector<std::string> Tremotex::Load_ini_file(const std::string& FileName) {
    WindowSettings s = Settings();
    std::vector<std::string> problems;
    if (LoadFileInto(FileName, s, problems)) ApplySettings(s);
    return problems;
}

bool Tremotex::LoadFileInto(const std::string& FileName, WindowSettings& s,
                            std::vector<std::string>& problems) {
    if (!LoadConfigFile(FileName, s, &problems)) return false;
    // The file holds the database window's boxes too (their keys' problems
    // are among the file's).
    if (Sql_Form) Sql_Form->Init(FileName, decode_password);
    SetRegistryData(std::string(IniRecordKey), std::string(IniRecordValue), 1, FileName);
    set_file_caption(*this, path_text(FileName));
    return true;
}

void Tremotex::BitBtn_LoadClick() {
    BitBtn_Load.setEnabled(false);
    QFileDialog dialog(this);
    dialog.setDirectory(QDir::currentPath());
    dialog.setNameFilter("config file (*.ini)");
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        const std::string chosen = path_bytes(dialog.selectedFiles().front());
        IniFileName = chosen;
        // Each key not taken in the words -INI refuses it with.
        for (const std::string& problem : Load_ini_file(chosen))
            config_log(*this, "- " + problem, colour::Red);
    }
    BitBtn_Load.setEnabled(true);
}

void Tremotex::BitBtn_SaveClick() {
    BitBtn_Save.setEnabled(false);
    QFileDialog dialog(this, "Nombre del archivo de configuracion");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter("config file (*.ini)");
    dialog.setDefaultSuffix("ini");
    if (IniFileName.empty()) {
        dialog.setDirectory(QDir::currentPath());
    } else {
        const QFileInfo current(path_text(IniFileName));
        dialog.setDirectory(current.absolutePath());
        dialog.selectFile(current.fileName());
    }
    const QStringList chosen =
        dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
    if (!chosen.isEmpty() && !chosen.front().isEmpty()) {
        const std::string name = path_bytes(chosen.front());
        std::string problem;
        if (Save_data(name, &problem)) {
            IniFileName = name;
            set_file_caption(*this, chosen.front().toUpper());
            SetRegistryData(std::string(IniRecordKey), std::string(IniRecordValue), 1, name);
            QMessageBox::information(
                this, windowTitle(),
                QString::fromUtf8("Se han guardado los datos de Configuración !"));
        } else {
            // The file on disk is untouched: the save writes a new file and renames it.
            config_log(*this,
                       "- ERROR AL GUARDAR LA CONFIGURACION : " + name +
                           (problem.empty() ? "" : " - " + problem),
                       colour::Red);
        }
    }
    BitBtn_Save.setEnabled(true);
}

void Tremotex::sel_carpetaClick() {
    const QString folder = QFileDialog::getExistingDirectory(
        this, "Seleccione la unidad y carpeta destino", RUTA.text());
    if (!folder.isEmpty()) RUTA.setText(folder);
}

void Tremotex::SetRegistryData(const std::string& Key, const std::string& ValueName, int DataType,
                               const std::string& Value) {
    qv::SetRegistryData(KeyStorePath, Key, ValueName, DataType, Value);
}

void Tremotex::Add_to_Grid(int32_t Link, int32_t Point, int32_t Password, const std::string& Opc) {
    GridRows g = GridContents();
    qv::Add_to_Grid(g, Link, Point, Password, Opc);
    SetGridContents(g);
}

void Tremotex::Put_in_grid_line(int Row, int32_t Link, int32_t Point, int32_t Password,
                                const std::string& Opc) {
    if (Row < 0) return;
    GridRows g = GridContents();
    qv::Put_in_grid_line(g, static_cast<std::size_t>(Row), Link, Point, Password, Opc);
    SetGridContents(g);
}

void Tremotex::Quitar_todo() {
    GridRows g = GridContents();
    qv::Quitar_todo(g);
    SetGridContents(g);
}

bool Tremotex::DE_Query(const std::vector<std::string>& Items, const std::string& Caption,
                        std::string& Value) {
    QDialog dialog(this);
    dialog.setWindowTitle(SettingText(Caption));
    QLabel label("Direccion de enlace del contador?", &dialog);
    label.setWordWrap(true);
    label.setGeometry(20, 15, 410, label.heightForWidth(410));
    QComboBox list(&dialog);
    list.setEditable(true);
    list.lineEdit()->setMaxLength(255);
    list.setEditText(SettingText(Value));
    for (const std::string& item : Items) list.addItem(SettingText(item));
    if (!Items.empty()) list.setCurrentIndex(0);
    list.lineEdit()->selectAll();
    list.setGeometry(20, label.geometry().bottom() + 1 + 5, 410, list.sizeHint().height());
    const int buttonsTop = list.geometry().bottom() + 1 + 15;
    QPushButton ok("OK", &dialog);
    QPushButton cancel("Cancel", &dialog);
    ok.setGeometry(95, buttonsTop, 125, 26);
    cancel.setGeometry(230, buttonsTop, 125, 26);
    ok.setDefault(true);
    connect(&ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    connect(&cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    dialog.setFixedSize(450, buttonsTop + 26 + 13);
    list.setFocus();
    if (dialog.exec() != QDialog::Accepted) return false;
    Value = SettingText(list.currentText());
    return true;
}

void Tremotex::AGREGAR_CONTADOR21Click() {
    AGREGAR_CONTADOR21.setEnabled(false);
    const QString meterCaption = "CONTADOR DIR.ENLACE: ";
    int32_t link = 0, point = 0, password = 0;
    std::string pointText = "1", passwordText = "1", refused;
    const bool good =
        ask_number(this, "CONTADORES", "Direccion de enlace del contador?", MeterNumber::Link,
                   LinkText, link, refused) &&
        ask_number(this, meterCaption + SettingText(LinkText), "Direccion del punto de medida ?",
                   MeterNumber::Point, pointText, point, refused) &&
        ask_number(this, meterCaption + SettingText(LinkText), "Password del punto de medida ?",
                   MeterNumber::Password, passwordText, password, refused);
    std::string opc;
    GridRows list = GridContents();
    if (good) {
        // Cancel here leaves the code empty: the code is optional.
        opc = SettingText(QInputDialog::getText(this, meterCaption + SettingText(LinkText),
                                                "Cod. OPC ? (Opcional)"));
        // The list as it would be, checked as every other source of meters is.
        qv::Add_to_Grid(list, link, point, password, opc);
        refused = MeterListProblem(list);
    }
    if (!good || !refused.empty()) {
        // A cancel says no more; a text refused is named with its field.
        QMessageBox::critical(this, windowTitle(),
                              SettingText("DATOS INGRESADOS SON ERRONEOS" +
                                          (refused.empty() ? "" : "\n\n" + refused)));
    } else {
        const std::string text =
            "Esta seguro que desea agregar el contador ?\n\r\n\r"
            "Direccion de enlace : " +
            LinkText + "\n\r" + "Punto de medida : " + pointText + "\n\r" +
            "Password: " + passwordText + "\n\r" + "Cod. OPC: " + opc;
        if (confirmed(this, SettingText(text))) Add_to_Grid(link, point, password, opc);
    }
    AGREGAR_CONTADOR21.setEnabled(true);
}

void Tremotex::QUITAR_CONTADOR21Click() {
    GridRows g = GridContents();
    if (g.size() <= 1) return;
    QUITAR_CONTADOR21.setEnabled(false);
    int32_t link = 0;
    if (!DE_Query(MeterLinkTexts(g), "QUITAR CONTADOR DE LA LISTA ?", LinkText)) {
    } else if (!parse_int32(LinkText, link)) {
        QMessageBox::critical(this, windowTitle(), "Direccion de enlace erronea!");
    } else if (confirmed(this, SettingText("Esta seguro que desea quitar el contador ?\n\r\n\r"
                                           "Direccion de enlace : " +
                                           LinkText))) {
        if (RemoveMeter(g, LinkText)) SetGridContents(g);
    }
    QUITAR_CONTADOR21.setEnabled(true);
}

std::string Tremotex::EncodePWDEx(const std::string& Plain) const {
    return qv::EncodePWDEx(Plain);
}

std::string Tremotex::DecodePWDEx(const std::string& Encoded) const {
    return qv::DecodePWDEx(Encoded);
}

void Tremotex::PickRandomChars(std::string Alphabet, int Count, std::string& S) const {
    qv::PickRandomChars(std::move(Alphabet), Count, S);
}

void Tremotex::Analiza_parametros(int argc, char** argv) {
    ArgumentsFrom(std::vector<std::string>(argv, argv + argc));
}

void Tremotex::ArgumentsFrom(const std::vector<std::string>& argv) {
    const CommandLine cmd =
        CommandLine::FromArguments(argv, path_bytes(QCoreApplication::applicationFilePath()));
    CommandLineCalls calls;
    calls.Log = [this](const std::string& text, int32_t c) { config_log(*this, text, c); };
    calls.SqlSettings = [this] { return Sql_Form ? Sql_Form->Settings() : DbSettings{}; };
    // The window loads the file as its load button does (it also records it
    // and loads the database window's keys) into the settings the analysis
    // goes on with; the controls take them when the analysis is over.
    calls.Load_ini_file = [this](const std::string& path, WindowSettings& s) {
        std::vector<std::string> problems;
        LoadFileInto(path, s, problems);
        return problems.empty() ? std::string() : problems.front();
    };
    calls.Subir_a_base = [this](const std::string& file, bool unique) {
        if (Sql_Form)
            Sql_Form->Subir_a_base(file, unique);
        else
            config_log(*this, "- SALIDA A BASE DE DATOS NO DISPONIBLE", colour::Red);
    };
    calls.LogSwitches = [this](bool screen, bool disk) {
        Log.setChecked(screen);
        LOG_FILE.setChecked(disk);
    };
    WindowSettings s = Settings();
    bool refused = false;
    const bool start = qv::Analiza_parametros(cmd, s, calls, &refused);
    ApplySettings(s);
    // Without a display a start that reads nothing ends with its uploads, and
    // nobody could use the window after a run.
    const bool headlessRun = Headless && cmd.CmdTokenCount() >= 2;
    uploadOnly_ = UploadOnly(cmd) || (headlessRun && !start);
    if (headlessRun && !AutoClose) {
        AutoClose = true;
        config_log(*this, "- SIN PANTALLA: SE CIERRA AL TERMINAR", colour::Yellow);
    }
    if (start && !uploadOnly_)
        Delay_start.start();
    else
        Delay_start.stop();
    if (refused) {
        // No link opens for a reading nobody asked for; an unattended start ends.
        RunRefused(std::string());
    } else if (uploadOnly_) {
        // No link is opened: the process ends with the upload's result once
        // it has ended (Do_close waits for it).
        SetProcessExitCode(outputLost_ ? ExitOutputLost : 0);
        if (AutoClose) Do_close.start();
    }
}

}  // namespace qv

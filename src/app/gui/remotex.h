#pragma once
// The main window: the run settings in its controls, the meter grid, the log
// pane and the about page. It owns every setting of a reading run; the
// configuration file, the command line and the run read and set them through
// Settings / ApplySettings or the controls themselves.

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/pending_uploads.h"
#include "app/core/settings.h"
#include "app/gui/radio_group.h"
#include "app/gui/window_parts.h"
#include "export/ftp_upload.h"
#include "meter/reading_run.h"
#include "platform/qt_executor.h"
#include "platform/worker_message.h"
#include "serial/com_combo_box.h"
#include "serial/com_port.h"
#include "widgets/inst_led_bar.h"
#include "widgets/tray_icon.h"

class QPainter;

namespace qv {

class TForm_progress;
class TSql_Form;
struct DbSettings;

// Window caption before the version.
inline constexpr const char* CaptionPrefix = "Quorvanta IEC60870-5-102 - Ver. ";

class Tremotex : public QWidget {
    Q_OBJECT
  public:
    explicit Tremotex(QWidget* parent = nullptr);
    ~Tremotex() override;

    // Every setting the controls hold, and the window's own state fields.
    WindowSettings Settings() const;
    // Sets every control and state field; a box text that is not among its
    // items leaves the box as it was, and so does an index outside its list
    // or a date outside 2000..2099.
    void ApplySettings(const WindowSettings& s);
    // The meter grid as rows of texts, row 0 the header row.
    GridRows GridContents() const;
    // Shows the rows (row 0 the header row); a single row shows the header
    // row alone.
    void SetGridContents(const GridRows& rows);

    // --- handlers of the settings controls (remotex_settings.cpp)
    void Tipo_SalidaClick();
    void CONEXIONClick();
    void PUERTOIPExit();
    void Grid_contadoresDrawCell(QPainter& canvas, int ACol, int ARow, const QRect& Rect);
    void BitBtn_SQLClick();
    void BitBtn3Click();
    void DonateButtonClick();

    // --- the window's own state fields
    std::string IniFileName;
    std::string LinkText;
    std::unique_ptr<T_Conta> Conta;
    bool AutoMinimize = false;
    bool ModemReset = false;
    bool AutoClose = false;
    // No display was usable at start-up, or the platform shows nothing (set
    // by main): an unattended start then closes when it is done, whatever
    // -NOCLOSE says.
    bool Headless = false;
    int AsduRetries = 2;
    int InterAsdu = 1;     // seconds
    int AsduTimeout = 12;  // seconds

    // --- windows made at start-up (set by main)
    TForm_progress* Form_progress = nullptr;
    // The database settings window: shown modally by "CONFIGURACION MySQL";
    // its boxes are saved with the configuration file and loaded by its Init.
    // Set by CreateSqlForm; null while none exists.
    TSql_Form* Sql_Form = nullptr;

    // --- configuration file, command line, meter list (remotex_config.cpp)
    // Saves nothing a run or a load of the file would refuse: false, and
    // *problem (when given) names the setting, its value and why.
    bool Save_data(const std::string& FileName, std::string* problem = nullptr);
    // Why a run cannot start with the settings s and the database window's
    // (see RunSettingsProblem); empty when it can.
    std::string RunProblem(const WindowSettings& s) const;
    // Gives why the file was not loaded, or each key of both windows not
    // taken as written (that control keeps its value); empty when all went well.
    std::vector<std::string> Load_ini_file(const std::string& FileName);
    void BitBtn_LoadClick();
    void BitBtn_SaveClick();
    void sel_carpetaClick();
    // Writes a string value (DataType 1) under Key of the key store.
    void SetRegistryData(const std::string& Key, const std::string& ValueName, int DataType,
                         const std::string& Value);
    void Add_to_Grid(int32_t Link, int32_t Point, int32_t Password, const std::string& Opc);
    void Put_in_grid_line(int Row, int32_t Link, int32_t Point, int32_t Password,
                          const std::string& Opc);
    void Quitar_todo();
    bool DE_Query(const std::vector<std::string>& Items, const std::string& Caption,
                  std::string& Value);
    void AGREGAR_CONTADOR21Click();
    void QUITAR_CONTADOR21Click();
    std::string EncodePWDEx(const std::string& Plain) const;
    std::string DecodePWDEx(const std::string& Encoded) const;
    void PickRandomChars(std::string Alphabet, int Count, std::string& S) const;
    // Reads the process's arguments as the bytes they are (Qt's own copy
    // would turn a byte that is no UTF-8 into another character);
    // ArgumentsFrom for a given argument vector.
    void Analiza_parametros(int argc, char** argv);
    void ArgumentsFrom(const std::vector<std::string>& argv);
    // The key store the last configuration file is recorded in.
    std::string KeyStorePath;
    // The log of the configuration and command-line side: the window's
    // Show_data_Text, set with the run control.
    LogFn ConfigLog;

    // --- end of configuration block

    // --- log, worker messages, run control, CSV hand-off (remotex_run.cpp)
    // The log operation (main thread): one cleaned, stamped line to the log
    // file and to the pane, which keeps at most 501 lines.
    void Show_data_Text(const std::string& text, int32_t colour);
    void Log_2_disk(const std::string& line);
    void BitBt_ClearClick();
    // One worker message; the handler owns the payload.
    void WM_C_MSG(int kind, std::unique_ptr<MessagePayload> payload);
    // One meter's readings, handed to the run's output.
    void OutputReadings(const Tdevice& d);
    // Where workers post their messages to this window.
    MessageTarget WindowTarget() const;
    void BitBtn2Click();
    void Delay_startTimer();
    void DETENERClick();
    void reenableTimer();
    void Do_closeTimer();
    void TrayIcon1Click();
    // Writes the meter's CSV file (in the folder of the run's settings, or
    // of RUTA outside a run; in the current folder when viaFtp, then handed
    // to the FTP upload); the name written or "".
    std::string Crear_fixer(const Tdevice& device, bool viaFtp);

    // What a run was checked with, taken when it is asked for (LEER AHORA, or
    // the start timer of an automatic start): the run reads its meters and
    // link from it, and its outputs and status file go where it says,
    // whatever the controls show meanwhile.
    struct RunCopy {
        WindowSettings Window;
        std::string PortName;                  // the port box's text as the device is named
        std::string Target;                    // RUTA as the disk and the FTP upload take it
        std::shared_ptr<const DbSettings> Db;  // the database window's boxes
        // The run's grid, each meter's status as the run gave it.
        GridRows Grid;
        // Per grid row of Grid: the status of a meter read whose output failed.
        std::vector<std::string> OutputFault;
        // The CSV files written for the run, each with its grid row.
        std::map<std::string, int> FileRows;
    };
    // The run's grid as the status file and the meter grid show it: a meter
    // read whose output failed with that output's status.
    static GridRows StatusRows(const RunCopy& run);

    // The output hand-offs, wired at integration to the export code. Until
    // then the FTP output leaves the file in the current folder and the
    // database output leaves it in RUTA, each logging that it is missing.
    // The FTP upload gets the local file, the FTP target, whether the file
    // must not replace one on the server (an incomplete reading) and a token
    // that keeps the program open until the upload drops it.
    std::function<void(const std::string& localFile, const std::string& target, bool keepExisting,
                       PendingUploads::Token upload)>
        StartFtpUpload;
    // The database output of one meter (writes its file through Crear_fixer
    // and uploads it, holding a token of Uploads while it runs).
    std::function<void(const Tdevice& device)> PostFixer;
    // Uploads still running; the program closes after an unattended run only
    // when none is.
    PendingUploads Uploads;
    // Log file beside the executable, and where it is moved past its limit.
    std::string LogFilePath;
    std::string OldLogFilePath;
    // The run status file beside the executable, as a run writes it.
    std::string StatusLogPath;

  private:
    void InitRunControl();
    void LockSettings(bool enabled);
    // Checks the controls as a run would take them and, when a run can start
    // with them, locks them and keeps their copy for the start timer; false
    // when the run is refused (RunRefused has ended it).
    bool TakeRunSettings();
    // Starts the run of the copy taken (Delay_startTimer's steps 2 to 7).
    void StartRun(RunCopy copy);
    // Readings did not reach their output (also a file named for upload on
    // the command line): the program must not end with exit code 0.
    // `reason` names the meter and output when one is known, `row` its row.
    void OutputLost(const std::string& reason = {}, int row = 0);
    // Exit code 16, with the first failed output of the run as its reason.
    void SetOutputLostCode();
    // The output of the run's CSV file `file` failed (the file could not be
    // written: `file` empty and `link` its meter): its meter's row says so
    // in the grid and the status file, the log names it, the exit code is 16.
    void OutputFailed(const std::string& file, int32_t link, const std::string& output,
                      const std::string& why);
    // A status of row `row` (1..) of the run's grid from the reading thread.
    void ShowRunStatus(int row, const std::string& status);
    // The grid row of the meter with link address `link` in the run's grid; 0
    // for none.
    int RunRow(int32_t link) const;
    // Logs the code the process ends with now, as a run's end does.
    void LogExitCode();
    // A run that cannot start ends here as a run does: red line, code 10 (its
    // reason the red line), every meter shown as not read in the grid and the
    // status file, the exit code logged, the window back to its settings.
    void RunRefused(const std::string& line);
    // Load_ini_file into s: false when the file cannot be loaded; `problems`
    // as Load_ini_file gives them.
    bool LoadFileInto(const std::string& FileName, WindowSettings& s,
                      std::vector<std::string>& problems);
    // Every meter of the grid shown as not read for `reason`, and the status
    // file rewritten from the grid.
    void MetersNotRead(const std::string& reason);
    bool outputLost_ = false;            // of the run in progress or the last one
    std::string uploadFault_;            // why a -DBUPLOAD upload failed before the first run began
    std::string firstOutputFault_;       // its first meter whose output failed, in a red line
    int firstOutputRow_ = 0;             // that meter's grid row
    std::optional<RunCopy> pendingRun_;  // taken at the click, started by the start timer
    std::shared_ptr<RunCopy> run_;       // of the run in progress or the last one
    bool runOpen_ = false;               // a run has started and not yet logged its exit code
    std::optional<int> loggedExitCode_;  // the last "EXIT CODE" line's code
    bool uploadOnly_ = false;            // the command line asked for an upload and no meters
    void SetSignal(double position, const std::string& hint);
    std::unique_ptr<QtMainExecutor> executor_;
    std::unique_ptr<MessageReceiver> receiver_;

  public:
    // --- end of run block

    // --- export hand-offs (remotex_export.cpp)
  private:
    friend std::unique_ptr<TSql_Form> CreateSqlForm(Tremotex& remotex);
    void InitExport();
    // The database window's boxes, for a run's copy; none without the window.
    std::shared_ptr<const DbSettings> DatabaseSettings() const;
    // Holds one token of Uploads per FTP or database upload still running.
    void SyncUploads();
    // The program is closing: uploads still running are broken off and each
    // is reported as failed before the window goes.
    void StopUploads();
    // The FTP uploads of the CSV files.
    std::unique_ptr<FtpUploads> ftpOutput_;
    std::vector<PendingUploads::Token> ftpUploads_;
    std::vector<PendingUploads::Token> dbUploads_;

  public:
    // --- end of export block

  protected:
    // Closing the main window ends the program, also while it sits hidden in
    // the notification area.
    void closeEvent(QCloseEvent* event) override;

  private:
    void FormCreate();
    void buildGeneralPage();
    void buildConexionPage();
    void buildAboutPage();
    QString gridText(int col, int row) const;

  public:
    // --- controls, parents before children (a form's published fields)
    QVBoxLayout formLayout_{this};
    QTabWidget pagecontrol1{this};

    // Page "GENERAL"
    QWidget HORARIOS;
    QVBoxLayout horariosLayout_{&HORARIOS};
    QWidget Panel21;
    QHBoxLayout panel21Layout_{&Panel21};
    RadioGroup Tipo_Salida{"TIPO DE SALIDA", OutputTypeItems};
    QGroupBox RANGO{"FECHA DE LECTURA"};
    QGridLayout rangoLayout_{&RANGO};
    QLabel rangoInicio_{"FECHA INICIO:"};
    QLabel rangoFin_{"FECHA FIN:"};
    QLabel rangoIntervalo_{"INTERVALO:"};
    QDateEdit FECHA_INICIO;
    QDateEdit FECHA_FIN;
    QComboBox Intervalo;
    QGroupBox Box_Contadores{"CONFIGURACION:"};
    QGridLayout boxContadoresLayout_{&Box_Contadores};
    QPushButton AGREGAR_CONTADOR21{"AGREGAR UN CONTADOR"};
    QPushButton QUITAR_CONTADOR21{"QUITAR UN CONTADOR"};
    QPushButton BitBtn3{"QUITAR TODOS"};
    QPushButton BitBtn_Save{"GUARDA CONFIGURACION"};
    QPushButton BitBtn_Load{"LEER CONFIGURACION"};
    QGroupBox NOMBRE_CSV_FTP;
    QHBoxLayout nombreLayout_{&NOMBRE_CSV_FTP};
    QLineEdit RUTA;
    QPushButton sel_carpeta{"..."};
    QGroupBox box_lectura{"LECTURA"};
    QGridLayout lecturaLayout_{&box_lectura};
    QPushButton DETENER{"DETENER LECTURA"};
    QPushButton BitBtn2{"LEER AHORA"};
    QCheckBox MINIMIZAR{"MINIMIZAR AL LEER"};
    QWidget Panel2;
    QHBoxLayout panel2Layout_{&Panel2};
    QLabel contadoresLabel_{"CONTADORES:"};
    QPushButton BitBtn_SQL{"CONFIGURACION MySQL"};
    GridCells gridCells_;
    QTableWidget Grid_contadores;
    FrozenFirstColumn gridFirstColumn_{Grid_contadores,
                                       [this](QPainter& p, int c, int r, const QRect& rect) {
                                           Grid_contadoresDrawCell(p, c, r, rect);
                                       },
                                       gridCells_};

    // Page "CONEXION"
    QWidget Conexion_conta;
    QVBoxLayout conexionLayout_{&Conexion_conta};
    QWidget Panel3;
    QHBoxLayout panel3Layout_{&Panel3};
    RadioGroup CONEXION{"TIPO DE CONEXION", LinkItems};
    QGroupBox GroupBox_log{"LOG"};
    QVBoxLayout logLayout_{&GroupBox_log};
    QCheckBox Log{"PANTALLA"};
    QCheckBox LOG_FILE{"DISCO"};
    QPushButton BitBt_Clear{"CLEAR LOG"};
    QGroupBox CONFSERIAL;
    QGridLayout serialLayout_{&CONFSERIAL};
    QLabel serialPuerto_{"PUERTO:"};
    QLabel serialVel_{"VEL.:"};
    QLabel serialBits_{"BITS:"};
    QLabel serialParidad_{"PARIDAD:"};
    QLabel serialStop_{"STOP:"};
    QComboBox ComboBox1;
    TComComboBox BaudContador;
    TComComboBox BitsContador;
    TComComboBox ParidadContador;
    TComComboBox StopContador;
    QGroupBox GRUPOIP;
    QGridLayout ipLayout_{&GRUPOIP};
    QLabel ipPuerto_{"PUERTO:"};
    QLabel ipHost_{"HOST:"};
    QLineEdit PUERTOIP;
    QLineEdit HOST;
    FieldExit portFieldsExit_{[this] { PUERTOIPExit(); }};
    QWidget modemColumn_;
    QVBoxLayout modemColumnLayout_{&modemColumn_};
    QGroupBox CONF_GSM{"NIVEL DE COBERTURA"};
    QVBoxLayout gsmLayout_{&CONF_GSM};
    TInstLedBar signal;
    QGroupBox MODEM_INI{"CADENA DE INICIALIZACION"};
    QVBoxLayout modemIniLayout_{&MODEM_INI};
    QLineEdit Modem_Init_str;
    QGroupBox dial_up{"NUMERO DE TELEFONO Y ESTADO"};
    QVBoxLayout dialUpLayout_{&dial_up};
    QLabel SIM{"MODEM DESCONECTADO"};
    QLineEdit nro;
    QTextEdit Rx9;

    // Page "ACERCA DE..."
    QWidget TabSheet11;
    QVBoxLayout aboutLayout_{&TabSheet11};
    PictureLabel Image2;
    QLabel L_Version;

    // Components without a window
    TComPort ComPort9;  // never opened: holds what the serial boxes show
    QTimer reenable;
    QTimer Delay_start;
    QTimer Do_close;
    TTrayIcon TrayIcon1{this};
};

// Makes the database settings window, wired to the main window: its log
// lines go to the main window's log, its uploads count as pending ones.
std::unique_ptr<TSql_Form> CreateSqlForm(Tremotex& remotex);

}  // namespace qv

#include "app/gui/remotex.h"

#include <QCalendarWidget>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

#include "app/core/config_file.h"
#include "app/core/dates.h"
#include "app/core/startup.h"
#include "app/core/version.h"
#include "app/gui/pictures.h"
#include "platform/text.h"

namespace qv {

namespace {

// The program's own fixed texts (captions, the grid header) are Latin-1.
QString latin1(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string latin1(const QString& text) {
    return text.toLatin1().toStdString();
}

QDate to_qdate(Day d) {
    return QDate(1970, 1, 1).addDays(d.time_since_epoch().count());
}

Day to_day(const QDate& d) {
    return Day(std::chrono::days(QDate(1970, 1, 1).daysTo(d)));
}

// Label and field pairs, one row each, the rest of the group left empty.
void add_rows(QGridLayout& layout, std::initializer_list<std::pair<QWidget*, QWidget*>> rows) {
    int row = 0;
    for (auto [label, field] : rows) {
        layout.addWidget(label, row, 0);
        layout.addWidget(field, row++, 1);
    }
    layout.setRowStretch(row, 1);
}

// A bold button whose text has the colour while it is enabled; disabled it
// greys out as usual. Set in its palette, not by a style sheet rule on
// ":enabled": such a rule gives the button a new palette at every change of
// state, and the style caches the button's face anew under each palette, so
// every run (which disables and enables the buttons) would leave the cache
// a few kilobytes bigger.
void bold_in_colour(QPushButton& button, const QColor& colour) {
    QFont font = button.font();
    font.setBold(true);
    button.setFont(font);
    QPalette palette = button.palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        palette.setColor(group, QPalette::ButtonText, colour);
    button.setPalette(palette);
}

// Grid header texts (Latin-1); the status header is padded so that the
// column is wide enough for the state texts of a run.
GridRow grid_header() {
    return {"DIRECCION DE ENLACE", "PUNTO DE MEDIDA",
            "CONTRASE\xD1"
            "A",
            "CODIGO OPC ( OPCIONAL )", std::string(34, ' ') + "ESTADO" + std::string(44, ' ')};
}

}  // namespace

Tremotex::Tremotex(QWidget* parent)
    : QWidget(parent), gridCells_([this](QPainter& p, int c, int r, const QRect& rect) {
          Grid_contadoresDrawCell(p, c, r, rect);
      }) {
    setWindowIcon(ProgramIcon());
    resize(1000, 600);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    formLayout_.setContentsMargins(0, 0, 0, 0);
    formLayout_.addWidget(&pagecontrol1);

    buildGeneralPage();
    buildConexionPage();
    buildAboutPage();
    pagecontrol1.addTab(&HORARIOS, "GENERAL");
    pagecontrol1.addTab(&Conexion_conta, "CONEXION");
    pagecontrol1.addTab(&TabSheet11, "ACERCA DE...");

    // The port the four serial boxes show; it is never opened.
    ComPort9.SetPort("COM1");
    ComPort9.SetBaudRate(br9600);
    ComPort9.SetDataBits(dbEight);
    ComPort9.SetStopBits(sbOneStopBit);
    ComPort9.Parity().SetBits(prNone);
    ComPort9.FlowControl().SetFlowControl(fcNone);
    ComPort9.FlowControl().SetControlDTR(dtrEnable);
    ComPort9.FlowControl().SetControlRTS(rtsEnable);
    ComPort9.Timeouts().SetReadInterval(100);
    ComPort9.Timeouts().SetReadTotalMultiplier(100);
    ComPort9.Timeouts().SetReadTotalConstant(100);
    const std::pair<TComComboBox*, TComProperty> boxes[] = {{&BaudContador, cpBaudRate},
                                                            {&BitsContador, cpDataBits},
                                                            {&ParidadContador, cpParity},
                                                            {&StopContador, cpStopBits}};
    for (auto [box, kind] : boxes) {
        box->SetComProperty(kind);
        box->SetAutoApply(false);  // the run builds its own port from the indexes
        box->SetComPort(&ComPort9);
    }

    TrayIcon1.SetCycleIcons(false);
    TrayIcon1.SetIconIndex(0);
    TrayIcon1.SetIconVisible(true);
    TrayIcon1.Loaded();

    reenable.setInterval(1000);
    Delay_start.setInterval(500);
    Do_close.setInterval(2000);

    connect(&Tipo_Salida, &RadioGroup::Click, this, &Tremotex::Tipo_SalidaClick);
    connect(&CONEXION, &RadioGroup::Click, this, &Tremotex::CONEXIONClick);
    portFieldsExit_.Watch(PUERTOIP);
    portFieldsExit_.Watch(HOST);
    connect(&BitBtn_SQL, &QPushButton::clicked, this, &Tremotex::BitBtn_SQLClick);
    connect(&BitBtn3, &QPushButton::clicked, this, &Tremotex::BitBtn3Click);
    Image2.OnClick = [this] { DonateButtonClick(); };

    // --- configuration file, command line, meter list (remotex_config.cpp)
    connect(&BitBtn_Load, &QPushButton::clicked, this, &Tremotex::BitBtn_LoadClick);
    connect(&BitBtn_Save, &QPushButton::clicked, this, &Tremotex::BitBtn_SaveClick);
    connect(&sel_carpeta, &QPushButton::clicked, this, &Tremotex::sel_carpetaClick);
    connect(&AGREGAR_CONTADOR21, &QPushButton::clicked, this, &Tremotex::AGREGAR_CONTADOR21Click);
    connect(&QUITAR_CONTADOR21, &QPushButton::clicked, this, &Tremotex::QUITAR_CONTADOR21Click);
    KeyStorePath = KeyStore::defaultPath(std::string(KeyStoreMaker), std::string(KeyStoreProgram));

    // --- log, worker messages, run control, CSV hand-off (remotex_run.cpp)
    InitRunControl();
    InitExport();

    FormCreate();
}

Tremotex::~Tremotex() {
    // A run still going stops while every control it reports to still exists.
    Conta.reset();
}

void Tremotex::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (!event->isAccepted()) return;
    Delay_start.stop();  // no run starts while the close waits for the uploads
    // An upload cut by the close (button or stop signal) is a failed one, also
    // when no run result has been reached yet.
    StopUploads();
    if (outputLost_ && ProcessExitCode() == 1) SetProcessExitCode(ExitOutputLost);
    if ((uploadOnly_ || loggedExitCode_) && !runOpen_ && loggedExitCode_ != ProcessExitCode())
        LogExitCode();
    QCoreApplication::quit();
}

void Tremotex::buildGeneralPage() {
    horariosLayout_.setContentsMargins(4, 4, 4, 4);
    horariosLayout_.addWidget(&Panel21);
    horariosLayout_.addWidget(&NOMBRE_CSV_FTP);
    horariosLayout_.addWidget(&Panel2);
    horariosLayout_.addWidget(&Grid_contadores, 1);

    panel21Layout_.setContentsMargins(0, 0, 0, 0);
    panel21Layout_.addWidget(&Tipo_Salida);
    panel21Layout_.addWidget(&RANGO);
    panel21Layout_.addWidget(&Box_Contadores);
    panel21Layout_.addWidget(&box_lectura);
    panel21Layout_.addStretch(1);

    for (QDateEdit* picker : {&FECHA_INICIO, &FECHA_FIN}) {
        // The years the meters' time tags carry, as -FROM and -TO take them.
        picker->setDateRange(to_qdate(FirstTagDay), to_qdate(LastTagDay));
        picker->setDisplayFormat(" dd/MM/yy");
        picker->setCalendarPopup(true);
        // Month and day names in Spanish; the field itself keeps its numeric form.
        picker->calendarWidget()->setLocale(QLocale(QLocale::Spanish, QLocale::Spain));
    }
    for (std::string_view item : IntervalItems) Intervalo.addItem(latin1(item));
    Intervalo.setCurrentIndex(2);
    add_rows(
        rangoLayout_,
        {{&rangoInicio_, &FECHA_INICIO}, {&rangoFin_, &FECHA_FIN}, {&rangoIntervalo_, &Intervalo}});

    int row = 0;
    for (QPushButton* button :
         {&AGREGAR_CONTADOR21, &QUITAR_CONTADOR21, &BitBtn3, &BitBtn_Save, &BitBtn_Load})
        boxContadoresLayout_.addWidget(button, row++, 0);
    boxContadoresLayout_.setRowStretch(row, 1);

    QFont rutaFont = RUTA.font();
    rutaFont.setPixelSize(13);
    RUTA.setFont(rutaFont);
    nombreLayout_.addWidget(&RUTA, 1);
    nombreLayout_.addWidget(&sel_carpeta);
    sel_carpeta.setFixedWidth(32);
    DETENER.setEnabled(false);
    // Start in green, stop in red.
    bold_in_colour(BitBtn2, QColor(0, 128, 0));
    bold_in_colour(DETENER, QColor(255, 0, 0));
    lecturaLayout_.addWidget(&BitBtn2, 0, 0);
    lecturaLayout_.addWidget(&DETENER, 1, 0);
    lecturaLayout_.addWidget(&MINIMIZAR, 2, 0);
    lecturaLayout_.setRowStretch(3, 1);

    panel2Layout_.setContentsMargins(0, 0, 0, 0);
    panel2Layout_.addWidget(&contadoresLabel_);
    panel2Layout_.addStretch(1);
    panel2Layout_.addWidget(&BitBtn_SQL);
    BitBtn_SQL.setStyleSheet("color: blue; font-weight: bold;");

    Grid_contadores.setColumnCount(5);
    Grid_contadores.setRowCount(1);
    Grid_contadores.setHorizontalHeader(std::make_unique<GridHeader>(
                                            [this](QPainter& p, int c, int r, const QRect& rect) {
                                                Grid_contadoresDrawCell(p, c, r, rect);
                                            },
                                            &Grid_contadores)
                                            .release());  // the table owns its header
    Grid_contadores.verticalHeader()->hide();
    Grid_contadores.setItemDelegate(&gridCells_);
    Grid_contadores.setShowGrid(true);
    Grid_contadores.setSelectionBehavior(QAbstractItemView::SelectRows);
    Grid_contadores.setSelectionMode(QAbstractItemView::SingleSelection);
    Grid_contadores.setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid_contadores.viewport()->setCursor(Qt::PointingHandCursor);
    const int rowHeight = Grid_contadores.fontMetrics().height() + 8;
    Grid_contadores.verticalHeader()->setDefaultSectionSize(rowHeight);
    Grid_contadores.horizontalHeader()->setFixedHeight(rowHeight);
    Grid_contadores.horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    gridFirstColumn_.Follow();
}

void Tremotex::buildConexionPage() {
    conexionLayout_.setContentsMargins(4, 4, 4, 4);
    conexionLayout_.addWidget(&Panel3);
    conexionLayout_.addWidget(&Rx9, 1);

    panel3Layout_.setContentsMargins(0, 0, 0, 0);
    panel3Layout_.addWidget(&CONEXION);
    panel3Layout_.addWidget(&GroupBox_log);
    panel3Layout_.addWidget(&CONFSERIAL);
    panel3Layout_.addWidget(&GRUPOIP);
    panel3Layout_.addWidget(&modemColumn_);
    panel3Layout_.addStretch(1);

    Log.setChecked(true);
    LOG_FILE.setChecked(true);
    logLayout_.addWidget(&Log);
    logLayout_.addWidget(&LOG_FILE);
    logLayout_.addWidget(&BitBt_Clear);
    logLayout_.addStretch(1);

    CONFSERIAL.setTitle(QString::fromUtf8("CONFIGURACIÓN SERIAL"));
    for (int i = 1; i <= PortItemCount; ++i) ComboBox1.addItem("COM" + QString::number(i));
    ComboBox1.setCurrentIndex(0);
    add_rows(serialLayout_, {{&serialPuerto_, &ComboBox1},
                             {&serialVel_, &BaudContador},
                             {&serialBits_, &BitsContador},
                             {&serialParidad_, &ParidadContador},
                             {&serialStop_, &StopContador}});

    GRUPOIP.setTitle(QString::fromUtf8("CONFIGURACIÓN IP DEL  HOST REMOTO"));
    add_rows(ipLayout_, {{&ipPuerto_, &PUERTOIP}, {&ipHost_, &HOST}});
    HOST.setMinimumWidth(180);

    modemColumnLayout_.setContentsMargins(0, 0, 0, 0);
    modemColumnLayout_.addWidget(&CONF_GSM);
    modemColumnLayout_.addWidget(&MODEM_INI);
    modemColumnLayout_.addWidget(&dial_up);
    modemColumnLayout_.addStretch(1);
    // The signal level 0..100: red up to 15, yellow up to 35, lime above.
    signal.SetSegmentDirection(TInstLedBar::idRight);
    signal.setFixedSize(191, 24);
    signal.SetShowHint(true);
    signal.SetAutoFrameRate(true);
    signal.SetPositionMax(100.0);
    signal.SetSectionCount(3);
    signal.SetSectionColor1(Qt::red);
    signal.SetSectionColor3(QColor(0, 255, 0));
    signal.SetSectionEnd1(15.0);
    signal.SetSectionEnd2(35.0);
    gsmLayout_.addWidget(&signal);
    modemIniLayout_.addWidget(&Modem_Init_str);
    dialUpLayout_.addWidget(&SIM);
    dialUpLayout_.addWidget(&nro);
    CONF_GSM.hide();
    dial_up.hide();
    MODEM_INI.hide();

    Rx9.setReadOnly(true);
    // No undo history: it would keep every line ever logged, long after the
    // pane dropped it.
    Rx9.setUndoRedoEnabled(false);
    Rx9.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Rx9.setStyleSheet("QTextEdit { background-color: black; color: white; }");
    QFont paneFont = Rx9.font();
    paneFont.setFamily("Tahoma");  // a close face stands in where it is missing
    paneFont.setPointSize(8);
    Rx9.setFont(paneFont);
}

void Tremotex::buildAboutPage() {
    aboutLayout_.addWidget(&Image2, 1);
    aboutLayout_.addWidget(&L_Version, 0, Qt::AlignHCenter);
    Image2.SetPicture(AboutPicture());
    Image2.setCursor(Qt::PointingHandCursor);
    Image2.setToolTip(MakerHomePage);
}

void Tremotex::FormCreate() {
    SetProcessExitCode(1);
    InterAsdu = 1;
    AsduRetries = 2;
    ModemReset = false;
    AsduTimeout = 12;
    pagecontrol1.setCurrentIndex(0);
    setWindowTitle(CaptionPrefix + latin1(ReadFileVersion()));
    L_Version.setText(windowTitle());
    TrayIcon1.SetIcon(windowIcon());
    TrayIcon1.SetHint(windowTitle());

    const GridRow header = grid_header();
    SetGridContents({header, GridRow{}});
    QFontMetrics metrics(Grid_contadores.font());
    for (int c = 0; c < 5; ++c)
        Grid_contadores.setColumnWidth(c, metrics.horizontalAdvance(latin1(header[c])) + 25);

    IniFileName.clear();
    const QDate today = QDate::currentDate();
    FECHA_INICIO.setDate(today.addDays(-1));
    FECHA_FIN.setDate(today);
    Tipo_Salida.SetItemIndex(OutputFolder);
    CONEXION.SetItemIndex(LinkTcp);
    PUERTOIP.setText(kDefaultHostPort);  // the port a blank field and an empty key stand for
}

QString Tremotex::gridText(int col, int row) const {
    if (row == 0) {
        const QTableWidgetItem* item = Grid_contadores.horizontalHeaderItem(col);
        return item ? item->text() : QString();
    }
    const QTableWidgetItem* item = Grid_contadores.item(row - 1, col);
    return item ? item->text() : QString();
}

GridRows Tremotex::GridContents() const {
    GridRows rows(Grid_contadores.rowCount() + 1);
    for (int c = 0; c < 5; ++c) rows[0][c] = latin1(gridText(c, 0));
    for (size_t r = 1; r < rows.size(); ++r)
        for (int c = 0; c < 5; ++c) rows[r][c] = SettingText(gridText(c, static_cast<int>(r)));
    return rows;
}

void Tremotex::SetGridContents(const GridRows& rows) {
    const GridRow header = rows.empty() ? GridRow{} : rows[0];
    for (int c = 0; c < 5; ++c)
        Grid_contadores.setHorizontalHeaderItem(
            c, std::make_unique<QTableWidgetItem>(latin1(header[c])).release());  // table owns it
    const int meters = std::max<int>(0, static_cast<int>(rows.size()) - 1);
    Grid_contadores.clearContents();
    Grid_contadores.setRowCount(meters);
    for (size_t r = 1; r < rows.size(); ++r)
        for (int c = 0; c < 5; ++c)
            Grid_contadores.setItem(
                static_cast<int>(r) - 1, c,
                std::make_unique<QTableWidgetItem>(SettingText(rows[r][c])).release());
}

WindowSettings Tremotex::Settings() const {
    WindowSettings s;
    s.Grid = GridContents();
    s.PortIndex = ComboBox1.currentIndex();
    s.BaudText = BaudContador.Text();
    s.BitsText = BitsContador.Text();
    s.ParityText = ParidadContador.Text();
    s.StopText = StopContador.Text();
    s.Conexion = CONEXION.ItemIndex();
    s.Numero = SettingText(nro.text());
    s.ModemInit = SettingText(Modem_Init_str.text());
    s.Host = SettingText(HOST.text());
    s.HostPort = SettingText(PUERTOIP.text());
    s.FechaInicio = to_day(FECHA_INICIO.date());
    s.FechaFin = to_day(FECHA_FIN.date());
    s.Intervalo = Intervalo.currentIndex();
    s.TipoSalida = Tipo_Salida.ItemIndex();
    s.LogScreen = Log.isChecked();
    s.LogDisk = LOG_FILE.isChecked();
    s.Minimizar = MINIMIZAR.isChecked();
    s.Ruta = SettingText(RUTA.text());
    s.IniFileName = IniFileName;
    s.LinkText = LinkText;
    s.AutoMinimize = AutoMinimize;
    s.AutoClose = AutoClose;
    s.ModemReset = ModemReset;
    s.AsduRetries = AsduRetries;
    s.InterAsdu = InterAsdu;
    s.AsduTimeout = AsduTimeout;
    return s;
}

void Tremotex::ApplySettings(const WindowSettings& s) {
    SetGridContents(s.Grid);
    if (s.PortIndex >= 0 && s.PortIndex < ComboBox1.count()) ComboBox1.setCurrentIndex(s.PortIndex);
    BaudContador.SetText(s.BaudText);
    BitsContador.SetText(s.BitsText);
    ParidadContador.SetText(s.ParityText);
    StopContador.SetText(s.StopText);
    if (s.Conexion >= 0 && s.Conexion < CONEXION.Count()) CONEXION.SetItemIndex(s.Conexion);
    nro.setText(SettingText(s.Numero));
    Modem_Init_str.setText(SettingText(s.ModemInit));
    HOST.setText(SettingText(s.Host));
    PUERTOIP.setText(SettingText(TcpPortText(s.HostPort, kDefaultHostPort)));
    for (auto [picker, day] : {std::pair{&FECHA_INICIO, s.FechaInicio}, {&FECHA_FIN, s.FechaFin}})
        if (day >= FirstTagDay && day <= LastTagDay) picker->setDate(to_qdate(day));
    if (s.Intervalo >= 0 && s.Intervalo < Intervalo.count()) Intervalo.setCurrentIndex(s.Intervalo);
    if (s.TipoSalida >= 0 && s.TipoSalida < Tipo_Salida.Count())
        Tipo_Salida.SetItemIndex(s.TipoSalida);
    Log.setChecked(s.LogScreen);
    LOG_FILE.setChecked(s.LogDisk);
    MINIMIZAR.setChecked(s.Minimizar);
    RUTA.setText(SettingText(s.Ruta));
    IniFileName = s.IniFileName;
    LinkText = s.LinkText;
    AutoMinimize = s.AutoMinimize;
    AutoClose = s.AutoClose;
    ModemReset = s.ModemReset;
    AsduRetries = s.AsduRetries;
    InterAsdu = s.InterAsdu;
    AsduTimeout = s.AsduTimeout;
}

}  // namespace qv

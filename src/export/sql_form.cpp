#include "export/sql_form.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QValidator>

#include "platform/text.h"

namespace qv {
namespace {

// Names and hosts are UTF-8, as the configuration file holds them (the output
// converts the names to the connection's Latin-1); a password keeps the
// Latin-1 bytes it has always been sent and stored with.
QString Text(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}
std::string Text(const QLineEdit* e) {
    return e->text().toUtf8().toStdString();
}
QString Secret(const std::string& s) {
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}
std::string Secret(const QLineEdit* e) {
    return e->text().toLatin1().toStdString();
}

// The connection speaks Latin-1: a character beyond it would become "?", and
// a password another one. Typing or pasting such a character is refused and
// the window says why.
class Latin1Only : public QValidator {
  public:
    Latin1Only(QLabel* warning, const char* box, QObject* parent)
        : QValidator(parent), warning_(warning), box_(box) {}
    State validate(QString& text, int&) const override {
        for (QChar c : text)
            if (c.unicode() > 0xFF) {
                warning_->setText(QStringLiteral("NO SE ADMITE EL CARACTER '%1' EN %2 - SOLO SE "
                                                 "ADMITEN CARACTERES LATIN-1")
                                      .arg(c, QString::fromLatin1(box_).remove(QLatin1Char(':'))));
                return Invalid;
            }
        return Acceptable;
    }

  protected:
    QLabel* warning_;
    const char* box_;
};

// A port box is named by the key the configuration file writes it under and,
// where they differ, by its label as shown: the label "PORT:" is not the
// file's PORT (the serial port).
QString PortName(const QLineEdit* box) {
    const QString key = box->property("iniKey").toString(), label = box->accessibleName();
    return key == label ? key : key + QStringLiteral(" (CAMPO \"") + label + QStringLiteral("\")");
}

// A port box takes digits only, at most five; whether they make a port of 1 to
// 65535 is asked when the window closes (a port being typed may pass through
// "0" or "7000" on its way to "70001" and back).
class PortDigits : public Latin1Only {
  public:
    using Latin1Only::Latin1Only;
    State validate(QString& text, int&) const override {
        for (QChar c : text)
            if (c < QLatin1Char('0') || c > QLatin1Char('9') || text.size() > 5) {
                warning_->setText(QStringLiteral("EN %1 SOLO SE ADMITE UN PUERTO DE 1 A 65535")
                                      .arg(PortName(qobject_cast<QLineEdit*>(parent()))));
                return Invalid;
            }
        return Acceptable;
    }
};

QLineEdit* AddBox(QFormLayout* form, QLabel* warning, const char* label, const char* initial,
                  bool hidden = false) {
    auto* box = new QLineEdit(QString::fromLatin1(initial));
    if (hidden) box->setEchoMode(QLineEdit::Password);
    box->setValidator(new Latin1Only(warning, label, box));
    form->addRow(QString::fromLatin1(label), box);  // the layout's widget owns the box
    return box;
}

// A port box starts with the port a configuration file without its key (or
// with it empty) gives, and an empty box stands for that port; its key and its
// field name (the label without ":") name it when it is refused.
QLineEdit* AddPortBox(QFormLayout* form, QLabel* warning, const char* label, const char* key,
                      const char* initial) {
    QLineEdit* box = AddBox(form, warning, label, initial);
    box->setValidator(new PortDigits(warning, label, box));  // the box owns it
    box->setAccessibleName(QString::fromLatin1(label).remove(QLatin1Char(':')).trimmed());
    box->setProperty("iniKey", QString::fromLatin1(key));
    box->setProperty("defaultPort", QString::fromLatin1(initial));
    return box;
}

// A port box shows the number it is taken for: its default port when blank
// (it stands for that port), the port's number (" 3307 " is 3307).
void SetPort(QLineEdit* box, const std::string& text) {
    const QString shown =
        Text(TcpPortText(text, box->property("defaultPort").toString().toStdString()));
    if (box->text() != shown) box->setText(shown);
}

// A port box given back its default port: when blank, or also when it holds
// no port (emptyOnly false).
void DefaultPort(QLineEdit* box, bool emptyOnly) {
    SetPort(box, !emptyOnly && !IsTcpPort(Text(box)) ? std::string() : Text(box));
}

}  // namespace

TSql_Form::TSql_Form(MainExecutor& executor, MessageTarget mainWindow, LogLine log, QWidget* parent)
    : QDialog(parent, Qt::Tool), output_(executor, std::move(mainWindow), std::move(log)) {
    setWindowTitle(QStringLiteral("MySQL CONFIG"));
    auto* top = new QVBoxLayout(this);
    AVISO = new QLabel;
    AVISO->setStyleSheet(QStringLiteral("color: red"));

    GroupBox_config = new QGroupBox(QStringLiteral("CONFIGURACION MySQL:"));
    auto* config = new QVBoxLayout(GroupBox_config);
    auto* form = new QFormLayout;
    config->addLayout(form);
    HOST_NAME = AddBox(form, AVISO, "HOSTNAME:", "LOCALHOST");
    DATA_BASE = AddBox(form, AVISO, "DATABASE:", "PRUEBA");
    USER_NAME = AddBox(form, AVISO, "USER_NAME:", "ROOT");
    PASSWORD = AddBox(form, AVISO, "PASSWORD:", "", true);
    PUERTO = AddPortBox(form, AVISO, "PORT:", "PUERTO", "3306");
    HABILITA_TUNEL = new QCheckBox(QStringLiteral("HABILITAR TUNEL SSH "));
    config->addWidget(HABILITA_TUNEL);
    auto* buttons = new QHBoxLayout;
    Button_OK = new QPushButton(QStringLiteral("PROBAR CONEXION"));
    BT_CANCEL = new QPushButton(QStringLiteral("CERRAR"));
    buttons->addWidget(Button_OK);
    buttons->addWidget(BT_CANCEL);
    config->addLayout(buttons);
    top->addWidget(GroupBox_config);

    Group_ssh = new QGroupBox(QStringLiteral("CONFIGURACION TUNEL SSH:"));
    auto* ssh = new QFormLayout(Group_ssh);
    SSH_HOST = AddBox(ssh, AVISO, "SSH HOST NAME:", "PRUEBA");
    SSH_PORT = AddPortBox(ssh, AVISO, "SSH_PORT:", "SSH_PORT", "22");
    SSH_LOGIN = AddBox(ssh, AVISO, "SSH_LOGIN:", "ROOT");
    SSH_PASS = AddBox(ssh, AVISO, "SSH PASSWORD:", "", true);
    DEST_HOST = AddBox(ssh, AVISO, "DEST HOST NAME:", "");
    DEST_PORT = AddPortBox(ssh, AVISO, "DESTINAT.  PORT:", "DEST_PORT", "3306");
    LIST_PORT = AddPortBox(ssh, AVISO, "LISTENING PORT:", "LIST_PORT", "3306");
    top->addWidget(Group_ssh);
    top->addWidget(AVISO);
    Group_ssh->hide();
    top->setSizeConstraint(QLayout::SetFixedSize);

    connect(HABILITA_TUNEL, &QCheckBox::toggled, this, [this] { HABILITA_TUNELClick(); });
    connect(Button_OK, &QPushButton::clicked, this, [this] { Button_OKClick(); });
    connect(BT_CANCEL, &QPushButton::clicked, this, [this] { done(2); });
}

DbSettings TSql_Form::Settings() const {
    DbSettings s = output_.Settings;  // keeps what has no box
    s.HOST_NAME = Text(HOST_NAME);
    s.DATA_BASE = Text(DATA_BASE);
    s.USER_NAME = Text(USER_NAME);
    s.PASSWORD = Secret(PASSWORD);
    s.PUERTO = Text(PUERTO);
    s.HABILITA_TUNEL = HABILITA_TUNEL->isChecked();
    s.SSH_HOST = Text(SSH_HOST);
    s.SSH_PORT = Text(SSH_PORT);
    s.SSH_LOGIN = Text(SSH_LOGIN);
    s.SSH_PASS = Secret(SSH_PASS);
    s.DEST_HOST = Text(DEST_HOST);
    s.DEST_PORT = Text(DEST_PORT);
    s.LIST_PORT = Text(LIST_PORT);
    return s;
}

void TSql_Form::SetSettings(const DbSettings& s) {
    output_.Settings = s;
    HOST_NAME->setText(Text(s.HOST_NAME));
    DATA_BASE->setText(Text(s.DATA_BASE));
    USER_NAME->setText(Text(s.USER_NAME));
    PASSWORD->setText(Secret(s.PASSWORD));
    SetPort(PUERTO, s.PUERTO);
    HABILITA_TUNEL->setChecked(s.HABILITA_TUNEL);
    HABILITA_TUNELClick();  // also when the tick did not change
    SSH_HOST->setText(Text(s.SSH_HOST));
    SetPort(SSH_PORT, s.SSH_PORT);
    SSH_LOGIN->setText(Text(s.SSH_LOGIN));
    SSH_PASS->setText(Secret(s.SSH_PASS));
    DEST_HOST->setText(Text(s.DEST_HOST));
    SetPort(DEST_PORT, s.DEST_PORT);
    SetPort(LIST_PORT, s.LIST_PORT);
}

template <class Fn>
void TSql_Form::WithBoxes(Fn fn) {
    output_.Settings = Settings();
    fn();
    SetSettings(output_.Settings);
}

void TSql_Form::Init(const std::string& fileName, const PasswordCodec& decode) {
    const DbSettings shown = Settings();
    output_.Init(fileName, decode, &shown);
    SetSettings(output_.Settings);
}

std::vector<QLineEdit*> TSql_Form::TunnelPortBoxes() const {
    return {SSH_PORT, DEST_PORT, LIST_PORT};
}

QLineEdit* TSql_Form::BadPortBox() const {
    // Only a box the operator can see: the tunnel's while the tunnel is on.
    std::vector<QLineEdit*> shown = {PUERTO};
    if (HABILITA_TUNEL->isChecked())
        for (QLineEdit* box : TunnelPortBoxes()) shown.push_back(box);
    for (QLineEdit* box : shown)
        if (!DbPortProblem(Text(box)).empty()) return box;
    return nullptr;
}

std::string TSql_Form::PortProblem() const {
    const QLineEdit* box = BadPortBox();
    return box ? PortName(box).toStdString() + ": \"" + ShownWithControls(Text(box)) + "\" " +
                     DbPortProblem(Text(box))
               : std::string();
}

bool TSql_Form::RefusePorts() {
    for (QLineEdit* box : {PUERTO, SSH_PORT, DEST_PORT, LIST_PORT}) DefaultPort(box, true);
    QLineEdit* box = BadPortBox();
    if (!box) return false;
    AVISO->setText(Text(PortProblem()));
    box->setFocus();
    box->selectAll();
    return true;
}

void TSql_Form::done(int result) {
    // A port left outside its range would be saved so, and refused by every load.
    if (!RefusePorts()) QDialog::done(result);
}

void TSql_Form::showEvent(QShowEvent* event) {
    // What was refused when the window was last open is no longer news.
    AVISO->clear();
    QDialog::showEvent(event);
}

void TSql_Form::HABILITA_TUNELClick() {
    const bool on = HABILITA_TUNEL->isChecked();
    Group_ssh->setVisible(on);
    // A hidden box is never refused: one left without a port while the
    // tunnel is off goes back to its default port.
    if (!on)
        for (QLineEdit* box : TunnelPortBoxes()) DefaultPort(box, false);
}

void TSql_Form::Button_OKClick() {
    if (RefusePorts()) return;
    GroupBox_config->setEnabled(false);
    if (ShowLogPage) ShowLogPage();
    WithBoxes([this] { output_.TestConnection(); });
    GroupBox_config->setEnabled(true);
    done(1);
}

void TSql_Form::Crea_hilo(const std::vector<SqlRow>& rows, bool Unique) {
    WithBoxes([&] { output_.Crea_hilo(rows, Unique); });
}

void TSql_Form::Subir_a_base(const std::string& fileName, bool Unique) {
    WithBoxes([&] { output_.Subir_a_base(fileName, Unique); });
}

void TSql_Form::Post_fixer(const std::string& fileName) {
    WithBoxes([&] { output_.Post_fixer(fileName); });
}

}  // namespace qv

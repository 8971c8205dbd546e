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

namespace qv {
namespace {

QString Text(const std::string& s) {
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}
std::string Text(const QLineEdit* e) {
    return e->text().toLatin1().toStdString();
}

// The connection and the configuration file speak Latin-1: a character beyond
// it would become "?", and a password another one. Typing or pasting such a
// character is refused and the window says why.
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

  private:
    QLabel* warning_;
    const char* box_;
};

QLineEdit* AddBox(QFormLayout* form, QLabel* warning, const char* label, const char* initial,
                  bool hidden = false) {
    auto* box = new QLineEdit(QString::fromLatin1(initial));
    if (hidden) box->setEchoMode(QLineEdit::Password);
    box->setValidator(new Latin1Only(warning, label, box));
    form->addRow(QString::fromLatin1(label), box);  // the layout's widget owns the box
    return box;
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
    PUERTO = AddBox(form, AVISO, "PORT:", "");
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
    SSH_PORT = AddBox(ssh, AVISO, "SSH_PORT:", "22");
    SSH_LOGIN = AddBox(ssh, AVISO, "SSH_LOGIN:", "ROOT");
    SSH_PASS = AddBox(ssh, AVISO, "SSH PASSWORD:", "", true);
    DEST_HOST = AddBox(ssh, AVISO, "DEST HOST NAME:", "");
    DEST_PORT = AddBox(ssh, AVISO, "DESTINAT.  PORT:", "3306");
    LIST_PORT = AddBox(ssh, AVISO, "LISTENING PORT:", "3306");
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
    s.PASSWORD = Text(PASSWORD);
    s.PUERTO = Text(PUERTO);
    s.HABILITA_TUNEL = HABILITA_TUNEL->isChecked();
    s.SSH_HOST = Text(SSH_HOST);
    s.SSH_PORT = Text(SSH_PORT);
    s.SSH_LOGIN = Text(SSH_LOGIN);
    s.SSH_PASS = Text(SSH_PASS);
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
    PASSWORD->setText(Text(s.PASSWORD));
    PUERTO->setText(Text(s.PUERTO));
    HABILITA_TUNEL->setChecked(s.HABILITA_TUNEL);
    HABILITA_TUNELClick();  // also when the tick did not change
    SSH_HOST->setText(Text(s.SSH_HOST));
    SSH_PORT->setText(Text(s.SSH_PORT));
    SSH_LOGIN->setText(Text(s.SSH_LOGIN));
    SSH_PASS->setText(Text(s.SSH_PASS));
    DEST_HOST->setText(Text(s.DEST_HOST));
    DEST_PORT->setText(Text(s.DEST_PORT));
    LIST_PORT->setText(Text(s.LIST_PORT));
}

template <class Fn>
void TSql_Form::WithBoxes(Fn fn) {
    output_.Settings = Settings();
    fn();
    SetSettings(output_.Settings);
}

void TSql_Form::Init(const std::string& fileName, const PasswordCodec& decode) {
    output_.Init(fileName, decode);
    SetSettings(output_.Settings);
}

void TSql_Form::HABILITA_TUNELClick() {
    Group_ssh->setVisible(HABILITA_TUNEL->isChecked());
}

void TSql_Form::Button_OKClick() {
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

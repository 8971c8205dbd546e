#pragma once
// TSql_Form, "MySQL CONFIG": the boxes of the database output and of its SSH
// tunnel, the connection test, and the hand-off of every upload to SqlOutput.
// The boxes hold the settings; each operation reads them at the moment it runs.

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "export/sql_output.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;

namespace qv {

class TSql_Form : public QDialog {
  public:
    TSql_Form(MainExecutor& executor, MessageTarget mainWindow, LogLine log,
              QWidget* parent = nullptr);

    QGroupBox* GroupBox_config;
    QLineEdit* HOST_NAME;
    QLineEdit* DATA_BASE;
    QLineEdit* USER_NAME;
    QLineEdit* PASSWORD;
    QLineEdit* PUERTO;
    QCheckBox* HABILITA_TUNEL;
    QPushButton* Button_OK;
    QPushButton* BT_CANCEL;
    QGroupBox* Group_ssh;
    QLineEdit* SSH_HOST;
    QLineEdit* SSH_PORT;
    QLineEdit* SSH_LOGIN;
    QLineEdit* SSH_PASS;
    QLineEdit* DEST_HOST;
    QLineEdit* DEST_PORT;
    QLineEdit* LIST_PORT;
    // Why the last character typed into a box, or the port a box holds when
    // the window is to close, was refused (empty until then, and again each
    // time the window is shown).
    QLabel* AVISO;

    // Shows the main window's log page (the connection test's lines go there).
    std::function<void()> ShowLogPage;

    // Loads the boxes from a configuration file; a key not held as written
    // leaves its box as it was (the file's load names it: DbSettingsProblems).
    void Init(const std::string& fileName, const PasswordCodec& decode);
    void HABILITA_TUNELClick();
    void Button_OKClick();
    void Crea_hilo(const std::vector<SqlRow>& rows, bool Unique);
    void Subir_a_base(const std::string& fileName, bool Unique);
    void Post_fixer(const std::string& fileName);
    void Log_txt(const std::string& line, int32_t colour) { output_.Log_txt(line, colour); }

    // The boxes as settings, and back (for the configuration file).
    DbSettings Settings() const;
    void SetSettings(const DbSettings& s);
    std::size_t RunningUploads() const { return output_.RunningUploads(); }
    SqlOutput& Output() { return output_; }

    // The first port box shown (the tunnel's only while the tunnel is on)
    // that holds neither a port of 1 to 65535 nor nothing (its default port),
    // named by its key and its label ("PUERTO (CAMPO \"PORT\")"; "SSH_PORT"), with its text
    // and why; empty when all do.
    std::string PortProblem() const;
    // The window closes only with every port box shown holding a port (an
    // empty one takes the port it stands for): else AVISO says which does
    // not, and that box takes the focus.
    void done(int result) override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    std::vector<QLineEdit*> TunnelPortBoxes() const;
    QLineEdit* BadPortBox() const;
    // Says in AVISO why the boxes cannot be taken; false when they can.
    bool RefusePorts();
    // Runs an operation of the output on the boxes' settings and shows the
    // boxes it corrected.
    template <class Fn>
    void WithBoxes(Fn fn);

    SqlOutput output_;
};

}  // namespace qv

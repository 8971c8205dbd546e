#pragma once
// What the window tests share: the one application object, and the answers to
// the window's dialogs, given as a user would and only once a dialog holds its
// answer: a test's verdict never depends on how soon after the dialog shows
// the answer comes.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/gui/remotex.h"
#include "export/sql_form.h"
#include "support/test_env.h"

namespace qv {

// The suite's application object under Qt's offscreen platform (unless a
// platform was asked for), made on first use and gone before the program's
// exit handlers run (Qt cannot take it down after its own globals).
QApplication& TestApplication();

// A main window of its own for each test.
class MainWindow : public ::testing::Test {
  protected:
    QApplication& application = TestApplication();
    std::unique_ptr<Tremotex> w = std::make_unique<Tremotex>();
};

// A main window with its database settings window, its key store and status
// file in a folder of the test's own, and no log file.
class ConfigWindow : public MainWindow {
  protected:
    void SetUp() override {
        w->KeyStorePath = dir + "/store/QUORVANTA.conf";
        w->StatusLogPath = dir + "/quorvanta_STATUSLOG.CSV";
        w->LOG_FILE.setChecked(false);
        sqlForm = CreateSqlForm(*w);
    }
    // The window goes first: it writes its files into the folder as it closes.
    void TearDown() override {
        sqlForm.reset();
        w.reset();
        if (!HasFailure()) std::filesystem::remove_all(dir);
    }
    std::string dir = test::makeTempDir("config_window");
    std::unique_ptr<TSql_Form> sqlForm;
};

// Answers the dialogs the window opens: every box Yes or OK; every question
// and file dialog the next answer in turn (null cancels it, "" takes what its
// box shows). A dialog is accepted only once it holds its answer, however soon
// after it shows the poll comes: a file dialog's name box that has the focus
// keeps its text against selectFile(), so the name is typed there as a user
// would, and the dialog is accepted once selectedFiles() names that file. One
// that cannot be made to hold its answer is cancelled, and the test fails.
struct DialogAnswers {
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
        if (!text) return dialog->reject();
        const QString held = give(*dialog, QString::fromUtf8(text));
        if (held == QString::fromUtf8(text)) return dialog->accept();
        ADD_FAILURE() << "the dialog holds \"" << held.toStdString() << "\" for \"" << text << '"';
        dialog->reject();
    }
    // Gives the dialog the answer; what it holds then (the answer itself when
    // it holds that).
    static QString give(QDialog& dialog, const QString& text) {
        if (auto* files = qobject_cast<QFileDialog*>(&dialog)) {
            files->selectFile(text);
            const QString wanted = chosenFile(*files, text);
            if (files->selectedFiles() != QStringList{wanted})
                files->findChild<QLineEdit*>("fileNameEdit")->setText(text);
            return files->selectedFiles() == QStringList{wanted} ? text
                                                                 : files->selectedFiles().join('|');
        }
        if (text.isEmpty()) return text;
        dialog.findChild<QLineEdit*>()->setText(text);
        auto* question = qobject_cast<QInputDialog*>(&dialog);
        return question ? question->textValue() : text;
    }
    // The file a file dialog gives for a name typed into it.
    static QString chosenFile(const QFileDialog& files, const QString& text) {
        QString path = QDir::cleanPath(files.directory().absoluteFilePath(text));
        if (!files.defaultSuffix().isEmpty() && QFileInfo(path).suffix().isEmpty())
            path += "." + files.defaultSuffix();
        return path;
    }
    std::vector<const char*> answers;
    std::size_t given = 0;
    std::vector<std::string> boxes;
    QTimer timer;
};

}  // namespace qv

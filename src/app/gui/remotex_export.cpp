// The main window's hand-offs to the result export: the FTP uploads of the
// CSV files, the database output through the database settings window, and
// the uploads that keep the program open after an unattended run.

#include <chrono>

#include "app/gui/remotex.h"
#include "export/ftp_upload.h"
#include "export/sql_form.h"

namespace qv {

void Tremotex::InitExport() {
    FtpJobContext context;
    context.MainWindow = WindowTarget();
    context.Executor = executor_.get();
    context.ShowDataText = [this](const std::string& text, int32_t c) { Show_data_Text(text, c); };
    context.Terminated = [this](bool) { SyncUploads(); };
    ftpOutput_ = std::make_unique<FtpUploads>(std::move(context));
    // A file not sent names its meter's row, or the code alone says it.
    ftpOutput_->Failed = [this](const std::string& localFile, const std::string& why) {
        OutputFailed(localFile, 0, "FTP", why);
    };
    StartFtpUpload = [this](const std::string& localFile, const std::string& target,
                            bool keepExisting, PendingUploads::Token upload) {
        ftpOutput_->Start(localFile, target, keepExisting);
        ftpUploads_.push_back(std::move(upload));
    };
}

// The jobs and the writer threads know when they end; the window only keeps
// as many tokens as they report running, whichever upload ended.
void Tremotex::SyncUploads() {
    const std::size_t ftp = ftpOutput_ ? static_cast<std::size_t>(ftpOutput_->Pending()) : 0;
    if (ftpUploads_.size() > ftp) ftpUploads_.resize(ftp);
    const std::size_t db = Sql_Form ? Sql_Form->RunningUploads() : 0;
    while (dbUploads_.size() < db) dbUploads_.push_back(Uploads.Begin());
    if (dbUploads_.size() > db) dbUploads_.resize(db);
}

void Tremotex::StopUploads() {
    if (Uploads.Count() == 0) return;
    if (ftpOutput_) ftpOutput_->Stop();
    if (Sql_Form) Sql_Form->Output().Stop();
    // The threads have ended; their last lines and end handlers are queued
    // (a long upload may have left many lines before them).
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Uploads.Count() != 0 && std::chrono::steady_clock::now() < end)
        executor_->processFor(std::chrono::milliseconds(20));
    executor_->processPending();
}

std::shared_ptr<const DbSettings> Tremotex::DatabaseSettings() const {
    if (!Sql_Form) return nullptr;
    return std::make_shared<const DbSettings>(Sql_Form->Settings());
}

std::unique_ptr<TSql_Form> CreateSqlForm(Tremotex& remotex) {
    // No Qt parent: the caller owns the window and frees it before the main window.
    auto form = std::make_unique<TSql_Form>(
        *remotex.executor_, remotex.WindowTarget(),
        [&remotex](const std::string& text, int32_t c) { remotex.Show_data_Text(text, c); });
    form->ShowLogPage = [&remotex] {
        remotex.pagecontrol1.setCurrentWidget(&remotex.Conexion_conta);
    };
    form->Output().UploadsChanged = [&remotex] { remotex.SyncUploads(); };
    form->Output().UploadFailed = [&remotex](const std::string& file, const std::string& why) {
        remotex.OutputFailed(file, 0, "BASE DE DATOS", why);
    };
    remotex.Sql_Form = form.get();
    // The CSV file stays in the run's folder; the form logs when none could
    // be written. The upload takes the database settings the run was
    // checked with, not the boxes as they are now.
    remotex.PostFixer = [&remotex](const Tdevice& device) {
        const std::string name = remotex.Crear_fixer(device, false);
        if (!remotex.run_ || !remotex.run_->Db) return remotex.Sql_Form->Post_fixer(name);
        SqlOutput& output = remotex.Sql_Form->Output();
        const DbSettings shown = output.Settings;
        output.Settings = *remotex.run_->Db;
        output.Post_fixer(name);
        output.Settings = shown;
    };
    QObject::connect(form.get(), &QObject::destroyed, &remotex, [&remotex] {
        remotex.Sql_Form = nullptr;
        remotex.PostFixer = nullptr;
        remotex.SyncUploads();
    });
    return form;
}

}  // namespace qv

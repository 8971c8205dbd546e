#include "export/ftp_upload.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "meter/meter_messages.h"

namespace qv {

namespace {

constexpr uint32_t kProgressMask = 0xFFFFFF;  // progress travels as 24 bits
constexpr uint64_t kProgressUnit = 102;       // bytes per step of the bar

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where the login part ends: the last "@" before the first "/" (a password may
// hold "@"; the folder starts at the first "/"), npos without one.
std::size_t loginEnd(const std::string& text) {
    return text.rfind('@', text.find('/'));
}

}  // namespace

FtpTarget ParseFtpTarget(const std::string& text) {
    FtpTarget t;
    const auto at = loginEnd(text);
    if (at != std::string::npos) {
        const std::string login = text.substr(0, at);
        const auto colon = login.find(':');
        t.User = login.substr(0, colon);
        if (colon != std::string::npos) t.Password = login.substr(colon + 1);
    }
    const std::string rest = at == std::string::npos ? text : text.substr(at + 1, 255);
    const auto slash = rest.find('/');
    if (slash == std::string::npos) {
        t.Host = rest;
    } else {
        t.Host = rest.substr(0, slash);
        t.RemoteDir = rest.substr(slash, 255);
    }
    return t;
}

std::string MaskFtpTarget(const std::string& text) {
    const auto at = loginEnd(text);
    if (at == std::string::npos) return text;
    const auto colon = text.find(':');
    if (colon > at || colon + 1 == at) return text;  // no password
    return text.substr(0, colon + 1) + "****" + text.substr(at);
}

std::string TFTP_Thread::RemoteName(const std::string& name) const {
    if (!KeepExisting || !FTP->Exists(name)) return name;
    PostLog("- LECTURA INCOMPLETA, SE CONSERVA EL FICHERO EXISTENTE : " + name, colour::Red);
    for (int i = 1; i < 1000; ++i) {
        const std::string beside = name + "(" + std::to_string(i) + ")";
        if (!FTP->Exists(beside)) return beside;
    }
    throw FtpError("no free name beside " + name);
}

void TFTP_Thread::PostLog(const std::string& line, int32_t colour) const {
    qv::PostLog(MainWindow, line, colour);
}

void TFTP_Thread::PostProgressInit(const std::string& caption, uint64_t maximum) const {
    if (!MainWindow) return;
    try {
        MainWindow.post(
            MSG_PROGRESSINIT,
            std::make_unique<Tmensaje_TXT>(caption, static_cast<int32_t>(maximum & kProgressMask)));
    } catch (...) {
    }
}

void TFTP_Thread::PostProgressPos(uint64_t position) const {
    if (!MainWindow) return;
    try {
        MainWindow.post(MSG_PROGRESSPOS, std::make_unique<Tmensaje_TXT>(
                                             "", static_cast<int32_t>(position & kProgressMask)));
    } catch (...) {
    }
}

void TFTP_Thread::FTPWork(int /*workMode*/, uint64_t count) const {
    PostProgressPos(count / kProgressUnit);
}

void TFTP_Thread::Execute() {
    // A stop comes only from the program closing: the upload did not happen.
    const char* const stopped = "SUBIDA INTERRUMPIDA AL CERRAR EL PROGRAMA";
    const std::string failure = "- IMPOSIBLE CONECTAR/ENVIAR FICHERO CON EL SERVIDOR FTP ! - ";
    if (Terminated.load()) {
        PostLog(failure + stopped, colour::Red);
    } else {
        try {
            if (!FTP) throw FtpError("no FTP client");
            FTP->Connect(Host, User, Password);
            PostLog("- CONECTADO CON SERVIDOR FTP.  BUSCANDO LA CARPETA : " + RemoteDir,
                    colour::Green);
            FTP->ChangeDir(RemoteDir);
            bool stored = false;
            if (!LocalFile.empty()) {
                const std::string name = baseName(LocalFile);
                std::ifstream probe(LocalFile, std::ios::binary);
                std::error_code ec;
                const auto size = std::filesystem::file_size(LocalFile, ec);
                if (probe && !ec) {
                    probe.close();
                    PostLog("- SUBIENDO A FTP FICHERO : " + name, colour::Yellow);
                    PostProgressInit(name, size / kProgressUnit);
                    FTP->Store(LocalFile, RemoteName(name), [this](uint64_t n) { FTPWork(0, n); });
                    stored = true;
                } else {
                    // Nothing was sent, so the file is kept for the operator.
                    PostLog("- ERROR AL LEER EL FICHERO LOCAL : " + LocalFile, colour::Red);
                }
            }
            FTP->Disconnect();
            // Only a transfer the server confirmed lets the local copy go.
            if (stored) {
                Sent = true;
                std::error_code ec;
                std::filesystem::remove(LocalFile, ec);
            }
        } catch (const std::exception& e) {
            PostLog(failure + (Terminated.load() ? stopped : e.what()), colour::Red);
            if (FTP) FTP->Disconnect();
        }
    }
    PostLog(" - DESCONECTANDO FTP...", colour::Yellow);
    PostProgressPos(0);
    FTP.reset();
}

T_FTP::T_FTP(const std::string& localFile, const std::string& target, bool keepExisting,
             FtpJobContext context)
    : context_(std::move(context)) {
    Thread = std::make_shared<TFTP_Thread>();
    const auto log = [this](const std::string& text, int32_t colour) {
        if (context_.ShowDataText) context_.ShowDataText(text, colour);
    };
    try {
        Thread->MainWindow = context_.MainWindow;
        Thread->LocalFile = localFile;
        Thread->KeepExisting = keepExisting;
        Thread->FTP = std::make_unique<FtpClient>(&Thread->Terminated);
        Thread->FTP->ConnectTimeoutMs = 10000;
        const FtpTarget t = ParseFtpTarget(target);
        Thread->Host = t.Host;
        Thread->User = t.User;
        Thread->Password = t.Password;
        Thread->RemoteDir = t.RemoteDir;
        // The log pane is on screen and the log file on disk: the password is
        // not written out.
        log("- CONECTANDO CON SERVIDOR FTP : " + t.Host + "  USER: " + t.User +
                "  PASS: " + (t.Password.empty() ? "" : "****"),
            colour::Yellow);
    } catch (...) {
        log("- EXCEPCION CREANDO SERVIDOR FTP", colour::Red);
    }
    worker_ = std::thread(
        [thread = Thread, executor = context_.Executor, alive = std::weak_ptr<int>(alive_), this] {
            thread->Execute();
            if (executor)
                executor->post([alive, this] {
                    if (alive.lock()) FTPTerminate();
                });
        });
}

T_FTP::~T_FTP() {
    alive_.reset();
    Thread->Terminated = true;
    Join();
}

void T_FTP::Join() {
    if (worker_.joinable()) worker_.join();
}

void T_FTP::FTPTerminate() {
    if (finished_) return;
    finished_ = true;
    if (context_.Terminated) context_.Terminated(Thread->Sent.load());
}

FtpUploads::~FtpUploads() {
    Stop();
    jobs_.clear();
}

void FtpUploads::Stop() {
    for (auto& job : jobs_) job->Thread->Terminated = true;
    for (auto& job : jobs_) job->Join();
}

void FtpUploads::Start(const std::string& localFile, const std::string& target, bool keepExisting) {
    std::erase_if(jobs_, [](const auto& job) { return job->Finished(); });
    jobs_.push_back(std::make_unique<T_FTP>(localFile, target, keepExisting, context_));
}

int FtpUploads::Pending() const {
    return static_cast<int>(std::count_if(jobs_.begin(), jobs_.end(),
                                          [](const auto& job) { return !job->Finished(); }));
}

}  // namespace qv

#include "export/ftp_upload.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "meter/meter_messages.h"
#include "platform/text.h"

namespace qv {

namespace {

constexpr uint32_t kProgressMask = 0xFFFFFF;  // progress travels as 24 bits
constexpr uint64_t kProgressUnit = 102;       // bytes per step of the bar

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where the text after a scheme ("ftp://", or another one to refuse) begins.
std::size_t schemeEnd(const std::string& text) {
    const auto sep = text.find("://");
    if (sep == std::string::npos || sep == 0) return 0;
    for (std::size_t i = 0; i < sep; ++i)
        if (!std::isalpha(static_cast<unsigned char>(text[i]))) return 0;
    return sep + 3;
}

// The "%XX" escapes of the URL form; false for a malformed one.
bool percentDecode(std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        unsigned value = 0;
        const auto [end, ec] =
            std::from_chars(s.data() + i + 1, s.data() + std::min(i + 3, s.size()), value, 16);
        if (ec != std::errc() || end != s.data() + i + 3) return false;
        out += static_cast<char>(value);
        i += 2;
    }
    s = std::move(out);
    return true;
}

// "host", "host:port", "[v6]" or "[v6]:port", with a port of 1 to 65535.
bool validHost(const std::string& host) {
    if (host.empty() || host.find_first_of(" \t@") != std::string::npos) return false;
    std::size_t portAt = host.find(':');  // the ":" before the port
    if (host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string::npos || close == 1) return false;
        if (close + 1 == host.size()) return true;
        if (host[close + 1] != ':') return false;
        portAt = close + 1;
    } else if (portAt == std::string::npos) {
        return true;
    } else if (portAt == 0) {
        return false;
    }
    unsigned port = 0;
    const char* last = host.data() + host.size();
    const auto [end, ec] = std::from_chars(host.data() + portAt + 1, last, port);
    return ec == std::errc() && end == last && port >= 1 && port <= 65535;
}

}  // namespace

std::optional<FtpTarget> ParseFtpTarget(const std::string& text, std::string& why) {
    const auto refuse = [&](const char* reason) {
        why = "DESTINO FTP NO VALIDO (" + ShownFtpTarget(text) + "): " + reason;
        return std::nullopt;
    };
    // A line break would end the FTP command the user, password or folder is
    // sent in, and the next line would be a command of its own.
    if (HasControlCharacter(text)) return refuse("LLEVA UN CARACTER DE CONTROL");
    const std::size_t from = schemeEnd(text);
    const bool url = from != 0;
    if (url && UpperAscii(text.substr(0, from)) != "FTP://")
        return refuse("SOLO SE ADMITE ftp:// O USUARIO:PASSWORD@SERVIDOR/CARPETA/");
    FtpTarget t;
    const auto at = text.rfind('@');
    const bool login = at != std::string::npos && at >= from;
    if (login) {
        const std::string user = text.substr(from, at - from);
        const auto colon = user.find(':');
        t.User = user.substr(0, colon);
        if (colon != std::string::npos) t.Password = user.substr(colon + 1);
    } else if (text.find(':', from) != std::string::npos) {
        return refuse("FALTA USUARIO@ DELANTE DEL SERVIDOR");
    }
    const std::string rest = text.substr(login ? at + 1 : from, 255);
    const auto slash = rest.find('/');
    t.Host = rest.substr(0, slash);
    if (slash != std::string::npos) t.RemoteDir = rest.substr(slash, 255);
    if (!validHost(t.Host))
        return refuse("SERVIDOR O PUERTO NO VALIDO (SERVIDOR[:PUERTO 1-65535])");
    if (url && !(percentDecode(t.User) && percentDecode(t.Password) && percentDecode(t.RemoteDir)))
        return refuse("ESCAPE % NO VALIDO EN LA URL");
    if (HasControlCharacter(t.User) || HasControlCharacter(t.Password) ||
        HasControlCharacter(t.RemoteDir))
        return refuse("UN ESCAPE % DA UN CARACTER DE CONTROL");
    return t;
}

std::string MaskFtpTarget(const std::string& text) {
    const std::size_t from = schemeEnd(text);
    const auto colon = text.find(':', from);
    if (colon == std::string::npos) return text;
    auto at = text.rfind('@');
    if (at == std::string::npos || at < from) at = text.size();
    if (colon > at || colon + 1 == at) return text;  // no password
    return text.substr(0, colon + 1) + "****" + text.substr(at);
}

std::string ShownFtpTarget(const std::string& text) {
    return ShownWithControls(MaskFtpTarget(text));
}

std::string TFTP_Thread::RemoteName(const std::string& name) const {
    if (!KeepExisting || !FTP->Exists(name)) return name;
    PostLog("- LECTURA INCOMPLETA, SE CONSERVA EL FICHERO EXISTENTE : " + ShownWithControls(name),
            colour::Red);
    for (int i = 1; i < 1000; ++i) {
        const std::string beside = name + "(" + std::to_string(i) + ")";
        if (!FTP->Exists(beside)) return beside;
    }
    throw FtpError("no free name beside " + ShownWithControls(name));
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
    const auto fail = [&](const std::string& why) {
        if (Failure.empty()) Failure = why;
        PostLog(failure + why, colour::Red);
    };
    if (Terminated.load()) {
        fail(stopped);
    } else {
        try {
            if (!TargetError.empty()) throw FtpError(TargetError);
            if (!FTP) throw FtpError("no FTP client");
            FTP->Connect(Host, User, Password);
            PostLog("- CONECTADO CON SERVIDOR FTP.  BUSCANDO LA CARPETA : " +
                        ShownWithControls(RemoteDir),
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
                    PostLog("- SUBIENDO A FTP FICHERO : " + ShownWithControls(name),
                            colour::Yellow);
                    PostProgressInit(ShownWithControls(name), size / kProgressUnit);
                    FTP->Store(LocalFile, RemoteName(name), [this](uint64_t n) { FTPWork(0, n); });
                    stored = true;
                } else {
                    // Nothing was sent, so the file is kept for the operator.
                    Failure = "ERROR AL LEER EL FICHERO LOCAL : " + ShownWithControls(LocalFile);
                    PostLog("- " + Failure, colour::Red);
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
            fail(Terminated.load() ? stopped : e.what());
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
        std::string why;
        const std::optional<FtpTarget> t = ParseFtpTarget(target, why);
        if (!t) {
            // The thread reports the reason as its failure; nothing is sent.
            Thread->TargetError = why;
            log("- EXCEPCION CREANDO SERVIDOR FTP - " + why, colour::Red);
        } else {
            Thread->Host = t->Host;
            Thread->User = t->User;
            Thread->Password = t->Password;
            Thread->RemoteDir = t->RemoteDir;
            // The log pane is on screen and the log file on disk: the password
            // is not written out.
            log("- CONECTANDO CON SERVIDOR FTP : " + ShownWithControls(t->Host) + "  USER: " +
                    ShownWithControls(t->User) + "  PASS: " + (t->Password.empty() ? "" : "****"),
                colour::Yellow);
        }
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
    const bool sent = Thread->Sent.load();
    if (!sent && Failed)
        Failed(Thread->LocalFile, Thread->Failure.empty() ? "NO ENVIADO" : Thread->Failure);
    if (context_.Terminated) context_.Terminated(sent);
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
    // Its end handler runs through the executor, after this.
    jobs_.back()->Failed = Failed;
}

int FtpUploads::Pending() const {
    return static_cast<int>(std::count_if(jobs_.begin(), jobs_.end(),
                                          [](const auto& job) { return !job->Finished(); }));
}

}  // namespace qv

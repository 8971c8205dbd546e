#include "export/sql_output.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>

#include "export/sql_writer.h"
#include "export/ssh_tunnel.h"
#include "platform/ini_file.h"
#include "platform/text.h"

namespace qv {
namespace {

const char* const kMain = "MAIN";

std::string ProcessCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (char& c : text)
        if (c == '\0') c = ' ';
    return text;
}

// The number in a box; otherwise `def`, and the box then shows it.
int BoxNumber(std::string& box, int def) {
    int v = 0;
    auto [end, ec] = std::from_chars(box.data(), box.data() + box.size(), v);
    if (box.empty() || ec != std::errc() || end != box.data() + box.size()) {
        box = std::to_string(def);
        return def;
    }
    return v;
}

// What the configuration file's password decoder gives for a value that is
// not an encoded password.
const std::string kUndecodable(1, '\x01');

// The settings as the connection takes them: DB_NAME and USER_NAME in its
// Latin-1. Empty, with the reason, for a name it cannot hold or a stored
// password that did not decode (logging in with a garbled one tells nothing).
std::optional<DbSettings> ForConnection(DbSettings s, std::string& why) {
    for (const auto& [key, text] :
         {std::pair{"DB_NAME", &s.DATA_BASE}, {"USER_NAME", &s.USER_NAME}}) {
        const std::string given = *text;
        if (char32_t bad = 0; !ToLatin1(given, *text, bad)) {
            why = std::string(key) + " TIENE EL CARACTER " + CodePointName(bad) +
                  ", QUE LA BASE (LATIN-1) NO ADMITE";
            return std::nullopt;
        }
    }
    for (const auto& [key, text] :
         {std::pair{"PASSW", &s.PASSWORD}, {"SSH_PASS", s.HABILITA_TUNEL ? &s.SSH_PASS : nullptr}})
        if (text && *text == kUndecodable) {
            why = "LA CLAVE " + std::string(key) +
                  " DEL FICHERO DE CONFIGURACION NO ES UNA CONTRASENA CODIFICADA: ESCRIBALA EN "
                  "\"CONFIGURACION MySQL\" Y GUARDE LA CONFIGURACION";
            return std::nullopt;
        }
    return s;
}

}  // namespace

std::string DbPortProblem(const std::string& text) {
    return TrimBlanks(text).empty() || IsTcpPort(text) ? "" : "NO ES UN PUERTO DE 1 A 65535";
}

std::string DbLoginProblem(const DbSettings& s) {
    std::string why;
    ForConnection(s, why);
    return why;
}

namespace {

// The keys with a range, each with its check; "" when the text is taken.
struct CheckedDbKey {
    const char* key;
    std::string (*why)(const std::string& text);
};
std::string switch_problem(const std::string& text) {
    long v = 0;
    return text.empty() || ParseLong(text, v) ? "" : "NO ES UN NUMERO ENTERO";
}
const CheckedDbKey kCheckedDbKeys[] = {
    {"SSH_PORT", DbPortProblem},        {"DEST_PORT", DbPortProblem}, {"LIST_PORT", DbPortProblem},
    {"HABILITA_TUNEL", switch_problem}, {"PUERTO", DbPortProblem},
};

}  // namespace

std::vector<std::string> DbSettingsProblems(const IniFile& ini) {
    std::vector<std::string> problems;
    for (const auto& [key, why] : kCheckedDbKeys) {
        const std::string text = ini.readString(kMain, key, "");
        if (const std::string reason = why(text); !reason.empty())
            problems.push_back(std::string(key) + ": \"" + ShownWithControls(text) + "\" " +
                               reason);
    }
    return problems;
}

DbSettings ReadDbSettings(const IniFile& ini, const PasswordCodec& decode,
                          const DbSettings* previous) {
    DbSettings s;
    s.HOST_NAME = ini.readString(kMain, "HOST_NAME", "LOCALHOST");
    s.DATA_BASE = ini.readString(kMain, "DB_NAME", "PRUEBA");
    s.USER_NAME = ini.readString(kMain, "USER_NAME", "ROOT");
    s.PASSWORD = decode(ini.readString(kMain, "PASSW", ""));
    s.SSH_HOST = ini.readString(kMain, "SSH_HOST", "");
    s.SSH_LOGIN = ini.readString(kMain, "SSH_LOGIN", "");
    s.SSH_PASS = decode(ini.readString(kMain, "SSH_PASS", ""));
    s.DEST_HOST = ini.readString(kMain, "DEST_HOST", "LOCALHOST");
    // A value that is not taken keeps the previous one (else the default);
    // an empty (or blank) port is the default port, as for a run, and a port
    // is the number it is taken for.
    const DbSettings defaults;
    const auto checked = [&](const char* key, std::string DbSettings::*field) {
        const std::string text = ini.readString(kMain, key, "");
        const std::string& def = defaults.*field;
        s.*field = DbPortProblem(text).empty() ? TcpPortText(text, def)
                   : previous                  ? previous->*field
                                               : def;
    };
    checked("PUERTO", &DbSettings::PUERTO);
    checked("SSH_PORT", &DbSettings::SSH_PORT);
    checked("DEST_PORT", &DbSettings::DEST_PORT);
    checked("LIST_PORT", &DbSettings::LIST_PORT);
    const bool tunnel = ini.readBool(kMain, "HABILITA_TUNEL", false);
    s.HABILITA_TUNEL = switch_problem(ini.readString(kMain, "HABILITA_TUNEL", "")).empty()
                           ? tunnel
                           : previous && previous->HABILITA_TUNEL;
    return s;
}

void WriteDbSettings(IniFile& ini, const DbSettings& s, const PasswordCodec& encode) {
    const DbSettings defaults;
    const auto port = [&](std::string DbSettings::*field) {
        return TcpPortText(s.*field, defaults.*field);
    };
    ini.writeString(kMain, "SSH_HOST", s.SSH_HOST);
    ini.writeString(kMain, "SSH_PORT", port(&DbSettings::SSH_PORT));
    ini.writeString(kMain, "SSH_LOGIN", s.SSH_LOGIN);
    ini.writeString(kMain, "SSH_PASS", encode(s.SSH_PASS));
    ini.writeString(kMain, "DEST_HOST", s.DEST_HOST);
    ini.writeString(kMain, "DEST_PORT", port(&DbSettings::DEST_PORT));
    ini.writeString(kMain, "LIST_PORT", port(&DbSettings::LIST_PORT));
    ini.writeBool(kMain, "HABILITA_TUNEL", s.HABILITA_TUNEL);
    ini.writeString(kMain, "HOST_NAME", s.HOST_NAME);
    ini.writeString(kMain, "DB_NAME", s.DATA_BASE);
    ini.writeString(kMain, "USER_NAME", s.USER_NAME);
    ini.writeString(kMain, "PASSW", encode(s.PASSWORD));
    ini.writeString(kMain, "PUERTO", port(&DbSettings::PUERTO));
}

bool AsksUnique(const std::string& commandLine) {
    return UpperAscii(commandLine).find("-DBUNIQUE") != std::string::npos;
}

struct SqlOutput::Upload {
    Tescribe_SQL thread;
    std::shared_ptr<SshTunnel> tunnel;  // the tunnel this upload goes through, if any
    bool hasRows = false;               // not a connection test
    std::string file;                   // the readings file of the rows, if any
};

void SqlOutput::Failed(const std::string& fileName, const std::string& why) {
    if (UploadFailed) UploadFailed(fileName, why);
}

SqlOutput::SqlOutput(MainExecutor& executor, MessageTarget mainWindow, LogLine log)
    : CommandLine(ProcessCommandLine()),
      executor_(executor),
      mainWindow_(std::move(mainWindow)),
      log_(std::move(log)) {}

void SqlOutput::Stop() {
    for (auto& u : uploads_) u->thread.Abort();
    for (auto& u : uploads_) u->thread.WaitFor();
}

SqlOutput::~SqlOutput() {
    Stop();
    uploads_.clear();  // each waits for its thread; the tunnels close with the last holder
}

void SqlOutput::Log_txt(const std::string& line, int32_t colour) const {
    if (log_) log_(line, colour);
}

void SqlOutput::Init(const std::string& fileName, const PasswordCodec& decode,
                     const DbSettings* previous) {
    DbSettings s = ReadDbSettings(IniFile(fileName, false), decode, previous);
    s.KnownHostsFile = Settings.KnownHostsFile;
    s.ConnectTimeoutSeconds = Settings.ConnectTimeoutSeconds;
    s.ReadTimeoutSeconds = Settings.ReadTimeoutSeconds;
    Settings = std::move(s);
}

bool SqlOutput::TunnelInUse(const SshTunnel* tunnel) const {
    for (const auto& u : uploads_)
        if (u->tunnel.get() == tunnel) return true;
    return false;
}

bool SqlOutput::start_ssh() {
    try {
        Log_txt(" - LOADING SSH CONFIG...", colour::White);
        auto t = std::make_shared<SshTunnel>();
        t->DestPort = BoxNumber(Settings.DEST_PORT, 3306);
        t->DestHostname = Settings.DEST_HOST;
        t->SshHostname = Settings.SSH_HOST;
        t->SshPort = BoxNumber(Settings.SSH_PORT, 22);
        t->SshLogin = Settings.SSH_LOGIN;
        t->SshPassword = Settings.SSH_PASS;
        t->KnownHostsFile = Settings.KnownHostsFile;
        t->ConnectTimeoutSeconds = static_cast<int>(Settings.ConnectTimeoutSeconds);
        // The uploads through the tunnel fail then only as a lost connection:
        // the tunnel's own reason is the one that says why.
        t->OnFailure = [this, ex = &executor_,
                        alive = std::weak_ptr<int>(alive_)](const std::string& reason) {
            ex->post([this, alive, reason] {
                if (alive.lock()) Log_txt(" - ERROR EN EL TUNEL SSH: " + reason, colour::Red);
            });
        };
        const int listenPort = BoxNumber(Settings.LIST_PORT, 3307);
        // An upload that still runs through a tunnel on the same port with the
        // same endpoints shares it: a second listener on that port could not start.
        // A tunnel whose SSH session has ended no longer listens: a fresh one starts.
        if (SshTunnel_ && SshTunnel_->Listening() && TunnelInUse(SshTunnel_.get()) &&
            SshTunnel_->ListenPort() == listenPort && SshTunnel_->DestPort == t->DestPort &&
            SshTunnel_->DestHostname == t->DestHostname &&
            SshTunnel_->SshHostname == t->SshHostname && SshTunnel_->SshPort == t->SshPort &&
            SshTunnel_->SshLogin == t->SshLogin && SshTunnel_->SshPassword == t->SshPassword) {
            Log_txt(" - TUNEL INICIADO DE FORMA EXITOSA!", colour::Green);
            return true;
        }
        SshTunnel_ = t;
        if (t->StartListen(listenPort) == 1) {
            Log_txt(" - TUNEL INICIADO DE FORMA EXITOSA!", colour::Green);
            return true;
        }
        Log_txt(" - ERROR AL INICIAR EL TUNEL SSH:", colour::Red);
        Log_txt(t->ErrorText(), colour::Red);
        return false;
    } catch (const std::exception& e) {
        Log_txt(std::string(" - ERROR DE SSH DLL - Exception = ") + e.what(), colour::Red);
        return false;
    }
}

void SqlOutput::Stop_ssh(SshTunnel& tunnel) {
    try {
        if (tunnel.StopListen() != 1) {
            Log_txt(" - ERROR AL CERRAR EL TUNEL SSH:", colour::Red);
            Log_txt(tunnel.ErrorText(), colour::Red);
            return;
        }
        if (tunnel.ShutdownTunnel(1000) != 1) {
            Log_txt(" - ERROR CERRANDO EL TUNEL SSH:", colour::Red);
            Log_txt(tunnel.ErrorText(), colour::Red);
            return;
        }
        Log_txt(" - TUNEL CERRADO DE FORMA EXITOSA!", colour::Green);
    } catch (const std::exception& e) {
        Log_txt(std::string(" - SSH Exception = ") + e.what(), colour::Red);
    }
}

void SqlOutput::Crea_hilo(const std::vector<SqlRow>& rows, bool Unique,
                          const std::string& fileName) {
    const auto failed = [&](const std::string& why) {
        if (!rows.empty()) Failed(fileName, why);
    };
    std::string why;
    const std::optional<DbSettings> c = ForConnection(Settings, why);
    if (!c) {
        Log_txt(" - " + why + " - IMPOSIBLE SUBIR DATOS A LA BASE", colour::Red);
        return failed(why);
    }
    Log_txt(" - INICIANDO COMUNICACION CON BASE DE DATOS...", colour::Yellow);
    if (Settings.HABILITA_TUNEL && !start_ssh()) return failed("ERROR AL INICIAR EL TUNEL SSH");
    std::shared_ptr<SshTunnel> tunnel = Settings.HABILITA_TUNEL ? SshTunnel_ : nullptr;
    try {
        auto upload = std::make_unique<Upload>();
        upload->tunnel = tunnel;
        upload->hasRows = !rows.empty();
        upload->file = fileName;
        Tescribe_SQL& t = upload->thread;
        t.MainWindow = mainWindow_;
        t.Unique = Unique;
        t.Schema = c->DATA_BASE;
        DbConnectionParams p;
        p.HostName = c->HOST_NAME;
        p.Database = c->DATA_BASE;
        p.User_Name = c->USER_NAME;
        p.Password = c->PASSWORD;
        p.Port = c->PUERTO;
        p.ConnectTimeoutSeconds = c->ConnectTimeoutSeconds;
        p.ReadTimeoutSeconds = p.WriteTimeoutSeconds = c->ReadTimeoutSeconds;
        t.Connection = std::make_unique<DbConnection>(std::move(p));
        t.Queue.assign(rows.begin(), rows.end());
        std::weak_ptr<int> alive = alive_;
        t.Start(executor_, [this, alive, raw = upload.get()] {
            if (alive.lock()) Sql_Disconnect(raw);
        });
        uploads_.push_back(std::move(upload));
        if (UploadsChanged) UploadsChanged();
    } catch (const std::exception& e) {
        Log_txt(std::string("ERROR AL INICIAR COMUNICACION CON LA BASE DE DATOS...") + e.what(),
                colour::Red);
        if (tunnel && !TunnelInUse(tunnel.get())) Stop_ssh(*tunnel);
        failed(e.what());
    }
}

void SqlOutput::Sql_Disconnect(Upload* upload) {
    auto it = std::find_if(uploads_.begin(), uploads_.end(),
                           [upload](const auto& u) { return u.get() == upload; });
    if (it == uploads_.end()) return;
    std::shared_ptr<SshTunnel> tunnel = std::move((*it)->tunnel);
    const bool lost = (*it)->hasRows && !(*it)->thread.Complete();
    const std::string file = (*it)->file;
    const std::string why = (*it)->thread.Failure();
    uploads_.erase(it);  // joins the thread, which has already finished its work
    // The tunnel this upload started closes once no other running upload uses
    // it, also when the box has been unticked meanwhile.
    if (tunnel && !TunnelInUse(tunnel.get())) Stop_ssh(*tunnel);
    Log_txt(" - DESCONECTADO DE LA BASE DE DATOS...", colour::Green);
    if (lost) Failed(file, why.empty() ? "NO SE HAN ESCRITO TODOS LOS DATOS" : why);
    if (UploadsChanged) UploadsChanged();
}

void SqlOutput::Subir_a_base(const std::string& fileName, bool Unique) {
    std::vector<SqlRow> rows;
    std::string why;
    if (ReadReadingsFile(fileName, rows, [this, &why](const std::string& line) {
            if (why.empty()) why = line;
            Log_txt(line, colour::Red);
        }))
        Crea_hilo(rows, Unique, fileName);
    else
        Failed(fileName, why);
}

void SqlOutput::Post_fixer(const std::string& fileName) {
    if (fileName.empty()) {
        Log_txt("- NO EXISTEN DATOS PARA SUBIR A LA BASE", colour::Red);
        return;
    }
    Subir_a_base(fileName, AsksUnique(CommandLine));
}

}  // namespace qv

#pragma once
// The database output without its window: the settings of the database and of
// the SSH tunnel, the upload of a readings file, and the writer threads and
// tunnels of the uploads that run. TSql_Form binds it to its boxes.
// Main thread only, except where a member says otherwise.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "export/sql_rows.h"
#include "platform/main_executor.h"
#include "platform/worker_message.h"

namespace qv {

class IniFile;
class SshTunnel;
class Tescribe_SQL;

// The texts of the settings window's boxes; the initial values are the
// window's initial texts (the configuration file's defaults differ, see
// ReadDbSettings, except for the ports: a box holds a port from the start).
struct DbSettings {
    std::string HOST_NAME = "LOCALHOST";
    std::string DATA_BASE = "PRUEBA";
    std::string USER_NAME = "ROOT";
    std::string PASSWORD;
    std::string PUERTO = "3306";
    bool HABILITA_TUNEL = false;
    std::string SSH_HOST = "PRUEBA";
    std::string SSH_PORT = "22";
    std::string SSH_LOGIN = "ROOT";
    std::string SSH_PASS;
    std::string DEST_HOST;
    std::string DEST_PORT = "3306";
    std::string LIST_PORT = "3306";

    // Not in the window: where the tunnel looks up the server's host key
    // (empty: the user's ~/.ssh/known_hosts) and the connection's waits.
    std::string KnownHostsFile;
    unsigned ConnectTimeoutSeconds = 10;
    unsigned ReadTimeoutSeconds = 30;

    friend bool operator==(const DbSettings&, const DbSettings&) = default;
};

// The database and tunnel keys of section "MAIN", in the order
// WriteDbSettings writes them.
inline constexpr std::array<std::string_view, 13> DbSettingsKeys = {
    "SSH_HOST",       "SSH_PORT",  "SSH_LOGIN", "SSH_PASS",  "DEST_HOST", "DEST_PORT", "LIST_PORT",
    "HABILITA_TUNEL", "HOST_NAME", "DB_NAME",   "USER_NAME", "PASSW",     "PUERTO"};

// Stored passwords pass through the configuration file's codec.
using PasswordCodec = std::function<std::string(const std::string&)>;

// The database and tunnel keys of section "MAIN" that a load does not take as
// written, one line each, "KEY: \"value\" reason", in the order
// WriteDbSettings writes them: a port (PUERTO, SSH_PORT, DEST_PORT,
// LIST_PORT) that is neither empty nor a TCP port, a HABILITA_TUNEL that is
// neither empty nor a whole number (0 off, any other on: "NO ES UN NUMERO
// ENTERO"). A configuration
// file's load lists them with the window's keys, so that -INI refuses them.
std::vector<std::string> DbSettingsProblems(const IniFile& ini);
// The database and tunnel keys of section "MAIN": a missing key takes its
// default; an empty one is taken as it stands, but for a port: an empty (or
// blank) port key is its default port, which its box then shows, and a port
// is the number it is taken for (TcpPortText). A key that
// DbSettingsProblems names keeps its value in
// *previous (the database window's boxes before the load: its Init passes
// its Settings, so that a bad value leaves the box as it was), or, without
// previous, takes its default.
DbSettings ReadDbSettings(const IniFile& ini, const PasswordCodec& decode,
                          const DbSettings* previous = nullptr);
// Writes them in the configuration file's order, SSH_HOST to PUERTO; a port
// as the number it is taken for (a blank one as its default port).
void WriteDbSettings(IniFile& ini, const DbSettings& s, const PasswordCodec& encode);

// Why a port key's text (PUERTO, SSH_PORT, DEST_PORT, LIST_PORT) is no port:
// "NO ES UN PUERTO DE 1 A 65535"; empty for a port, or for no text (the
// default port).
std::string DbPortProblem(const std::string& text);

// Why an upload cannot log in with these settings as they stand, found
// without a connection: DB_NAME or USER_NAME with a character the
// connection's Latin-1 cannot hold, a stored PASSW (or, with the tunnel,
// SSH_PASS) that did not decode. In a red line's words; empty when none.
// Every upload checks it, and a run with the database output before its
// first call.
std::string DbLoginProblem(const DbSettings& s);

// True when a command-line text asks for unique mode ("-DBUNIQUE", any case).
bool AsksUnique(const std::string& commandLine);

// The main window's log operation for the window's own lines (text, colour).
using LogLine = std::function<void(const std::string& text, int32_t colour)>;

class SqlOutput {
  public:
    // `mainWindow` receives the writer threads' log lines; `log` takes the
    // output's own lines in the main thread.
    SqlOutput(MainExecutor& executor, MessageTarget mainWindow, LogLine log);
    ~SqlOutput();  // stops the uploads that still run and waits for them
    SqlOutput(const SqlOutput&) = delete;
    SqlOutput& operator=(const SqlOutput&) = delete;

    DbSettings Settings;
    // The process command line, where Post_fixer looks for "-DBUNIQUE".
    std::string CommandLine;

    // Loads the settings from a configuration file (defaults for missing keys).
    // A key the file does not hold as written keeps its value in *previous
    // (see ReadDbSettings).
    void Init(const std::string& fileName, const PasswordCodec& decode,
              const DbSettings* previous = nullptr);
    // The connection test: an upload with nothing to write.
    void TestConnection() { Crea_hilo({}, false); }
    // Starts one upload of `rows` (tunnel, connection and writer thread);
    // `fileName` is the readings file they come from, if any.
    void Crea_hilo(const std::vector<SqlRow>& rows, bool Unique, const std::string& fileName = {});
    // Uploads one readings file; the file is never deleted.
    void Subir_a_base(const std::string& fileName, bool Unique);
    // The database output of one meter, after its CSV file has been written
    // (an empty name: the file could not be written).
    void Post_fixer(const std::string& fileName);
    bool start_ssh();
    void Log_txt(const std::string& line, int32_t colour) const;

    // Breaks off every running upload and waits for its thread; each one
    // reports its end (rows not all written) through the executor as usual.
    void Stop();
    // Uploads whose writer thread has not ended yet; an unattended run waits
    // for 0 before it closes the program.
    std::size_t RunningUploads() const { return uploads_.size(); }
    // Called in the main thread after an upload has started or ended, so that
    // the main window can keep its count of running uploads.
    std::function<void()> UploadsChanged;
    // Called in the main thread when rows handed to an upload were not all
    // written (the readings file stays where it was): that file (empty for
    // rows given without one) and why.
    std::function<void(const std::string& fileName, const std::string& why)> UploadFailed;

  private:
    struct Upload;
    void Sql_Disconnect(Upload* upload);
    void Failed(const std::string& fileName, const std::string& why);
    void Stop_ssh(SshTunnel& tunnel);
    bool TunnelInUse(const SshTunnel* tunnel) const;

    MainExecutor& executor_;
    MessageTarget mainWindow_;
    LogLine log_;
    std::shared_ptr<SshTunnel> SshTunnel_;  // the tunnel of the last start
    std::vector<std::unique_ptr<Upload>> uploads_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace qv

#include "app/core/command_line.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <set>

#include "app/core/config_file.h"
#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "app/core/password_codec.h"
#include "app/core/settings_check.h"
#include "app/core/shown_value.h"
#include "export/sql_output.h"
#include "platform/ini_file.h"
#include "platform/text.h"
#include "platform/worker_message.h"

namespace qv {

namespace {

bool is_separator(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

// Reads one argument from pos; with splitAtBlanks an unquoted blank or
// control character ends it. Gives the position after it.
std::size_t scan_argument(std::string_view text, std::size_t pos, bool splitAtBlanks,
                          std::string* out) {
    bool quoted = false;
    const auto put = [&](std::size_t n, char c) {
        if (out) out->append(n, c);
    };
    while (pos < text.size()) {
        const char c = text[pos];
        if (splitAtBlanks && !quoted && is_separator(c)) break;
        if (c == '\\') {
            std::size_t n = 0;
            while (pos + n < text.size() && text[pos + n] == '\\') ++n;
            pos += n;
            if (pos < text.size() && text[pos] == '"') {
                put(n / 2, '\\');
                if (n % 2 != 0) {
                    put(1, '"');
                    ++pos;
                }
            } else {
                put(n, '\\');
            }
        } else if (c == '"') {
            quoted = !quoted;
            ++pos;
        } else {
            put(1, c);
            ++pos;
        }
    }
    return pos;
}

// The keyword an argument names ("" when it is none): trimmed, upper-cased,
// without its "-", at most 255 characters.
std::string keyword_of(std::string_view arg) {
    while (!arg.empty() && is_separator(arg.front())) arg.remove_prefix(1);
    while (!arg.empty() && is_separator(arg.back())) arg.remove_suffix(1);
    if (arg.empty() || arg.front() != '-') return std::string();
    return UpperAscii(std::string(arg.substr(1, 255)));
}

// What follows a keyword.
enum class Takes { Nothing, Value, OptionalValue };

// Every keyword the command line knows; any other stops the run.
constexpr std::pair<std::string_view, Takes> kKeywords[] = {
    {"INI", Takes::Value},        {"SHOW", Takes::Nothing},       {"NOSTART", Takes::Nothing},
    {"NOCLOSE", Takes::Nothing},  {"IP", Takes::Value},           {"PORT", Takes::Value},
    {"MODEM", Takes::Value},      {"SERIAL", Takes::Nothing},     {"ANALOG", Takes::Value},
    {"MODEM_INIT", Takes::Value}, {"FROM", Takes::Value},         {"TO", Takes::Value},
    {"INTERVAL", Takes::Value},   {"CSV", Takes::Value},          {"FTP", Takes::Value},
    {"DB", Takes::OptionalValue}, {"RESTART", Takes::Nothing},    {"ASDURETRY", Takes::Value},
    {"INTERASDUS", Takes::Value}, {"TIMEOUTASDUS", Takes::Value}, {"DBUPLOAD", Takes::Value},
    {"DBUNIQUE", Takes::Nothing}, {"METERS", Takes::Value},
};

std::optional<Takes> takes(const std::string& key) {
    for (const auto& [name, what] : kKeywords)
        if (name == key) return what;
    return std::nullopt;
}

// A value: not the next keyword. An empty one typed as "" is a value (an
// empty list, the current folder); where it cannot be, its keyword says so.
bool is_value(std::string_view arg) {
    while (!arg.empty() && is_separator(arg.front())) arg.remove_prefix(1);
    return arg.empty() || arg.front() != '-';
}

// The analysis of a command line. A trial one only checks: it loads a
// configuration file into its own settings, uploads nothing, tells the
// windows nothing and logs nothing, and keeps the line that refuses the
// command line, if any.
constexpr const char* kAnalysing = "- ANALIZANDO PARAMETROS";

class Analysis {
  public:
    // sentModemInit: the modem string the run sends (its link an analog
    // modem's), as the whole command line leaves it; none for a trial.
    Analysis(const CommandLine& cmd, WindowSettings& s, const CommandLineCalls& calls, bool trial,
             std::optional<std::string> sentModemInit = std::nullopt)
        : cmd_(cmd),
          s_(s),
          calls_(calls),
          trial_(trial),
          sentModemInit_(std::move(sentModemInit)),
          db_(calls.SqlSettings ? calls.SqlSettings() : DbSettings{}) {}

    bool run() {
        if (cmd_.CmdTokenCount() < 2) return false;
        s_.AutoMinimize = true;
        s_.AutoClose = true;
        log(kAnalysing, colour::Yellow);
        // The first argument that cannot be done exactly ends the analysis.
        for (int i = 1; i <= cmd_.CmdTokenCount() && !refused_; ++i) i = argument(i);
        // What the keywords and the configuration file left for a run that
        // starts by itself; the window checks its own run when it starts.
        if (const bool reads = start_ && !UploadOnly(cmd_); !refused_ && reads)
            if (const std::string problem = RunSettingsProblem(s_, &db_); !problem.empty())
                refuse("- " + problem);
        // The run then reads the end date alone.
        if (const std::string line = ReversedRangeLine(s_.FechaInicio, s_.FechaFin);
            !refused_ && !line.empty())
            log(line, colour::Yellow);
        if (refused_) start_ = false;
        return start_;
    }

    bool refused() const { return refused_; }
    const std::string& refusal() const { return refusal_; }

  private:
    void log(const std::string& text, int32_t c = colour::White) {
        if (calls_.Log && !trial_) calls_.Log(text, c);
    }

    // The red line that stops an unattended start: it is the reason the run reports.
    void refuse(const std::string& line) {
        refused_ = true;
        refusal_ = line;
        log(line, colour::Red);
    }

    // Handles argument i (a keyword and its value); gives the last argument used.
    int argument(int i) {
        const std::string arg = cmd_.CmdToken(i);
        const std::string key = keyword_of(arg);
        // The window holds its settings as Unicode text: bytes that are no
        // UTF-8 (typed on a Latin-1 terminal) would reach the disk or the
        // server as other characters. Not shown: it may be a password.
        if (!IsUtf8(arg)) {
            refuse("- EL ARGUMENTO " + std::to_string(i) + " NO ES TEXTO UTF-8");
            return i;
        }
        if (key.empty()) {
            if (i == metersValue_ + 1 && opcCut(i)) return i;
            // After a value that may hold a secret, it may be the rest of
            // that value (a blank not quoted): not shown.
            const std::string shown = HoldsSecret(lastKeyword_) ? "****" : ShownWithControls(arg);
            refuse("- ARGUMENTO SIN PALABRA CLAVE: \"" + shown + "\"");
            return i;
        }
        lastKeyword_ = "-" + key;
        const std::optional<Takes> what = takes(key);
        if (!what) {
            // Right after a value that may hold a secret, it may be the rest
            // of that value (a blank not quoted): not shown.
            const std::string shown = i == secretValue_ + 1 ? "****" : ShownWithControls(arg);
            refuse("- PALABRA CLAVE DESCONOCIDA: " + shown);
            return i;
        }
        const bool last = i == cmd_.CmdTokenCount();
        const std::string next = cmd_.CmdToken(i + 1);
        const bool valued = *what != Takes::Nothing && !last && is_value(next);
        const bool secret = HoldsSecret(lastKeyword_);
        if (*what == Takes::Value && !valued) {
            // A value that starts with "-" is taken for a keyword: where the
            // value may hold a secret, shown only when it is a keyword.
            const std::string shown =
                secret && !takes(keyword_of(next)) ? "****" : ShownWithControls(next);
            refuse("- FALTA EL VALOR DE " + ShownWithControls(arg) +
                   (last ? "" : " ANTES DE \"" + shown + "\""));
            return i;
        }
        if (valued && !IsUtf8(next)) {
            refuse("- EL VALOR DE " + ShownWithControls(arg) + " NO ES TEXTO UTF-8");
            return i;
        }
        if (key == "METERS") metersValue_ = i + 1;
        if (valued && secret) secretValue_ = i + 1;
        // An exception in one keyword ends only that keyword.
        try {
            keyword(key, valued ? next : std::string());
        } catch (...) {
        }
        return valued ? i + 1 : i;
    }

    // Arguments after a meter list whose last entry has an OPC code: the code
    // had blanks and was not quoted (102-2-22-OPC 102). The entry is named
    // whole; false when that is not the case.
    bool opcCut(int i) {
        const std::vector<std::string> items = FromCommaText(cmd_.CmdToken(metersValue_));
        MeterItem m;
        if (items.empty() || !MeterItemProblem(items.back(), m).empty() || m.Opc.empty())
            return false;
        std::string entry = items.back();
        for (int k = i; k <= cmd_.CmdTokenCount() && keyword_of(cmd_.CmdToken(k)).empty(); ++k)
            entry += " " + cmd_.CmdToken(k);
        refuseOpcWithBlanks(entry);
        return true;
    }

    void refuseOpcWithBlanks(const std::string& entry) {
        const std::string shown = ShownWithControls(MaskedMeterItem(entry));
        refuse("- CONTADOR NO VALIDO EN -METERS: \"" + shown +
               "\": UN CODIGO OPC CON ESPACIOS VA ENTRE COMILLAS, \\\"" + shown + "\\\"");
    }

    // A count: a whole number, clamped by the caller.
    std::optional<int32_t> count(const std::string& key, const std::string& v) {
        if (int32_t n; parse_int32(v, n)) return n;
        refuse("- VALOR NO VALIDO PARA -" + key + ": \"" + ShownValue("-" + key, v) +
               "\" NO ES UN NUMERO ENTERO");
        return std::nullopt;
    }

    void keyword(const std::string& key, const std::string& v) {
        if (!startKeyword(key, v) && !linkKeyword(key, v) && !readingKeyword(key, v))
            outputKeyword(key, v);
    }

    // The configuration file, and how the program starts and ends. False for
    // a keyword of another kind.
    bool startKeyword(const std::string& key, const std::string& v) {
        if (key == "INI") {
            ini(v);
        } else if (key == "SHOW") {
            s_.AutoMinimize = false;
            log("- NO MINIMIZAR");
        } else if (key == "NOSTART") {
            start_ = false;
            log("- NO INICIAR LA LECTURA AUTOMATICAMENTE");
        } else if (key == "NOCLOSE") {
            s_.AutoClose = false;
            log("- NO CERRAR AL SALIR");
        } else {
            return false;
        }
        return true;
    }

    // The link to the meters. False for a keyword of another kind.
    bool linkKeyword(const std::string& key, const std::string& v) {
        if (key == "IP") {
            if (const std::string why = TcpHostProblem(v); !why.empty()) {
                refuse("- HOST NO VALIDO EN -IP: \"" + ShownValue("-IP", v) + "\" " + why);
                return true;
            }
            s_.Host = v;
            s_.Conexion = LinkTcp;
            log("- UTILIZAR DIRECCION IP HOST: " + s_.Host);
        } else if (key == "PORT") {
            if (!IsTcpPort(v)) {
                refuse("- PUERTO IP NO VALIDO: \"" + ShownValue("-PORT", v) +
                       "\" NO ES UN NUMERO DE 1 A 65535");
                return true;
            }
            s_.HostPort = TcpPortText(v, kDefaultHostPort);  // as the file saves it
            s_.Conexion = LinkTcp;
            log("- UTILIZAR PUERTO IP HOST : " + s_.HostPort);
        } else if (key == "MODEM") {
            s_.Numero = v;
            s_.Conexion = LinkGsmModem;
            log("- UTILIZAR MODEM GSM LLAMANDO AL NUMERO: " + ShownValue("-MODEM", s_.Numero));
        } else if (key == "SERIAL") {
            s_.Conexion = LinkSerialDirect;
            log("- UTILIZAR CONEXIONS SERIAL DIRECTA PREVIAMENTE CONFIGURADA");
        } else if (key == "ANALOG") {
            s_.Numero = v;
            s_.Conexion = LinkAnalogModem;
            log("- UTILIZAR MODEM ANALOGICO LLAMANDO AL NUMERO: " +
                ShownValue("-ANALOG", s_.Numero));
        } else if (key == "MODEM_INIT") {
            s_.ModemInit = v;
            // Shown only when the analog modem is sent it; a string that is
            // not sent (a GSM link, a later one) may hold a SIM PIN.
            log("- UTILIZAR CADENA DE INICIALIZACION DE MODEM ANALOGICO :" +
                (sentModemInit_ == v ? ShownWithControls(v) : ShownValue("-MODEM_INIT", v)));
        } else if (key == "RESTART") {
            log("- FORCE MODEM RESET BEFORE CALLING WITH AT+CFUN=1,1 : ");
            s_.ModemReset = true;
        } else {
            return false;
        }
        return true;
    }

    // What is read and how the requests are paced. False for a keyword of another kind.
    bool readingKeyword(const std::string& key, const std::string& v) {
        if (key == "FROM") {
            date(key, v, s_.FechaInicio, "- FECHA DE INICIO : ", "- ERROR EN LA FECHA DE INICIO");
        } else if (key == "TO") {
            date(key, v, s_.FechaFin, "- FECHA DE FIN : ", "- ERROR EN LA FECHA DE FIN");
        } else if (key == "INTERVAL") {
            const char first =
                static_cast<char>(std::toupper(static_cast<unsigned char>((v + " ")[0])));
            const auto k = std::string_view("QHDM").find(first);
            if (k == std::string_view::npos) {
                refuse("- INTERVALO DE LECTURA NO VALIDO: \"" + ShownValue("-INTERVAL", v) +
                       "\" NO ES Q, H, D NI M");
                return true;
            }
            s_.Intervalo = static_cast<int>(k);
            const bool selected = s_.Intervalo >= 0 && s_.Intervalo < int(IntervalItems.size());
            log("- INTERVALO DE LECTURA: " +
                std::string(selected ? IntervalItems[s_.Intervalo] : std::string_view()));
        } else if (key == "ASDURETRY") {
            if (const auto n = count(key, v)) {
                s_.AsduRetries = std::clamp<int32_t>(*n, 1, 9);
                log("- SETS ASDU RETRIES WHEN NO ANSWER TO : " + std::to_string(s_.AsduRetries));
            }
        } else if (key == "INTERASDUS") {
            if (const auto n = count(key, v)) {
                s_.InterAsdu = std::clamp<int32_t>(*n, 0, 20);
                log("- SETS INTER ASDU QUERY INTERVAL TO (SECS.) : " +
                    std::to_string(s_.InterAsdu));
            }
        } else if (key == "TIMEOUTASDUS") {
            if (const auto n = count(key, v)) {
                s_.AsduTimeout = *n;
                log("- SETS THE TIMEOUT FOR THE ASDU QUERY TO (SECS.) : " + v);
            }
        } else if (key == "METERS") {
            meters(v);
        } else if (key == "DBUNIQUE") {
            // Read by DBUPLOAD wherever it stands.
        } else {
            return false;
        }
        return true;
    }

    // Where the readings go. False for a keyword of another kind.
    bool outputKeyword(const std::string& key, const std::string& v) {
        if (key == "CSV") {
            s_.Ruta = v;
            s_.TipoSalida = OutputFolder;
            log("- EXPORTAR A  FICHERO .CSV : " + ShownValue("-CSV", s_.Ruta));
        } else if (key == "FTP") {
            s_.Ruta = v;
            s_.TipoSalida = OutputFtp;
            log("- EXPORTAR A SERVIDOR FTP : " + ShownValue("-FTP", s_.Ruta));
        } else if (key == "DB") {
            s_.TipoSalida = OutputDatabase;
            if (!v.empty() && v.front() != '-') {
                s_.Ruta = v;
                log("- EXPORTAR A BASE DE DATOS USANDO CARPETA .CSV : " +
                    ShownValue("-DB", s_.Ruta));
            } else {
                log("- EXPORTAR A  BASE DE DATOS");
            }
        } else if (key == "DBUPLOAD") {
            // Only once the whole command line has been accepted.
            if (trial_) return true;
            log("- SUBIR FICHERO A LA BD : " + ShownValue("-DBUPLOAD", v));
            const bool unique = AsksUnique(cmd_.Text());
            if (calls_.Subir_a_base)
                calls_.Subir_a_base(v, unique);
            else
                log("- SUBIDA A LA BASE DE DATOS NO DISPONIBLE", colour::Red);
        } else {
            return false;
        }
        return true;
    }

    // Loads the configuration file named; later keywords override it.
    void ini(const std::string& v) {
        // Opened exactly as typed: file names are case-sensitive here.
        std::error_code ec;
        if (!std::filesystem::exists(v, ec)) {
            refuse("- NO EXISTE INIFILE: " + ShownValue("-INI", v));
            return;
        }
        s_.IniFileName = v;
        const std::string problem =
            calls_.Load_ini_file && !trial_ ? calls_.Load_ini_file(v, s_) : load_config(v);
        if (!problem.empty()) {
            refuse("- " + problem);
            return;
        }
        log("- UTILIZAR INIFILE: " + ShownValue("-INI", v));
        // The database window's keys, as its own load takes them: the run's
        // check needs them before the window has them.
        db_ = ReadDbSettings(IniFile(v, false), DecodePWDEx, &db_);
        if (calls_.SqlInit && !trial_) calls_.SqlInit(v);
    }

    std::string load_config(const std::string& path) {
        std::vector<std::string> problems;
        LoadConfigFile(path, s_, &problems);
        return problems.empty() ? std::string() : problems.front();
    }

    void date(const std::string& key, const std::string& v, Day& target, const std::string& line,
              const char* error) {
        const Day d = ReadDateYmd(v);
        if (d == NullDate) {
            refuse(std::string(error) + ": \"" + ShownValue("-" + key, v) +
                   "\" NO ES UNA FECHA yyyy/MM/dd DE 2000 A 2099");
            return;
        }
        target = d;
        log(line + FormatDateYmd(target));
    }

    void meters(const std::string& v) {
        std::vector<bool> afterBlank;
        const std::vector<std::string> items = FromCommaText(v, &afterBlank);
        // An empty item (a trailing ",") is no meter; a list of none leaves
        // the list shown, a configuration file's among them.
        if (std::all_of(items.begin(), items.end(), [](auto& i) { return i.empty(); })) return;
        Quitar_todo(s_.Grid);
        log("- ANALIZANDO PARAMETROS DE ALTA DE CONTADORES...", colour::Yellow);
        std::set<int32_t> links;
        for (std::size_t k = 0; k < items.size(); ++k) {
            if (items[k].empty()) continue;
            MeterItem m;
            if (const std::string why = MeterItemProblem(items[k], m); !why.empty()) {
                meterRefused(items, afterBlank, k, why);
                return;
            }
            if (!links.insert(m.Link).second) {
                refuse("- DIRECCION DE ENLACE REPETIDA EN -METERS: " + std::to_string(m.Link));
                return;
            }
            Add_to_Grid(s_.Grid, m.Link, m.Point, m.Password, m.Opc);
            log("- ALTA DE CONTADOR   - Direccion de  Enlace :" + std::to_string(m.Link));
        }
    }

    // Item k is no meter. When blanks alone part it from an entry with an OPC
    // code, the code had blanks: the entry is named whole, with what follows.
    void meterRefused(const std::vector<std::string>& items, const std::vector<bool>& afterBlank,
                      std::size_t k, const std::string& why) {
        MeterItem before;
        if (why == MeterItemForm && afterBlank[k] &&
            MeterItemProblem(items[k - 1], before).empty() && !before.Opc.empty()) {
            std::string entry = items[k - 1];
            MeterItem next;
            for (std::size_t j = k; j < items.size() && (j == k || afterBlank[j]) &&
                                    !MeterItemProblem(items[j], next).empty();
                 ++j)
                entry += " " + items[j];
            refuseOpcWithBlanks(entry);
            return;
        }
        const std::string shown = "\"" + ShownWithControls(MaskedMeterItem(items[k])) + "\"";
        refuse("- CONTADOR NO VALIDO EN -METERS: " + shown + (why == MeterItemForm ? " " : ": ") +
               why);
    }

    const CommandLine& cmd_;
    WindowSettings& s_;
    const CommandLineCalls& calls_;
    const bool trial_;
    const std::optional<std::string> sentModemInit_;
    bool start_ = true;
    bool refused_ = false;
    std::string refusal_;
    int metersValue_ = -1;     // the argument that is -METERS' value
    int secretValue_ = -1;     // the last argument that is the value of a keyword HoldsSecret
    std::string lastKeyword_;  // the last keyword met, with its "-"
    DbSettings db_;            // the database window's settings as the keywords leave them
};

}  // namespace

bool NextCmdToken(std::string_view text, std::size_t& Position, std::string* Destination,
                  std::size_t* Length) {
    while (Position < text.size() && is_separator(text[Position])) ++Position;
    if (Position >= text.size()) return false;
    std::string token;
    Position = scan_argument(text, Position, true, &token);
    if (Length) *Length = token.size();
    if (Destination) *Destination = std::move(token);
    return true;
}

CommandLine CommandLine::FromArguments(const std::vector<std::string>& argv, std::string exePath) {
    CommandLine c;
    c.exe_ = std::move(exePath);
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) {
            std::string arg;
            scan_argument(argv[i], 0, false, &arg);
            c.args_.push_back(std::move(arg));
            c.text_ += ' ';
        }
        c.text_ += argv[i];
    }
    return c;
}

std::string CommandLine::CmdToken(int N) const {
    if (N <= 0) return exe_;
    if (N > CmdTokenCount()) return std::string();
    return args_[static_cast<std::size_t>(N - 1)];
}

bool Analiza_parametros(const CommandLine& cmd, WindowSettings& s, const CommandLineCalls& calls,
                        bool* refused) {
    // Nothing acts (no upload, link or window change) before the whole command
    // line has been accepted: a trial analysis of a copy checks it first.
    WindowSettings trial = s;
    Analysis check(cmd, trial, calls, true);
    check.run();
    if (check.refused()) {
        // Only whether and how the program closes is taken from it, and the
        // meters named so far: the run's status file shows them not read.
        s.AutoMinimize = trial.AutoMinimize;
        s.AutoClose = trial.AutoClose;
        s.Grid = trial.Grid;
        if (calls.Log) {
            calls.Log(kAnalysing, colour::Yellow);
            calls.Log(check.refusal(), colour::Red);
        }
        if (refused) *refused = true;
        return false;
    }
    if (calls.LogSwitches && cmd.CmdTokenCount() >= 2)
        calls.LogSwitches(trial.LogScreen, trial.LogDisk);
    // The modem string is sent only on an analog modem's link, whichever
    // keyword comes first: the trial knows the link the run will have.
    Analysis analysis(
        cmd, s, calls, false,
        trial.Conexion == LinkAnalogModem ? std::optional(trial.ModemInit) : std::nullopt);
    const bool start = analysis.run();
    if (refused) *refused = analysis.refused();
    return start;
}

namespace {

// Whether any argument is the keyword `key` (without its "-").
bool names(const CommandLine& cmd, std::string_view key) {
    for (int i = 1; i <= cmd.CmdTokenCount(); ++i)
        if (keyword_of(cmd.CmdToken(i)) == key) return true;
    return false;
}

}  // namespace

bool UploadOnly(const CommandLine& cmd) {
    return cmd.CmdTokenCount() >= 2 && names(cmd, "DBUPLOAD") && !names(cmd, "METERS");
}

bool AsksForNothing(const CommandLine& cmd) {
    return names(cmd, "NOSTART") && !names(cmd, "DBUPLOAD");
}

}  // namespace qv

#include "app/core/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>

#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "app/core/password_codec.h"
#include "app/core/settings_check.h"
#include "app/core/shown_value.h"
#include "platform/text.h"

namespace qv {

namespace {

// Each take below sets its setting from a key's text and gives "", or gives
// why the text is not taken and leaves the setting as it was.

// An item index of a list or a radio group: a whole number 0 .. count - 1.
std::string take_index(std::string_view text, std::size_t count, int& setting) {
    long v = 0;
    if (!ParseLong(text, v) || v < 0 || v >= static_cast<long>(count))
        return "NO ES 0 A " + std::to_string(count - 1);
    setting = static_cast<int>(v);
    return "";
}

// An item of a list named in any letter case, or by the other spelling
// `aliases` gives it; the setting holds the item's own spelling.
using Aliases = std::span<const std::pair<std::string_view, std::string_view>>;
template <std::size_t N>
std::string take_item(const std::array<std::string_view, N>& items, std::string_view text,
                      std::string& setting, Aliases aliases = {}) {
    for (const auto& [other, item] : aliases)
        if (SameTextIgnoringCase(other, text)) text = item;
    for (std::string_view item : items) {
        if (SameTextIgnoringCase(item, text)) {
            setting = std::string(item);
            return "";
        }
    }
    std::string list;
    for (std::size_t i = 0; i < N; ++i)
        list += (i == 0 ? "" : i + 1 == N ? " NI " : ", ") + std::string(items[i]);
    return "NO ES " + list;
}

// A check box: a whole number, 0 unticked, any other ticked (so the refusal
// says what is taken: 2 is).
std::string take_switch(std::string_view text, bool& setting) {
    long v = 0;
    if (!ParseLong(text, v)) return "NO ES UN NUMERO ENTERO";
    setting = v != 0;
    return "";
}

// A date written in full, or nothing for today.
std::string take_date(std::string_view text, Day& setting) {
    const Day d = TrimBlanks(text).empty() ? Today() : ReadDateYmd(text);
    if (d == NullDate) return "NO ES UNA FECHA yyyy/MM/dd DE 2000 A 2099";
    setting = d;
    return "";
}

// The parity as the documented default and other spellings name it.
constexpr std::pair<std::string_view, std::string_view> kParityAliases[] = {{"NONE", "NINGUNA"},
                                                                            {"ODD", "IMPAR"},
                                                                            {"EVEN", "PAR"},
                                                                            {"MARK", "Marca"},
                                                                            {"SPACE", "Espacio"}};

// The window's keys after CONTADORES, in the order they are saved.
struct ConfigKey {
    std::string_view name;
    std::string (*saved)(const WindowSettings& s);                  // the text a save writes
    std::string (*take)(std::string_view text, WindowSettings& s);  // see above
    // Taken for a missing key and for an empty one; nullptr: the setting
    // stays as it was.
    const char* missing;
};

std::string take_text(std::string_view text, std::string& setting) {
    setting = std::string(text);
    return "";
}

const ConfigKey kKeys[] = {
    {"PORT", [](const WindowSettings& s) { return std::to_string(s.PortIndex); },
     [](std::string_view t, WindowSettings& s) {
         return take_index(t, PortItemCount, s.PortIndex);
     },
     "0"},
    {"BAUD_CONTADOR", [](const WindowSettings& s) { return s.BaudText; },
     [](std::string_view t, WindowSettings& s) { return take_item(BaudItems, t, s.BaudText); },
     "9600"},
    {"BITS_CONTADOR", [](const WindowSettings& s) { return s.BitsText; },
     [](std::string_view t, WindowSettings& s) { return take_item(DataBitsItems, t, s.BitsText); },
     "8"},
    // Missing, the box keeps its choice: the documented default "NONE" was
    // never one of its items.
    {"PARIDAD_CONTADOR", [](const WindowSettings& s) { return s.ParityText; },
     [](std::string_view t, WindowSettings& s) {
         return take_item(ParityItems, t, s.ParityText, kParityAliases);
     },
     nullptr},
    {"STOP_CONTADOR", [](const WindowSettings& s) { return s.StopText; },
     [](std::string_view t, WindowSettings& s) { return take_item(StopBitsItems, t, s.StopText); },
     "1"},
    {"CONEXION", [](const WindowSettings& s) { return std::to_string(s.Conexion); },
     [](std::string_view t, WindowSettings& s) {
         return take_index(t, LinkItems.size(), s.Conexion);
     },
     "0"},
    {"NUMERO", [](const WindowSettings& s) { return s.Numero; },
     [](std::string_view t, WindowSettings& s) { return take_text(t, s.Numero); }, ""},
    {"MODEM_INIT", [](const WindowSettings& s) { return s.ModemInit; },
     [](std::string_view t, WindowSettings& s) { return take_text(t, s.ModemInit); }, ""},
    {"HOST", [](const WindowSettings& s) { return s.Host; },
     [](std::string_view t, WindowSettings& s) { return take_text(t, s.Host); }, ""},
    // Empty, the default port, which the field then shows; a port is shown
    // and saved as the number it is taken for.
    {"HOST_PORT", [](const WindowSettings& s) { return TcpPortText(s.HostPort, kDefaultHostPort); },
     [](std::string_view t, WindowSettings& s) {
         return IsTcpPort(t) ? take_text(TcpPortText(t, kDefaultHostPort), s.HostPort)
                             : "NO ES UN PUERTO DE 1 A 65535";
     },
     kDefaultHostPort},
    {"FECHA_INICIO", [](const WindowSettings& s) { return FormatDateYmd(s.FechaInicio); },
     [](std::string_view t, WindowSettings& s) { return take_date(t, s.FechaInicio); }, ""},
    {"FECHA_FIN", [](const WindowSettings& s) { return FormatDateYmd(s.FechaFin); },
     [](std::string_view t, WindowSettings& s) { return take_date(t, s.FechaFin); }, ""},
    {"INTERVALO", [](const WindowSettings& s) { return std::to_string(s.Intervalo); },
     [](std::string_view t, WindowSettings& s) {
         return take_index(t, IntervalItems.size(), s.Intervalo);
     },
     "1"},
    {"Tipo_Salida", [](const WindowSettings& s) { return std::to_string(s.TipoSalida); },
     [](std::string_view t, WindowSettings& s) {
         return take_index(t, OutputTypeItems.size(), s.TipoSalida);
     },
     "0"},
    {"LOGSCREEN", [](const WindowSettings& s) { return std::string(s.LogScreen ? "1" : "0"); },
     [](std::string_view t, WindowSettings& s) { return take_switch(t, s.LogScreen); }, "1"},
    {"LOGDISK", [](const WindowSettings& s) { return std::string(s.LogDisk ? "1" : "0"); },
     [](std::string_view t, WindowSettings& s) { return take_switch(t, s.LogDisk); }, "1"},
    {"MINIMIZAR", [](const WindowSettings& s) { return std::string(s.Minimizar ? "1" : "0"); },
     [](std::string_view t, WindowSettings& s) { return take_switch(t, s.Minimizar); }, "0"},
    {"RUTA", [](const WindowSettings& s) { return s.Ruta; },
     [](std::string_view t, WindowSettings& s) { return take_text(t, s.Ruta); }, ""},
};

// Every key of the window and of the database window, in the order they are saved.
void write_keys(IniFile& f, const WindowSettings& s, const DbSettings& db) {
    const auto put = [&](std::string_view key, const std::string& text) {
        try {
            f.writeString(ConfigSection, key, text);
        } catch (const IniFileError&) {
            throw IniFileError(std::string(key) + ": UN VALOR DE VARIAS LINEAS NO SE GUARDA");
        }
    };
    put("CONTADORES", GridCommaText(s.Grid));
    for (const ConfigKey& k : kKeys) put(k.name, k.saved(s));
    WriteDbSettings(f, db, [](const std::string& plain) { return EncodePWDEx(plain); });
}

// Whether a part of the program reads or writes `key` in section "MAIN": the
// meter list, the window's keys and the database window's.
bool known_key(std::string_view key) {
    if (SameTextIgnoringCase(key, "CONTADORES")) return true;
    for (const ConfigKey& k : kKeys)
        if (SameTextIgnoringCase(key, k.name)) return true;
    for (std::string_view k : DbSettingsKeys)
        if (SameTextIgnoringCase(key, k)) return true;
    return false;
}

}  // namespace

// The keys are written as a save writes them and read as a load reads them:
// one set of rules for both.
std::string ConfigKeysProblem(const WindowSettings& s, const DbSettings& db) {
    IniFile written = IniFile::fromText("");
    try {
        write_keys(written, s, db);
    } catch (const std::exception& e) {
        return e.what();
    }
    // Into an empty list, so that every meter is checked as a load would.
    WindowSettings back = s;
    back.Grid = {s.Grid.empty() ? GridRow{} : s.Grid[0], GridRow{}};
    std::vector<std::string> problems = LoadConfigKeys(written, back);
    for (std::string& p : DbSettingsProblems(written)) problems.push_back(std::move(p));
    return problems.empty() ? std::string() : problems.front();
}

std::string MainKeysProblem(const IniFile& f) {
    // A line without "=", or without a key before it, would be a key nothing
    // reads; a header with a key on its line ("[MAIN]RUTA=/srv"), in any
    // section, leaves it open where that key and the lines after it belong.
    // The first in the file is named by its number; its text is not shown, as
    // it may be a password's. A key before any header belongs to no section
    // ("RUTA=/srv" above "[MAIN]" is no key of [MAIN]).
    if (const std::size_t before = f.lineBeforeAnyHeader(); before != 0)
        return "LINEA " + std::to_string(before) + " ANTES DE TODA SECCION NO ES COMENTARIO";
    IniFile::Numbered first{0, std::string(ConfigSection)};
    if (const auto stray = f.strayLines(ConfigSection); !stray.empty()) first.line = stray.front();
    for (const IniFile::Numbered& header : f.strayHeaders())
        if (first.line == 0 || header.line < first.line) first = header;
    if (first.line != 0)
        return "LINEA " + std::to_string(first.line) + " DE [" +
               (SameTextIgnoringCase(first.section, ConfigSection) ? std::string(ConfigSection)
                                                                   : first.section) +
               "] NO ES CLAVE=VALOR";
    const std::vector<IniFile::Entry> entries = f.entries(ConfigSection);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const IniFile::Entry& e = entries[i];
        if (!known_key(e.key))
            return "CLAVE " + ShownWithControls(e.key) + " DESCONOCIDA EN [MAIN]";
        for (std::size_t j = 0; j < i; ++j)
            if (SameTextIgnoringCase(entries[j].key, e.key))
                return "CLAVE " + entries[j].key + " REPETIDA EN [MAIN]: \"" +
                       ShownValue(e.key, entries[j].value) + "\" Y \"" +
                       ShownValue(e.key, e.value) + "\"";
    }
    return std::string();
}

namespace {

// A configuration file is a regular file that can be read.
bool readable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           std::ifstream(path, std::ios::binary).good();
}

// The text of a configuration file into `text`; why it cannot be one, or empty.
std::string config_text(const std::string& path, std::string& text) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "ES UNA CARPETA";
    if (!S_ISREG(st.st_mode)) return "NO ES UN FICHERO";
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::strerror(errno);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return std::strerror(errno);
    // The file is read as 8-bit text: other encodings would load nothing.
    if (text.starts_with("\xEF\xBB\xBF")) return "CODIFICACION UTF-8 CON BOM: GUARDAR SIN BOM";
    if (text.find('\0') != std::string::npos)
        return "CODIFICACION UTF-16 (O BINARIO): GUARDAR EN UTF-8 O LATIN-1";
    return std::string();
}

}  // namespace

bool SaveConfigFile(const std::string& path, const WindowSettings& s, const DbSettings& db,
                    std::string* problem) {
    if (problem) problem->clear();
    if (std::string why = ConfigKeysProblem(s, db); !why.empty()) {
        if (problem) *problem = std::move(why);
        return false;
    }
    // A file that is there but cannot be read would lose its other sections.
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !readable(path)) return false;
    // A new file holds the disguised passwords: it starts private (the save
    // keeps the mode of the file it replaces). One that exists keeps its mode.
    if (!exists) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        ::close(fd);
    }
    const auto fail = [&] {
        if (!exists) ::unlink(path.c_str());
        return false;
    };
    try {
        IniFile f(path, false);
        write_keys(f, s, db);
        // The save leaves each key once; a key of the file's own that no part
        // of the program reads would make the file one a load refuses.
        if (std::string why = MainKeysProblem(f); !why.empty()) {
            if (problem) *problem = std::move(why);
            return fail();
        }
        f.updateFile();
        return true;
    } catch (const std::exception&) {
        return fail();
    }
}

bool LoadConfigFile(const std::string& path, WindowSettings& s,
                    std::vector<std::string>* problems) {
    std::string text;
    std::string why = config_text(path, text);
    const IniFile f = IniFile::fromText(text);
    if (why.empty() && !f.sectionExists(ConfigSection)) why = "NO TIENE SECCION [MAIN]";
    // A file that means two things, or names what nothing reads, is not loaded.
    if (why.empty()) why = MainKeysProblem(f);
    // A key that could not be taken still leaves the others loaded.
    const bool loaded = why.empty();
    std::vector<std::string> found;
    if (loaded) {
        found = LoadConfigKeys(f, s);
        // The database window's keys: its own load keeps their previous values.
        for (std::string& p : DbSettingsProblems(f)) found.push_back(std::move(p));
    } else {
        found.push_back(why);
    }
    if (problems) {
        problems->clear();
        for (const std::string& p : found)
            problems->push_back("ERROR EN INIFILE " + ShownWithControls(path) + ": " + p);
    }
    return loaded;
}

std::vector<std::string> LoadConfigKeys(const IniFile& f, WindowSettings& s) {
    const std::string_view m = ConfigSection;
    std::vector<std::string> problems;
    // The value holds the passwords: the problem names the entry without its own.
    if (std::string p = MergeGridCommaText(s.Grid, f.readString(m, "CONTADORES", "")); !p.empty())
        problems.push_back("CONTADORES: " + p);
    for (const ConfigKey& k : kKeys) {
        std::string text = f.readString(m, k.name, "");
        if (!f.valueExists(m, k.name) || TrimBlanks(text).empty()) {
            if (!k.missing) continue;
            text = k.missing;
        }
        if (const std::string why = k.take(text, s); !why.empty())
            problems.push_back(std::string(k.name) + ": \"" + ShownValue(k.name, text) + "\" " +
                               why);
    }
    return problems;
}

void SetRegistryData(const std::string& storePath, const std::string& Key,
                     const std::string& ValueName, int DataType, const std::string& Value) {
    if (DataType != 1) return;
    KeyStore store(storePath);
    if (store.openKey(Key, true)) store.writeString(ValueName, Value);
}

}  // namespace qv

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

#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "app/core/password_codec.h"
#include "platform/text.h"

namespace qv {

namespace {

// A text that names an item selects it (in the item's own spelling); any
// other text leaves the box as it was.
template <std::size_t N>
void select_item(const std::array<std::string_view, N>& items, const std::string& text,
                 std::string& box) {
    for (std::string_view item : items)
        if (SameTextIgnoringCase(item, text)) box = std::string(item);
}

// Radio groups: above the last item selects the last, negative selects none.
int clamp_radio(long v, int count) {
    return v < 0 ? -1 : static_cast<int>(std::min<long>(v, count - 1));
}
// Fixed lists: an index outside the list selects nothing.
int list_index(long v, int count) {
    return v >= 0 && v < count ? static_cast<int>(v) : -1;
}

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
        const std::string_view m = ConfigSection;
        f.writeString(m, "CONTADORES", GridCommaText(s.Grid));
        f.writeInteger(m, "PORT", s.PortIndex);
        f.writeString(m, "BAUD_CONTADOR", s.BaudText);
        f.writeString(m, "BITS_CONTADOR", s.BitsText);
        f.writeString(m, "PARIDAD_CONTADOR", s.ParityText);
        f.writeString(m, "STOP_CONTADOR", s.StopText);
        f.writeInteger(m, "CONEXION", s.Conexion);
        f.writeString(m, "NUMERO", s.Numero);
        f.writeString(m, "MODEM_INIT", s.ModemInit);
        f.writeString(m, "HOST", s.Host);
        f.writeString(m, "HOST_PORT", s.HostPort);
        f.writeString(m, "FECHA_INICIO", FormatDateYmd(s.FechaInicio));
        f.writeString(m, "FECHA_FIN", FormatDateYmd(s.FechaFin));
        f.writeInteger(m, "INTERVALO", s.Intervalo);
        f.writeInteger(m, "Tipo_Salida", s.TipoSalida);
        f.writeBool(m, "LOGSCREEN", s.LogScreen);
        f.writeBool(m, "LOGDISK", s.LogDisk);
        f.writeBool(m, "MINIMIZAR", s.Minimizar);
        f.writeString(m, "RUTA", s.Ruta);
        WriteDbSettings(f, db, [](const std::string& plain) { return EncodePWDEx(plain); });
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
    // A key that could not be taken still leaves the others loaded.
    const bool loaded = why.empty();
    std::vector<std::string> found;
    if (loaded)
        found = LoadConfigKeys(f, s);
    else
        found.push_back(why);
    if (problems) {
        problems->clear();
        for (const std::string& p : found)
            problems->push_back("ERROR EN INIFILE " + path + ": " + p);
    }
    return loaded;
}

std::vector<std::string> LoadConfigKeys(const IniFile& f, WindowSettings& s) {
    const std::string_view m = ConfigSection;
    std::vector<std::string> problems;
    std::string problem = MergeGridCommaText(s.Grid, f.readString(m, "CONTADORES", ""));
    if (!problem.empty()) problems.push_back("CONTADORES: " + problem);
    s.PortIndex = list_index(f.readInteger(m, "PORT", 0), PortItemCount);
    select_item(BaudItems, f.readString(m, "BAUD_CONTADOR", "9600"), s.BaudText);
    select_item(DataBitsItems, f.readString(m, "BITS_CONTADOR", "8"), s.BitsText);
    select_item(ParityItems, f.readString(m, "PARIDAD_CONTADOR", "NONE"), s.ParityText);
    select_item(StopBitsItems, f.readString(m, "STOP_CONTADOR", "1"), s.StopText);
    s.Conexion = clamp_radio(f.readInteger(m, "CONEXION", 0), LinkItems.size());
    s.Numero = f.readString(m, "NUMERO", "");
    s.ModemInit = f.readString(m, "MODEM_INIT", "");
    s.Host = f.readString(m, "HOST", "");
    s.HostPort = f.readString(m, "HOST_PORT", "40000");
    const std::string today = FormatDateYmd(Today());
    s.FechaInicio = ReadDateYmd(f.readString(m, "FECHA_INICIO", today));
    s.FechaFin = ReadDateYmd(f.readString(m, "FECHA_FIN", today));
    const long interval = f.readInteger(m, "INTERVALO", f.valueExists(m, "INTERVALO") ? -1 : 1);
    s.Intervalo = list_index(interval, IntervalItems.size());
    if (s.Intervalo < 0)
        problems.push_back("INTERVALO: \"" + f.readString(m, "INTERVALO", "") + "\" NO ES 0 A 3");
    s.TipoSalida = clamp_radio(f.readInteger(m, "Tipo_Salida", 0), OutputTypeItems.size());
    s.LogScreen = f.readBool(m, "LOGSCREEN", true);
    s.LogDisk = f.readBool(m, "LOGDISK", true);
    s.Minimizar = f.readBool(m, "MINIMIZAR", false);
    s.Ruta = f.readString(m, "RUTA", "");
    return problems;
}

void SetRegistryData(const std::string& storePath, const std::string& Key,
                     const std::string& ValueName, int DataType, const std::string& Value) {
    if (DataType != 1) return;
    KeyStore store(storePath);
    if (store.openKey(Key, true)) store.writeString(ValueName, Value);
}

}  // namespace qv

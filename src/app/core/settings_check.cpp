#include "app/core/settings_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "app/core/shown_value.h"
#include "export/ftp_upload.h"
#include "export/sql_output.h"
#include "export/sql_rows.h"
#include "platform/text.h"

namespace qv {

namespace {

bool selected(int index, std::size_t count) {
    return index >= 0 && static_cast<std::size_t>(index) < count;
}

template <std::size_t N>
bool is_item(const std::array<std::string_view, N>& items, const std::string& text) {
    return std::find(items.begin(), items.end(), text) != items.end();
}

// This process may write into and search the folder (the effective user, as
// the writer is).
std::string cannot_write(const std::string& folder) {
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return "";
    return std::strerror(errno);
}

// The folder a missing one would be created in: "a/b/" -> "a", "b" -> ".".
std::string parent_of(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const auto slash = folder.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : folder.substr(0, slash);
}

std::string folder_why(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return "ES UN FICHERO, NO UNA CARPETA";
        const std::string why = cannot_write(folder);
        return why.empty() ? "" : "NO SE PUEDE ESCRIBIR EN ELLA: " + why;
    }
    if (errno != ENOENT) return std::strerror(errno);
    if (::lstat(folder.c_str(), &st) == 0) return "ES UN ENLACE A NADA";
    // The writer creates the folder itself, one level only.
    const std::string parent = parent_of(folder);
    if (::stat(parent.c_str(), &st) != 0)
        return "NO EXISTE, NI LA CARPETA \"" + ShownValue("RUTA", parent) +
               "\" DONDE SE CREARIA (SE CREA UN SOLO NIVEL)";
    if (!S_ISDIR(st.st_mode))
        return "NO SE PUEDE CREAR: \"" + ShownValue("RUTA", parent) + "\" NO ES UNA CARPETA";
    const std::string why = cannot_write(parent);
    return why.empty() ? "" : "NO SE PUEDE CREAR EN \"" + ShownValue("RUTA", parent) + "\": " + why;
}

std::string link_problem(const WindowSettings& s) {
    if (!selected(s.Conexion, LinkItems.size()))
        return "ERROR EN EL TIPO DE CONEXION: NINGUNO SELECCIONADO";
    if (s.Conexion == LinkTcp) {
        if (const std::string why = TcpHostProblem(s.Host); !why.empty())
            return "ERROR EN EL HOST: \"" + ShownValue("HOST", s.Host) + "\" " + why;
        // An empty port is the default one; any other text must be a port.
        if (!TrimBlanks(s.HostPort).empty() && !IsTcpPort(s.HostPort))
            return "ERROR EN HOST_PORT: \"" + ShownValue("HOST_PORT", s.HostPort) +
                   "\" NO ES UN PUERTO DE 1 A 65535";
        return "";
    }
    if (!selected(s.PortIndex, PortItemCount))
        return "ERROR EN EL PUERTO SERIE: NINGUNO SELECCIONADO";
    const struct {
        const std::string& text;
        bool listed;
        const char* name;
        const char* key;
    } lines[] = {
        {s.BaudText, is_item(BaudItems, s.BaudText), "LA VELOCIDAD", "BAUD_CONTADOR"},
        {s.BitsText, is_item(DataBitsItems, s.BitsText), "LOS BITS DE DATOS", "BITS_CONTADOR"},
        {s.ParityText, is_item(ParityItems, s.ParityText), "LA PARIDAD", "PARIDAD_CONTADOR"},
        {s.StopText, is_item(StopBitsItems, s.StopText), "LOS BITS DE PARADA", "STOP_CONTADOR"}};
    for (const auto& line : lines)
        if (!line.listed)
            return std::string("ERROR EN ") + line.name + " DEL PUERTO SERIE: \"" +
                   ShownValue(line.key, line.text) + "\" NO ES DE LA LISTA";
    // A serial line has 1.5 stop bits only with 5 data bits, and 2 only with more.
    if ((s.StopText == "1.5" && s.BitsText != "5") || (s.StopText == "2" && s.BitsText == "5"))
        return "ERROR EN LOS BITS DE PARADA DEL PUERTO SERIE: \"" + s.StopText +
               "\" NO CABEN CON " + s.BitsText + " BITS DE DATOS (1.5 SOLO CON 5, 2 CON 6 A 8)";
    const bool modem = s.Conexion == LinkGsmModem || s.Conexion == LinkAnalogModem;
    if (modem && TrimBlanks(s.Numero).empty())
        return "EL NUMERO DE DISCADO DEL MODEM NO PUEDE ESTAR EN BLANCO";
    return "";
}

std::string output_problem(const WindowSettings& s) {
    if (!selected(s.TipoSalida, OutputTypeItems.size()))
        return "ERROR EN EL TIPO DE SALIDA: NINGUNO SELECCIONADO";
    // A target that cannot be read would send nothing, or elsewhere.
    if (std::string why; s.TipoSalida == OutputFtp && !ParseFtpTarget(s.Ruta, why)) return why;
    // The FTP output writes its files into the current folder before sending them.
    return FolderOutputProblem(s.TipoSalida == OutputFtp ? std::string() : s.Ruta);
}

// The rows that are meters to the run: rows without a link address at the
// end (an empty list's blank row) are none.
std::size_t meter_rows(const GridRows& grid) {
    std::size_t rows = grid.size();
    while (rows > 1 && TrimBlanks(grid[rows - 1][0]).empty()) --rows;
    return rows;
}

std::string meter_named(const GridRows& grid, std::size_t r) {
    const std::string link(TrimBlanks(grid[r][0]));
    return "ERROR EN EL CONTADOR " +
           (link.empty() ? "DE LA FILA " + std::to_string(r) : ShownWithControls(link)) + ": ";
}

// A meter as a red line names it, in the command line's form, its password hidden.
std::string entry_shown(const GridRow& row) {
    const std::string opc(TrimBlanks(row[3]));
    return "\"" +
           ShownWithControls(std::string(TrimBlanks(row[0])) + "-" +
                             std::string(TrimBlanks(row[1])) + "-****" +
                             (opc.empty() ? "" : "-" + opc)) +
           "\"";
}

// The name the database stores a meter's readings under: what the CSV file's
// "OPC_ID" line holds (the code trimmed, its letters upper-cased) as the
// upload reads it back (trimmed, at most 255 characters).
std::string database_name(const std::string& opc) {
    return MeterNameOf(UpperLatin1Letters("OPC_ID : " + std::string(TrimBlanks(opc))));
}

// With the database output each meter needs a name the table can hold.
std::string database_names_problem(const GridRows& grid) {
    for (std::size_t r = 1; r < meter_rows(grid); ++r) {
        const std::string name = database_name(grid[r][3]);
        if (name.empty())
            return meter_named(grid, r) +
                   "SIN CODIGO OPC: LA SALIDA A BASE DE DATOS GUARDA SUS LECTURAS CON ESE NOMBRE";
        std::string latin1;
        if (char32_t bad = 0; !ToLatin1(name, latin1, bad))
            return meter_named(grid, r) + "EL CODIGO OPC \"" +
                   ShownWithControls(TrimBlanks(grid[r][3])) + "\" TIENE EL CARACTER " +
                   CodePointName(bad) + ", QUE LA BASE (LATIN-1) NO ADMITE";
    }
    return "";
}

// The key and its text as the configuration file writes them, and why the
// output cannot use it.
std::string db_key_problem(const char* key, const std::string& text, const std::string& why) {
    return why.empty() ? "" : std::string(key) + ": \"" + ShownValue(key, text) + "\" " + why;
}

// MySQL's rules for a database name.
std::string schema_why(const std::string& text) {
    std::size_t characters = 0;
    char32_t c = 0;
    for (std::size_t i = 0; i < text.size(); ++characters)
        i += std::max<std::size_t>(Utf8Sequence(text, i, c), 1);
    if (text.empty()) return "ESTA VACIO";
    if (text.back() == ' ') return "TERMINA EN ESPACIO, QUE MySQL NO ADMITE EN UN NOMBRE";
    if (characters > 64) return "TIENE MAS DE 64 CARACTERES, QUE MySQL NO ADMITE EN UN NOMBRE";
    return "";
}

// The database and tunnel settings that can be checked without a connection.
std::string database_problem(const DbSettings& db) {
    std::vector<std::string> problems = {
        DbLoginProblem(db),
        db_key_problem("DB_NAME", db.DATA_BASE, schema_why(db.DATA_BASE)),
        // An empty host is the local one.
        db_key_problem(
            "HOST_NAME", db.HOST_NAME,
            TrimBlanks(db.HOST_NAME).empty() ? "" : TcpHostProblem(db.HOST_NAME, "PUERTO")),
        db_key_problem("PUERTO", db.PUERTO, DbPortProblem(db.PUERTO)),
    };
    if (db.HABILITA_TUNEL)
        problems.insert(
            problems.end(),
            {db_key_problem("SSH_HOST", db.SSH_HOST, TcpHostProblem(db.SSH_HOST, "SSH_PORT")),
             db_key_problem("SSH_PORT", db.SSH_PORT, DbPortProblem(db.SSH_PORT)),
             db_key_problem("SSH_LOGIN", db.SSH_LOGIN,
                            TrimBlanks(db.SSH_LOGIN).empty() ? "ESTA VACIO" : ""),
             db_key_problem("DEST_HOST", db.DEST_HOST, TcpHostProblem(db.DEST_HOST, "DEST_PORT")),
             db_key_problem("DEST_PORT", db.DEST_PORT, DbPortProblem(db.DEST_PORT)),
             db_key_problem("LIST_PORT", db.LIST_PORT, DbPortProblem(db.LIST_PORT))});
    for (const std::string& why : problems)
        if (!why.empty()) return "ERROR EN LA BASE DE DATOS: " + why;
    return "";
}

}  // namespace

std::string TcpHostProblem(std::string_view host, std::string_view portKeys) {
    // Before the rest: a control character (a tab, "\x01") would read as blanks
    // around a host, or as nothing at all.
    if (HasControlCharacter(host)) return "LLEVA UN CARACTER DE CONTROL";
    const std::string_view h = TrimBlanks(host);
    if (h.empty()) return "ESTA VACIO";
    if (std::count(h.begin(), h.end(), ':') == 1)
        return "LLEVA UN PUERTO: EL PUERTO SE DA APARTE (" + std::string(portKeys) + ")";
    if (h.find_first_of("[]") != std::string_view::npos)
        return "LLEVA CORCHETES: LA DIRECCION VA SIN ELLOS Y EL PUERTO APARTE (" +
               std::string(portKeys) + ")";
    if (host.find(' ') != std::string_view::npos) return "LLEVA ESPACIOS";
    return "";
}

std::string FolderOutputProblem(const std::string& folder) {
    const std::string why = folder_why(folder.empty() ? "." : folder);
    if (why.empty()) return "";
    std::string shown = folder;
    if (shown.empty()) {
        std::error_code ec;
        shown = std::filesystem::current_path(ec).string();
    }
    return "ERROR EN LA CARPETA DE SALIDA \"" + ShownValue("RUTA", shown) + "\": " + why;
}

std::string MeterListProblem(const GridRows& grid) {
    std::set<int32_t> links;
    // Each database name, as the server compares it, with the row that has it first.
    std::map<std::string, std::size_t> names;
    for (std::size_t r = 1; r < meter_rows(grid); ++r) {
        const GridRow& row = grid[r];
        const std::string named = meter_named(grid, r);
        if (const std::string why = MeterNumbersProblem(row[0], row[1], row[2]); !why.empty())
            return named + why;
        if (const std::string why = OpcCodeProblem(row[3]); !why.empty()) return named + why;
        int32_t address = 0;
        parse_int32(TrimBlanks(row[0]), address);
        if (!links.insert(address).second)
            return named + "DIRECCION DE ENLACE " + std::to_string(address) + " REPETIDA";
        const std::string name = database_name(row[3]);
        if (name.empty()) continue;  // no name: nothing to merge with
        if (const auto [first, added] = names.emplace(NameCollationKey(name), r); !added)
            return named + "CODIGO OPC REPETIDO: " + entry_shown(grid[first->second]) + " Y " +
                   entry_shown(row) + " SON UN SOLO NOMBRE, \"" +
                   ShownWithControls(database_name(grid[first->second][3])) +
                   "\", EN LA BASE DE DATOS (NO DISTINGUE MAYUSCULAS, ACENTOS NI ESPACIOS A "
                   "LOS LADOS)";
    }
    return "";
}

std::string RunSettingsProblem(const WindowSettings& s, const DbSettings* db) {
    const std::pair<Day, const char*> dates[] = {{s.FechaInicio, "LA FECHA DE INICIO"},
                                                 {s.FechaFin, "LA FECHA DE FIN"}};
    for (const auto& [day, name] : dates) {
        if (day < FirstTagDay || day > LastTagDay)
            return std::string("ERROR EN ") + name + ": \"" + FormatDateYmd(day) +
                   "\" NO ES UNA FECHA DE 2000 A 2099";
    }
    if (!selected(s.Intervalo, IntervalItems.size()))
        return "ERROR EN EL INTERVALO DE LECTURA: NINGUNO SELECCIONADO";
    if (std::string why = link_problem(s); !why.empty()) return why;
    if (std::string why = output_problem(s); !why.empty()) return why;
    if (std::string why = MeterListProblem(s.Grid); !why.empty()) return why;
    if (!db || s.TipoSalida != OutputDatabase) return "";
    if (std::string why = database_problem(*db); !why.empty()) return why;
    return database_names_problem(s.Grid);
}

}  // namespace qv

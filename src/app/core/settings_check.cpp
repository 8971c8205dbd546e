#include "app/core/settings_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "export/ftp_upload.h"

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
        return "NO EXISTE, NI LA CARPETA \"" + parent +
               "\" DONDE SE CREARIA (SE CREA UN SOLO NIVEL)";
    if (!S_ISDIR(st.st_mode)) return "NO SE PUEDE CREAR: \"" + parent + "\" NO ES UNA CARPETA";
    const std::string why = cannot_write(parent);
    return why.empty() ? "" : "NO SE PUEDE CREAR EN \"" + parent + "\": " + why;
}

std::string link_problem(const WindowSettings& s) {
    if (!selected(s.Conexion, LinkItems.size()))
        return "ERROR EN EL TIPO DE CONEXION: NINGUNO SELECCIONADO";
    if (s.Conexion == LinkTcp) {
        if (const std::string why = TcpHostProblem(s.Host); !why.empty())
            return "ERROR EN EL HOST: \"" + s.Host + "\" " + why;
        // An empty port is the default one; any other text must be a port.
        if (!TrimBlanks(s.HostPort).empty() && !IsTcpPort(s.HostPort))
            return "ERROR EN HOST_PORT: \"" + s.HostPort + "\" NO ES UN PUERTO DE 1 A 65535";
        return "";
    }
    if (!selected(s.PortIndex, PortItemCount))
        return "ERROR EN EL PUERTO SERIE: NINGUNO SELECCIONADO";
    const struct {
        const std::string& text;
        bool listed;
        const char* name;
    } lines[] = {{s.BaudText, is_item(BaudItems, s.BaudText), "LA VELOCIDAD"},
                 {s.BitsText, is_item(DataBitsItems, s.BitsText), "LOS BITS DE DATOS"},
                 {s.ParityText, is_item(ParityItems, s.ParityText), "LA PARIDAD"},
                 {s.StopText, is_item(StopBitsItems, s.StopText), "LOS BITS DE PARADA"}};
    for (const auto& line : lines)
        if (!line.listed)
            return std::string("ERROR EN ") + line.name + " DEL PUERTO SERIE: \"" + line.text +
                   "\" NO ES DE LA LISTA";
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

std::string meters_problem(const GridRows& grid) {
    // Rows without a link address at the end (an empty list's blank row) are
    // no meters to the run either.
    std::size_t rows = grid.size();
    while (rows > 1 && TrimBlanks(grid[rows - 1][0]).empty()) --rows;
    std::set<int32_t> links;
    for (std::size_t r = 1; r < rows; ++r) {
        const GridRow& row = grid[r];
        const std::string link(TrimBlanks(row[0]));
        const std::string named = "ERROR EN EL CONTADOR " +
                                  (link.empty() ? "DE LA FILA " + std::to_string(r) : link) + ": ";
        if (const std::string why = MeterNumbersProblem(row[0], row[1], row[2]); !why.empty())
            return named + why;
        int32_t address = 0;
        parse_int32(link, address);
        if (!links.insert(address).second)
            return named + "DIRECCION DE ENLACE " + std::to_string(address) + " REPETIDA";
    }
    return "";
}

}  // namespace

std::string TcpHostProblem(std::string_view host) {
    const std::string_view h = TrimBlanks(host);
    if (h.empty()) return "ESTA VACIO";
    if (std::count(h.begin(), h.end(), ':') == 1)
        return "LLEVA UN PUERTO: EL PUERTO SE DA APARTE (-PORT, HOST_PORT)";
    if (h.find_first_of("[]") != std::string_view::npos)
        return "LLEVA CORCHETES: LA DIRECCION VA SIN ELLOS Y EL PUERTO APARTE (-PORT, HOST_PORT)";
    if (std::any_of(host.begin(), host.end(),
                    [](char c) { return static_cast<unsigned char>(c) <= ' '; }))
        return "LLEVA ESPACIOS";
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
    return "ERROR EN LA CARPETA DE SALIDA \"" + shown + "\": " + why;
}

std::string RunSettingsProblem(const WindowSettings& s) {
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
    return meters_problem(s.Grid);
}

}  // namespace qv

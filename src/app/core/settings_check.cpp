#include "app/core/settings_check.h"

#include "app/core/dates.h"
#include "platform/text.h"

namespace qv {

bool IsTcpPort(std::string_view v) {
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
    long n = 0;
    return !v.empty() && v.find_first_not_of("0123456789") == std::string_view::npos &&
           v.size() <= 5 && ParseLong(v, n) && n >= 1 && n <= 65535;
}

std::string RunSettingsProblem(const WindowSettings& s) {
    if (s.FechaInicio == NullDate) return "FECHA DE INICIO: NO ES UNA FECHA DE 2000 A 2099";
    if (s.FechaFin == NullDate) return "FECHA DE FIN: NO ES UNA FECHA DE 2000 A 2099";
    if (s.Intervalo < 0 || s.Intervalo >= static_cast<int>(IntervalItems.size()))
        return "INTERVALO: NINGUNO SELECCIONADO";
    const bool blank = s.HostPort.find_first_not_of(' ') == std::string::npos;
    if (s.Conexion == LinkTcp && !blank && !IsTcpPort(s.HostPort))
        return "PUERTO IP: \"" + s.HostPort + "\" NO ES UN PUERTO DE 1 A 65535";
    return std::string();
}

}  // namespace qv

#include "app/core/run_setup.h"

#include <algorithm>
#include <charconv>
#include <span>

#include "app/core/app_log.h"
#include "platform/worker_message.h"

namespace qv {

namespace {

int indexOf(std::span<const std::string_view> items, const std::string& text) {
    auto it = std::find(items.begin(), items.end(), text);
    return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

}  // namespace

RunSettings MakeRunSettings(const WindowSettings& w) {
    RunSettings s;
    s.LinkType = w.Conexion;
    s.Grid = w.Grid;
    s.Interval = w.Intervalo;
    s.DateFrom = w.FechaInicio;
    s.DateTo = w.FechaFin;
    s.BaudIndex = indexOf(BaudItems, w.BaudText);
    s.DataBitsIndex = indexOf(DataBitsItems, w.BitsText);
    s.ParityIndex = indexOf(ParityItems, w.ParityText);
    s.StopBitsIndex = indexOf(StopBitsItems, w.StopText);
    s.DialNumber = w.Numero;
    s.ModemInitString = w.ModemInit;
    s.TcpPortText = w.HostPort;
    s.Host = w.Host;
    s.AsduRetries = w.AsduRetries;
    s.InterAsdu = w.InterAsdu;
    s.AsduTimeout = w.AsduTimeout;
    s.ModemReset = w.ModemReset;
    return s;
}

std::string ModemCaption(int32_t value) {
    switch (value) {
        case colour::Green:
            return "SIM REGISTRADA CON OPERADOR";
        case colour::Grey:
            return "    MODEM DESCONECTADO";
        case colour::Red:
            return "SIM NO INSTALADA O INVALIDA";
        case colour::Yellow:
            return "      MODEM ENCONTRADO";
        default:
            return "  MODEM  NO RESPONDE!";
    }
}

int SignalLevel(const std::string& text) {
    return text.empty() ? 0 : static_cast<unsigned char>(text[0]);
}

double SignalPosition(int level) {
    return std::clamp(level * 100.0 / 31.0, 0.0, 100.0);
}

std::string SignalHint(int level) {
    return "INTENSIDAD DE SE\xD1"
           "AL (" +
           std::to_string(2 * level - 113) + "dBm)";
}

std::string SignalHintIdle() {
    return "INTENSIDAD DE SE\xD1"
           "AL (0dBm)";
}

namespace {

// "why" without a leading "- " or " - " and on one line.
std::string faultText(const std::string& output, const std::string& why) {
    std::string text = why;
    const auto start = text.find_first_not_of(" -");
    text.erase(0, start == std::string::npos ? text.size() : start);
    text = OneLineText(text);
    return output + ": " + (text.empty() ? "ERROR" : text);
}

}  // namespace

std::string OutputFaultStatus(const std::string& output, const std::string& why) {
    std::string status = "(7) LEIDO, SALIDA FALLIDA - " + faultText(output, why);
    std::ranges::replace(status, ';', ',');
    return status;
}

std::string OutputFaultLine(int32_t link, const std::string& output, const std::string& why) {
    return "- SALIDA FALLIDA DEL CONTADOR " + std::to_string(link) + " - " + faultText(output, why);
}

std::optional<int> ParseExitCode(const std::string& text) {
    std::string_view t = text;
    while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
    if (!t.empty() && t.front() == '+') t.remove_prefix(1);
    int v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size() || t.empty()) return std::nullopt;
    return v;
}

}  // namespace qv

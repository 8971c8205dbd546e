#pragma once
// The main window's settings as plain data: what its controls hold, what the
// configuration file mirrors key by key and what the command line overrides.
// The window reads its controls into a WindowSettings and sets them from one;
// the configuration file, the command line and the meter list work on it
// without widgets.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "meter/reading_run.h"
#include "meter/time_tags.h"

namespace qv {

// The main window's log operation: text and colour ($00BBGGRR).
using LogFn = std::function<void(const std::string& text, int32_t colour)>;

// Item texts of the window's lists and radio groups, in item order.
inline constexpr std::array<std::string_view, 3> OutputTypeItems = {
    "FICHEROS CSV A CARPETA", "FICHEROS CSV A SITIO FTP", "A BASE DE DATOS"};
inline constexpr std::array<std::string_view, 4> IntervalItems = {"CUARTIHORARIO", "HORARIO",
                                                                  "DIARIO", "MENSUAL"};
inline constexpr std::array<std::string_view, 4> LinkItems = {
    "SERIAL DIRECTA", "MODEM GSM SERIAL", "CONEXION TCP/IP", "MODEM ANALOG SERIAL"};
inline constexpr std::array<std::string_view, 16> BaudItems = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
inline constexpr std::array<std::string_view, 4> DataBitsItems = {"5", "6", "7", "8"};
inline constexpr std::array<std::string_view, 5> ParityItems = {"NINGUNA", "IMPAR", "PAR", "Marca",
                                                                "Espacio"};
inline constexpr std::array<std::string_view, 3> StopBitsItems = {"1", "1.5", "2"};
inline constexpr int PortItemCount = 30;  // "COM1" .. "COM30"

enum OutputType : int { OutputFolder = 0, OutputFtp = 1, OutputDatabase = 2 };

// The TCP port an empty HOST_PORT, -PORT or port field stands for.
constexpr const char* kDefaultHostPort = "40000";

struct WindowSettings {
    // The meter grid as shown: row 0 the header row, one meter per further row
    // (columns link address, measuring point, password, OPC code, status). An
    // empty list is two rows whose row 1 has an empty link address.
    GridRows Grid;
    int PortIndex = 0;  // ComboBox1: 0 = "COM1"; -1 no selection
    std::string BaudText = "9600";
    std::string BitsText = "8";
    std::string ParityText = "NINGUNA";
    std::string StopText = "1";
    int Conexion = LinkTcp;  // item index; -1 none
    std::string Numero;      // number to dial
    std::string ModemInit;   // analog modem's initialisation string
    std::string Host;
    std::string HostPort;  // empty: kDefaultHostPort
    Day FechaInicio{};
    Day FechaFin{};
    int Intervalo = 2;              // "DIARIO"; -1 none
    int TipoSalida = OutputFolder;  // -1 none
    bool LogScreen = true;          // "PANTALLA"
    bool LogDisk = true;            // "DISCO"
    bool Minimizar = false;         // "MINIMIZAR AL LEER"
    std::string Ruta;               // output folder or FTP target

    // The window's own state fields.
    std::string IniFileName;
    std::string LinkText;
    bool AutoMinimize = false;
    bool AutoClose = false;
    bool ModemReset = false;
    int AsduRetries = 2;
    int InterAsdu = 1;     // seconds
    int AsduTimeout = 12;  // seconds

    friend bool operator==(const WindowSettings&, const WindowSettings&) = default;
};

}  // namespace qv

#pragma once
// What the main window computes for its run side: the run's settings from the
// window's, and the texts and levels shown for the worker messages.

#include <cstdint>
#include <optional>
#include <string>

#include "app/core/settings.h"
#include "meter/reading_run.h"

namespace qv {

// The settings a reading run copies from the window; the port name (the
// port box's text), the message target and the executor are the window's to
// fill.
RunSettings MakeRunSettings(const WindowSettings& w);

// Caption of the modem state label for the colour a modem message carries.
std::string ModemCaption(int32_t colourValue);

// The GSM signal level of a modem message: the code of its first character.
int SignalLevel(const std::string& text);
// The LED bar's position (0..100) for a level; larger levels are clamped.
double SignalPosition(int level);
// The bar's hint (Latin-1): "(-113dBm)" for level 0, "(-51dBm)" for 31.
std::string SignalHint(int level);
// The hint shown while no modem has been asked.
std::string SignalHintIdle();

// A meter read whose output failed: `output` names it ("FICHERO CSV", "FTP",
// "BASE DE DATOS"), `why` says why. Its grid status, on one line and without
// ";" (which would split the status file's line), and the red line that logs
// it for the meter of link address `link`.
std::string OutputFaultStatus(const std::string& output, const std::string& why);
std::string OutputFaultLine(int32_t link, const std::string& output, const std::string& why);

// The exit code of a MSG_EXITCODE text; nothing when it is not an integer.
std::optional<int> ParseExitCode(const std::string& text);

}  // namespace qv

#pragma once
// The reading thread's posting operations: how log lines, the modem state,
// finished devices, the exit code and grid status texts reach the main window.
// A null target posts nothing; no operation lets an exception escape.

#include <cstdint>
#include <memory>
#include <string>

#include "meter/device.h"
#include "platform/worker_message.h"

namespace qv {

// Modem states shown with the signal level.
enum ModemState : int {
    ModemNoAnswer = 0,
    ModemNotRegistered = 1,
    ModemRegistered = 2,
    ModemDisconnected = 3,
    ModemAnalog = 4,
};

int32_t ModemStateColour(int state);

void PostLog(const MessageTarget& target, const std::string& line, int32_t colour);
void PostModemStatus(const MessageTarget& target, int state, int signalLevel);
// Hands the device over: the main window owns it from here on.
void PostDataReady(const MessageTarget& target, std::unique_ptr<Tdevice> device);
void PostExitCode(const MessageTarget& target, int32_t exitCode);
// Row number in two bytes (high first) then the text; an empty text posts nothing.
void PostGridStatus(const MessageTarget& target, int row, const std::string& text);

// The grid row number and status text of a MSG_GRIDSTATUS text; false when the
// text is too short to carry a status.
bool DecodeGridStatus(const std::string& payload, int& row, std::string& text);

}  // namespace qv

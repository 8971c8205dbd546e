#include "meter/meter_messages.h"

namespace qv {

int32_t ModemStateColour(int state) {
    switch (state) {
        case ModemNotRegistered:
            return colour::Red;
        case ModemRegistered:
            return colour::Green;
        case ModemDisconnected:
            return colour::Grey;
        case ModemAnalog:
            return colour::Yellow;
        default:
            return colour::Black;
    }
}

void PostLog(const MessageTarget& target, const std::string& line, int32_t colour) {
    if (!target) return;
    try {
        target.post(MSG_LOG, std::make_unique<Tmensaje_TXT>(line, colour));
    } catch (...) {
    }
}

void PostModemStatus(const MessageTarget& target, int state, int signalLevel) {
    if (!target) return;
    try {
        // Exactly one character, also for level 0.
        std::string level(1, static_cast<char>(static_cast<unsigned char>(signalLevel)));
        target.post(MSG_MODEM, std::make_unique<Tmensaje_TXT>(level, ModemStateColour(state)));
    } catch (...) {
    }
}

void PostDataReady(const MessageTarget& target, std::unique_ptr<Tdevice> device) {
    if (!target || !device) return;
    try {
        target.post(MSG_DATA, std::make_unique<ObjectPayload<Tdevice>>(std::move(device)));
    } catch (...) {
    }
}

void PostExitCode(const MessageTarget& target, int32_t exitCode) {
    if (!target) return;
    try {
        target.post(MSG_EXITCODE, std::make_unique<Tmensaje_TXT>(std::to_string(exitCode), 0));
    } catch (...) {
    }
}

void PostGridStatus(const MessageTarget& target, int row, const std::string& text) {
    if (!target || text.empty()) return;
    try {
        std::string payload;
        payload += static_cast<char>((row >> 8) & 0xFF);
        payload += static_cast<char>(row & 0xFF);
        payload += text;
        target.post(MSG_GRIDSTATUS, std::make_unique<Tmensaje_TXT>(std::move(payload), 0));
    } catch (...) {
    }
}

bool DecodeGridStatus(const std::string& payload, int& row, std::string& text) {
    if (payload.size() <= 2) return false;
    row = (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]);
    text = payload.substr(2);
    return true;
}

}  // namespace qv

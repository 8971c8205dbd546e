// The Hayes AT dialogue with a GSM or analog modem on the run's serial port:
// wake-up, identification, registration and signal, dialling, hang-up.
#include "meter/modem.h"

#include <algorithm>
#include <cctype>
#include <thread>

#include "meter/contador_ip.h"
#include "platform/text.h"

namespace qv {

namespace {

bool holds(const std::string& s, const char* what) {
    return s.find(what) != std::string::npos;
}

}  // namespace

std::string ModemIdentification(const std::string& buffer) {
    std::string s = buffer;
    if (auto echo = s.find("ATI"); echo != std::string::npos) s.erase(echo, 3);
    if (auto ok = s.find("OK"); ok != std::string::npos) s.resize(ok);
    std::string printable;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 32 && u <= 127) printable += c;
    }
    return std::string(TrimBlanks(printable));
}

int ModemSignalLevel(const std::string& buffer) {
    if (!holds(buffer, "+CSQ: ")) return 0;
    const auto comma = buffer.find(',');
    if (comma == std::string::npos) return 0;
    const std::string two(TrimBlanks(std::string_view(buffer).substr(
        comma >= 2 ? comma - 2 : 0, std::min<std::size_t>(comma, 2))));
    if (two.empty() || !std::all_of(two.begin(), two.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        return 0;
    const int level = std::stoi(two);
    if (level == 99) return 0;  // "not known" is no signal, not full signal
    return std::min(level, 31);
}

bool DialRefused(const std::string& upperBuffer) {
    return holds(upperBuffer, "NO CARRIER") || holds(upperBuffer, "ERROR") ||
           holds(upperBuffer, "DIALTONE") || holds(upperBuffer, "BUSY");
}

bool DialConnected(const std::string& upperBuffer) {
    return holds(upperBuffer, "OK") || holds(upperBuffer, "CONNECT");
}

namespace {

// The buffer in upper case, rewritten in place under the buffer's lock.
std::string upperRx(TContador_IP& t) {
    return t.WithRxBuffer([](std::string& b) {
        b = UpperAscii(std::move(b));
        return b;
    });
}

}  // namespace

void TContador_IP::SendAT(const std::string& command, const std::string& expected) {
    ClearRx();
    if (!SendFrame("AT" + command + "\r")) return;
    for (int polls = 1;; ++polls) {
        SleepMs(100);
        const std::string buf = upperRx(*this);
        if (expected.empty() || holds(buf, expected.c_str()) || holds(buf, "OK") ||
            holds(buf, "ERROR") || polls > 30 || Terminated)
            return;
    }
}

bool TContador_IP::wakeModem() {
    PostLog(" - INIT MODEM ", colour::Green);
    ClearRx();
    SendFrame(ModemInitString + "\r");
    if (AnalogModem) {
        if (!ModemInitString.empty()) PostLog(" - >> (" + ModemInitString + ")", colour::Green);
        SleepMs(3000);
        const std::string got = RxSnapshot();
        if (!got.empty()) PostLog(" - << (" + got + ")", colour::Green);
    } else {
        SleepMs(2000);
    }
    if (ModemReset) {
        SendFrame("AT+CFUN=1,1\r");
        SleepMs(5000);
    }

    bool answered = false;
    for (int attempt = 0; attempt < 6 && !answered && !Terminated; ++attempt) {
        ClearRx();
        SendAT("Z", "OK");
        SleepMs(1000);
        answered = holds(upperRx(*this), "OK");
    }
    return answered;
}

bool TContador_IP::dialModem(int& state, int& signal) {
    state = ModemNotRegistered;
    PostLog(" - GETTING MODEM INFORMATION...", colour::White);
    SendAT("I", "OK");
    std::string buf = upperRx(*this);
    if (!holds(buf, "OK")) return false;
    const std::string identification = ModemIdentification(buf);

    if (AnalogModem) {
        PostLog(" - ANALOG DIALUP MODEM : " + identification, colour::Green);
        state = ModemAnalog;
    } else {
        SendAT("+CREG?", ",1");
        if (holds(upperRx(*this), ",1")) {
            PostLog(" - GSM MODEM : " + identification, colour::Green);
            state = ModemRegistered;
            SendAT("+CSQ", "+CS");
            signal = ModemSignalLevel(upperRx(*this));
        }
        // Not registered: dialled all the same, the state shows it.
    }

    PostModemStatus(state, signal);
    ModemOnLine = true;
    PostLog(" - DIALING... (" + DialNumber + ") PLEASE WAIT...", colour::Yellow);
    SendAT("D" + DialNumber, "");

    for (int polls = 1; !Terminated; ++polls) {
        SleepMs(1000);
        buf = upperRx(*this);
        if (DialRefused(buf)) {
            PostLog(" - No se pudo iniciar la llamada - " + buf, colour::Red);
            return false;
        }
        if (DialConnected(buf)) {
            PostLog(" - CONECTADO !", colour::Green);
            WatchCall();
            SleepMs(PauseMs(5000));
            ExitCode = ExitNoMeterRead;
            return true;
        }
        if (polls > 100) return false;
    }
    return false;
}

bool TContador_IP::InitModem() {
    int state = ModemNoAnswer;
    int signal = 0;
    bool connected = false;
    if (wakeModem())
        connected = dialModem(state, signal);
    else if (!Terminated)  // a stop cut the wake-up short: that says nothing about the modem
        PostLog(" - THERE IS NO MODEM IN THE SERIAL LINE.", colour::Red);

    PostModemStatus(state, signal);
    if (!connected)
        for (std::size_t row = 1; row <= Devices.size(); ++row)
            PostGridStatus(static_cast<int>(row), "(3) ERROR DE COMUNICACION");
    return connected;
}

void TContador_IP::WatchCall() {
    CarrierLost = false;
    WatchCarrier = true;
}

void TContador_IP::HangUpModem() {
    WatchCarrier = false;
    PostModemStatus(ModemDisconnected, 0);
    PostLog(" - COLGANDO MODEM...", colour::White);
    if (CarrierLost) {
        // The modem said the call ended and is back in command mode: there is
        // no data mode to escape from.
        SendFrame("\rATH\r");
        return;
    }
    // The escape needs its guard times of silence around "+++" or the modem
    // takes it as data and stays on line, so these two waits are kept in full
    // even when the run is being stopped (3 s, well inside the stop's wait).
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ClearRx();
    SendFrame("+++");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (int polls = 1;; ++polls) {
        SleepMs(100);
        const std::string buf = upperRx(*this);
        if (holds(buf, "OK") || holds(buf, "ERROR") || polls > 50 || Terminated) break;
    }
    SendFrame("\rATH\r");
}

}  // namespace qv

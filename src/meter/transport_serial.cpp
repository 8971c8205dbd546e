// The serial side of the link transport.
#include "meter/contador_ip.h"
#include "serial/com_port.h"

namespace qv {

bool TContador_IP::serialOpen() const {
    return ComPort && ComPort->Connected();
}

std::size_t TContador_IP::serialWrite(const std::string& bytes) {
    const int n = ComPort->WriteStr(bytes);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void TContador_IP::serialClearBuffers() {
    ComPort->ClearBuffer(true, true);
}

// Main thread: the port's receive-character event.
void TContador_IP::ComPortRxChar(TCustomComPort* sender, int count) {
    TCustomComPort* port = sender ? sender : ComPort.get();
    if (!port || !port->Connected()) return;
    std::string received;
    port->ReadStr(received, count);
    if (WatchCarrier) {
        // The result code may come split across two events; the modem ends
        // it with a carriage return, which a frame's bytes hardly imitate.
        carrierTail_ += received;
        if (carrierTail_.find("NO CARRIER\r") != std::string::npos)
            reportCarrierLost("EL MODEM HA RESPONDIDO NO CARRIER");
        constexpr std::size_t kKept = 16;
        if (carrierTail_.size() > kKept) carrierTail_.erase(0, carrierTail_.size() - kKept);
    } else {
        carrierTail_.clear();
    }
    if (!Terminated && !received.empty()) AppendRx(received);
}

// Main thread. Only a line that the port has shown up and then down counts: a
// cable without the line, or a pseudo-terminal, never reports it.
void TContador_IP::ComPortRLSDChange(bool on) {
    const bool was = carrierOn_.exchange(on);
    if (WatchCarrier && was && !on) reportCarrierLost("SE HA PERDIDO LA PORTADORA (DCD)");
}

void TContador_IP::reportCarrierLost(const char* how) {
    if (CarrierLost.exchange(true)) return;
    // Posted at once from whichever thread notices; the reading thread's own
    // lines follow as its waits end.
    qv::PostLog(MainWindow, std::string(" - ERROR - SE HA CORTADO LA LINEA: ") + how, colour::Red);
    // Wakes a reply wait of the reading thread.
    AppendRx(std::string());
}

}  // namespace qv

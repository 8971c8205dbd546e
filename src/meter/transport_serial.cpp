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
    if (!Terminated && !received.empty()) AppendRx(received);
}

}  // namespace qv

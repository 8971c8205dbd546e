// The serial side of the link transport.
#include "meter/contador_ip.h"

namespace qv {

// Until the serial component is in, no run can have an open port.
bool TContador_IP::serialOpen() const {
    return false;
}
std::size_t TContador_IP::serialWrite(const std::string&) {
    return 0;
}
void TContador_IP::serialClearBuffers() {}
void TContador_IP::ComPortRxChar(TComPort&, int) {}

}  // namespace qv

#pragma once
// An independent Modbus RTU slave for the serial tests: libmodbus serving input
// registers on one pseudo-terminal, joined to a second pseudo-terminal that the
// program's serial port opens, as a null-modem cable would join two ports.

#include <modbus/modbus.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "support/pty_pair.h"

namespace qv::test {

class ModbusRtuPeer {
  public:
    // Input registers 0 .. registerCount-1 hold RegisterValue(n); requests to
    // any slave address but `slave` are ignored, as on a shared line.
    ModbusRtuPeer(int slave, int registerCount);
    ~ModbusRtuPeer();
    ModbusRtuPeer(const ModbusRtuPeer&) = delete;
    ModbusRtuPeer& operator=(const ModbusRtuPeer&) = delete;

    // The device path the program's port opens.
    const std::string& linePath() const { return programSide_.slaveName(); }
    // Requests libmodbus received for its address (answered or refused).
    int requests() const { return requests_.load(); }

    // What register n holds: bytes that a line in cooked mode would eat
    // (CR, LF, XON, XOFF, NUL, $FF) come first.
    static uint16_t RegisterValue(int n);

  private:
    void serve();
    void relay();

    PtyPair modbusSide_;
    PtyPair programSide_;
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* mapping_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread server_;
    std::thread relay_;
};

}  // namespace qv::test

#include "modbus_rtu_peer.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace qv::test {

uint16_t ModbusRtuPeer::RegisterValue(int n) {
    static const uint16_t awkward[] = {0x110D, 0x130A, 0x00FF, 0x7F03, 0x1A1C, 0x0D0D};
    if (n < 6) return awkward[n];
    return static_cast<uint16_t>((static_cast<uint32_t>(n) * 2654435761u) >> 16);
}

ModbusRtuPeer::ModbusRtuPeer(int slave, int registerCount) {
    ctx_ = modbus_new_rtu(modbusSide_.slaveName().c_str(), 9600, 'N', 8, 1);
    if (!ctx_) throw std::runtime_error("modbus_new_rtu failed");
    mapping_ = modbus_mapping_new(0, 0, 0, registerCount);
    if (!mapping_ || modbus_set_slave(ctx_, slave) != 0 || modbus_connect(ctx_) != 0) {
        if (mapping_) modbus_mapping_free(mapping_);
        modbus_free(ctx_);
        throw std::runtime_error("libmodbus slave could not be set up");
    }
    for (int n = 0; n < registerCount; ++n) mapping_->tab_input_registers[n] = RegisterValue(n);
    // Short waits for a request, so that the server notices the stop.
    modbus_set_indication_timeout(ctx_, 0, 100000);
    server_ = std::thread([this] { serve(); });
    relay_ = std::thread([this] { relay(); });
}

ModbusRtuPeer::~ModbusRtuPeer() {
    stop_ = true;
    server_.join();
    relay_.join();
    modbus_close(ctx_);
    modbus_free(ctx_);
    modbus_mapping_free(mapping_);
}

void ModbusRtuPeer::serve() {
    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stop_) {
        const int n = modbus_receive(ctx_, request);
        if (n > 0) {
            ++requests_;
            modbus_reply(ctx_, request, n, mapping_);
        } else if (n < 0 && errno != ETIMEDOUT) {
            // A broken request: let the line settle before the next one.
            modbus_flush(ctx_);
        }
    }
}

void ModbusRtuPeer::relay() {
    const int a = modbusSide_.master(), b = programSide_.master();
    char buf[512];
    while (!stop_) {
        pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (::poll(p, 2, 50) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & POLLIN)) {
                // A side that hung up must not make this loop spin.
                if (p[i].revents) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n > 0)
                writeAllFd(i == 0 ? b : a, std::string_view(buf, static_cast<std::size_t>(n)),
                           std::chrono::seconds(2));
        }
    }
}

}  // namespace qv::test

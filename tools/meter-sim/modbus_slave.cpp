#include "modbus_slave.h"

namespace qv::sim::modbus {

namespace {
uint8_t byteAt(std::string_view s, size_t i) {
    return static_cast<uint8_t>(s[i]);
}

uint16_t registerValue(uint32_t seed, int slave, int reg) {
    uint64_t x = (uint64_t(seed) << 32) ^ (uint64_t(slave & 0xFF) << 16) ^ uint64_t(reg & 0xFFFF);
    x = (x ^ (x >> 33)) * 0xFF51AFD7ED558CCDULL;
    x = (x ^ (x >> 33)) * 0xC4CEB9FE1A85EC53ULL;
    return static_cast<uint16_t>(x ^ (x >> 33));
}
}  // namespace

uint16_t crc16(std::string_view bytes) {
    uint16_t crc = 0xFFFF;
    for (char ch : bytes) {
        crc ^= static_cast<uint8_t>(ch);
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

std::string appendCrc(std::string frame) {
    uint16_t crc = crc16(frame);
    frame += static_cast<char>(crc & 0xFF);
    frame += static_cast<char>(crc >> 8);
    return frame;
}

std::optional<std::string> RequestExtractor::next() {
    while (buffer_.size() >= 8) {
        std::string_view b(buffer_);
        uint16_t crc = crc16(b.substr(0, 6));
        if (byteAt(b, 6) == (crc & 0xFF) && byteAt(b, 7) == (crc >> 8)) {
            std::string req(b.substr(0, 8));
            buffer_.erase(0, 8);
            return req;
        }
        buffer_.erase(0, 1);
    }
    return std::nullopt;
}

Answer answer(const SimConfig& config, std::string_view request) {
    Answer out;
    if (request.size() < 8) return out;
    uint8_t slave = byteAt(request, 0);
    for (const SimMeter& m : config.meters)
        if ((m.linkAddress & 0xFF) == slave) {
            out.meter = &m;
            break;
        }
    if (!out.meter || out.meter->faults.silence == Silence::All) return out;
    uint8_t function = byteAt(request, 1);
    uint8_t replyAddress =
        config.modbusReplyAddress >= 0 ? static_cast<uint8_t>(config.modbusReplyAddress) : slave;
    int first = (byteAt(request, 2) << 8) | byteAt(request, 3);
    int count = (byteAt(request, 4) << 8) | byteAt(request, 5);

    std::string a;
    a += static_cast<char>(replyAddress);
    int exception = out.meter->faults.modbusException;
    if (function != 3 && function != 4)
        exception = 1;  // illegal function
    else if (!exception && (count < 1 || count > 125))
        exception = 3;  // illegal data value
    if (exception) {
        a += static_cast<char>(function | 0x80);
        a += static_cast<char>(exception);
        out.bytes = appendCrc(std::move(a));
        return out;
    }
    a += static_cast<char>(function);
    a += static_cast<char>(count * 2);
    for (int i = 0; i < count; ++i) {
        uint16_t v = registerValue(config.seed, slave, first + i);
        a += static_cast<char>(v >> 8);
        a += static_cast<char>(v & 0xFF);
    }
    out.bytes = appendCrc(std::move(a));
    return out;
}

}  // namespace qv::sim::modbus

#pragma once
// Modbus RTU slaves for the two analyser readers: read-input-registers answers with a
// correct CRC-16, or an exception answer.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "meter_sim.h"

namespace qv::sim::modbus {

// CRC-16 (polynomial $A001 reflected, start $FFFF) as a number; sent low byte first.
uint16_t crc16(std::string_view bytes);
std::string appendCrc(std::string frame);

// Cuts 8-byte requests (address, function, 4 bytes, CRC) out of the stream; bytes
// that do not start a request with a matching CRC are dropped one by one.
class RequestExtractor {
  public:
    void append(std::string_view bytes) { buffer_.append(bytes); }
    std::optional<std::string> next();
    void clear() { buffer_.clear(); }

  private:
    std::string buffer_;
};

struct Answer {
    std::string bytes;  // empty: no answer (unknown slave, unsupported request)
    const SimMeter* meter = nullptr;
};
Answer answer(const SimConfig& config, std::string_view request);

}  // namespace qv::sim::modbus

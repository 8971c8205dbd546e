#pragma once
// The meter side of the IEC 60870-5-102 link: frame building, the stream extractor
// and the 5-byte time tag. Written apart from the engine's own codec on purpose, so
// that the two sides check each other.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "meter_sim.h"

namespace qv::sim::iec {

constexpr uint8_t kFixedStart = 0x10;
constexpr uint8_t kVariableStart = 0x68;
constexpr uint8_t kEnd = 0x16;

uint8_t checksum(std::string_view bytes);
std::string fixedFrame(uint8_t control, uint16_t address);
// L = 3 + asdu size; asdu at most 252 bytes.
std::string variableFrame(uint8_t control, uint16_t address, std::string_view asdu);

// A complete frame cut out of the stream, start and end bytes included.
struct Frame {
    std::string raw;
    bool fixed() const { return raw.size() == 6 && static_cast<uint8_t>(raw[0]) == kFixedStart; }
    uint8_t control() const { return static_cast<uint8_t>(raw[fixed() ? 1 : 4]); }
    uint16_t address() const;
    // The bytes after C and A of a variable frame; empty for a fixed one.
    std::string_view asdu() const;
};

// Cuts frames out of a byte stream. Bytes that cannot start a frame are dropped; a
// candidate whose lengths, checksum or end byte are wrong loses its first byte and
// the search resumes behind it.
class FrameExtractor {
  public:
    void append(std::string_view bytes) { buffer_.append(bytes); }
    std::optional<Frame> next();
    size_t pending() const { return buffer_.size(); }
    void clear() { buffer_.clear(); }

  private:
    std::string buffer_;
};

// Time tag: minute; hour + summer bit 7; day + weekday (1 Monday..7 Sunday) in bits
// 5-7; month; year - 2000.
std::string encodeTimeTag(const SimTime& t);
// Reads the five bytes; the weekday is ignored. Returns nothing for fewer bytes.
std::optional<SimTime> decodeTimeTag(std::string_view five);

}  // namespace qv::sim::iec

#pragma once
// CRC-32 of the chunks, big-endian helpers and whole-buffer zlib calls.

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv {

// Continues a CRC-32 over count bytes. Neither presets nor inverts: callers
// start with 0xFFFFFFFF and invert the final value.
uint32_t PngCRC32(uint32_t crc, const void* buffer, size_t count);

// The inverted CRC of a chunk type followed by its data, as stored on file.
uint32_t ChunkCRC(const char type[4], const void* data, size_t size);

constexpr uint32_t SwapBytes32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
// The two low bytes of v in swapped order (a big-endian 16-bit value).
constexpr uint32_t SwapBytes16(uint32_t v) {
    return ((v & 0xFFu) << 8) | ((v >> 8) & 0xFFu);
}

inline uint32_t ReadBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint16_t ReadBE16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
inline void WriteBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void AppendBE32(std::string& s, uint32_t v) {
    s += char(v >> 24);
    s += char(v >> 16);
    s += char(v >> 8);
    s += char(v);
}

// Largest output InflateBuffer gives by default; a compressed text that would
// inflate past it is refused rather than allowed to take all memory.
constexpr size_t kInflateBufferLimit = size_t(16) << 20;

// Inflates a whole zlib stream held in memory. False with zlib's message in
// error when the data is bad, cut short, asks for a dictionary, or would
// inflate past limit bytes; output then holds what was inflated so far.
bool InflateBuffer(const void* input, size_t inputSize, std::string& output, std::string& error,
                   size_t limit = kInflateBufferLimit);

// Deflates a whole buffer at the given zlib level.
bool DeflateBuffer(const void* input, size_t inputSize, int level, std::string& output,
                   std::string& error);

}  // namespace qv

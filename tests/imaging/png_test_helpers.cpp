#include "png_test_helpers.h"

#include <zlib.h>

#include <stdexcept>

#include "imaging/png_zlib.h"

namespace qv::pngtest {

std::string Signature() {
    return "\x89PNG\r\n\x1a\n"s;
}

std::string Chunk(const std::string& type, const std::string& data) {
    std::string out;
    AppendBE32(out, uint32_t(data.size()));
    out += type + data;
    AppendBE32(out, ChunkCRC(type.data(), data.data(), data.size()));
    return out;
}

std::string IhdrData(uint32_t w, uint32_t h, uint8_t depth, uint8_t type, uint8_t interlace,
                     uint8_t compression) {
    std::string d;
    AppendBE32(d, w);
    AppendBE32(d, h);
    return d + char(depth) + char(type) + char(compression) + '\0' + char(interlace);
}

std::string Head(uint32_t w, uint32_t h, uint8_t depth, uint8_t type, uint8_t interlace) {
    return Signature() + Chunk("IHDR", IhdrData(w, h, depth, type, interlace));
}

std::string End() {
    return Chunk("IEND", "");
}

std::string Zlib(const std::string& raw, int level) {
    uLongf size = compressBound(raw.size());
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(raw.data()), raw.size(), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

std::string MakePng(uint32_t w, uint32_t h, uint8_t depth, uint8_t type,
                    const std::string& filteredRows, const std::string& extra) {
    return Head(w, h, depth, type) + extra + Chunk("IDAT", Zlib(filteredRows)) + End();
}

namespace {
template <class F>
void WalkChunks(const std::string& file, F f) {
    for (size_t pos = 8; pos + 8 <= file.size();) {
        uint32_t len = ReadBE32(reinterpret_cast<const uint8_t*>(file.data()) + pos);
        if (pos + 12 + size_t(len) > file.size()) break;
        f(file.substr(pos + 4, 4), file.substr(pos + 8, len));
        pos += 12 + size_t(len);
    }
}
}  // namespace

std::vector<std::string> ChunkTypes(const std::string& file) {
    std::vector<std::string> types;
    WalkChunks(file, [&](const std::string& t, const std::string&) { types.push_back(t); });
    return types;
}

std::vector<std::string> ChunkData(const std::string& file, const std::string& type) {
    std::vector<std::string> data;
    WalkChunks(file, [&](const std::string& t, const std::string& d) {
        if (t == type) data.push_back(d);
    });
    return data;
}

}  // namespace qv::pngtest

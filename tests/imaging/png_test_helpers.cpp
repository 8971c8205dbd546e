#include "png_test_helpers.h"

#include <zlib.h>

#include <sstream>
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

std::string MakePam(uint32_t w, uint32_t h, uint32_t depth, uint32_t maxval,
                    const std::string& tupltype, const std::vector<uint32_t>& samples) {
    std::string out = "P7\nWIDTH " + std::to_string(w) + "\nHEIGHT " + std::to_string(h) +
                      "\nDEPTH " + std::to_string(depth) + "\nMAXVAL " + std::to_string(maxval) +
                      "\nTUPLTYPE " + tupltype + "\nENDHDR\n";
    for (uint32_t s : samples) {
        if (maxval > 255) out += char(s >> 8);
        out += char(s);
    }
    return out;
}

Pam DecodeWithPngtopam(const std::string& path) {
    int rc = 0;
    std::string bytes = RunCommand("pngtopam -alphapam '" + path + "' 2>/dev/null", &rc);
    size_t end = bytes.find("ENDHDR\n");
    if (rc != 0 || bytes.compare(0, 3, "P7\n") != 0 || end == std::string::npos)
        throw std::runtime_error("pngtopam refused " + path);
    Pam pam;
    std::istringstream head(bytes.substr(3, end - 3));
    std::string key;
    while (head >> key) {
        if (key == "WIDTH") head >> pam.Width;
        if (key == "HEIGHT") head >> pam.Height;
        if (key == "DEPTH") head >> pam.Depth;
        if (key == "MAXVAL") head >> pam.MaxVal;
    }
    size_t count = size_t(pam.Width) * pam.Height * pam.Depth;
    size_t each = pam.MaxVal > 255 ? 2 : 1;
    if (bytes.size() < end + 7 + count * each) throw std::runtime_error("short PAM image");
    auto p = reinterpret_cast<const uint8_t*>(bytes.data()) + end + 7;
    for (size_t i = 0; i < count; ++i)
        pam.Samples.push_back(each == 2 ? (uint32_t(p[2 * i]) << 8 | p[2 * i + 1]) : p[i]);
    return pam;
}

std::unique_ptr<TPNGPicture> Load(const std::string& bytes) {
    auto pic = std::make_unique<TPNGPicture>();
    MemoryStream s(bytes);
    pic->LoadFromStream(s);
    return pic;
}

std::string Save(TPNGPicture& picture) {
    MemoryStream s;
    picture.SaveToStream(s);
    return s.Bytes();
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

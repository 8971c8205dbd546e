#include "picture_test_helpers.h"

#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "imaging/canvas.h"
#include "imaging/gif_image.h"
#include "imaging/png_zlib.h"
#include "support/test_env.h"

namespace qv::test {

std::string RunCommand(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        if (status) *status = -1;
        return out;
    }
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int rc = ::pclose(pipe);
    if (status) *status = rc;
    return out;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

ScratchDir::ScratchDir(const std::string& prefix) : path_(makeTempDir(prefix)) {}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string PamFile(const Pam& pam, const std::string& tupltype) {
    std::string out = "P7\nWIDTH " + std::to_string(pam.Width) + "\nHEIGHT " +
                      std::to_string(pam.Height) + "\nDEPTH " + std::to_string(pam.Depth) +
                      "\nMAXVAL " + std::to_string(pam.MaxVal) + "\nTUPLTYPE " + tupltype +
                      "\nENDHDR\n";
    for (std::uint32_t s : pam.Samples) {
        if (pam.MaxVal > 255) out += char(s >> 8);
        out += char(s);
    }
    return out;
}

Pam ReadPam(const std::string& bytes) {
    Pam pam;
    const std::size_t end = bytes.find("ENDHDR\n");
    if (end == std::string::npos ||
        std::sscanf(bytes.c_str(), "P7 WIDTH %u HEIGHT %u DEPTH %u MAXVAL %u", &pam.Width,
                    &pam.Height, &pam.Depth, &pam.MaxVal) != 4)
        return {};
    const std::size_t count = std::size_t(pam.Width) * pam.Height * pam.Depth;
    const std::size_t each = pam.MaxVal > 255 ? 2 : 1;
    if (bytes.size() < end + 7 + count * each) return {};
    auto p = reinterpret_cast<const std::uint8_t*>(bytes.data()) + end + 7;
    for (std::size_t i = 0; i < count; ++i)
        pam.Samples.push_back(each == 2 ? (std::uint32_t(p[2 * i]) << 8 | p[2 * i + 1]) : p[i]);
    return pam;
}

Pam FromBitmap(const Bitmap& b) {
    Pam pam{std::uint32_t(b.Width()), std::uint32_t(b.Height()), 3, 255, {}};
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) {
            const Color c = b.Pixel(x, y);
            pam.Samples.insert(pam.Samples.end(), {GetRValue(c), GetGValue(c), GetBValue(c)});
        }
    return pam;
}

Bitmap ToBitmap(const Pam& rgb) {
    Bitmap b(int(rgb.Width), int(rgb.Height), PixelFormat::Pf24bit);
    for (std::uint32_t y = 0; y < rgb.Height; ++y)
        for (std::uint32_t x = 0; x < rgb.Width; ++x)
            b.SetPixel(int(x), int(y),
                       RGBColor(std::uint8_t(rgb.At(x, y, 0)), std::uint8_t(rgb.At(x, y, 1)),
                                std::uint8_t(rgb.At(x, y, 2))));
    return b;
}

std::string PackCodes(const std::vector<std::pair<int, int>>& codes) {
    std::string data;
    std::uint32_t acc = 0;
    int bits = 0;
    for (const auto& [code, size] : codes) {
        acc |= std::uint32_t(code) << bits;
        bits += size;
        while (bits >= 8) {
            data.push_back(char(acc & 0xFF));
            acc >>= 8;
            bits -= 8;
        }
    }
    if (bits > 0) data.push_back(char(acc & 0xFF));
    std::string out;
    for (std::size_t at = 0; at < data.size(); at += 255) {
        const std::size_t n = std::min<std::size_t>(255, data.size() - at);
        out.push_back(char(n));
        out.append(data, at, n);
    }
    out.push_back('\0');
    return out;
}

std::string LiteralLzw(const std::vector<int>& pixels, int minCodeSize) {
    // After a Clear the first literal adds no table entry and each later one adds one; the
    // codes widen as the table reaches 2 * clear, so a Clear follows every clear - 2.
    const int clear = 1 << minCodeSize, size = minCodeSize + 1;
    std::vector<std::pair<int, int>> codes;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (i % std::size_t(clear - 2) == 0) codes.push_back({clear, size});
        codes.push_back({pixels[i], size});
    }
    codes.push_back({clear + 1, size});
    return PackCodes(codes);
}

std::string TableBytes(const std::vector<std::uint32_t>& colours) {
    std::string s;
    for (std::uint32_t c : colours) s += std::string{char(c >> 16), char(c >> 8), char(c)};
    return s;
}

namespace {
std::string Words(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += std::string{char(v & 0xFF), char((v >> 8) & 0xFF)};
    return s;
}
}  // namespace

std::string GifFile(int width, int height, const std::vector<std::uint32_t>& globalTable,
                    const std::string& blocks, const char* version) {
    std::string s = std::string("GIF") + version + Words({width, height});
    int bits = 1;
    while ((1u << bits) < globalTable.size()) ++bits;
    s += std::string{char(globalTable.empty() ? 0 : 0x80 | (bits - 1) << 4 | (bits - 1)), 0, 0};
    if (!globalTable.empty()) {
        std::vector<std::uint32_t> padded = globalTable;
        padded.resize(std::size_t(1) << bits, 0);
        s += TableBytes(padded);
    }
    return s + blocks + ";";
}

std::string ImageBlock(int left, int top, int width, int height, std::uint8_t flags,
                       const std::string& localTable, int minCodeSize, const std::string& data) {
    return "," + Words({left, top, width, height}) + char(flags) + localTable + char(minCodeSize) +
           data;
}

std::string GraphicControl(std::uint8_t flags, int delay, int transparent) {
    return std::string("\x21\xF9\x04", 3) + char(flags) + Words({delay}) + char(transparent) + '\0';
}

Bitmap DrawnOver(Graphic& picture, int w, int h, Color background) {
    Bitmap target(w, h, PixelFormat::Pf24bit);
    target.GetCanvas().SetBrushColor(background);
    target.GetCanvas().FillRect(Rect{0, 0, w, h});
    target.GetCanvas().StretchDraw(Rect{0, 0, w, h}, picture);
    return target;
}

std::string Save(Graphic& picture) {
    MemoryStream s;
    picture.SaveToStream(s);
    return s.Bytes();
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

std::string Zlib(const std::string& raw, int level) {
    uLongf size = compressBound(raw.size());
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(raw.data()), raw.size(), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

std::vector<std::string> Chunks(const std::string& file, const std::string& type) {
    std::vector<std::string> out;
    for (size_t pos = 8; pos + 8 <= file.size();) {
        const uint32_t len = ReadBE32(reinterpret_cast<const uint8_t*>(file.data()) + pos);
        if (pos + 12 + size_t(len) > file.size()) break;
        const std::string t = file.substr(pos + 4, 4);
        if (type.empty()) out.push_back(t);
        if (t == type) out.push_back(file.substr(pos + 8, len));
        pos += 12 + size_t(len);
    }
    return out;
}

}  // namespace qv::test

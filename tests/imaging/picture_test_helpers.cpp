#include "picture_test_helpers.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace qv::test {

bool ToolAvailable(const std::string& name) {
    int status = 0;
    RunCommand("command -v " + name + " >/dev/null 2>&1", &status);
    return status == 0;
}

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

std::uint32_t RgbImage::At(int x, int y) const {
    const std::size_t i = (std::size_t(y) * std::size_t(Width) + std::size_t(x)) * 3;
    return std::uint32_t(Pixels[i]) << 16 | std::uint32_t(Pixels[i + 1]) << 8 | Pixels[i + 2];
}

void RgbImage::Set(int x, int y, std::uint32_t rgb) {
    const std::size_t i = (std::size_t(y) * std::size_t(Width) + std::size_t(x)) * 3;
    Pixels[i] = std::uint8_t(rgb >> 16);
    Pixels[i + 1] = std::uint8_t(rgb >> 8);
    Pixels[i + 2] = std::uint8_t(rgb);
}

namespace {
// Reads the next header number, skipping blanks and comments.
bool Number(const std::string& s, std::size_t& pos, int& value) {
    while (pos < s.size()) {
        if (s[pos] == '#') {
            while (pos < s.size() && s[pos] != '\n') ++pos;
        } else if (std::isspace(static_cast<unsigned char>(s[pos]))) {
            ++pos;
        } else {
            break;
        }
    }
    if (pos >= s.size() || !std::isdigit(static_cast<unsigned char>(s[pos]))) return false;
    value = 0;
    while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos])))
        value = value * 10 + (s[pos++] - '0');
    return true;
}
}  // namespace

RgbImage ParsePnm(const std::string& s) {
    RgbImage img;
    if (s.size() < 3 || s[0] != 'P') return img;
    const char kind = s[1];
    std::size_t pos = 2;
    int w = 0, h = 0, maxval = 1;
    if (!Number(s, pos, w) || !Number(s, pos, h)) return img;
    if (kind != '4' && !Number(s, pos, maxval)) return img;
    ++pos;  // the single blank after the header
    img.Width = w;
    img.Height = h;
    img.Pixels.assign(std::size_t(w) * std::size_t(h) * 3, 0);
    const std::size_t rowBits = (std::size_t(w) + 7) / 8;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint32_t rgb = 0;
            if (kind == '4') {
                const std::size_t at = pos + std::size_t(y) * rowBits + std::size_t(x) / 8;
                if (at >= s.size()) return {};
                rgb = (static_cast<std::uint8_t>(s[at]) >> (7 - x % 8) & 1) ? 0 : 0xFFFFFF;
            } else if (kind == '5') {
                const std::size_t at = pos + std::size_t(y) * std::size_t(w) + std::size_t(x);
                if (at >= s.size()) return {};
                const std::uint32_t v =
                    static_cast<std::uint8_t>(s[at]) * 255u / std::uint32_t(maxval);
                rgb = v << 16 | v << 8 | v;
            } else if (kind == '6') {
                const std::size_t at = pos + (std::size_t(y) * std::size_t(w) + std::size_t(x)) * 3;
                if (at + 2 >= s.size()) return {};
                for (int c = 0; c < 3; ++c)
                    rgb = rgb << 8 | (static_cast<std::uint8_t>(s[at + std::size_t(c)]) * 255u /
                                      std::uint32_t(maxval));
            } else {
                return {};
            }
            img.Set(x, y, rgb);
        }
    return img;
}

std::string ToPpm(const RgbImage& image) {
    std::string out =
        "P6\n" + std::to_string(image.Width) + " " + std::to_string(image.Height) + "\n255\n";
    out.append(reinterpret_cast<const char*>(image.Pixels.data()), image.Pixels.size());
    return out;
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

std::vector<std::pair<int, int>> ReferenceLzw(const std::vector<int>& pixels, int minCodeSize) {
    // A plain dictionary coder: a Clear first, codes widen when the next free code no
    // longer fits, a Clear when the table is full.
    const int clear = 1 << minCodeSize, end = clear + 1;
    std::vector<std::pair<int, int>> out;
    std::map<std::pair<int, int>, int> table;
    int size = minCodeSize + 1, next = clear + 2;
    out.push_back({clear, size});
    int prefix = -1;
    for (int p : pixels) {
        if (prefix < 0) {
            prefix = p;
            continue;
        }
        auto it = table.find({prefix, p});
        if (it != table.end()) {
            prefix = it->second;
            continue;
        }
        out.push_back({prefix, size});
        if (next < 4096) {
            table[{prefix, p}] = next++;
            if (next > (1 << size) && size < 12) ++size;
        } else {
            out.push_back({clear, size});
            table.clear();
            size = minCodeSize + 1;
            next = clear + 2;
        }
        prefix = p;
    }
    if (prefix >= 0) out.push_back({prefix, size});
    out.push_back({end, size});
    return out;
}

std::string GifFile(int width, int height, const std::vector<std::uint32_t>& globalTable,
                    const std::string& blocks, const char* version) {
    std::string s = std::string("GIF") + version;
    auto word = [&s](int v) {
        s.push_back(char(v & 0xFF));
        s.push_back(char((v >> 8) & 0xFF));
    };
    word(width);
    word(height);
    if (globalTable.empty()) {
        s.push_back(0);
    } else {
        int bits = 1;
        while ((1u << bits) < globalTable.size()) ++bits;
        s.push_back(char(0x80 | (bits - 1) << 4 | (bits - 1)));
    }
    s.push_back(0);
    s.push_back(0);
    if (!globalTable.empty()) {
        std::size_t entries = 2;
        while (entries < globalTable.size()) entries *= 2;
        for (std::size_t i = 0; i < entries; ++i) {
            const std::uint32_t c = i < globalTable.size() ? globalTable[i] : 0;
            s.push_back(char(c >> 16));
            s.push_back(char(c >> 8));
            s.push_back(char(c));
        }
    }
    return s + blocks + ";";
}

std::string ImageBlock(int left, int top, int width, int height, std::uint8_t flags,
                       const std::string& localTable, int minCodeSize, const std::string& data) {
    std::string s = ",";
    for (int v : {left, top, width, height}) {
        s.push_back(char(v & 0xFF));
        s.push_back(char((v >> 8) & 0xFF));
    }
    s.push_back(char(flags));
    s += localTable;
    s.push_back(char(minCodeSize));
    return s + data;
}

std::string GraphicControl(std::uint8_t flags, int delay, int transparent) {
    std::string s = "\x21\xF9\x04";
    s.push_back(char(flags));
    s.push_back(char(delay & 0xFF));
    s.push_back(char(delay >> 8));
    s.push_back(char(transparent));
    s.push_back(0);
    return s;
}

}  // namespace qv::test

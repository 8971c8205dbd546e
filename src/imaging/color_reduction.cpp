#include "imaging/color_reduction.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qv {

const std::array<std::uint8_t, 4> kLevels4 = {0, 85, 170, 255};
const std::array<std::uint8_t, 6> kLevels6 = {0, 51, 102, 153, 204, 255};
const std::array<std::uint8_t, 7> kLevels7 = {0, 43, 85, 128, 170, 213, 255};
const std::array<std::uint8_t, 8> kLevels8 = {0, 36, 73, 109, 146, 182, 219, 255};

namespace {

template <std::size_t N>
std::array<std::uint8_t, 256> NearestTable(const std::array<std::uint8_t, N>& levels) {
    std::array<std::uint8_t, 256> t{};
    for (int v = 0; v < 256; ++v) {
        std::size_t best = 0;
        for (std::size_t i = 1; i < N; ++i)
            if (std::abs(v - levels[i]) < std::abs(v - levels[best])) best = i;
        t[std::size_t(v)] = std::uint8_t(best);
    }
    return t;
}

std::size_t Row24(std::size_t width) {
    return (3 * width + 3) & ~std::size_t(3);
}
std::size_t Row8(std::size_t width) {
    return (width + 3) & ~std::size_t(3);
}

// Runs a per-pixel converter over every row; x and y are the pixel's place in buffer order.
template <typename Convert>
void ConvertRows24(const BitmapInfoHeader& header, const std::uint8_t* source,
                   std::uint8_t* destination, Convert convert) {
    const std::size_t w = std::size_t(header.biWidth);
    const std::size_t h = std::size_t(std::abs(header.biHeight));
    const std::size_t srcRow = Row24(w), dstRow = Row8(w);
    for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* s = source + y * srcRow;
        std::uint8_t* d = destination + y * dstRow;
        for (std::size_t x = 0; x < w; ++x) {
            // blue, green, red
            const std::uint8_t b = s[3 * x], g = s[3 * x + 1], r = s[3 * x + 2];
            d[x] = convert(r, g, b, x, y);
        }
    }
}

void FillTable(ColorTable256& table, std::uint8_t value) {
    for (RGBQuad& q : table) q = {value, value, value, value};
}

}  // namespace

const NearestLevelTables& NearestLevels() {
    static const NearestLevelTables tables{NearestTable(kLevels4), NearestTable(kLevels6),
                                           NearestTable(kLevels7), NearestTable(kLevels8)};
    return tables;
}

void NotImplementedStop() {
    throw EAbort("Function not yet implemented");
}

std::size_t BytesPerRow(std::size_t width, int bits) {
    return ((width * std::size_t(bits) + 31) & ~std::size_t(31)) / 8;
}

void Fixed666Reduce(const BitmapInfoHeader& header, ColorTable256& table,
                    const std::uint8_t* source, std::uint8_t* destination) {
    FillTable(table, 128);
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                table[std::size_t(r * 36 + g * 6 + b)] = {kLevels6[b], kLevels6[g], kLevels6[r], 0};
    const auto& n = NearestLevels();
    ConvertRows24(header, source, destination,
                  [&](std::uint8_t r, std::uint8_t g, std::uint8_t b, std::size_t, std::size_t) {
                      return std::uint8_t(n.N6[r] * 36 + n.N6[g] * 6 + n.N6[b]);
                  });
}

void Fixed784Reduce(const BitmapInfoHeader& header, ColorTable256& table,
                    const std::uint8_t* source, std::uint8_t* destination) {
    FillTable(table, 128);
    for (int r = 0; r < 7; ++r)
        for (int g = 0; g < 8; ++g)
            for (int b = 0; b < 4; ++b)
                table[std::size_t(r * 32 + g * 4 + b)] = {kLevels4[b], kLevels8[g], kLevels7[r], 0};
    const auto& n = NearestLevels();
    ConvertRows24(header, source, destination,
                  [&](std::uint8_t r, std::uint8_t g, std::uint8_t b, std::size_t, std::size_t) {
                      return std::uint8_t(n.N7[r] * 32 + n.N8[g] * 4 + n.N4[b]);
                  });
}

void TripleReduce(const BitmapInfoHeader& header, ColorTable256& table, const std::uint8_t* source,
                  std::uint8_t* destination) {
    FillTable(table, 0);
    for (int i = 0; i < 64; ++i) {
        const auto v = std::uint8_t(4 * i);
        table[std::size_t(i)] = {0, 0, v, 0};
        table[std::size_t(64 + i)] = {0, v, 0, 0};
        table[std::size_t(128 + i)] = {v, 0, 0, 0};
    }
    ConvertRows24(header, source, destination,
                  [](std::uint8_t r, std::uint8_t g, std::uint8_t b, std::size_t x, std::size_t y) {
                      switch ((x + y) % 3) {
                          case 0:
                              return std::uint8_t(r >> 2);
                          case 1:
                              return std::uint8_t(64 + (g >> 2));
                          default:
                              return std::uint8_t(128 + (b >> 2));
                      }
                  });
}

void GrayReduce(const BitmapInfoHeader& header, ColorTable256& table, const std::uint8_t* source,
                std::uint8_t* destination) {
    for (int i = 0; i < 256; ++i)
        table[std::size_t(i)] = {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i), 0};
    ConvertRows24(header, source, destination,
                  [](std::uint8_t r, std::uint8_t g, std::uint8_t b, std::size_t, std::size_t) {
                      return std::uint8_t((77 * r + 150 * g + 29 * b) >> 8);
                  });
}

namespace {

// The frequency counter: up to 2049 masked colours in an open-addressing hash.
struct FrequencyCounter {
    static constexpr int kMaxEntries = 2049;
    static constexpr int kSlots = 5191;
    struct Entry {
        std::uint8_t b, g, r;
        std::uint32_t count;
        std::uint8_t index;
    };
    int count = 0;
    std::uint8_t rm = 0xFF, gm = 0xFF, bm = 0xFF;
    std::array<Entry, kMaxEntries> entries{};
    std::array<std::uint16_t, kSlots> slots{};

    void Reset() {
        count = 0;
        slots.fill(0xFFFF);
    }
    static int Hash(int r, int g, int b) { return ((r + g) * (g + b) * (b + r)) % kSlots; }
    // The slot of a masked colour: its entry, or the empty slot where it belongs.
    int Probe(std::uint8_t r, std::uint8_t g, std::uint8_t b) const {
        int slot = Hash(r, g, b);
        for (;;) {
            const std::uint16_t e = slots[std::size_t(slot)];
            if (e == 0xFFFF) return slot;
            const Entry& en = entries[e];
            if (en.r == r && en.g == g && en.b == b) return slot;
            slot = slot == kSlots - 1 ? 0 : slot + 1;
        }
    }
};

}  // namespace

void FrequencyReduce(const BitmapInfoHeader& header, ColorTable256& table,
                     const std::uint8_t* source, std::uint8_t redMask, std::uint8_t greenMask,
                     std::uint8_t blueMask, int colors, std::uint8_t* destination) {
    const std::size_t w = std::size_t(header.biWidth);
    const std::size_t h = std::size_t(std::abs(header.biHeight));
    const std::size_t srcRow = Row24(w), dstRow = Row8(w);
    auto counter = std::make_unique<FrequencyCounter>();
    FrequencyCounter& c = *counter;
    c.rm = redMask;
    c.gm = greenMask;
    c.bm = blueMask;
    for (;;) {
        c.Reset();
        bool failed = false;
        for (std::size_t y = 0; y < h && !failed; ++y) {
            const std::uint8_t* s = source + y * srcRow;
            for (std::size_t x = 0; x < w; ++x) {
                const std::uint8_t b = s[3 * x] & c.bm, g = s[3 * x + 1] & c.gm,
                                   r = s[3 * x + 2] & c.rm;
                const int slot = c.Probe(r, g, b);
                std::uint16_t& e = c.slots[std::size_t(slot)];
                if (e != 0xFFFF) {
                    ++c.entries[e].count;
                } else if (c.count == FrequencyCounter::kMaxEntries) {
                    failed = true;
                    break;
                } else {
                    c.entries[std::size_t(c.count)] = {b, g, r, 1, 0};
                    e = std::uint16_t(c.count++);
                }
            }
        }
        if (!failed) break;
        // Give up precision one bit at a time: blue, red, green, blue, ...
        if (c.rm < c.gm)
            c.gm = std::uint8_t(c.gm << 1);
        else if (c.rm <= c.bm)
            c.bm = std::uint8_t(c.bm << 1);
        else
            c.rm = std::uint8_t(c.rm << 1);
    }

    colors = std::clamp(colors, 0, 256);
    std::vector<bool> chosen(std::size_t(c.count), false);
    int i = 0;
    for (; i < colors && i < c.count; ++i) {
        int best = -1;
        for (int e = 0; e < c.count; ++e)
            if (!chosen[std::size_t(e)] &&
                (best < 0 || c.entries[std::size_t(e)].count > c.entries[std::size_t(best)].count))
                best = e;
        FrequencyCounter::Entry& en = c.entries[std::size_t(best)];
        chosen[std::size_t(best)] = true;
        en.index = std::uint8_t(i);
        en.count = 0;
        table[std::size_t(i)] = {en.b, en.g, en.r, 0};
    }
    for (int k = i; k < 256; ++k) table[std::size_t(k)] = {128, 128, 128, 0};
    const int searched = std::min(colors, 256);
    for (int e = 0; e < c.count; ++e) {
        if (chosen[std::size_t(e)]) continue;
        FrequencyCounter::Entry& en = c.entries[std::size_t(e)];
        long bestDistance = 196608;
        int best = 0;
        for (int k = 0; k < searched; ++k) {
            const RGBQuad& q = table[std::size_t(k)];
            const long d = long(q.rgbRed - en.r) * (q.rgbRed - en.r) +
                           long(q.rgbGreen - en.g) * (q.rgbGreen - en.g) +
                           long(q.rgbBlue - en.b) * (q.rgbBlue - en.b);
            if (d < bestDistance) {
                bestDistance = d;
                best = k;
            }
        }
        en.index = std::uint8_t(best);
    }
    for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* s = source + y * srcRow;
        std::uint8_t* d = destination + y * dstRow;
        for (std::size_t x = 0; x < w; ++x) {
            const std::uint8_t b = s[3 * x] & c.bm, g = s[3 * x + 1] & c.gm,
                               r = s[3 * x + 2] & c.rm;
            d[x] = c.entries[c.slots[std::size_t(c.Probe(r, g, b))]].index;
        }
    }
}

namespace {

struct Cell {
    std::uint8_t comp[3];  // red, green, blue, 4 bits each
    std::uint8_t index;
    std::uint32_t count;
    int next;  // next cell of the box, -1 at the end
};

struct Box {
    std::uint8_t low[3];
    std::uint8_t extent[3];
    int cells;
    std::uint64_t total;
    int first;
};

void SortCells(std::vector<int>& a, int lo, int hi, const std::vector<Cell>& cells, int c) {
    const int n = hi - lo + 1;
    if (n < 2) return;
    if (n < 8) {
        for (int k = lo + 1; k <= hi; ++k) {
            const int x = a[std::size_t(k)];
            int j = k;
            while (j > lo && cells[std::size_t(a[std::size_t(j - 1)])].comp[c] >=
                                 cells[std::size_t(x)].comp[c]) {
                a[std::size_t(j)] = a[std::size_t(j - 1)];
                --j;
            }
            a[std::size_t(j)] = x;
        }
        return;
    }
    const std::uint8_t pivot = cells[std::size_t(a[std::size_t(lo + n / 2)])].comp[c];
    int i = lo, j = hi;
    for (;;) {
        while (i < hi && cells[std::size_t(a[std::size_t(i)])].comp[c] < pivot) ++i;
        while (j > lo && cells[std::size_t(a[std::size_t(j)])].comp[c] > pivot) --j;
        if (j <= i) break;
        std::swap(a[std::size_t(i)], a[std::size_t(j)]);
        ++i;
    }
    SortCells(a, lo, i - 1, cells, c);
    SortCells(a, i, hi, cells, c);
}

}  // namespace

void MedianCutReduce(const BitmapInfoHeader& header, const std::uint8_t* source,
                     std::uint8_t* destination, ColorTable256& table, int& colors) {
    const std::size_t w = std::size_t(header.biWidth);
    const std::size_t h = std::size_t(std::abs(header.biHeight));
    const std::size_t srcRow = Row24(w);
    std::vector<Cell> cells(4096);
    for (int k = 0; k < 4096; ++k)
        cells[std::size_t(k)] = {
            {std::uint8_t(k >> 8), std::uint8_t((k >> 4) & 15), std::uint8_t(k & 15)}, 0, 0, -1};
    std::vector<std::uint16_t> keys(w * h);
    for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* s = source + y * srcRow;
        for (std::size_t x = 0; x < w; ++x) {
            const auto key =
                std::uint16_t((s[3 * x + 2] >> 4) << 8 | (s[3 * x + 1] >> 4) << 4 | s[3 * x] >> 4);
            ++cells[key].count;
            keys[y * w + x] = key;
        }
    }
    colors = std::clamp(colors, 0, 256);
    std::vector<Box> boxes(256);
    for (Box& b : boxes) b = {{0, 0, 0}, {255, 255, 255}, 0, 0, -1};
    int last = -1;
    for (int k = 0; k < 4096; ++k) {
        if (cells[std::size_t(k)].count == 0) continue;
        if (last < 0)
            boxes[0].first = k;
        else
            cells[std::size_t(last)].next = k;
        last = k;
        ++boxes[0].cells;
    }
    boxes[0].total = std::uint64_t(w) * h;
    int used = boxes[0].cells > 0 ? 1 : 0;
    std::vector<int> order;
    order.reserve(4096);
    while (used > 0 && used < colors) {
        int box = -1, comp = 0, best = -1;
        for (int b = 0; b < used; ++b) {
            if (boxes[std::size_t(b)].cells <= 1) continue;
            for (int c = 0; c < 3; ++c)
                if (boxes[std::size_t(b)].extent[c] > best) {
                    best = boxes[std::size_t(b)].extent[c];
                    box = b;
                    comp = c;
                }
        }
        if (box < 0) break;
        Box& old = boxes[std::size_t(box)];
        order.clear();
        for (int k = old.first; k >= 0; k = cells[std::size_t(k)].next) order.push_back(k);
        SortCells(order, 0, int(order.size()) - 1, cells, comp);
        for (std::size_t k = 0; k + 1 < order.size(); ++k)
            cells[std::size_t(order[k])].next = order[k + 1];
        cells[std::size_t(order.back())].next = -1;
        old.first = order[0];
        // The lower part takes cells while it stays within half of the pixels.
        std::uint64_t lowerSum = cells[std::size_t(order[0])].count;
        std::size_t lowerCells = 1;
        while (lowerCells < order.size() - 1 &&
               lowerSum + cells[std::size_t(order[lowerCells])].count <= old.total / 2) {
            lowerSum += cells[std::size_t(order[lowerCells])].count;
            ++lowerCells;
        }
        Box& upper = boxes[std::size_t(used)];
        upper = old;
        upper.first = order[lowerCells];
        upper.cells = int(order.size() - lowerCells);
        upper.total = old.total - lowerSum;
        upper.low[comp] = std::uint8_t(16 * cells[std::size_t(upper.first)].comp[comp]);
        upper.extent[comp] = std::uint8_t(old.low[comp] + old.extent[comp] - upper.low[comp]);
        cells[std::size_t(order[lowerCells - 1])].next = -1;
        old.extent[comp] =
            std::uint8_t(16 * cells[std::size_t(order[lowerCells - 1])].comp[comp] - old.low[comp]);
        old.cells = int(lowerCells);
        old.total = lowerSum;
        ++used;
    }
    for (int k = used; k < colors; ++k) table[std::size_t(k)] = {0, 0, 0, 0};
    for (int b = 0; b < used; ++b) {
        const Box& box = boxes[std::size_t(b)];
        if (box.cells == 0) continue;
        long sum[3] = {0, 0, 0};
        int n = 0;
        for (int k = box.first; k >= 0; k = cells[std::size_t(k)].next) {
            cells[std::size_t(k)].index = std::uint8_t(b);
            for (int c = 0; c < 3; ++c) sum[c] += cells[std::size_t(k)].comp[c];
            ++n;
        }
        std::uint8_t v[3];
        for (int c = 0; c < 3; ++c) v[c] = std::uint8_t((16 * sum[c] + 15) / n);
        table[std::size_t(b)] = v[0] <= 16 && v[1] <= 16 && v[2] <= 16
                                    ? RGBQuad{0, 0, 0, 0}
                                    : RGBQuad{v[2], v[1], v[0], 0};
    }
    const std::size_t dstRow = BytesPerScanline(w, 8);
    std::memset(destination, 0, dstRow * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            destination[y * dstRow + x] = cells[keys[y * w + x]].index;
    colors = used;
}

std::string BitmapToDIBMemory(const Bitmap& bitmap, const Palette* palette, PixelFormat format) {
    if (!bitmap.HandleAllocated()) throw EInvalidGraphic("Bitmap image is not valid");
    const int bits = BitsOf(format);
    if (bits <= 8 && bits > 0 && palette != nullptr && !palette->Empty()) {
        // The platform maps every colour to the given palette.
        Bitmap mapped(bitmap.Width(), bitmap.Height(), format);
        mapped.SetPalette(*palette);
        for (int y = 0; y < bitmap.Height(); ++y)
            for (int x = 0; x < bitmap.Width(); ++x) mapped.SetPixel(x, y, bitmap.Pixel(x, y));
        return mapped.SaveToBmp();
    }
    return bitmap.SaveToBmp(format);
}

std::unique_ptr<MemoryStream> ConvertBitmapPixelFormat(const Bitmap& bitmap, PixelFormat format,
                                                       TColorReduction method) {
    if (!bitmap.HandleAllocated()) throw EInvalidGraphic("Bitmap image is not valid");
    auto stream = std::make_unique<MemoryStream>();
    if (format == bitmap.GetPixelFormat() && method != MapGray) {
        stream->WriteString(bitmap.SaveToBmp());
        stream->SetPosition(0);
        return stream;
    }
    switch (format) {
        case PixelFormat::Pf1bit:
        case PixelFormat::Pf4bit: {
            const Palette palette = bitmap.GetPalette();
            stream->WriteString(BitmapToDIBMemory(bitmap, &palette, format));
            break;
        }
        case PixelFormat::Pf24bit:
            stream->WriteString(BitmapToDIBMemory(bitmap, nullptr, format));
            break;
        case PixelFormat::Pf8bit: {
            std::string dib = BitmapToDIBMemory(bitmap, nullptr, PixelFormat::Pf24bit);
            auto* p = reinterpret_cast<std::uint8_t*>(dib.data());
            const BitmapInfoHeader in = ReadInfoHeader(p + 14);
            if (in.biBitCount != 24) NotImplementedStop();
            const std::uint8_t* pixels24 = p + ReadFileHeader(p).bfOffBits;
            std::uint8_t* pixels = p + ReadFileHeader(p).bfOffBits;
            BitmapInfoHeader out = in;
            out.biBitCount = 8;
            out.biCompression = BI_RGB;
            out.biSizeImage = std::uint32_t(BytesPerRow(std::size_t(in.biWidth), 8) *
                                            std::size_t(std::abs(in.biHeight)));
            out.biClrUsed = 0;
            out.biClrImportant = 0;
            ColorTable256 table{};
            switch (method) {
                case MapByFrequency:
                    FrequencyReduce(in, table, pixels24, 0xFF, 0xFF, 0xFF, 256, pixels);
                    break;
                case MapMedianCut: {
                    int colors = 256;
                    MedianCutReduce(in, pixels24, pixels, table, colors);
                    out.biClrImportant = std::uint32_t(colors);
                    break;
                }
                case MapFixed784:
                    Fixed784Reduce(in, table, pixels24, pixels);
                    out.biClrImportant = 224;
                    break;
                case MapFixed666:
                    Fixed666Reduce(in, table, pixels24, pixels);
                    out.biClrImportant = 216;
                    break;
                case MapTriple:
                    TripleReduce(in, table, pixels24, pixels);
                    break;
                case MapGray:
                    GrayReduce(in, table, pixels24, pixels);
                    break;
                default:
                    NotImplementedStop();
            }
            const std::size_t infoSize = 40 + 4 * 256;
            std::string header(14 + infoSize, '\0');
            auto* h = reinterpret_cast<std::uint8_t*>(header.data());
            BitmapFileHeader fh;
            fh.bfSize = std::uint32_t(14 + infoSize + out.biSizeImage);
            fh.bfOffBits = std::uint32_t(14 + infoSize);
            WriteFileHeader(h, fh);
            WriteInfoHeader(h + 14, out);
            for (std::size_t i = 0; i < 256; ++i) std::memcpy(h + 54 + 4 * i, &table[i], 4);
            stream->WriteString(header);
            stream->WriteBuffer(pixels, out.biSizeImage);
            break;
        }
        default:
            NotImplementedStop();
    }
    stream->SetPosition(0);
    return stream;
}

}  // namespace qv

#include "imaging/bitmap.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_map>

#include "imaging/canvas.h"

namespace qv {

namespace {

std::atomic<std::size_t> g_maxPixels{std::size_t(1) << 28};  // 16384 x 16384

const char kInvalidBitmap[] = "Bitmap image is not valid";

std::uint16_t Get16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}
std::uint32_t Get32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}

std::vector<RGBQuad> DefaultTable(int bits) {
    std::vector<RGBQuad> t;
    if (bits == 1) {
        t = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    } else if (bits == 4) {
        static const Color kVga[16] = {0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080,
                                       0x808000, 0x808080, 0xC0C0C0, 0x0000FF, 0x00FF00, 0x00FFFF,
                                       0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};
        for (Color c : kVga) t.push_back({GetBValue(c), GetGValue(c), GetRValue(c), 0});
    } else if (bits == 8) {
        // A 6x6x6 cube and a grey ramp.
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    t.push_back(
                        {std::uint8_t(b * 51), std::uint8_t(g * 51), std::uint8_t(r * 51), 0});
        for (int i = 0; i < 40; ++i) {
            const auto v = std::uint8_t((i + 1) * 255 / 41);
            t.push_back({v, v, v, 0});
        }
    }
    return t;
}

// The shift and width of a contiguous bit mask (0, 0 for an empty one).
void MaskShape(std::uint32_t mask, int& shift, int& width) {
    shift = 0;
    width = 0;
    if (mask == 0) return;
    while (!(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    while (mask & 1) {
        mask >>= 1;
        ++width;
    }
}

std::uint8_t Expand(std::uint32_t value, int width) {
    if (width <= 0) return 0;
    if (width >= 8) return std::uint8_t(value >> (width - 8));
    // Scales a narrow field to the full 0..255 range.
    return std::uint8_t(value * 255u / ((1u << width) - 1u));
}

}  // namespace

int BitsOf(PixelFormat format) {
    switch (format) {
        case PixelFormat::Pf1bit:
            return 1;
        case PixelFormat::Pf4bit:
            return 4;
        case PixelFormat::Pf8bit:
            return 8;
        case PixelFormat::Pf15bit:
            return 16;
        case PixelFormat::Pf16bit:
            return 16;
        case PixelFormat::Pf24bit:
            return 24;
        case PixelFormat::Pf32bit:
            return 32;
        default:
            return 0;
    }
}

PixelFormat FormatOfBits(int bits) {
    switch (bits) {
        case 1:
            return PixelFormat::Pf1bit;
        case 4:
            return PixelFormat::Pf4bit;
        case 8:
            return PixelFormat::Pf8bit;
        case 15:
            return PixelFormat::Pf15bit;
        case 16:
            return PixelFormat::Pf16bit;
        case 24:
            return PixelFormat::Pf24bit;
        case 32:
            return PixelFormat::Pf32bit;
        default:
            return PixelFormat::Custom;
    }
}

std::size_t BytesPerScanline(std::size_t width, int bits) {
    return (width * std::size_t(bits) + 31) / 32 * 4;
}

std::size_t MaxBitmapPixels() {
    return g_maxPixels.load();
}
void SetMaxBitmapPixels(std::size_t pixels) {
    g_maxPixels.store(pixels);
}

void WriteFileHeader(std::uint8_t* out, const BitmapFileHeader& h) {
    Put16(out, h.bfType);
    Put32(out + 2, h.bfSize);
    Put16(out + 6, h.bfReserved1);
    Put16(out + 8, h.bfReserved2);
    Put32(out + 10, h.bfOffBits);
}

void WriteInfoHeader(std::uint8_t* out, const BitmapInfoHeader& h) {
    Put32(out, h.biSize);
    Put32(out + 4, std::uint32_t(h.biWidth));
    Put32(out + 8, std::uint32_t(h.biHeight));
    Put16(out + 12, h.biPlanes);
    Put16(out + 14, h.biBitCount);
    Put32(out + 16, h.biCompression);
    Put32(out + 20, h.biSizeImage);
    Put32(out + 24, std::uint32_t(h.biXPelsPerMeter));
    Put32(out + 28, std::uint32_t(h.biYPelsPerMeter));
    Put32(out + 32, h.biClrUsed);
    Put32(out + 36, h.biClrImportant);
}

BitmapFileHeader ReadFileHeader(const std::uint8_t* in) {
    BitmapFileHeader h;
    h.bfType = Get16(in);
    h.bfSize = Get32(in + 2);
    h.bfReserved1 = Get16(in + 6);
    h.bfReserved2 = Get16(in + 8);
    h.bfOffBits = Get32(in + 10);
    return h;
}

BitmapInfoHeader ReadInfoHeader(const std::uint8_t* in) {
    BitmapInfoHeader h;
    h.biSize = Get32(in);
    h.biWidth = std::int32_t(Get32(in + 4));
    h.biHeight = std::int32_t(Get32(in + 8));
    h.biPlanes = Get16(in + 12);
    h.biBitCount = Get16(in + 14);
    h.biCompression = Get32(in + 16);
    h.biSizeImage = Get32(in + 20);
    h.biXPelsPerMeter = std::int32_t(Get32(in + 24));
    h.biYPelsPerMeter = std::int32_t(Get32(in + 28));
    h.biClrUsed = Get32(in + 32);
    h.biClrImportant = Get32(in + 36);
    return h;
}

Bitmap::Bitmap(int width, int height, PixelFormat format) {
    Allocate(width, height, format);
}

Bitmap::~Bitmap() = default;

Bitmap::Bitmap(Bitmap&& other) noexcept
    : width_(other.width_),
      height_(other.height_),
      format_(other.format_),
      bits_(std::move(other.bits_)),
      colorTable_(std::move(other.colorTable_)),
      transparentColor_(other.transparentColor_) {
    transparent_ = other.transparent_;
    other.width_ = other.height_ = 0;
}

void Bitmap::Allocate(int width, int height, PixelFormat format) {
    if (format == PixelFormat::Device || format == PixelFormat::Custom)
        format = PixelFormat::Pf24bit;
    if (width < 0 || height < 0) throw EInvalidGraphic(kInvalidBitmap);
    if (width == 0 || height == 0) width = height = 0;
    if (height != 0 && std::size_t(width) > MaxBitmapPixels() / std::size_t(height))
        throw EInvalidGraphic("Bitmap is too large");
    std::vector<std::uint8_t> bits;
    try {
        bits.assign(BytesPerScanline(std::size_t(width), BitsOf(format)) * std::size_t(height), 0);
    } catch (const std::bad_alloc&) {
        throw EInvalidGraphic("Out of memory for bitmap");
    }
    bits_ = std::move(bits);
    width_ = width;
    height_ = height;
    const int bitCount = BitsOf(format);
    if (bitCount <= 8) {
        if (format_ != format || colorTable_.empty()) colorTable_ = DefaultTable(bitCount);
        colorTable_.resize(std::size_t(1) << bitCount);
    } else {
        colorTable_.clear();
    }
    format_ = format;
}

void Bitmap::SetSize(int width, int height) {
    if (width == width_ && height == height_) return;
    Bitmap old;
    old.width_ = width_;
    old.height_ = height_;
    old.format_ = format_;
    old.bits_ = std::move(bits_);
    old.colorTable_ = colorTable_;
    Allocate(width, height, format_);
    const std::size_t copy = std::min(RowBytes(), old.RowBytes());
    for (int y = 0; y < std::min(height_, old.height_); ++y)
        std::memcpy(ScanLine(y), old.ScanLine(y), copy);
    if (width_ < old.width_ && BitCount() < 8) {
        // Clear the bits of cut pixels that share the last byte.
        for (int y = 0; y < height_; ++y)
            for (int x = width_; x < int(RowBytes() * 8 / std::size_t(BitCount())); ++x)
                SetPixelValue(x, y, 0);
    }
    Changed();
}

std::uint8_t* Bitmap::ScanLine(int row) {
    if (row < 0 || row >= height_) throw EInvalidGraphic("Scan line index out of range");
    return bits_.data() + std::size_t(height_ - 1 - row) * RowBytes();
}

const std::uint8_t* Bitmap::ScanLine(int row) const {
    return const_cast<Bitmap*>(this)->ScanLine(row);
}

bool Bitmap::Monochrome() const {
    return format_ == PixelFormat::Pf1bit && colorTable_.size() == 2 &&
           colorTable_[0] == RGBQuad{0, 0, 0, 0} && colorTable_[1] == RGBQuad{255, 255, 255, 0};
}

void Bitmap::SetMonochrome(bool value) {
    if (value == Monochrome()) return;
    if (value) {
        Bitmap mono(width_, height_, PixelFormat::Pf1bit);
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x) mono.SetPixel(x, y, Pixel(x, y));
        bits_ = std::move(mono.bits_);
        colorTable_ = mono.colorTable_;
        format_ = PixelFormat::Pf1bit;
    } else {
        SetPixelFormat(PixelFormat::Pf24bit);
    }
    Changed();
}

void Bitmap::SetColorTable(const std::vector<RGBQuad>& table) {
    const int bits = BitCount();
    if (bits > 8) return;
    colorTable_ = table;
    colorTable_.resize(std::size_t(1) << bits);
    SetPaletteModified(true);
}

std::uint32_t Bitmap::PixelValue(int x, int y) const {
    const std::uint8_t* row = ScanLine(y);
    switch (format_) {
        case PixelFormat::Pf1bit:
            return (row[x >> 3] >> (7 - (x & 7))) & 1;
        case PixelFormat::Pf4bit:
            return (x & 1) ? row[x >> 1] & 15 : row[x >> 1] >> 4;
        case PixelFormat::Pf8bit:
            return row[x];
        case PixelFormat::Pf15bit:
        case PixelFormat::Pf16bit:
            return Get16(row + 2 * x);
        case PixelFormat::Pf24bit: {
            const std::uint8_t* p = row + 3 * std::size_t(x);
            return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16;
        }
        default:
            return Get32(row + 4 * std::size_t(x));
    }
}

void Bitmap::SetPixelValue(int x, int y, std::uint32_t value) {
    std::uint8_t* row = ScanLine(y);
    switch (format_) {
        case PixelFormat::Pf1bit: {
            const std::uint8_t bit = std::uint8_t(0x80 >> (x & 7));
            row[x >> 3] = (value & 1) ? row[x >> 3] | bit : row[x >> 3] & ~bit;
            break;
        }
        case PixelFormat::Pf4bit:
            if (x & 1)
                row[x >> 1] = std::uint8_t((row[x >> 1] & 0xF0) | (value & 15));
            else
                row[x >> 1] = std::uint8_t((row[x >> 1] & 0x0F) | (value & 15) << 4);
            break;
        case PixelFormat::Pf8bit:
            row[x] = std::uint8_t(value);
            break;
        case PixelFormat::Pf15bit:
        case PixelFormat::Pf16bit:
            Put16(row + 2 * x, std::uint16_t(value));
            break;
        case PixelFormat::Pf24bit: {
            std::uint8_t* p = row + 3 * std::size_t(x);
            p[0] = std::uint8_t(value);
            p[1] = std::uint8_t(value >> 8);
            p[2] = std::uint8_t(value >> 16);
            break;
        }
        default:
            Put32(row + 4 * std::size_t(x), value);
            break;
    }
}

Color Bitmap::Pixel(int x, int y) const {
    const std::uint32_t v = PixelValue(x, y);
    switch (format_) {
        case PixelFormat::Pf1bit:
        case PixelFormat::Pf4bit:
        case PixelFormat::Pf8bit: {
            if (v >= colorTable_.size()) return clBlack;
            const RGBQuad& q = colorTable_[v];
            return RGBColor(q.rgbRed, q.rgbGreen, q.rgbBlue);
        }
        case PixelFormat::Pf15bit:
            return RGBColor(Expand((v >> 10) & 31, 5), Expand((v >> 5) & 31, 5), Expand(v & 31, 5));
        case PixelFormat::Pf16bit:
            return RGBColor(Expand((v >> 11) & 31, 5), Expand((v >> 5) & 63, 6), Expand(v & 31, 5));
        default:
            return RGBColor(std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v));
    }
}

void Bitmap::SetPixel(int x, int y, Color color) {
    const Color c = ColorToRGB(color);
    const std::uint32_t r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
    switch (format_) {
        case PixelFormat::Pf1bit:
        case PixelFormat::Pf4bit:
        case PixelFormat::Pf8bit: {
            const int i = NearestColorIndex(colorTable_, c);
            SetPixelValue(x, y, std::uint32_t(std::max(i, 0)));
            break;
        }
        case PixelFormat::Pf15bit:
            SetPixelValue(x, y, (r >> 3) << 10 | (g >> 3) << 5 | b >> 3);
            break;
        case PixelFormat::Pf16bit:
            SetPixelValue(x, y, (r >> 3) << 11 | (g >> 2) << 5 | b >> 3);
            break;
        default:
            SetPixelValue(x, y, r << 16 | g << 8 | b);
            break;
    }
}

void Bitmap::SetPixelFormat(PixelFormat format) {
    if (format == PixelFormat::Device || format == PixelFormat::Custom)
        format = PixelFormat::Pf24bit;
    if (format == format_) return;
    Bitmap target;
    const int targetBits = BitsOf(format);
    if (targetBits <= 8) {
        // Keep the current colours where they fit, else a standard table.
        target.colorTable_ =
            colorTable_.size() > 0 && colorTable_.size() <= (std::size_t(1) << targetBits)
                ? colorTable_
                : DefaultTable(targetBits);
        target.format_ = format;
    }
    target.Allocate(width_, height_, format);
    if (targetBits <= 8 && BitCount() <= 8 && colorTable_.size() <= target.colorTable_.size()) {
        for (std::size_t i = 0; i < colorTable_.size(); ++i) target.colorTable_[i] = colorTable_[i];
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x) target.SetPixelValue(x, y, PixelValue(x, y));
    } else if (targetBits <= 8) {
        std::unordered_map<Color, std::uint32_t> cache;
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x) {
                const Color c = Pixel(x, y);
                auto it = cache.find(c);
                if (it == cache.end())
                    it = cache
                             .emplace(c, std::uint32_t(
                                             std::max(0, NearestColorIndex(target.colorTable_, c))))
                             .first;
                target.SetPixelValue(x, y, it->second);
            }
    } else {
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x) target.SetPixel(x, y, Pixel(x, y));
    }
    bits_ = std::move(target.bits_);
    colorTable_ = std::move(target.colorTable_);
    format_ = format;
    Changed();
}

Color Bitmap::TransparentColor() const {
    if (transparentColor_ == clDefault) return Empty() ? clBlack : Pixel(0, height_ - 1);
    return transparentColor_;
}

Canvas& Bitmap::GetCanvas() {
    if (!canvas_) canvas_ = std::make_unique<Canvas>(*this);
    return *canvas_;
}

void Bitmap::Assign(const Graphic* source) {
    if (source == this) return;
    if (source == nullptr) {
        width_ = height_ = 0;
        bits_.clear();
        Changed();
        return;
    }
    if (const auto* b = dynamic_cast<const Bitmap*>(source)) {
        width_ = b->width_;
        height_ = b->height_;
        format_ = b->format_;
        bits_ = b->bits_;
        colorTable_ = b->colorTable_;
        transparentColor_ = b->transparentColor_;
        transparent_ = b->transparent_;
        Changed();
        return;
    }
    Graphic::Assign(source);
}

void Bitmap::Draw(Canvas& canvas, const Rect& rect) {
    if (Empty()) return;
    const Rect src{0, 0, width_, height_};
    if (transparent_)
        canvas.CopyRectMasked(rect, *this, src, MaskFromColor(*this, TransparentColor()));
    else
        canvas.CopyRect(rect, *this, src);
}

void Bitmap::LoadFromStream(Stream& stream) {
    const std::int64_t left = stream.Remaining();
    if (left < 14) throw EInvalidGraphic(kInvalidBitmap);
    std::uint8_t fh[14];
    stream.ReadBuffer(fh, 14);
    const BitmapFileHeader file = ReadFileHeader(fh);
    if (file.bfType != 0x4D42) throw EInvalidGraphic(kInvalidBitmap);
    // The rest of the image is as long as the header says, or what the stream holds.
    std::size_t size = std::size_t(left);
    if (file.bfSize >= 14 && file.bfSize < size) size = file.bfSize;
    std::string bytes(size, '\0');
    std::memcpy(bytes.data(), fh, 14);
    stream.ReadBuffer(bytes.data() + 14, size - 14);
    LoadFromBmp(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void Bitmap::LoadFromBmp(const std::uint8_t* data, std::size_t size) {
    if (size < 14 + 12 || data[0] != 'B' || data[1] != 'M') throw EInvalidGraphic(kInvalidBitmap);
    const BitmapFileHeader file = ReadFileHeader(data);
    const std::uint8_t* info = data + 14;
    const std::size_t infoRoom = size - 14;
    const std::uint32_t infoSize = Get32(info);
    int width, height, bits;
    std::uint32_t compression = BI_RGB, clrUsed = 0;
    std::size_t entrySize = 4;
    std::uint32_t masks[3] = {0, 0, 0};
    bool hasMasks = false;
    if (infoSize == 12) {  // OS/2 core header
        width = Get16(info + 4);
        height = Get16(info + 6);
        bits = Get16(info + 10);
        entrySize = 3;
    } else if (infoSize >= 40 && infoSize <= infoRoom) {
        const BitmapInfoHeader h = ReadInfoHeader(info);
        if (h.biWidth < 0 || h.biHeight == std::numeric_limits<std::int32_t>::min())
            throw EInvalidGraphic(kInvalidBitmap);
        width = h.biWidth;
        height = h.biHeight;
        bits = h.biBitCount;
        compression = h.biCompression;
        clrUsed = h.biClrUsed;
        if (compression == BI_BITFIELDS) {
            // Masks follow a 40-byte header, or sit inside a longer one.
            const std::size_t at = 40;
            if (infoSize >= 52) {
                for (int i = 0; i < 3; ++i) masks[i] = Get32(info + at + 4 * i);
                hasMasks = true;
            } else if (14 + 40 + 12 <= size) {
                for (int i = 0; i < 3; ++i) masks[i] = Get32(info + at + 4 * i);
                hasMasks = true;
            }
        }
    } else {
        throw EInvalidGraphic(kInvalidBitmap);
    }
    if (infoSize > infoRoom) throw EInvalidGraphic(kInvalidBitmap);
    const bool topDown = height < 0;
    if (topDown) height = -height;
    const bool indexed = bits == 1 || bits == 4 || bits == 8;
    if (!indexed && bits != 16 && bits != 24 && bits != 32) throw EInvalidGraphic(kInvalidBitmap);
    if (compression != BI_RGB &&
        !(compression == BI_BITFIELDS && (bits == 16 || bits == 32) && hasMasks))
        throw EInvalidGraphic(kInvalidBitmap);

    // Colour table: after the information header (and the masks of a 40-byte one).
    std::size_t tableAt = 14 + std::size_t(infoSize);
    if (compression == BI_BITFIELDS && infoSize == 40) tableAt += 12;
    std::vector<RGBQuad> table;
    if (indexed) {
        std::size_t count = std::size_t(1) << bits;
        if (clrUsed != 0 && clrUsed < count) count = clrUsed;
        if (tableAt > size || (size - tableAt) / entrySize < count)
            throw EInvalidGraphic(kInvalidBitmap);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* e = data + tableAt + i * entrySize;
            table.push_back({e[0], e[1], e[2], 0});
        }
        tableAt += count * entrySize;
    }
    const std::size_t offset = file.bfOffBits != 0 ? file.bfOffBits : tableAt;
    if (width == 0 || height == 0) {
        width_ = height_ = 0;
        bits_.clear();
        Changed();
        return;
    }
    const std::size_t rowBytes = BytesPerScanline(std::size_t(width), bits);
    if (offset > size || (size - offset) / rowBytes < std::size_t(height))
        throw EInvalidGraphic(kInvalidBitmap);
    if (std::size_t(width) > MaxBitmapPixels() / std::size_t(height))
        throw EInvalidGraphic("Bitmap is too large");

    PixelFormat format = FormatOfBits(bits);
    int shifts[3] = {0, 0, 0}, widths[3] = {0, 0, 0};
    bool convert = false;
    if (bits == 16) {
        format = PixelFormat::Pf15bit;
        if (compression == BI_BITFIELDS) {
            if (masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x001F)
                format = PixelFormat::Pf16bit;
            else if (!(masks[0] == 0x7C00 && masks[1] == 0x03E0 && masks[2] == 0x001F))
                convert = true;
        }
    } else if (bits == 32 && compression == BI_BITFIELDS &&
               !(masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF)) {
        convert = true;
    }
    if (convert) {
        for (int i = 0; i < 3; ++i) MaskShape(masks[i], shifts[i], widths[i]);
        format = PixelFormat::Pf24bit;
    }

    Bitmap loaded;
    loaded.format_ = format;
    if (indexed) loaded.colorTable_ = table;
    loaded.Allocate(width, height, format);
    if (indexed) {
        for (std::size_t i = 0; i < table.size(); ++i) loaded.colorTable_[i] = table[i];
    }
    for (int y = 0; y < height; ++y) {
        const std::size_t fileRow = topDown ? std::size_t(y) : std::size_t(height - 1 - y);
        const std::uint8_t* src = data + offset + fileRow * rowBytes;
        if (!convert) {
            std::memcpy(loaded.ScanLine(y), src, loaded.RowBytes());
            continue;
        }
        for (int x = 0; x < width; ++x) {
            const std::uint32_t v =
                bits == 16 ? Get16(src + 2 * x) : Get32(src + 4 * std::size_t(x));
            std::uint8_t c[3];
            for (int i = 0; i < 3; ++i) c[i] = Expand((v & masks[i]) >> shifts[i], widths[i]);
            loaded.SetPixel(x, y, RGBColor(c[0], c[1], c[2]));
        }
    }
    width_ = loaded.width_;
    height_ = loaded.height_;
    format_ = loaded.format_;
    bits_ = std::move(loaded.bits_);
    colorTable_ = std::move(loaded.colorTable_);
    SetPaletteModified(indexed);
    Changed();
}

std::string Bitmap::SaveToBmp() const {
    return SaveToBmp(format_);
}

std::string Bitmap::SaveToBmp(PixelFormat format) const {
    if (format == PixelFormat::Device || format == PixelFormat::Custom) format = format_;
    const Bitmap* source = this;
    Bitmap converted;
    if (format != format_) {
        converted.Assign(this);
        converted.SetPixelFormat(format);
        source = &converted;
    }
    const int bits = BitsOf(format);
    const std::size_t tableEntries = bits <= 8 ? std::size_t(1) << bits : 0;
    const bool fields = format == PixelFormat::Pf16bit;
    const std::size_t infoSize = 40 + (fields ? 12 : 0) + 4 * tableEntries;
    const std::size_t image = source->bits_.size();
    std::string out(14 + infoSize + image, '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(out.data());
    BitmapFileHeader fh;
    fh.bfSize = std::uint32_t(out.size());
    fh.bfOffBits = std::uint32_t(14 + infoSize);
    WriteFileHeader(p, fh);
    BitmapInfoHeader ih;
    ih.biWidth = source->width_;
    ih.biHeight = source->height_;
    ih.biBitCount = std::uint16_t(bits);
    ih.biCompression = fields ? BI_BITFIELDS : BI_RGB;
    ih.biSizeImage = std::uint32_t(image);
    WriteInfoHeader(p + 14, ih);
    std::uint8_t* q = p + 54;
    if (fields) {
        Put32(q, 0xF800);
        Put32(q + 4, 0x07E0);
        Put32(q + 8, 0x001F);
        q += 12;
    }
    for (std::size_t i = 0; i < tableEntries; ++i) {
        const RGBQuad e = i < source->colorTable_.size() ? source->colorTable_[i] : RGBQuad{};
        q[4 * i] = e.rgbBlue;
        q[4 * i + 1] = e.rgbGreen;
        q[4 * i + 2] = e.rgbRed;
        q[4 * i + 3] = 0;
    }
    q += 4 * tableEntries;
    if (image) std::memcpy(q, source->bits_.data(), image);
    return out;
}

void Bitmap::SaveToStream(Stream& stream) {
    stream.WriteString(SaveToBmp());
}

void Bitmap::LoadFromClipboardFormat(const ClipboardData& data) {
    if (data.Bitmap.empty()) throw EInvalidGraphic("Unsupported clipboard format");
    LoadFromBmp(reinterpret_cast<const std::uint8_t*>(data.Bitmap.data()), data.Bitmap.size());
}

void Bitmap::SaveToClipboardFormat(ClipboardData& data) {
    data.Bitmap = SaveToBmp();
}

}  // namespace qv

#pragma once
// The device-independent bitmap every codec hands around: 1, 4 or 8 bits per pixel with
// a colour table of up to 256 entries, or 24 / 32 bits (blue, green, red[, unused]);
// 15 and 16 bits are kept as read so that they can be converted. Rows are stored as a
// BMP image stores them (padded to 4 bytes); ScanLine(0) is the top row.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/canvas.h"
#include "imaging/graphic.h"
#include "imaging/palette.h"

namespace qv {

enum class PixelFormat {
    Device,
    Pf1bit,
    Pf4bit,
    Pf8bit,
    Pf15bit,
    Pf16bit,
    Pf24bit,
    Pf32bit,
    Custom
};

int BitsOf(PixelFormat format);      // Device and Custom give 0
PixelFormat FormatOfBits(int bits);  // unknown counts give Custom

// Bytes of one padded row: ((width x bits + 31) div 32) x 4, in size_t.
std::size_t BytesPerScanline(std::size_t width, int bits);

// Largest pixel count a bitmap may hold (width x height); larger ones raise
// EInvalidGraphic "Bitmap is too large". Settable so a caller can lower it.
std::size_t MaxBitmapPixels();
void SetMaxBitmapPixels(std::size_t pixels);

constexpr std::uint32_t BI_RGB = 0;
constexpr std::uint32_t BI_BITFIELDS = 3;

struct BitmapFileHeader {           // 14 bytes on file
    std::uint16_t bfType = 0x4D42;  // "BM"
    std::uint32_t bfSize = 0;
    std::uint16_t bfReserved1 = 0, bfReserved2 = 0;
    std::uint32_t bfOffBits = 0;
};

struct BitmapInfoHeader {  // 40 bytes on file
    std::uint32_t biSize = 40;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::uint16_t biPlanes = 1;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = BI_RGB;
    std::uint32_t biSizeImage = 0;
    std::int32_t biXPelsPerMeter = 0, biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 0, biClrImportant = 0;
};

// Little-endian serialisation of the two headers (exactly 14 and 40 bytes).
void WriteFileHeader(std::uint8_t* out, const BitmapFileHeader& h);
void WriteInfoHeader(std::uint8_t* out, const BitmapInfoHeader& h);
BitmapFileHeader ReadFileHeader(const std::uint8_t* in);
BitmapInfoHeader ReadInfoHeader(const std::uint8_t* in);

class Bitmap : public Graphic {
  public:
    Bitmap() = default;
    Bitmap(int width, int height, PixelFormat format);
    ~Bitmap() override;
    // Moves the pixels and colours; event handlers and the canvas stay behind.
    Bitmap(Bitmap&& other) noexcept;

    std::string ClassName() const override { return "TBitmap"; }
    std::unique_ptr<Graphic> NewInstance() const override { return std::make_unique<Bitmap>(); }

    void Assign(const Graphic* source) override;
    void Draw(Canvas& canvas, const Rect& rect) override;
    bool Empty() const override { return width_ == 0 || height_ == 0; }
    int Width() override { return width_; }
    int Height() override { return height_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetWidth(int width) override { SetSize(width, height_); }
    void SetHeight(int height) override { SetSize(width_, height); }
    // Keeps the pixels that fit (top-left anchored); new pixels are 0.
    void SetSize(int width, int height);
    bool Transparent() override { return transparent_; }

    // Pixels exist (the platform's "has a handle").
    bool HandleAllocated() const { return !Empty(); }

    PixelFormat GetPixelFormat() const { return format_; }
    int BitCount() const { return BitsOf(format_); }
    // Converts the pixels; an indexed target maps every colour to its nearest entry of the
    // current colour table (or a standard table when there is none yet).
    void SetPixelFormat(PixelFormat format);
    // A 1-bit bitmap whose table is black and white.
    bool Monochrome() const;
    void SetMonochrome(bool value);

    std::size_t RowBytes() const { return BytesPerScanline(std::size_t(width_), BitCount()); }
    std::uint8_t* ScanLine(int row);
    const std::uint8_t* ScanLine(int row) const;
    // All rows, bottom row first, as in a BMP image.
    const std::vector<std::uint8_t>& Bits() const { return bits_; }
    std::vector<std::uint8_t>& Bits() { return bits_; }

    // The colour table of an indexed bitmap: 2^bits entries.
    const std::vector<RGBQuad>& ColorTable() const { return colorTable_; }
    void SetColorTable(const std::vector<RGBQuad>& table);  // resized to 2^bits
    Palette GetPalette() const { return Palette::FromColorTable(colorTable_); }
    void SetPalette(const Palette& palette) { SetColorTable(palette.ToColorTable()); }

    // The colour of a pixel as RGB, and setting one (nearest entry for indexed formats).
    Color Pixel(int x, int y) const;
    void SetPixel(int x, int y, Color color);
    // The raw value of a pixel: the index for 1, 4 and 8 bits, else the packed bytes.
    std::uint32_t PixelValue(int x, int y) const;
    void SetPixelValue(int x, int y, std::uint32_t value);

    // Transparent colour: clDefault means the bottom-left pixel's colour.
    Color TransparentColor() const;
    void SetTransparentColor(Color color) { transparentColor_ = color; }

    Canvas& GetCanvas();

    // BMP image in memory (file header first).
    void LoadFromStream(Stream& stream) override;
    void SaveToStream(Stream& stream) override;
    void LoadFromBmp(const std::uint8_t* data, std::size_t size);
    std::string SaveToBmp() const;
    // The BMP image of this bitmap in another pixel format (1, 4, 8, 24 or 32 bits).
    std::string SaveToBmp(PixelFormat format) const;

    void LoadFromClipboardFormat(const ClipboardData& data) override;
    void SaveToClipboardFormat(ClipboardData& data) override;

  private:
    void Allocate(int width, int height, PixelFormat format);

    int width_ = 0, height_ = 0;
    PixelFormat format_ = PixelFormat::Pf24bit;
    std::vector<std::uint8_t> bits_;
    std::vector<RGBQuad> colorTable_;
    Color transparentColor_ = clDefault;
    std::unique_ptr<Canvas> canvas_;
};

}  // namespace qv

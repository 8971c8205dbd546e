#pragma once
// The header, palette, transparency, gamma and ancillary chunks of a PNG image.
// The header also owns the in-memory picture: a bitmap (1, 4, 8 or 24 bits per
// pixel) with its palette, and an alpha plane for the colour types with alpha.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/palette.h"
#include "imaging/png_chunk.h"

namespace qv {

// Colour types of the header.
enum PngColorType : uint8_t {
    COLOR_GRAYSCALE = 0,
    COLOR_RGB = 2,
    COLOR_PALETTE = 3,
    COLOR_GRAYSCALEALPHA = 4,
    COLOR_RGBALPHA = 6,
};

// True for the fifteen colour type / bit depth pairs a PNG image may have.
bool ValidPngFormat(uint8_t colorType, uint8_t bitDepth);
// Bits per pixel of the in-memory bitmap (1, 4, 8 or 24); 0 for an invalid pair.
int InMemoryBits(uint8_t colorType, uint8_t bitDepth);

class TChunkIHDR : public TChunk {
  public:
    explicit TChunkIHDR(TPNGPicture* owner);
    ~TChunkIHDR() override;
    static std::string GetName() { return "IHDR"; }
    std::unique_ptr<TChunk> NewInstance(TPNGPicture* owner) const override {
        return std::make_unique<TChunkIHDR>(owner);
    }

    void Assign(const TChunk& source) override;
    bool LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) override;
    bool SaveToStream(Stream& stream) override;

    // Builds the in-memory picture for the current header fields, all pixels 0.
    // EPNGOutMemory when it cannot be had.
    void PrepareImageData();
    void FreeImageData();
    // Copies up to 256 entries of palette into the bitmap's colour table.
    void CopyPaletteToTable(const Palette& palette);

    bool HasImage() const { return bitmap_ != nullptr; }
    // The bitmap that holds the pixels; an empty one when there is none.
    Bitmap& BitmapData();
    // Image row y of the bitmap (top row 0); nullptr outside the image.
    uint8_t* Scanline(uint32_t y);
    // Alpha row y (colour types 4 and 6), nullptr otherwise.
    uint8_t* AlphaScanline(uint32_t y);

    uint32_t Width = 0, Height = 0;
    uint8_t BitDepth = 0, ColorType = 0, CompressionMethod = 0, FilterMethod = 0,
            InterlaceMethod = 0;
    uint32_t RowStride = 0;
    int BitsPerPixel = 0;  // of the bitmap
    bool UsesPalette = false;
    Palette PaletteHandle;           // the bitmap's palette when UsesPalette
    uint32_t ColorsUsed = 0;         // entries of the colour table in use
    std::vector<uint8_t> AlphaData;  // Width x Height, rows top-down
    // Non-zero where the file's own samples equal the transparency key, Width x
    // Height, rows top-down: after gamma or with 16-bit samples the bitmap alone
    // no longer tells the key apart. Empty when the bitmap is enough.
    std::vector<uint8_t> KeyMask;

  private:
    std::unique_ptr<Bitmap> bitmap_;
};

class TChunkPLTE : public TChunk {
  public:
    explicit TChunkPLTE(TPNGPicture* owner) : TChunk(owner) { Name = GetName(); }
    static std::string GetName() { return "PLTE"; }
    std::unique_ptr<TChunk> NewInstance(TPNGPicture* owner) const override {
        return std::make_unique<TChunkPLTE>(owner);
    }
    void Assign(const TChunk& source) override;
    bool LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) override;
    bool SaveToStream(Stream& stream) override;

    // The colour of palette entry index (taken as a byte); EPngError 64969 past Count.
    RGBQuad Entry(int index) const;

    int32_t Count = 0;
};

class TChunktRNS : public TChunk {
  public:
    explicit TChunktRNS(TPNGPicture* owner);
    static std::string GetName() { return "tRNS"; }
    std::unique_ptr<TChunk> NewInstance(TPNGPicture* owner) const override {
        return std::make_unique<TChunktRNS>(owner);
    }
    void Assign(const TChunk& source) override;
    bool LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) override;
    bool SaveToStream(Stream& stream) override;

    // The fully transparent colour ($00BBGGRR) as the bitmap shows it; 0 when none.
    Color GetKeyColour() const;
    // Makes colour the one transparent colour of the image.
    void SetKeyColour(Color colour);
    // Palette images: the index of the transparent entry, -1 when none.
    int KeyIndex() const;
    // Grey images: the in-memory bitmap index of the key sample.
    int KeyGreyIndex() const;

    bool KeyedTransparency = false;
    std::array<uint8_t, 256> AlphaValues{};
};

class TChunkgAMA : public TChunk {
  public:
    explicit TChunkgAMA(TPNGPicture* owner);
    static std::string GetName() { return "gAMA"; }
    std::unique_ptr<TChunk> NewInstance(TPNGPicture* owner) const override {
        return std::make_unique<TChunkgAMA>(owner);
    }
    void Assign(const TChunk& source) override;
    bool LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) override;

    // Gamma times 100000, kept in Data.
    uint32_t Gamma();
    void SetGamma(uint32_t value);
};

class TChunktIME : public TChunk {
  public:
    explicit TChunktIME(TPNGPicture* owner) : TChunk(owner) { Name = GetName(); }
    static std::string GetName() { return "tIME"; }
    std::unique_ptr<TChunk> NewInstance(TPNGPicture* owner) const override {
        return std::make_unique<TChunktIME>(owner);
    }
    void Assign(const TChunk& source) override;
    bool LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) override;
    bool SaveToStream(Stream& stream) override;

    uint16_t Year = 0;
    uint8_t Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};

class TChunktEXt : public TChunk {
  public:
    explicit TChunktEXt(TPNGPicture* owner) : TChunk(owner) { Name = GetName(); }
    static std::string GetName() { return "tEXt"; }
    std::unique_ptr<TChunk> NewInstance(TPNGPicture* owner) const override {
        return std::make_unique<TChunktEXt>(owner);
    }
    void Assign(const TChunk& source) override;
    bool LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) override;
    bool SaveToStream(Stream& stream) override;

    std::string Keyword, Text;
};

class TChunkzTXt : public TChunktEXt {
  public:
    explicit TChunkzTXt(TPNGPicture* owner) : TChunktEXt(owner) { Name = GetName(); }
    static std::string GetName() { return "zTXt"; }
    std::unique_ptr<TChunk> NewInstance(TPNGPicture* owner) const override {
        return std::make_unique<TChunkzTXt>(owner);
    }
    bool LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) override;
    bool SaveToStream(Stream& stream) override;
};

class TChunkpHYs : public TChunk {
  public:
    explicit TChunkpHYs(TPNGPicture* owner) : TChunk(owner) { Name = GetName(); }
    static std::string GetName() { return "pHYs"; }
    std::unique_ptr<TChunk> NewInstance(TPNGPicture* owner) const override {
        return std::make_unique<TChunkpHYs>(owner);
    }
    void Assign(const TChunk& source) override;
    bool LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) override;
    bool SaveToStream(Stream& stream) override;

    uint32_t PixelsPerUnitX = 0, PixelsPerUnitY = 0;
    uint8_t UnitSpecifier = 0;
};

class TChunkIEND : public TChunk {
  public:
    explicit TChunkIEND(TPNGPicture* owner) : TChunk(owner) { Name = GetName(); }
    static std::string GetName() { return "IEND"; }
    std::unique_ptr<TChunk> NewInstance(TPNGPicture* owner) const override {
        return std::make_unique<TChunkIEND>(owner);
    }
};

// The grey ramp of 2^depth entries (16 counting as 8), each level through gamma.
Palette GreyRamp(int depth, const std::array<uint8_t, 256>& gamma);

}  // namespace qv

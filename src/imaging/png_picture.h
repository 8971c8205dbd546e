#pragma once
// The PNG picture: reads a file into its chunk list (the header owning the
// bitmap), writes the list back, draws with key-colour or per-pixel
// transparency, converts to and from bitmaps, and offers palette, pixel,
// scanline and resize operations. Registered as "PNG".

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "imaging/bitmap.h"
#include "imaging/canvas.h"
#include "imaging/graphic.h"
#include "imaging/palette.h"
#include "imaging/picture_registry.h"
#include "imaging/png_chunk.h"
#include "imaging/png_chunks.h"
#include "imaging/png_errors.h"

namespace qv {

enum TPNGTransparencyKind { tkNone, tkKeyColour, tkPartial };

// Row filter types; a filter set has bit n for type n.
enum PngFilter : uint8_t { pfNone = 0, pfSub = 1, pfUp = 2, pfAverage = 3, pfPaeth = 4 };
constexpr uint8_t FilterBit(PngFilter f) {
    return uint8_t(1u << f);
}
constexpr uint8_t kAllFilters = 0x1F;

class TPNGPicture : public Graphic {
  public:
    TPNGPicture();
    ~TPNGPicture() override;

    static constexpr uint32_t kMinIdatChunkSize = 65535;

    std::string ClassName() const override { return "TPNGPicture"; }
    std::unique_ptr<Graphic> NewInstance() const override {
        return std::make_unique<TPNGPicture>();
    }

    void Assign(const Graphic* source) override;
    void AssignTo(Graphic& dest) const override;
    void Draw(Canvas& canvas, const Rect& rect) override;
    bool Empty() const override { return chunks_.Count() == 0; }
    int Width() override;
    int Height() override;
    void SetWidth(int width) override;
    void SetHeight(int height) override;
    bool Transparent() override;

    void LoadFromStream(Stream& stream) override;
    void SaveToStream(Stream& stream) override;
    void LoadFromClipboardFormat(const ClipboardData& data) override;
    void SaveToClipboardFormat(ClipboardData& data) override;

    // The header's palette (requires the header).
    Palette GetPalette();
    void SetPalette(const Palette& palette) { ReplacePalette(palette, true); }
    // Puts palette in the header when the bitmap keeps one; with updateTable the
    // colour table follows it.
    void ReplacePalette(const Palette& palette, bool updateTable);

    // The colour at (x, y) as shown; 0 outside the image.
    Color Pixels(int x, int y);
    // Sets the colour at (x, y); nothing outside the image. Alpha is kept.
    void SetPixels(int x, int y, Color colour);

    TPNGTransparencyKind TransparencyKind();
    Color TransparentColour();

    void ResetChunks();
    bool HasHeader() const;
    TChunkIHDR& RequireHeader();
    void ScanlineInfo(uint32_t& rowBytes, uint32_t& pixelOffset) const;
    // Image row y of the bitmap and of the alpha plane (requires the header).
    uint8_t* Scanline(int y);
    uint8_t* AlphaScanline(int y);

    // Makes the image from a bitmap: palette images below 16 bits per pixel, RGB
    // otherwise; with transparent, keyColour becomes the transparent colour.
    void ImportBitmap(const Bitmap& bitmap, bool transparent, Color keyColour);
    void CopyFromPNG(const TPNGPicture& source);
    // Top-left anchored; new pixels 0, new alpha opaque.
    void ResizeImage(int cx, int cy);

    // Draws on the picture's own bitmap.
    Canvas& GetCanvas();

    TPNGList& Chunks() { return chunks_; }
    const TPNGList& Chunks() const { return chunks_; }

    uint32_t IdatChunkSize() const { return idatChunkSize_; }
    void SetIdatChunkSize(uint32_t value) {
        idatChunkSize_ = value < kMinIdatChunkSize ? kMinIdatChunkSize : value;
    }

    std::array<uint8_t, 256> GammaTable{};         // sample to displayed value
    std::array<uint8_t, 256> InverseGammaTable{};  // displayed value to sample
    uint8_t FilterSet = FilterBit(pfSub);
    uint8_t DeflateLevel = 7;
    uint8_t InterlaceMethod = 0;

  private:
    void DrawBlended(Canvas& canvas, const Rect& rect);
    void LoadChunks(Stream& stream);

    TPNGList chunks_;
    uint32_t idatChunkSize_ = kMinIdatChunkSize;
    Bitmap emptyBitmap_;
};

// The in-memory bitmap format a PNG image converts to.
PixelFormat BitmapFormatFor(TPNGPicture& picture);

// Registers the picture type with the registry: extension "PNG", "Portable
// Network Graphics".
void RegisterPngPicture(PictureRegistry& registry);
void UnregisterPngPicture(PictureRegistry& registry);

}  // namespace qv

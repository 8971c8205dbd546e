#pragma once
// Drawing onto a bitmap: fills, pixel access, nearest-neighbour stretched copies and
// transparent copies through a mask. Colours written into an indexed bitmap take the
// nearest entry of its colour table.

#include <cstdint>
#include <vector>

#include "imaging/graphic.h"

namespace qv {

class Bitmap;

// One byte per source pixel, rows top-down; non-zero marks a transparent pixel.
struct TransparencyMask {
    int Width = 0, Height = 0;
    std::vector<std::uint8_t> Bits;
    bool At(int x, int y) const {
        return Bits[std::size_t(y) * std::size_t(Width) + std::size_t(x)] != 0;
    }
};

// Pixels whose colour equals color (RGB) are transparent.
TransparencyMask MaskFromColor(const Bitmap& bitmap, Color color);
// Pixels of an indexed bitmap whose index equals index are transparent (duplicate colours in
// the table are told apart).
TransparencyMask MaskFromIndex(const Bitmap& bitmap, std::uint32_t index);

class Canvas {
  public:
    explicit Canvas(Bitmap& target) : target_(&target) {}

    Bitmap& Target() { return *target_; }
    Color BrushColor() const { return brushColor_; }
    void SetBrushColor(Color color) { brushColor_ = color; }

    void FillRect(const Rect& rect);  // with the brush colour, clipped
    Color Pixel(int x, int y) const;  // clNone outside the bitmap
    void SetPixel(int x, int y, Color color);
    // The colour the target can show nearest to color (indexed targets: a table entry).
    Color NearestColor(Color color) const;

    // Draws a picture into rect through its own Draw.
    void StretchDraw(const Rect& rect, Graphic& graphic);
    void Draw(int x, int y, Graphic& graphic);

    // Nearest-neighbour copy of source's srcRect into dest (both clipped to their bitmaps).
    void CopyRect(const Rect& dest, const Bitmap& source, const Rect& srcRect);
    // The same, leaving the destination where the mask marks the source pixel transparent.
    void CopyRectMasked(const Rect& dest, const Bitmap& source, const Rect& srcRect,
                        const TransparencyMask& mask);

  private:
    Bitmap* target_;
    Color brushColor_ = clWhite;
};

}  // namespace qv

#include "imaging/canvas.h"

#include <algorithm>

#include "imaging/bitmap.h"

namespace qv {

TransparencyMask MaskFromColor(const Bitmap& bitmap, Color color) {
    TransparencyMask mask{bitmap.Width(), bitmap.Height(), {}};
    mask.Bits.assign(std::size_t(mask.Width) * std::size_t(mask.Height), 0);
    const Color key = ColorToRGB(color);
    for (int y = 0; y < mask.Height; ++y)
        for (int x = 0; x < mask.Width; ++x)
            mask.Bits[std::size_t(y) * std::size_t(mask.Width) + std::size_t(x)] =
                bitmap.Pixel(x, y) == key;
    return mask;
}

TransparencyMask MaskFromIndex(const Bitmap& bitmap, std::uint32_t index) {
    TransparencyMask mask{bitmap.Width(), bitmap.Height(), {}};
    mask.Bits.assign(std::size_t(mask.Width) * std::size_t(mask.Height), 0);
    if (bitmap.BitCount() > 8) return mask;
    for (int y = 0; y < mask.Height; ++y)
        for (int x = 0; x < mask.Width; ++x)
            mask.Bits[std::size_t(y) * std::size_t(mask.Width) + std::size_t(x)] =
                bitmap.PixelValue(x, y) == index;
    return mask;
}

void Canvas::FillRect(const Rect& rect) {
    const int x0 = std::max(rect.Left, 0), y0 = std::max(rect.Top, 0);
    const int x1 = std::min(rect.Right, target_->Width()),
              y1 = std::min(rect.Bottom, target_->Height());
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) target_->SetPixel(x, y, brushColor_);
}

Color Canvas::Pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= target_->Width() || y >= target_->Height()) return clNone;
    return target_->Pixel(x, y);
}

void Canvas::SetPixel(int x, int y, Color color) {
    if (x < 0 || y < 0 || x >= target_->Width() || y >= target_->Height()) return;
    target_->SetPixel(x, y, color);
}

Color Canvas::NearestColor(Color color) const {
    const Color c = ColorToRGB(color);
    if (target_->BitCount() > 8) return c;
    const int i = NearestColorIndex(target_->ColorTable(), c);
    if (i < 0) return c;
    const RGBQuad& q = target_->ColorTable()[std::size_t(i)];
    return RGBColor(q.rgbRed, q.rgbGreen, q.rgbBlue);
}

void Canvas::StretchDraw(const Rect& rect, Graphic& graphic) {
    graphic.Draw(*this, rect);
}

void Canvas::Draw(int x, int y, Graphic& graphic) {
    graphic.Draw(*this, Rect{x, y, x + graphic.Width(), y + graphic.Height()});
}

namespace {

// Nearest-neighbour walk over the destination rectangle; a mirrored rectangle (right
// before left) flips the picture as the platform's stretch does.
template <typename Put>
void Stretch(Bitmap& target, const Rect& dest, const Bitmap& source, const Rect& srcRect, Put put) {
    const int dw = dest.Width(), dh = dest.Height();
    const int sw = srcRect.Width(), sh = srcRect.Height();
    if (dw == 0 || dh == 0 || sw == 0 || sh == 0) return;
    const int adw = std::abs(dw), adh = std::abs(dh), asw = std::abs(sw), ash = std::abs(sh);
    for (int j = 0; j < adh; ++j) {
        const int ty = dh > 0 ? dest.Top + j : dest.Top - 1 - j;
        if (ty < 0 || ty >= target.Height()) continue;
        const long sj = long(j) * ash / adh;
        const int sy = sh > 0 ? srcRect.Top + int(sj) : srcRect.Top - 1 - int(sj);
        if (sy < 0 || sy >= source.Height()) continue;
        for (int i = 0; i < adw; ++i) {
            const int tx = dw > 0 ? dest.Left + i : dest.Left - 1 - i;
            if (tx < 0 || tx >= target.Width()) continue;
            const long si = long(i) * asw / adw;
            const int sx = sw > 0 ? srcRect.Left + int(si) : srcRect.Left - 1 - int(si);
            if (sx < 0 || sx >= source.Width()) continue;
            put(tx, ty, sx, sy);
        }
    }
}

}  // namespace

void Canvas::CopyRect(const Rect& dest, const Bitmap& source, const Rect& srcRect) {
    Bitmap& target = *target_;
    // Same indexed layout and table: indexes move as they are.
    const bool sameTable = source.BitCount() <= 8 &&
                           source.GetPixelFormat() == target.GetPixelFormat() &&
                           source.ColorTable() == target.ColorTable();
    Stretch(target, dest, source, srcRect, [&](int tx, int ty, int sx, int sy) {
        if (sameTable)
            target.SetPixelValue(tx, ty, source.PixelValue(sx, sy));
        else
            target.SetPixel(tx, ty, source.Pixel(sx, sy));
    });
}

void Canvas::CopyRectMasked(const Rect& dest, const Bitmap& source, const Rect& srcRect,
                            const TransparencyMask& mask) {
    Bitmap& target = *target_;
    const bool sameTable = source.BitCount() <= 8 &&
                           source.GetPixelFormat() == target.GetPixelFormat() &&
                           source.ColorTable() == target.ColorTable();
    Stretch(target, dest, source, srcRect, [&](int tx, int ty, int sx, int sy) {
        if (sx < mask.Width && sy < mask.Height && mask.At(sx, sy)) return;
        if (sameTable)
            target.SetPixelValue(tx, ty, source.PixelValue(sx, sy));
        else
            target.SetPixel(tx, ty, source.Pixel(sx, sy));
    });
}

}  // namespace qv

#include "imaging/png_picture.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "imaging/png_idat.h"
#include "imaging/png_zlib.h"

namespace qv {

namespace {

const uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// The value of pixel x in a packed row of bits per pixel (1, 4 or 8).
inline uint32_t PackedValue(const uint8_t* row, uint32_t x, uint32_t bits) {
    uint32_t at = x * bits;
    return (row[at / 8] >> (8 - bits - at % 8)) & ((1u << bits) - 1);
}

inline Color QuadColour(const std::vector<RGBQuad>& table, uint32_t index) {
    if (index >= table.size()) return 0;
    const auto& q = table[index];
    return RGBColor(q.rgbRed, q.rgbGreen, q.rgbBlue);
}

// A chunk we may write back: a type of four letters, and, when we do not
// understand it, one a reader may skip (left from a load that failed on it).
bool Writable(const TChunk& c) {
    if (c.Name.size() != 4) return false;
    for (char ch : c.Name)
        if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'))) return false;
    return typeid(c) != typeid(TChunk) || (c.Name[0] & 0x20) != 0;
}

}  // namespace

TPNGPicture::TPNGPicture() : chunks_(this) {
    ResetChunks();
}

TPNGPicture::~TPNGPicture() {
    chunks_.Clear();
}

void TPNGPicture::ResetChunks() {
    for (int i = 0; i < 256; ++i) {
        GammaTable[size_t(i)] = uint8_t(i);
        InverseGammaTable[size_t(i)] = uint8_t(i);
    }
    chunks_.Clear();
}

bool TPNGPicture::HasHeader() const {
    return chunks_.Count() > 0 && dynamic_cast<TChunkIHDR*>(chunks_.Item(0)) != nullptr;
}

TChunkIHDR& TPNGPicture::RequireHeader() {
    auto h = chunks_.Count() > 0 ? dynamic_cast<TChunkIHDR*>(chunks_.Item(0)) : nullptr;
    // A header whose own loading failed holds no picture and counts as none.
    if (!h || !h->HasImage()) RaisePngError<EPNGHeaderNotPresent>(PNG_MSG_HEADER_NOT_PRESENT);
    return *h;
}

void TPNGPicture::ScanlineInfo(uint32_t& rowBytes, uint32_t& pixelOffset) const {
    rowBytes = pixelOffset = 0;
    if (!HasHeader()) return;
    auto& h = static_cast<const TChunkIHDR&>(*chunks_.Item(0));
    rowBytes = PngRowBytes(h.ColorType, h.BitDepth, h.Width);
    pixelOffset = PngPixelOffset(h.ColorType, h.BitDepth);
}

int TPNGPicture::Width() {
    if (!HasHeader()) return 0;
    auto& h = static_cast<TChunkIHDR&>(*chunks_.Item(0));
    return h.HasImage() ? int(h.Width) : 0;
}

int TPNGPicture::Height() {
    if (!HasHeader()) return 0;
    auto& h = static_cast<TChunkIHDR&>(*chunks_.Item(0));
    return h.HasImage() ? int(h.Height) : 0;
}

void TPNGPicture::SetWidth(int width) {
    ResizeImage(width, Height());
}
void TPNGPicture::SetHeight(int height) {
    ResizeImage(Width(), height);
}

bool TPNGPicture::Transparent() {
    return TransparencyKind() != tkNone;
}

Palette TPNGPicture::GetPalette() {
    return RequireHeader().PaletteHandle;
}

void TPNGPicture::ReplacePalette(const Palette& palette, bool updateTable) {
    if (!HasHeader()) return;
    auto& h = static_cast<TChunkIHDR&>(*chunks_.Item(0));
    if (!h.UsesPalette || !h.HasImage()) return;
    if (updateTable) h.CopyPaletteToTable(palette);
    h.PaletteHandle = palette;
}

uint8_t* TPNGPicture::Scanline(int y) {
    TChunkIHDR& h = RequireHeader();
    return y < 0 ? nullptr : h.Scanline(uint32_t(y));
}

uint8_t* TPNGPicture::AlphaScanline(int y) {
    TChunkIHDR& h = RequireHeader();
    return y < 0 ? nullptr : h.AlphaScanline(uint32_t(y));
}

Canvas& TPNGPicture::GetCanvas() {
    if (HasHeader()) {
        auto& h = static_cast<TChunkIHDR&>(*chunks_.Item(0));
        if (h.HasImage()) return h.BitmapData().GetCanvas();
    }
    return emptyBitmap_.GetCanvas();
}

TPNGTransparencyKind TPNGPicture::TransparencyKind() {
    TChunkIHDR& h = RequireHeader();
    auto trns = chunks_.FindChunk<TChunktRNS>();
    switch (h.ColorType) {
        case COLOR_GRAYSCALE:
        case COLOR_RGB:
            return trns ? tkKeyColour : tkNone;
        case COLOR_PALETTE:
            if (!trns) return tkNone;
            return trns->KeyedTransparency ? tkKeyColour : tkPartial;
        case COLOR_GRAYSCALEALPHA:
        case COLOR_RGBALPHA:
            return tkPartial;
        default:
            return tkNone;
    }
}

Color TPNGPicture::TransparentColour() {
    auto trns = chunks_.FindChunk<TChunktRNS>();
    return trns ? trns->GetKeyColour() : 0;
}

// ---- loading and saving ----

void TPNGPicture::LoadFromStream(Stream& stream) {
    try {
        LoadChunks(stream);
    } catch (const std::bad_alloc&) {
        RaisePngError<EPNGOutMemory>(PNG_MSG_OUT_MEMORY);
    } catch (const std::length_error&) {
        RaisePngError<EPNGOutMemory>(PNG_MSG_OUT_MEMORY);
    }
}

void TPNGPicture::LoadChunks(Stream& stream) {
    ResetChunks();
    uint8_t signature[8];
    if (stream.Read(signature, 8) != 8 || std::memcmp(signature, kSignature, 8) != 0)
        RaisePngError<EPNGInvalidFileHeader>(PNG_MSG_INVALID_FILE_HEADER);
    bool hasData = false;
    for (;;) {
        uint8_t head[8];
        size_t got = stream.Read(head, 8);
        if (got < 8) RaisePngError<EPngUnexpectedEnd>(PNG_MSG_UNEXPECTED_END);
        uint32_t length = ReadBE32(head);
        std::string type(reinterpret_cast<char*>(head + 4), 4);
        bool first = chunks_.Count() == 0;
        if (first && type != "IHDR") RaisePngError<EPNGIHDRNotFirst>(PNG_MSG_IHDR_NOT_FIRST);
        // One image has one header; a second would rebuild the picture under the data.
        if (!first && type == "IHDR") RaisePngError<EPngInvalidIHDR>(PNG_MSG_INVALID_IHDR);
        if ((hasData && type == "IDAT") || type == "cHRM") {
            stream.Seek(int64_t(length) + 4, SeekOrigin::Current);
            continue;
        }
        if (type == "IDAT") hasData = true;
        std::unique_ptr<TChunk> chunk = CreateChunkForType(this, type);
        const TChunk& made = *chunk;
        bool plain = typeid(made) == typeid(TChunk);
        TChunk* kept = chunks_.Add(std::move(chunk));
        if (plain && (head[4] & 0x20) == 0)
            RaisePngError<EPNGUnknownCriticalChunk>(PNG_MSG_UNKNOWN_CRITICAL_CHUNK);
        if (!kept->LoadFromStream(stream, type, length)) break;
        if (type == "IEND") break;
    }
    if (!hasData) RaisePngError<EPNGNoImageData>(PNG_MSG_NO_IMAGE_DATA);
}

void TPNGPicture::SaveToStream(Stream& stream) {
    // An image without a picture has nothing a PNG file could hold.
    TChunkIHDR& header = RequireHeader();
    stream.WriteBuffer(kSignature, 8);
    header.SaveToStream(stream);
    bool palette = false, data = false;
    auto writePalette = [&] {
        TChunkPLTE plte(this);
        palette = plte.SaveToStream(stream);
    };
    for (uint32_t i = 1; i < chunks_.Count(); ++i) {
        TChunk* c = chunks_.Item(i);
        if (!c || !Writable(*c) || dynamic_cast<TChunkIHDR*>(c) || dynamic_cast<TChunkIEND*>(c))
            continue;
        if (dynamic_cast<TChunkIDAT*>(c)) {
            if (data) continue;
            if (header.ColorType == COLOR_PALETTE && !palette) writePalette();
            c->SaveToStream(stream);
            data = true;
        } else if (dynamic_cast<TChunkPLTE*>(c)) {
            // One palette per file, even when the list holds another after the data.
            if (!palette) palette = c->SaveToStream(stream);
        } else {
            c->SaveToStream(stream);
        }
    }
    // A partly loaded image still makes a whole file: its data and its end.
    if (!data) {
        if (header.ColorType == COLOR_PALETTE && !palette) writePalette();
        TChunkIDAT(this).SaveToStream(stream);
    }
    TChunkIEND(this).SaveToStream(stream);
}

// ---- drawing ----

void TPNGPicture::Draw(Canvas& canvas, const Rect& rect) {
    if (Empty() || Width() <= 0 || Height() <= 0) return;
    TChunkIHDR& h = RequireHeader();
    Bitmap& bmp = h.BitmapData();
    Rect source{0, 0, int(h.Width), int(h.Height)};
    switch (TransparencyKind()) {
        case tkKeyColour: {
            auto trns = chunks_.FindChunk<TChunktRNS>();
            TransparencyMask mask;
            if (h.ColorType == COLOR_PALETTE) {
                int index = trns->KeyIndex();
                mask = index < 0 ? TransparencyMask{int(h.Width), int(h.Height),
                                                    std::vector<uint8_t>(bmp.Bits().size(), 0)}
                                 : MaskFromIndex(bmp, uint32_t(index));
            } else if (h.ColorType == COLOR_GRAYSCALE) {
                mask = MaskFromIndex(bmp, uint32_t(trns->KeyGreyIndex()));
            } else {
                mask = MaskFromColor(bmp, trns->GetKeyColour());
            }
            // Only pixels whose samples in the file were the key; a pixel drawn over
            // since then must also still show the key colour.
            if (h.KeyMask.size() == mask.Bits.size())
                for (size_t i = 0; i < mask.Bits.size(); ++i) mask.Bits[i] &= h.KeyMask[i];
            canvas.CopyRectMasked(rect, bmp, source, mask);
            break;
        }
        case tkPartial:
            DrawBlended(canvas, rect);
            break;
        case tkNone:
            canvas.CopyRect(rect, bmp, source);
            break;
    }
}

void TPNGPicture::DrawBlended(Canvas& canvas, const Rect& r) {
    TChunkIHDR& h = RequireHeader();
    Rect rect{std::min(r.Left, r.Right), std::min(r.Top, r.Bottom), std::max(r.Left, r.Right),
              std::max(r.Top, r.Bottom)};
    const int64_t w = rect.Width(), hgt = rect.Height();
    if (w == 0 || hgt == 0 || h.Width == 0 || h.Height == 0) return;
    Bitmap& target = canvas.Target();
    const int tw = target.Width(), th = target.Height();
    const auto& table = h.BitmapData().ColorTable();
    auto trns = chunks_.FindChunk<TChunktRNS>();
    const int bits = h.BitsPerPixel;
    for (int64_t i = 0; i < hgt; ++i) {
        const int64_t y = rect.Top + i;
        if (y < 0 || y >= th) continue;
        const uint32_t sy = uint32_t(std::min<int64_t>(i * h.Height / hgt, h.Height - 1));
        const uint8_t* row = h.Scanline(sy);
        const uint8_t* alpha = h.AlphaScanline(sy);
        for (int64_t j = 0; j < w; ++j) {
            const int64_t x = rect.Left + j;
            if (x < 0 || x >= tw) continue;
            const uint32_t sx = uint32_t(std::min<int64_t>(j * h.Width / w, h.Width - 1));
            Color src;
            uint32_t a;
            if (bits == 24) {
                const uint8_t* p = row + 3 * sx;
                src = RGBColor(p[2], p[1], p[0]);
                a = alpha ? alpha[sx] : 255;
                if (a == 0) continue;
            } else if (h.ColorType != COLOR_GRAYSCALEALPHA) {
                uint32_t index = PackedValue(row, sx, uint32_t(bits));
                src = QuadColour(table, index);
                a = trns ? trns->AlphaValues[index & 0xFF] : 255;
            } else {
                uint8_t g = row[sx];
                src = RGBColor(g, g, g);
                a = alpha ? alpha[sx] : 255;
            }
            Color old = canvas.Pixel(int(x), int(y));
            auto mix = [&](uint8_t s, uint8_t o) {
                return uint8_t((s * a + 255 + (255 - a) * o) >> 8);
            };
            canvas.SetPixel(
                int(x), int(y),
                RGBColor(mix(GetRValue(src), GetRValue(old)), mix(GetGValue(src), GetGValue(old)),
                         mix(GetBValue(src), GetBValue(old))));
        }
    }
}

// ---- pixels ----

Color TPNGPicture::Pixels(int x, int y) {
    if (x < 0 || y < 0 || x >= Width() || y >= Height()) return 0;
    TChunkIHDR& h = RequireHeader();
    const uint8_t* row = h.Scanline(uint32_t(y));
    switch (h.ColorType) {
        case COLOR_GRAYSCALE: {
            const uint32_t d = uint32_t(h.BitsPerPixel);
            uint32_t v = PackedValue(row, uint32_t(x), d);
            uint32_t level = d == 1 ? v * 255 : (v * ((1u << d) + 1)) & 0xFF;
            uint8_t g = GammaTable[level];
            return RGBColor(g, g, g);
        }
        case COLOR_PALETTE:
            // The palette already holds the colours as shown.
            return QuadColour(h.BitmapData().ColorTable(),
                              PackedValue(row, uint32_t(x), uint32_t(h.BitsPerPixel)));
        case COLOR_GRAYSCALEALPHA:
            return RGBColor(row[x], row[x], row[x]);
        case COLOR_RGB:
        case COLOR_RGBALPHA: {
            const uint8_t* p = row + 3 * x;
            return RGBColor(p[2], p[1], p[0]);
        }
        default:
            return 0;
    }
}

void TPNGPicture::SetPixels(int x, int y, Color colour) {
    if (x < 0 || y < 0 || x >= Width() || y >= Height()) return;
    TChunkIHDR& h = RequireHeader();
    uint8_t* row = h.Scanline(uint32_t(y));
    colour = ColorToRGB(colour);
    switch (h.ColorType) {
        case COLOR_GRAYSCALE:
        case COLOR_PALETTE: {
            int index = h.PaletteHandle.NearestIndex(colour);
            if (index < 0) return;
            const uint32_t d = uint32_t(h.BitsPerPixel), mask = (1u << d) - 1;
            const uint32_t at = uint32_t(x) * d, shift = 8 - d - at % 8;
            row[at / 8] =
                uint8_t((row[at / 8] & ~(mask << shift)) | ((uint32_t(index) & mask) << shift));
            break;
        }
        case COLOR_GRAYSCALEALPHA:
            row[x] = GetRValue(colour);
            break;
        case COLOR_RGB:
        case COLOR_RGBALPHA: {
            uint8_t* p = row + 3 * x;
            p[0] = GetBValue(colour);
            p[1] = GetGValue(colour);
            p[2] = GetRValue(colour);
            break;
        }
        default:
            break;
    }
}

// ---- conversions ----

void TPNGPicture::ImportBitmap(const Bitmap& source, bool transparent, Color keyColour) {
    const Bitmap* bmp = &source;
    Bitmap converted;
    int bits = source.BitCount();
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24) {
        converted.Assign(&source);
        converted.SetPixelFormat(PixelFormat::Pf24bit);
        bmp = &converted;
        bits = 24;
    }
    ResetChunks();
    auto header = std::make_unique<TChunkIHDR>(this);
    header->Width = uint32_t(std::max(bmp->Width(), 0));
    header->Height = uint32_t(std::max(bmp->Height(), 0));
    if (bits < 16) {
        header->BitDepth = uint8_t(bits);
        header->ColorType = COLOR_PALETTE;
    } else {
        header->BitDepth = 8;
        header->ColorType = COLOR_RGB;
    }
    header->CompressionMethod = 0;
    header->InterlaceMethod = 0;
    TChunkIHDR& h = static_cast<TChunkIHDR&>(*chunks_.Add(std::move(header)));
    h.PrepareImageData();
    if (h.Width > 0 && h.Height > 0) {
        const size_t n = std::min<size_t>(h.RowStride, bmp->RowBytes());
        for (uint32_t y = 0; y < h.Height; ++y)
            std::memcpy(h.Scanline(y), bmp->ScanLine(int(y)), n);
    }
    if (h.UsesPalette) {
        auto plte = std::make_unique<TChunkPLTE>(this);
        plte->Count = 1 << bits;
        std::vector<RGBQuad> table = bmp->ColorTable();
        table.resize(size_t(plte->Count));
        h.BitmapData().SetColorTable(table);
        h.ColorsUsed = uint32_t(plte->Count);
        ReplacePalette(Palette::FromColorTable(table), false);
        chunks_.Add(std::move(plte));
    }
    TChunktRNS* trns = nullptr;
    if (transparent)
        trns = static_cast<TChunktRNS*>(chunks_.Add(std::make_unique<TChunktRNS>(this)));
    chunks_.Add(std::make_unique<TChunkIDAT>(this));
    chunks_.Add(std::make_unique<TChunkIEND>(this));
    if (trns) trns->SetKeyColour(ColorToRGB(keyColour));
}

void TPNGPicture::CopyFromPNG(const TPNGPicture& source) {
    if (&source == this) return;
    InterlaceMethod = source.InterlaceMethod;
    SetIdatChunkSize(source.IdatChunkSize());
    DeflateLevel = source.DeflateLevel;
    FilterSet = source.FilterSet;
    ResetChunks();
    for (uint32_t i = 0; i < source.chunks_.Count(); ++i) {
        const TChunk* src = source.chunks_.Item(i);
        if (!src) continue;
        TChunk* copy = chunks_.Add(src->NewInstance(this));
        copy->Assign(*src);
    }
}

void TPNGPicture::ResizeImage(int cx, int cy) {
    if (cx <= 0 || cy <= 0 || cx > 65535 || cy > 65535)
        RaisePngError<EPNGInvalidNewSize>(PNG_MSG_INVALID_NEW_SIZE);
    TChunkIHDR& h = RequireHeader();
    if (size_t(cx) * size_t(cy) > MaxBitmapPixels())
        RaisePngError<EPNGOutMemory>(PNG_MSG_OUT_MEMORY);
    // A plane of one byte per pixel, top-left anchored, new pixels fill.
    auto regrow = [&](const std::vector<uint8_t>& old, uint8_t fill) {
        std::vector<uint8_t> plane(size_t(cx) * size_t(cy), fill);
        const uint32_t rows = std::min<uint32_t>(uint32_t(cy), h.Height);
        const uint32_t cols = std::min<uint32_t>(uint32_t(cx), h.Width);
        for (uint32_t y = 0; y < rows && cols > 0 && !old.empty(); ++y)
            std::memcpy(plane.data() + size_t(y) * size_t(cx), old.data() + size_t(y) * h.Width,
                        cols);
        return plane;
    };
    try {
        std::vector<uint8_t> alpha, key;
        if (!h.AlphaData.empty() || h.ColorType == COLOR_GRAYSCALEALPHA ||
            h.ColorType == COLOR_RGBALPHA)
            alpha = regrow(h.AlphaData, 255);
        if (!h.KeyMask.empty()) key = regrow(h.KeyMask, 0);
        h.BitmapData().SetSize(cx, cy);
        h.AlphaData = std::move(alpha);
        h.KeyMask = std::move(key);
    } catch (const std::bad_alloc&) {
        RaisePngError<EPNGOutMemory>(PNG_MSG_OUT_MEMORY);
    } catch (const EInvalidGraphic&) {
        RaisePngError<EPNGOutMemory>(PNG_MSG_OUT_MEMORY);
    }
    h.Width = uint32_t(cx);
    h.Height = uint32_t(cy);
    h.RowStride = uint32_t(BytesPerScanline(h.Width, h.BitsPerPixel));
}

PixelFormat BitmapFormatFor(TPNGPicture& picture) {
    TChunkIHDR& h = picture.RequireHeader();
    if (picture.TransparencyKind() == tkPartial) return PixelFormat::Pf24bit;
    switch (h.BitDepth) {
        case 1:
            return PixelFormat::Pf1bit;
        case 2:
        case 4:
            return PixelFormat::Pf4bit;
        case 8:
        case 16:
            if (h.ColorType == COLOR_GRAYSCALE || h.ColorType == COLOR_RGB)
                return PixelFormat::Pf24bit;
            if (h.ColorType == COLOR_PALETTE) return PixelFormat::Pf8bit;
            break;
        default:
            break;
    }
    throw std::runtime_error("");
}

void TPNGPicture::Assign(const Graphic* source) {
    if (!source) {
        ResetChunks();
        return;
    }
    if (auto png = dynamic_cast<const TPNGPicture*>(source)) {
        CopyFromPNG(*png);
        return;
    }
    if (auto bmp = dynamic_cast<const Bitmap*>(source)) {
        auto& b = const_cast<Bitmap&>(*bmp);
        bool transparent = b.Transparent();
        ImportBitmap(*bmp, transparent, transparent ? ColorToRGB(bmp->TransparentColor()) : 0);
        return;
    }
    Graphic::Assign(source);
}

void TPNGPicture::AssignTo(Graphic& dest) const {
    auto& self = const_cast<TPNGPicture&>(*this);
    if (auto png = dynamic_cast<TPNGPicture*>(&dest)) {
        png->CopyFromPNG(*this);
        return;
    }
    auto bmp = dynamic_cast<Bitmap*>(&dest);
    if (bmp && self.HasHeader() && static_cast<TChunkIHDR*>(chunks_.Item(0))->HasImage()) {
        TChunkIHDR& h = self.RequireHeader();
        PixelFormat format = BitmapFormatFor(self);
        TPNGTransparencyKind kind = self.TransparencyKind();
        if (kind == tkPartial) {
            // Partly transparent pixels are blended over the new bitmap's own pixels.
            Bitmap fresh(int(h.Width), int(h.Height), PixelFormat::Pf24bit);
            self.Draw(fresh.GetCanvas(), Rect{0, 0, int(h.Width), int(h.Height)});
            bmp->Assign(&fresh);
        } else {
            // The pixels themselves, so that no colour is lost to drawing.
            bmp->Assign(&h.BitmapData());
            if (bmp->GetPixelFormat() != format) bmp->SetPixelFormat(format);
        }
        if (kind == tkKeyColour) {
            bmp->SetTransparentColor(self.TransparentColour());
            bmp->SetTransparent(true);
        }
        return;
    }
    Graphic::AssignTo(dest);
}

void TPNGPicture::SaveToClipboardFormat(ClipboardData& data) {
    Bitmap bmp(Width(), Height(), PixelFormat::Pf24bit);
    Draw(bmp.GetCanvas(), Rect{0, 0, Width(), Height()});
    bmp.SaveToClipboardFormat(data);
}

void TPNGPicture::LoadFromClipboardFormat(const ClipboardData& data) {
    Bitmap bmp;
    bmp.LoadFromClipboardFormat(data);
    ImportBitmap(bmp, false, 0);
}

void RegisterPngPicture(PictureRegistry& registry) {
    registry.RegisterFileFormat("PNG", "Portable Network Graphics", "TPNGPicture",
                                [] { return std::make_unique<TPNGPicture>(); });
}

void UnregisterPngPicture(PictureRegistry& registry) {
    registry.UnregisterGraphicClass("TPNGPicture");
}

}  // namespace qv

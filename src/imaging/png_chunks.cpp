#include "imaging/png_chunks.h"

#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

#include "imaging/png_errors.h"
#include "imaging/png_picture.h"
#include "imaging/png_zlib.h"

namespace qv {

bool ValidPngFormat(uint8_t colorType, uint8_t bitDepth) {
    switch (colorType) {
        case COLOR_GRAYSCALE:
            return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8 ||
                   bitDepth == 16;
        case COLOR_PALETTE:
            return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8;
        case COLOR_RGB:
        case COLOR_GRAYSCALEALPHA:
        case COLOR_RGBALPHA:
            return bitDepth == 8 || bitDepth == 16;
        default:
            return false;
    }
}

int InMemoryBits(uint8_t colorType, uint8_t bitDepth) {
    if (!ValidPngFormat(colorType, bitDepth)) return 0;
    if (colorType == COLOR_RGB || colorType == COLOR_RGBALPHA) return 24;
    switch (bitDepth) {
        case 1:
            return 1;
        case 2:
        case 4:
            return 4;
        default:
            return 8;
    }
}

namespace {

// The stand-in palette of a palette image until its palette chunk arrives:
// black and white, the sixteen standard colours, or a colour cube with greys.
Palette HalftonePalette(int bits) {
    std::vector<PaletteEntry> e;
    if (bits == 1) {
        e = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    } else if (bits == 4) {
        static const uint8_t vga[16][3] = {
            {0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
            {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
            {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
            {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
        for (auto& c : vga) e.push_back({c[0], c[1], c[2], 0});
    } else {
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    e.push_back({uint8_t(r * 51), uint8_t(g * 51), uint8_t(b * 51), 0});
        for (int i = 0; i < 40; ++i) {
            uint8_t v = uint8_t((i * 255 + 19) / 39);
            e.push_back({v, v, v, 0});
        }
    }
    return Palette(std::move(e));
}

// The displayed value of each sample for a gamma value (times 100000, not 0):
// sample / 255 to the power 1 / (gamma x 2.2), times 255, nearest, ties to even.
std::array<uint8_t, 256> BuildGammaTable(uint32_t gamma) {
    std::array<uint8_t, 256> table{};
    const double exponent = 1.0 / (gamma / 100000.0 * 2.2);
    for (int i = 1; i < 256; ++i) {
        double v = std::pow(i / 255.0, exponent) * 255.0;
        // Only next to a half can double precision round otherwise than extended.
        if (std::fabs(v - std::floor(v) - 0.5) < 1e-6) {
            const long double e = 1.0L / (static_cast<long double>(gamma) / 100000.0L * 2.2L);
            v = double(std::exp(e * std::log(static_cast<long double>(i) / 255.0L)) * 255.0L);
        }
        v = std::nearbyint(v);
        table[size_t(i)] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    return table;
}

// Files of one set mostly share a gamma value: the tables of the last few values
// are kept, so each is computed once.
const std::array<uint8_t, 256>& GammaTableFor(uint32_t gamma) {
    struct Entry {
        uint32_t gamma = 0;
        std::array<uint8_t, 256> table{};
    };
    thread_local std::array<Entry, 4> cache;
    thread_local size_t next = 0;
    for (const Entry& e : cache)
        if (e.gamma == gamma) return e.table;
    Entry& e = cache[next++ % cache.size()];
    e.table = BuildGammaTable(gamma);
    e.gamma = gamma;
    return e.table;
}

int MulDivRound(int a, int b, int c) {
    return c == 0 ? -1 : (a * b + c / 2) / c;
}

}  // namespace

Palette GreyRamp(int depth, const std::array<uint8_t, 256>& gamma) {
    if (depth > 8) depth = 8;
    int n = 1 << depth;
    std::vector<PaletteEntry> e;
    e.resize(size_t(n));
    for (int i = 0; i < n; ++i) {
        uint8_t v = gamma[size_t(MulDivRound(i, 255, n - 1) & 0xFF)];
        e[size_t(i)] = {v, v, v, 0};
    }
    return Palette(std::move(e));
}

// ---- header ----

TChunkIHDR::TChunkIHDR(TPNGPicture* owner) : TChunk(owner) {
    Name = GetName();
}

TChunkIHDR::~TChunkIHDR() {
    FreeImageData();
}

void TChunkIHDR::FreeImageData() {
    bitmap_.reset();
    PaletteHandle = Palette();
    AlphaData.clear();
    AlphaData.shrink_to_fit();
    KeyMask.clear();
    KeyMask.shrink_to_fit();
    ColorsUsed = 0;
}

Bitmap& TChunkIHDR::BitmapData() {
    if (!bitmap_) bitmap_ = std::make_unique<Bitmap>();
    return *bitmap_;
}

uint8_t* TChunkIHDR::Scanline(uint32_t y) {
    if (!bitmap_ || y >= Height || Width == 0) return nullptr;
    return bitmap_->ScanLine(int(y));
}

uint8_t* TChunkIHDR::AlphaScanline(uint32_t y) {
    if (AlphaData.empty() || y >= Height) return nullptr;
    return AlphaData.data() + size_t(y) * Width;
}

void TChunkIHDR::PrepareImageData() {
    FreeImageData();
    BitsPerPixel = InMemoryBits(ColorType, BitDepth);
    UsesPalette = BitsPerPixel > 0 && BitsPerPixel <= 8;
    RowStride = 0;
    if (BitsPerPixel == 0) return;
    try {
        size_t pixels = size_t(Width) * size_t(Height);
        // The bitmap's own limit also bounds the alpha plane.
        if (pixels > MaxBitmapPixels()) RaisePngError<EPNGOutMemory>(PNG_MSG_OUT_MEMORY);
        bitmap_ = std::make_unique<Bitmap>(int(Width), int(Height), FormatOfBits(BitsPerPixel));
        RowStride = uint32_t(BytesPerScanline(Width, BitsPerPixel));
        if (ColorType == COLOR_GRAYSCALEALPHA || ColorType == COLOR_RGBALPHA)
            AlphaData.assign(pixels, 0);
    } catch (const std::bad_alloc&) {
        FreeImageData();
        RaisePngError<EPNGOutMemory>(PNG_MSG_OUT_MEMORY);
    } catch (const std::length_error&) {
        FreeImageData();
        RaisePngError<EPNGOutMemory>(PNG_MSG_OUT_MEMORY);
    } catch (const EInvalidGraphic&) {
        FreeImageData();
        RaisePngError<EPNGOutMemory>(PNG_MSG_OUT_MEMORY);
    }
    if (UsesPalette) {
        Palette p = ColorType == COLOR_PALETTE ? HalftonePalette(BitsPerPixel)
                                               : GreyRamp(BitsPerPixel, Owner->GammaTable);
        p.Resize(1 << BitsPerPixel);
        PaletteHandle = p;
        CopyPaletteToTable(PaletteHandle);
    }
}

void TChunkIHDR::CopyPaletteToTable(const Palette& palette) {
    if (!bitmap_) return;
    std::vector<RGBQuad> table;
    int n = std::min(palette.Count(), 256);
    for (int i = 0; i < n; ++i) {
        const auto& e = palette.Entry(i);
        table.push_back({e.peBlue, e.peGreen, e.peRed, 0});
    }
    ColorsUsed = uint32_t(n);
    bitmap_->SetColorTable(table);
}

void TChunkIHDR::Assign(const TChunk& source) {
    auto src = dynamic_cast<const TChunkIHDR*>(&source);
    if (!src) RaisePngError<EPngError>(PNG_MSG_NOT_SAME_CHUNK);
    Width = src->Width;
    Height = src->Height;
    BitDepth = src->BitDepth;
    ColorType = src->ColorType;
    CompressionMethod = src->CompressionMethod;
    FilterMethod = src->FilterMethod;
    InterlaceMethod = src->InterlaceMethod;
    PrepareImageData();
    if (bitmap_ && src->bitmap_) {
        bitmap_->Bits() = src->bitmap_->Bits();
        bitmap_->SetColorTable(src->bitmap_->ColorTable());
    }
    AlphaData = src->AlphaData;
    KeyMask = src->KeyMask;
    if (UsesPalette) PaletteHandle = src->PaletteHandle;
    ColorsUsed = src->ColorsUsed;
}

bool TChunkIHDR::LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) {
    if (!TChunk::LoadFromStream(stream, chunkName, size)) return false;
    if (DataSize() < 13) RaisePngError<EPngInvalidIHDR>(PNG_MSG_INVALID_IHDR);
    auto d = reinterpret_cast<const uint8_t*>(Data.data());
    uint32_t width = ReadBE32(d), height = ReadBE32(d + 4);
    uint8_t depth = d[8], type = d[9], compression = d[10], filter = d[11], interlace = d[12];
    if (width > 65535 || height > 65535) RaisePngError<EPNGSizeExceeds>(PNG_MSG_SIZE_EXCEEDS);
    if (compression != 0) RaisePngError<EPNGUnknownCompression>(PNG_MSG_UNKNOWN_COMPRESSION);
    if (interlace > 1) RaisePngError<EPNGUnknownInterlace>(PNG_MSG_UNKNOWN_INTERLACE);
    // Pairs outside the fifteen of the format have no pixel layout to decode into.
    if (!ValidPngFormat(type, depth)) RaisePngError<EPngInvalidIHDR>(PNG_MSG_INVALID_IHDR);
    Width = width;
    Height = height;
    BitDepth = depth;
    ColorType = type;
    CompressionMethod = compression;
    FilterMethod = filter;
    InterlaceMethod = interlace;
    Owner->InterlaceMethod = interlace;
    PrepareImageData();
    return true;
}

bool TChunkIHDR::SaveToStream(Stream& stream) {
    // A 2-bit image is kept with 4 bits per pixel and written that way.
    if (BitDepth == 2) {
        BitDepth = 4;
        // A grey key names a 2-bit sample v, kept in the bitmap as v * 5; it must
        // name the same pixels in the 4-bit file.
        if (ColorType == COLOR_GRAYSCALE) {
            if (auto trns = Owner->Chunks().FindChunk<TChunktRNS>()) {
                trns->AlphaValues[1] = uint8_t((trns->AlphaValues[1] & 3) * 5);
                trns->AlphaValues[0] = 0;
            }
        }
    }
    Data.assign(13, '\0');
    auto d = reinterpret_cast<uint8_t*>(Data.data());
    WriteBE32(d, Width);
    WriteBE32(d + 4, Height);
    d[8] = BitDepth;
    d[9] = ColorType;
    d[10] = CompressionMethod;
    d[11] = FilterMethod;
    d[12] = Owner->InterlaceMethod;
    return TChunk::SaveToStream(stream);
}

// ---- palette ----

void TChunkPLTE::Assign(const TChunk& source) {
    auto src = dynamic_cast<const TChunkPLTE*>(&source);
    if (!src) RaisePngError<EPngError>(PNG_MSG_NOT_SAME_CHUNK);
    Count = src->Count;
    Data = src->Data;
}

bool TChunkPLTE::LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) {
    if (!TChunk::LoadFromStream(stream, chunkName, size)) return false;
    if (DataSize() % 3 != 0 || DataSize() > 768)
        RaisePngError<EPNGInvalidPalette>(PNG_MSG_INVALID_PALETTE);
    Count = int32_t(DataSize() / 3);
    auto d = reinterpret_cast<const uint8_t*>(Data.data());
    const auto& gamma = Owner->GammaTable;
    std::vector<PaletteEntry> e;
    e.resize(size_t(Count));
    for (int32_t i = 0; i < Count; ++i)
        e[size_t(i)] = {gamma[d[3 * i]], gamma[d[3 * i + 1]], gamma[d[3 * i + 2]], 0};
    Owner->SetPalette(Palette(std::move(e)));
    return true;
}

bool TChunkPLTE::SaveToStream(Stream& stream) {
    TChunkIHDR& header = HeaderChunk();
    // Only a palette image keeps its palette in the bitmap; the suggested palette
    // of another image goes back as it was read.
    if (header.ColorType == COLOR_PALETTE && header.UsesPalette) {
        if (Count == 0) Count = int32_t(header.ColorsUsed);
        int n = std::min<int>(Count, header.PaletteHandle.Count());
        Data.clear();
        const auto& inverse = Owner->InverseGammaTable;
        for (int i = 0; i < n; ++i) {
            const auto& e = header.PaletteHandle.Entry(i);
            Data += char(inverse[e.peRed]);
            Data += char(inverse[e.peGreen]);
            Data += char(inverse[e.peBlue]);
        }
    }
    // An empty or malformed palette (left from a failed load) is not written.
    if (Data.empty() || Data.size() % 3 != 0 || Data.size() > 768) return false;
    return TChunk::SaveToStream(stream);
}

RGBQuad TChunkPLTE::Entry(int index) const {
    int i = index & 0xFF;
    if (i > Count - 1) RaisePngError<EPngError>(PNG_MSG_UNKNOWN_PALETTE_ENTRY);
    const auto& table = HeaderChunk().BitmapData().ColorTable();
    return size_t(i) < table.size() ? table[size_t(i)] : RGBQuad{};
}

// ---- transparency ----

TChunktRNS::TChunktRNS(TPNGPicture* owner) : TChunk(owner) {
    Name = GetName();
    AlphaValues.fill(255);
}

void TChunktRNS::Assign(const TChunk& source) {
    if (auto src = dynamic_cast<const TChunktRNS*>(&source)) {
        AlphaValues = src->AlphaValues;
        KeyedTransparency = src->KeyedTransparency;
    }
    TChunk::Assign(source);
}

bool TChunktRNS::LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) {
    if (!TChunk::LoadFromStream(stream, chunkName, size)) return false;
    if (DataSize() > 256) RaisePngError<EPNGInvalidPalette>(PNG_MSG_INVALID_PALETTE);
    AlphaValues.fill(255);
    std::memcpy(AlphaValues.data(), Data.data(), DataSize());
    uint8_t type = HeaderChunk().ColorType;
    if (type == COLOR_GRAYSCALE || type == COLOR_RGB) {
        KeyedTransparency = true;
    } else if (type == COLOR_PALETTE) {
        // One fully transparent entry is a key colour; an entry that is only
        // partly transparent must be blended, never dropped or drawn opaque.
        int below = 0, zero = 0;
        for (uint32_t i = 0; i < DataSize(); ++i) {
            if (AlphaValues[i] < 255) ++below;
            if (AlphaValues[i] == 0) ++zero;
        }
        KeyedTransparency = below == 1 && zero == 1;
    }
    return true;
}

bool TChunktRNS::SaveToStream(Stream& stream) {
    if (DataSize() == 0 || DataSize() > 256) return false;
    std::memcpy(Data.data(), AlphaValues.data(), DataSize());
    // 16-bit pixels are written as their high byte followed by 0; a key sample
    // keeping its low byte would match none of them.
    const TChunkIHDR& h = HeaderChunk();
    if (h.BitDepth == 16 && (h.ColorType == COLOR_GRAYSCALE || h.ColorType == COLOR_RGB))
        for (uint32_t i = 1; i < DataSize() && i < 6; i += 2) Data[i] = '\0';
    return TChunk::SaveToStream(stream);
}

int TChunktRNS::KeyIndex() const {
    for (uint32_t i = 0; i < DataSize() && i < 256; ++i)
        if (AlphaValues[i] == 0) return int(i);
    return -1;
}

int TChunktRNS::KeyGreyIndex() const {
    const TChunkIHDR& h = HeaderChunk();
    // The sample as the bitmap keeps it: high byte of 16 bits, 2 bits as 4.
    uint32_t sample = (uint32_t(AlphaValues[0]) << 8) | AlphaValues[1];
    switch (h.BitDepth) {
        case 16:
            return int(sample >> 8);
        case 2:
            return int((sample & 3) * 5);
        case 1:
            return int(sample & 1);
        case 4:
            return int(sample & 15);
        default:
            return int(sample & 0xFF);
    }
}

Color TChunktRNS::GetKeyColour() const {
    TChunkIHDR& h = HeaderChunk();
    const auto& gamma = Owner->GammaTable;
    auto sampleByte = [&](int i) {
        return h.BitDepth == 16 ? AlphaValues[size_t(2 * i)] : AlphaValues[size_t(2 * i + 1)];
    };
    switch (h.ColorType) {
        case COLOR_GRAYSCALE: {
            const auto& table = h.BitmapData().ColorTable();
            size_t i = size_t(KeyGreyIndex());
            uint8_t v = i < table.size() ? table[i].rgbRed : 0;
            return RGBColor(v, v, v);
        }
        case COLOR_RGB:
            return RGBColor(gamma[sampleByte(0)], gamma[sampleByte(1)], gamma[sampleByte(2)]);
        case COLOR_PALETTE: {
            int i = KeyIndex();
            if (i < 0) return 0;
            const auto& table = h.BitmapData().ColorTable();
            if (size_t(i) >= table.size()) return 0;
            const auto& q = table[size_t(i)];
            return RGBColor(q.rgbRed, q.rgbGreen, q.rgbBlue);
        }
        default:
            return 0;
    }
}

void TChunktRNS::SetKeyColour(Color colour) {
    AlphaValues.fill(0);
    KeyedTransparency = true;
    TChunkIHDR& h = HeaderChunk();
    // The new key is a colour as shown: the pixels that show it are the key.
    h.KeyMask.clear();
    uint8_t r = GetRValue(colour), g = GetGValue(colour), b = GetBValue(colour);
    auto put16 = [&](int i, uint8_t v) {
        // The sample at the image's depth: 16-bit samples repeat the byte.
        uint16_t s = h.BitDepth == 16 ? uint16_t(v * 257) : v;
        AlphaValues[size_t(2 * i)] = uint8_t(s >> 8);
        AlphaValues[size_t(2 * i + 1)] = uint8_t(s);
    };
    switch (h.ColorType) {
        case COLOR_GRAYSCALE: {
            SetDataSize(2);
            uint8_t v = r;
            if (h.BitDepth < 8) v = uint8_t(v >> (8 - h.BitDepth));
            put16(0, v);
            break;
        }
        case COLOR_RGB:
            SetDataSize(6);
            put16(0, r);
            put16(1, g);
            put16(2, b);
            break;
        case COLOR_PALETTE: {
            const auto& table = h.BitmapData().ColorTable();
            size_t n = (h.ColorsUsed & 0xFF) == 0 ? 256 : (h.ColorsUsed & 0xFF);
            n = std::min(n, table.size());
            size_t found = n;
            for (size_t i = 0; i < n; ++i) {
                if (table[i].rgbRed == r && table[i].rgbGreen == g && table[i].rgbBlue == b) {
                    found = i;
                    break;
                }
            }
            if (found == n) {
                // No entry has that colour: nothing is transparent.
                AlphaValues.fill(255);
                KeyedTransparency = false;
                SetDataSize(0);
                break;
            }
            for (size_t i = 0; i < found; ++i) AlphaValues[i] = 255;
            SetDataSize(uint32_t(found + 1));
            break;
        }
        default:
            break;
    }
    std::memcpy(Data.data(), AlphaValues.data(), std::min<size_t>(DataSize(), 256));
}

// ---- gamma ----

TChunkgAMA::TChunkgAMA(TPNGPicture* owner) : TChunk(owner) {
    Name = GetName();
    SetGamma(1);
}

uint32_t TChunkgAMA::Gamma() {
    if (DataSize() != 4) {
        SetDataSize(4);
        return 1;
    }
    return ReadBE32(reinterpret_cast<const uint8_t*>(Data.data()));
}

void TChunkgAMA::SetGamma(uint32_t value) {
    if (DataSize() != 4) SetDataSize(4);
    WriteBE32(reinterpret_cast<uint8_t*>(Data.data()), value);
}

void TChunkgAMA::Assign(const TChunk& source) {
    auto src = dynamic_cast<const TChunkgAMA*>(&source);
    if (!src) RaisePngError<EPngError>(PNG_MSG_NOT_SAME_CHUNK);
    TChunk::Assign(source);
}

bool TChunkgAMA::LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) {
    if (!TChunk::LoadFromStream(stream, chunkName, size)) return false;
    // A gamma chunk of another length carries no value; it leaves the tables alone.
    if (DataSize() != 4) return true;
    uint32_t gamma = Gamma();
    if (gamma == 0) return true;
    const auto& table = GammaTableFor(gamma);
    for (size_t i = 0; i < 256; ++i) {
        Owner->GammaTable[i] = table[i];
        Owner->InverseGammaTable[table[i]] = uint8_t(i);
    }
    return true;
}

// ---- time ----

void TChunktIME::Assign(const TChunk& source) {
    if (auto src = dynamic_cast<const TChunktIME*>(&source)) {
        Year = src->Year;
        Month = src->Month;
        Day = src->Day;
        Hour = src->Hour;
        Minute = src->Minute;
        Second = src->Second;
    }
    TChunk::Assign(source);
}

bool TChunktIME::LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) {
    if (!TChunk::LoadFromStream(stream, chunkName, size)) return false;
    if (DataSize() == 7) {
        auto d = reinterpret_cast<const uint8_t*>(Data.data());
        Year = ReadBE16(d);
        Month = d[2];
        Day = d[3];
        Hour = d[4];
        Minute = d[5];
        Second = d[6];
    }
    return true;
}

bool TChunktIME::SaveToStream(Stream& stream) {
    Data.assign(7, '\0');
    auto d = reinterpret_cast<uint8_t*>(Data.data());
    d[0] = uint8_t(Year >> 8);
    d[1] = uint8_t(Year);
    d[2] = Month;
    d[3] = Day;
    d[4] = Hour;
    d[5] = Minute;
    d[6] = Second;
    return TChunk::SaveToStream(stream);
}

// ---- text ----

void TChunktEXt::Assign(const TChunk& source) {
    if (auto src = dynamic_cast<const TChunktEXt*>(&source)) {
        Keyword = src->Keyword;
        Text = src->Text;
    }
    TChunk::Assign(source);
}

bool TChunktEXt::LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) {
    if (!TChunk::LoadFromStream(stream, chunkName, size)) return false;
    if (DataSize() >= 3) {
        size_t zero = Data.find('\0');
        // Without its zero byte the whole chunk is the keyword.
        Keyword = Data.substr(0, zero);
        Text = zero == std::string::npos ? std::string() : Data.substr(zero + 1);
    }
    return true;
}

bool TChunktEXt::SaveToStream(Stream& stream) {
    Data = Keyword;
    Data += '\0';
    Data += Text;
    return TChunk::SaveToStream(stream);
}

bool TChunkzTXt::LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) {
    bool result = TChunktEXt::LoadFromStream(stream, chunkName, size);
    if (result && DataSize() >= 4) {
        size_t zero = Data.find('\0');
        Keyword = Data.substr(0, zero);
        Text.clear();
        // The method byte follows the keyword's zero; without both there is no text.
        if (zero != std::string::npos && zero + 1 < Data.size() && Data[zero + 1] == 0) {
            std::string out, error;
            if (InflateBuffer(Data.data() + zero + 2, Data.size() - zero - 2, out, error))
                Text = std::move(out);
        }
    }
    return result;
}

bool TChunkzTXt::SaveToStream(Stream& stream) {
    if (Text.empty()) Text.assign(1, ' ');
    std::string packed, error;
    if (!DeflateBuffer(Text.data(), Text.size(), Owner->DeflateLevel, packed, error)) return false;
    Data = Keyword;
    Data += '\0';
    Data += '\0';
    Data += packed;
    return TChunk::SaveToStream(stream);
}

// ---- physical size ----

void TChunkpHYs::Assign(const TChunk& source) {
    if (auto src = dynamic_cast<const TChunkpHYs*>(&source)) {
        PixelsPerUnitX = src->PixelsPerUnitX;
        PixelsPerUnitY = src->PixelsPerUnitY;
        UnitSpecifier = src->UnitSpecifier;
    }
    TChunk::Assign(source);
}

bool TChunkpHYs::LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) {
    if (!TChunk::LoadFromStream(stream, chunkName, size)) return false;
    if (DataSize() == 9) {
        auto d = reinterpret_cast<const uint8_t*>(Data.data());
        PixelsPerUnitX = ReadBE32(d);
        PixelsPerUnitY = ReadBE32(d + 4);
        UnitSpecifier = d[8];
    }
    return true;
}

bool TChunkpHYs::SaveToStream(Stream& stream) {
    Data.assign(9, '\0');
    auto d = reinterpret_cast<uint8_t*>(Data.data());
    WriteBE32(d, PixelsPerUnitX);
    WriteBE32(d + 4, PixelsPerUnitY);
    d[8] = UnitSpecifier;
    return TChunk::SaveToStream(stream);
}

}  // namespace qv

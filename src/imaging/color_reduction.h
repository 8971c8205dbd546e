#pragma once
// Conversion of a bitmap into a complete BMP image of a requested pixel format, and the
// reduction of true-colour pictures to at most 256 colours by one of six methods.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "imaging/bitmap.h"
#include "imaging/palette.h"
#include "imaging/stream.h"

namespace qv {

enum TColorReduction : std::uint8_t {
    MapByFrequency = 0,
    MapMedianCut = 1,
    MapFixed784 = 2,
    MapFixed666 = 3,
    MapTriple = 4,
    MapGray = 5,
};

// Level ramps of the fixed palettes.
extern const std::array<std::uint8_t, 4> kLevels4;
extern const std::array<std::uint8_t, 6> kLevels6;
extern const std::array<std::uint8_t, 7> kLevels7;
extern const std::array<std::uint8_t, 8> kLevels8;

// Entry v: index of the ramp level nearest to v, the lower index on a tie.
struct NearestLevelTables {
    std::array<std::uint8_t, 256> N4, N6, N7, N8;
};
const NearestLevelTables& NearestLevels();

// Raised where an operation is not offered ("Function not yet implemented"); it ends the
// operation silently, as the class library's abort does.
[[noreturn]] void NotImplementedStop();

// A new stream (position 0) holding the BMP image of bitmap in format; 8 bits reduce with
// method. A bitmap without pixels raises EInvalidGraphic "Bitmap image is not valid".
std::unique_ptr<MemoryStream> ConvertBitmapPixelFormat(const Bitmap& bitmap, PixelFormat format,
                                                       TColorReduction method);

// The BMP image of bitmap in format (1, 4, 8, 24 or 32 bits); indexed formats map every
// colour to the nearest entry of palette (of the bitmap's own table when palette is null).
std::string BitmapToDIBMemory(const Bitmap& bitmap, const Palette* palette, PixelFormat format);

// Bytes per row for a bit count: ((width x bits + 31) and not 31) div 8.
std::size_t BytesPerRow(std::size_t width, int bits);

// The reductions. Each reads 24-bit rows of the header's width and height, bottom row
// first (rows (3w + 3) and not 3 bytes), writes a 256-entry colour table and 8-bit rows
// ((w + 3) and not 3 bytes). destination may be source itself.
using ColorTable256 = std::array<RGBQuad, 256>;

void FrequencyReduce(const BitmapInfoHeader& header, ColorTable256& table,
                     const std::uint8_t* source, std::uint8_t redMask, std::uint8_t greenMask,
                     std::uint8_t blueMask, int colors, std::uint8_t* destination);
// Answers through colors the number of colours found.
void MedianCutReduce(const BitmapInfoHeader& header, const std::uint8_t* source,
                     std::uint8_t* destination, ColorTable256& table, int& colors);
void Fixed666Reduce(const BitmapInfoHeader& header, ColorTable256& table,
                    const std::uint8_t* source, std::uint8_t* destination);
void Fixed784Reduce(const BitmapInfoHeader& header, ColorTable256& table,
                    const std::uint8_t* source, std::uint8_t* destination);
void TripleReduce(const BitmapInfoHeader& header, ColorTable256& table, const std::uint8_t* source,
                  std::uint8_t* destination);
void GrayReduce(const BitmapInfoHeader& header, ColorTable256& table, const std::uint8_t* source,
                std::uint8_t* destination);

}  // namespace qv

#pragma once
// LZW coding of GIF image data and the GIF interlace order.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "imaging/bitmap.h"
#include "imaging/graphic.h"
#include "imaging/stream.h"

namespace qv {

// Damaged data marks a frame corrupted instead of raising; the program never turns it off.
extern std::atomic<bool> GIFTolerateCorrupt;

// stage, percent done, message
using GIFProgressFn = std::function<void(ProgressStage, std::uint8_t, const std::string&)>;

// The next row in interlace order (passes 0 to 3); a result not below height ends output.
int NextInterlacedRow(int row, int height, int& pass);

// Decodes the LZW data from data's position (minimum code size byte, then sub-blocks) into
// pixels: a zero-filled buffer of info's width and height, 1, 4 or 8 bits per pixel, rows
// bottom-up and padded to 4 bytes. bitsPerPixel is the depth of the frame's colours.
// Damaged data sets corrupt (tolerant) or raises EInvalidGraphicOperation.
void GIFDecodeLZW(Stream& data, const BitmapInfoHeader& info, bool interlaced,
                  const GIFProgressFn& progress, bool& corrupt, std::uint8_t* pixels,
                  int bitsPerPixel, bool tolerate);

// Writes the minimum code size byte and the LZW data sub-blocks (with the terminator) of a
// 1-, 4- or 8-bit bottom-up pixel buffer.
void GIFEncodeLZW(Stream& stream, const BitmapInfoHeader& info, bool interlaced,
                  const GIFProgressFn& progress, const std::uint8_t* pixels);

}  // namespace qv

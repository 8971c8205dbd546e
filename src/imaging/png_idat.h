#pragma once
// The image data chunks: inflate, unfilter and de-interlace the scanlines into
// the header's bitmap and alpha plane, and back.

#include <cstdint>
#include <memory>
#include <string>

#include "imaging/png_chunk.h"

namespace qv {

class TChunkIDAT : public TChunk {
  public:
    explicit TChunkIDAT(TPNGPicture* owner) : TChunk(owner) { Name = GetName(); }
    static std::string GetName() { return "IDAT"; }
    std::unique_ptr<TChunk> NewInstance(TPNGPicture* owner) const override {
        return std::make_unique<TChunkIDAT>(owner);
    }
    // Reads every consecutive data chunk from the first one's data onwards.
    bool LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) override;
    // Encodes the bitmap and writes as many data chunks as it takes.
    bool SaveToStream(Stream& stream) override;
};

// Bytes of a scanline of n pixels, and bytes per complete pixel, for a colour
// type and bit depth (0 for unknown types).
uint32_t PngRowBytes(uint8_t colorType, uint8_t bitDepth, uint32_t pixels);
uint32_t PngPixelOffset(uint8_t colorType, uint8_t bitDepth);

// The Paeth predictor, with the PNG order of ties.
inline uint8_t PaethPredictor(int a, int b, int c) {
    int p = a + b - c;
    int pa = p > a ? p - a : a - p;
    int pb = p > b ? p - b : b - p;
    int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc) return uint8_t(a);
    if (pb <= pc) return uint8_t(b);
    return uint8_t(c);
}

// Undoes the filter of row (filter byte first, then rowBytes bytes) against the
// previous raw row (rowBytes bytes, no filter byte).
void UnfilterRow(uint8_t* row, const uint8_t* previous, uint32_t rowBytes, uint32_t pixelOffset);

// Chooses the filter for raw against previous from filterSet and leaves the
// filtered bytes in out (rowBytes bytes); answers the filter type.
uint8_t ChooseFilter(const uint8_t* raw, const uint8_t* previous, uint32_t rowBytes,
                     uint32_t pixelOffset, uint8_t filterSet, uint8_t* out);

}  // namespace qv

#include "imaging/png_idat.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/png_chunks.h"
#include "imaging/png_errors.h"
#include "imaging/png_picture.h"
#include "imaging/png_zlib.h"

namespace qv {

uint32_t PngRowBytes(uint8_t colorType, uint8_t bitDepth, uint32_t pixels) {
    uint64_t c;
    switch (colorType) {
        case COLOR_GRAYSCALE:
        case COLOR_PALETTE:
            c = 1;
            break;
        case COLOR_RGB:
            c = 3;
            break;
        case COLOR_GRAYSCALEALPHA:
            c = 2;
            break;
        case COLOR_RGBALPHA:
            c = 4;
            break;
        default:
            return 0;
    }
    return uint32_t((uint64_t(pixels) * bitDepth * c + 7) / 8);
}

uint32_t PngPixelOffset(uint8_t colorType, uint8_t bitDepth) {
    switch (colorType) {
        case COLOR_GRAYSCALE:
            return bitDepth == 16 ? 2 : 1;
        case COLOR_RGB:
            return bitDepth * 3u / 8;
        case COLOR_PALETTE:
            return 1;
        case COLOR_GRAYSCALEALPHA:
            return bitDepth * 2u / 8;
        case COLOR_RGBALPHA:
            return bitDepth * 4u / 8;
        default:
            return 0;
    }
}

namespace {

// The filters that look left, for B bytes per pixel: the left and upper-left
// bytes of each channel ride in registers, so a byte never waits for the store
// of the one before it. The first pixel sees 0 on its left, as the format says.
template <uint32_t B>
void UnfilterLeft(uint8_t type, uint8_t* x, const uint8_t* up, uint32_t n) {
    uint8_t a[B] = {}, c[B] = {};
    const uint32_t whole = n - n % B;
    switch (type) {
        case pfSub:
            for (uint32_t i = 0; i < whole; i += B)
                for (uint32_t k = 0; k < B; ++k) x[i + k] = a[k] = uint8_t(x[i + k] + a[k]);
            break;
        case pfAverage:
            for (uint32_t i = 0; i < whole; i += B)
                for (uint32_t k = 0; k < B; ++k)
                    x[i + k] = a[k] = uint8_t(x[i + k] + ((unsigned(a[k]) + up[i + k]) >> 1));
            break;
        case pfPaeth:
            for (uint32_t i = 0; i < whole; i += B)
                for (uint32_t k = 0; k < B; ++k) {
                    const uint8_t b = up[i + k];
                    x[i + k] = a[k] = uint8_t(x[i + k] + PaethPredictor(a[k], b, c[k]));
                    c[k] = b;
                }
            break;
        default:
            break;
    }
}

// Any other pixel size, and the bytes after the last whole pixel.
void UnfilterLeftAny(uint8_t type, uint8_t* x, const uint8_t* up, uint32_t n, uint32_t bpp,
                     uint32_t from) {
    for (uint32_t i = from; i < n; ++i) {
        const unsigned a = i >= bpp ? x[i - bpp] : 0, c = i >= bpp ? up[i - bpp] : 0;
        if (type == pfSub)
            x[i] = uint8_t(x[i] + a);
        else if (type == pfAverage)
            x[i] = uint8_t(x[i] + ((a + up[i]) >> 1));
        else
            x[i] = uint8_t(x[i] + PaethPredictor(int(a), up[i], int(c)));
    }
}

}  // namespace

void UnfilterRow(uint8_t* row, const uint8_t* previous, uint32_t rowBytes, uint32_t pixelOffset) {
    uint8_t* x = row + 1;
    const uint8_t type = row[0];
    if (type == pfUp) {
        for (uint32_t i = 0; i < rowBytes; ++i) x[i] = uint8_t(x[i] + previous[i]);
        return;
    }
    // None, and unknown types taken as None.
    if (type != pfSub && type != pfAverage && type != pfPaeth) return;
    const uint32_t bpp = std::max(pixelOffset, 1u);
    switch (bpp) {
        case 1:
            UnfilterLeft<1>(type, x, previous, rowBytes);
            break;
        case 2:
            UnfilterLeft<2>(type, x, previous, rowBytes);
            break;
        case 3:
            UnfilterLeft<3>(type, x, previous, rowBytes);
            break;
        case 4:
            UnfilterLeft<4>(type, x, previous, rowBytes);
            break;
        case 6:
            UnfilterLeft<6>(type, x, previous, rowBytes);
            break;
        case 8:
            UnfilterLeft<8>(type, x, previous, rowBytes);
            break;
        default:
            UnfilterLeftAny(type, x, previous, rowBytes, bpp, 0);
            return;
    }
    UnfilterLeftAny(type, x, previous, rowBytes, bpp, rowBytes - rowBytes % bpp);
}

namespace {

void ApplyFilter(uint8_t type, const uint8_t* raw, const uint8_t* up, uint32_t n, uint32_t bpp,
                 uint8_t* out) {
    bpp = std::min(bpp, n);
    switch (type) {
        case pfSub:
            for (uint32_t i = 0; i < bpp; ++i) out[i] = raw[i];
            for (uint32_t i = bpp; i < n; ++i) out[i] = uint8_t(raw[i] - raw[i - bpp]);
            break;
        case pfUp:
            for (uint32_t i = 0; i < n; ++i) out[i] = uint8_t(raw[i] - up[i]);
            break;
        case pfAverage:
            for (uint32_t i = 0; i < bpp; ++i) out[i] = uint8_t(raw[i] - (up[i] >> 1));
            for (uint32_t i = bpp; i < n; ++i)
                out[i] = uint8_t(raw[i] - ((unsigned(raw[i - bpp]) + up[i]) >> 1));
            break;
        case pfPaeth:
            for (uint32_t i = 0; i < bpp; ++i) out[i] = uint8_t(raw[i] - up[i]);
            for (uint32_t i = bpp; i < n; ++i)
                out[i] = uint8_t(raw[i] - PaethPredictor(raw[i - bpp], up[i], up[i - bpp]));
            break;
        default:
            std::memcpy(out, raw, n);
            break;
    }
}

uint32_t RepeatScore(const uint8_t* b, uint32_t n) {
    uint32_t score = 0;
    for (uint32_t i = 2; i < n; ++i) score += (b[i] == b[i - 1] || b[i] == b[i - 2]) ? 1 : 0;
    return score;
}

}  // namespace

uint8_t ChooseFilter(const uint8_t* raw, const uint8_t* previous, uint32_t rowBytes,
                     uint32_t pixelOffset, uint8_t filterSet, uint8_t* out) {
    filterSet &= kAllFilters;
    if (rowBytes == 0) return pfNone;
    if (filterSet == 0 || filterSet == FilterBit(pfNone)) {
        std::memcpy(out, raw, rowBytes);
        return pfNone;
    }
    // A set of one filter needs no scoring.
    if ((filterSet & (filterSet - 1)) == 0) {
        uint8_t only = 0;
        while (!(filterSet & (1u << only))) ++only;
        ApplyFilter(only, raw, previous, rowBytes, pixelOffset, out);
        return only;
    }
    std::vector<uint8_t> candidate(rowBytes);
    uint8_t best = pfNone;
    uint32_t bestScore = 0;
    bool haveBest = false;
    for (uint8_t type = 0; type <= pfPaeth; ++type) {
        if (!(filterSet & (1u << type))) continue;
        ApplyFilter(type, raw, previous, rowBytes, pixelOffset, candidate.data());
        uint32_t score = RepeatScore(candidate.data(), rowBytes);
        if (score > bestScore) {
            bestScore = score;
            best = type;
            std::memcpy(out, candidate.data(), rowBytes);
            haveBest = true;
        }
    }
    // No candidate repeats anything: the row goes unfiltered.
    if (!haveBest) std::memcpy(out, raw, rowBytes);
    return best;
}

namespace {

struct Adam7Pass {
    uint32_t row, col, rowStep, colStep;
};
constexpr Adam7Pass kPasses[7] = {{0, 0, 8, 8}, {0, 4, 8, 8}, {4, 0, 8, 4}, {0, 2, 4, 4},
                                  {2, 0, 4, 2}, {0, 1, 2, 2}, {1, 0, 2, 1}};

uint32_t PassWidth(const Adam7Pass& p, uint32_t width) {
    return width > p.col ? (width - p.col + p.colStep - 1) / p.colStep : 0;
}

// Reads the compressed stream of consecutive data chunks, checking each CRC.
class IdatReader {
  public:
    // The input buffer grows to the largest chunk read, at most 65535 bytes.
    IdatReader(Stream& stream, uint32_t size)
        : stream_(stream), input_(std::clamp<size_t>(size, 1, 65535)) {
        std::memset(&z_, 0, sizeof z_);
        if (inflateInit(&z_) != Z_OK)
            RaisePngError<EPNGZLIBError>(PNG_MSG_ZLIB_ERROR, ZlibResultText(Z_MEM_ERROR));
        crc_ = PngCRC32(0xFFFFFFFFu, "IDAT", 4);
        position_ = stream.Position();
        dataEnd_ = position_ + size;
    }
    ~IdatReader() { inflateEnd(&z_); }
    IdatReader(const IdatReader&) = delete;
    IdatReader& operator=(const IdatReader&) = delete;

    // Inflates up to count bytes into buffer; answers the bytes delivered, fewer
    // when the file is cut. A compressed stream that ends short raises.
    size_t Request(uint8_t* buffer, size_t count) {
        // The stream ended on a row boundary with rows still missing: nothing
        // may follow its end, as if the next chunk were no data chunk.
        if (ended_ && count > 0)
            RaisePngError<EPNGMissingMultipleIDAT>(PNG_MSG_MISSING_MULTIPLE_IDAT);
        z_.next_out = buffer;
        z_.avail_out = uInt(count);
        while (z_.avail_out > 0 && !ended_) {
            if (z_.avail_in == 0) {
                if (position_ >= dataEnd_) {
                    CheckCrc();
                    if (!NextChunk()) break;
                    continue;
                }
                const size_t got = ReadInput();
                if (got == 0) {
                    cut_ = true;
                    break;
                }
                z_.next_in = input_.data();
                z_.avail_in = uInt(got);
            }
            uInt before_in = z_.avail_in, before_out = z_.avail_out;
            int rc = inflate(&z_, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                ended_ = true;
                // Rows are still missing and no data may follow the stream's end.
                if (z_.avail_out > 0)
                    RaisePngError<EPNGMissingMultipleIDAT>(PNG_MSG_MISSING_MULTIPLE_IDAT);
                break;
            }
            if (rc != Z_OK) RaisePngError<EPNGZLIBError>(PNG_MSG_ZLIB_ERROR, ZlibResultText(rc));
            // Defensive: a call that moves nothing would otherwise spin.
            if (z_.avail_in == before_in && z_.avail_out == before_out) break;
        }
        return count - z_.avail_out;
    }

    // Reads what is left of the current chunk and checks its CRC.
    void Finish() {
        if (!crcPending_) RaisePngError<EPngUnexpectedEnd>(PNG_MSG_UNEXPECTED_END);
        while (position_ < dataEnd_ && !cut_ && ReadInput() > 0) {
        }
        CheckCrc();
    }

  private:
    // The next piece of the current chunk's data into the input buffer.
    size_t ReadInput() {
        const size_t want = size_t(std::min<int64_t>(65535, dataEnd_ - position_));
        if (want > input_.size()) input_.resize(want);
        const size_t got = stream_.Read(input_.data(), want);
        position_ += int64_t(got);
        crc_ = PngCRC32(crc_, input_.data(), got);
        return got;
    }

    void CheckCrc() {
        uint8_t stored[4];
        crcPending_ = false;
        if (stream_.Read(stored, 4) != 4 || ReadBE32(stored) != ~crc_)
            RaisePngError<EPngInvalidCRC>(PNG_MSG_INVALID_CRC);
        position_ += 4;
    }

    bool NextChunk() {
        uint8_t head[8];
        if (stream_.Read(head, 8) != 8) {
            cut_ = true;
            return false;
        }
        position_ += 8;
        if (std::memcmp(head + 4, "IDAT", 4) != 0)
            RaisePngError<EPNGMissingMultipleIDAT>(PNG_MSG_MISSING_MULTIPLE_IDAT);
        crc_ = PngCRC32(0xFFFFFFFFu, "IDAT", 4);
        dataEnd_ = position_ + ReadBE32(head);
        crcPending_ = true;
        return true;
    }

    Stream& stream_;
    z_stream z_;
    std::vector<uint8_t> input_;
    uint32_t crc_ = 0;
    int64_t position_ = 0, dataEnd_ = 0;
    bool ended_ = false, cut_ = false, crcPending_ = true;
};

// Writes compressed rows as data chunks of chunkSize bytes.
class IdatWriter {
  public:
    IdatWriter(Stream& stream, int level, uint32_t chunkSize)
        : stream_(stream), out_(size_t(chunkSize) + 8) {
        std::memset(&z_, 0, sizeof z_);
        if (deflateInit(&z_, level) != Z_OK)
            RaisePngError<EPNGZLIBError>(PNG_MSG_ZLIB_ERROR, ZlibResultText(Z_STREAM_ERROR));
        chunkSize_ = chunkSize;
        Reset();
    }
    ~IdatWriter() { deflateEnd(&z_); }
    IdatWriter(const IdatWriter&) = delete;
    IdatWriter& operator=(const IdatWriter&) = delete;

    void Feed(const uint8_t* data, size_t n) {
        z_.next_in = const_cast<Bytef*>(data);
        z_.avail_in = uInt(n);
        while (z_.avail_in > 0) {
            deflate(&z_, Z_NO_FLUSH);
            if (z_.avail_out == 0) WriteChunk();
        }
    }

    void Finish() {
        for (;;) {
            int rc = deflate(&z_, Z_FINISH);
            if (rc == Z_STREAM_END) break;
            if (rc != Z_OK && rc != Z_BUF_ERROR)
                RaisePngError<EPNGZLIBError>(PNG_MSG_ZLIB_ERROR, ZlibResultText(rc));
            if (z_.avail_out == 0) WriteChunk();
        }
        if (z_.avail_out < chunkSize_) WriteChunk();
    }

  private:
    void Reset() {
        z_.next_out = out_.data() + 8;
        z_.avail_out = chunkSize_;
    }
    void WriteChunk() {
        uint32_t n = chunkSize_ - z_.avail_out;
        WriteBE32(out_.data(), n);
        std::memcpy(out_.data() + 4, "IDAT", 4);
        uint32_t crc = ~PngCRC32(0xFFFFFFFFu, out_.data() + 4, size_t(n) + 4);
        uint8_t tail[4];
        WriteBE32(tail, crc);
        stream_.WriteBuffer(out_.data(), size_t(n) + 8);
        stream_.WriteBuffer(tail, 4);
        Reset();
    }

    Stream& stream_;
    z_stream z_;
    std::vector<uint8_t> out_;  // chunk length and type, then the compressed bytes
    uint32_t chunkSize_ = 0;
};

// The colour of one pixel (PNG order R, G, B at s bytes a sample) into the bitmap's
// B, G, R; without gamma the table is skipped.
template <bool Gamma>
inline void PutColour(const std::array<uint8_t, 256>& g, const uint8_t* src, uint32_t s,
                      uint8_t* dst) {
    dst[0] = Gamma ? g[src[2 * s]] : src[2 * s];
    dst[1] = Gamma ? g[src[s]] : src[s];
    dst[2] = Gamma ? g[src[0]] : src[0];
}

template <bool Gamma>
void ConvertColourRow(const std::array<uint8_t, 256>& g, const uint8_t* src, uint32_t w, uint32_t s,
                      bool withAlpha, uint8_t* dst, uint8_t* alpha) {
    if (!withAlpha) {
        for (uint32_t i = 0; i < w; ++i, src += 3 * s, dst += 3) PutColour<Gamma>(g, src, s, dst);
        return;
    }
    for (uint32_t i = 0; i < w; ++i, src += 4 * s, dst += 3) {
        PutColour<Gamma>(g, src, s, dst);
        alpha[i] = src[3 * s];
    }
}

// Samples of one PNG row into one bitmap row and alpha row (straight rows).
void ConvertRowIn(const TChunkIHDR& h, const std::array<uint8_t, 256>& g, bool gamma,
                  const uint8_t* src, uint32_t rowBytes, uint8_t* dst, uint8_t* alpha) {
    const uint32_t w = h.Width;
    switch (h.ColorType) {
        case COLOR_GRAYSCALE:
        case COLOR_PALETTE:
            if (h.BitDepth == 16) {
                for (uint32_t i = 0; i < w; ++i) dst[i] = src[2 * i];
            } else if (h.BitDepth == 2) {
                const uint32_t out = (w + 1) / 2;
                const int k = h.ColorType == COLOR_GRAYSCALE ? 5 : 1;
                for (uint32_t i = 0; i < out; ++i) {
                    uint8_t b = src[i / 2];
                    uint8_t pair = (i & 1) ? uint8_t(b & 0x0F) : uint8_t(b >> 4);
                    dst[i] = uint8_t((((pair >> 2) & 3) * k) << 4 | ((pair & 3) * k));
                }
            } else {
                std::memcpy(dst, src, rowBytes);
            }
            break;
        case COLOR_RGB:
        case COLOR_RGBALPHA: {
            const uint32_t step = h.BitDepth == 16 ? 2 : 1;
            const bool withAlpha = h.ColorType == COLOR_RGBALPHA;
            if (gamma)
                ConvertColourRow<true>(g, src, w, step, withAlpha, dst, alpha);
            else
                ConvertColourRow<false>(g, src, w, step, withAlpha, dst, alpha);
            break;
        }
        case COLOR_GRAYSCALEALPHA: {
            const uint32_t step = h.BitDepth == 16 ? 4 : 2;
            for (uint32_t i = 0; i < w; ++i, src += step) {
                dst[i] = src[0];
                alpha[i] = src[step / 2];
            }
            break;
        }
        default:
            break;
    }
}

// One pixel of an interlaced PNG row into its column of the bitmap row.
void PutPixelIn(const TChunkIHDR& h, const std::array<uint8_t, 256>& g, const uint8_t* src,
                uint32_t k, uint32_t col, uint8_t* dst, uint8_t* alpha) {
    switch (h.ColorType) {
        case COLOR_GRAYSCALE:
        case COLOR_PALETTE: {
            uint32_t v;
            if (h.BitDepth == 16) {
                v = src[2 * k];
            } else {
                const uint32_t d = h.BitDepth;
                const uint32_t bit = k * d;
                v = (src[bit / 8] >> (8 - d - bit % 8)) & ((1u << d) - 1);
                if (d == 2 && h.ColorType == COLOR_GRAYSCALE) v *= 5;
            }
            const uint32_t m = uint32_t(h.BitsPerPixel);
            const uint32_t at = col * m;
            dst[at / 8] |= uint8_t(v << (8 - m - at % 8));
            break;
        }
        case COLOR_RGB: {
            const uint32_t s = h.BitDepth == 16 ? 2 : 1;
            PutColour<true>(g, src + 3 * s * k, s, dst + 3 * col);
            break;
        }
        case COLOR_GRAYSCALEALPHA: {
            const uint32_t s = h.BitDepth == 16 ? 2 : 1;
            const uint8_t* p = src + 2 * s * k;
            dst[col] = p[0];
            alpha[col] = p[s];
            break;
        }
        case COLOR_RGBALPHA: {
            const uint32_t s = h.BitDepth == 16 ? 2 : 1;
            const uint8_t* p = src + 4 * s * k;
            PutColour<true>(g, p, s, dst + 3 * col);
            alpha[col] = p[3 * s];
            break;
        }
        default:
            break;
    }
}

// The transparency key of a grey 16-bit or an RGB image, as raw samples.
struct KeySamples {
    uint32_t channels = 0;  // 0: the bitmap tells the key pixels apart by itself
    uint32_t value[3] = {};
};

KeySamples KeyOf(const TChunkIHDR& h, const TChunktRNS* trns) {
    KeySamples key;
    if (!trns ||
        !(h.ColorType == COLOR_RGB || (h.ColorType == COLOR_GRAYSCALE && h.BitDepth == 16)))
        return key;
    key.channels = h.ColorType == COLOR_RGB ? 3 : 1;
    for (uint32_t c = 0; c < key.channels; ++c) {
        key.value[c] = uint32_t(trns->AlphaValues[2 * c]) << 8 | trns->AlphaValues[2 * c + 1];
        if (h.BitDepth == 8) key.value[c] &= 0xFF;
    }
    return key;
}

// Marks the pixels of one PNG row (count pixels of 8 or 16 bits per sample) that
// equal the key, at columns first, first + step, ... of the mask row.
void MarkKeys(const KeySamples& key, uint8_t depth, const uint8_t* src, uint32_t count,
              uint32_t first, uint32_t step, uint8_t* mask) {
    const uint32_t bytes = depth / 8, n = key.channels;
    for (uint32_t k = 0; k < count; ++k, src += n * bytes) {
        bool hit = true;
        for (uint32_t c = 0; c < n; ++c) {
            const uint32_t v = bytes == 2 ? uint32_t(src[2 * c]) << 8 | src[2 * c + 1] : src[c];
            hit = hit && v == key.value[c];
        }
        mask[first + k * step] = hit;
    }
}

// The bitmap row (and alpha row) as PNG samples, for the pass columns
// first, first + step, ... (straight rows: 0, 1, ...). Depth 2 is written as 4.
void ConvertRowOut(const TChunkIHDR& h, const std::array<uint8_t, 256>& inv, const uint8_t* src,
                   const uint8_t* alpha, uint32_t first, uint32_t step, uint32_t count,
                   uint8_t depth, uint8_t* out) {
    switch (h.ColorType) {
        case COLOR_GRAYSCALE:
        case COLOR_PALETTE:
            if (depth == 16) {
                for (uint32_t k = 0; k < count; ++k) {
                    out[2 * k] = src[first + k * step];
                    out[2 * k + 1] = 0;
                }
            } else if (step == 1 && first == 0) {
                std::memcpy(out, src, (size_t(count) * depth + 7) / 8);
            } else {
                const uint32_t d = depth, mask = (1u << d) - 1;
                std::memset(out, 0, (size_t(count) * d + 7) / 8);
                for (uint32_t k = 0; k < count; ++k) {
                    uint32_t at = (first + k * step) * d;
                    uint32_t v = (src[at / 8] >> (8 - d - at % 8)) & mask;
                    uint32_t to = k * d;
                    out[to / 8] |= uint8_t(v << (8 - d - to % 8));
                }
            }
            break;
        case COLOR_RGB:
            for (uint32_t k = 0; k < count; ++k) {
                const uint8_t* p = src + 3 * (first + k * step);
                if (depth == 16) {
                    uint8_t* o = out + 6 * k;
                    o[0] = inv[p[2]];
                    o[1] = 0;
                    o[2] = inv[p[1]];
                    o[3] = 0;
                    o[4] = inv[p[0]];
                    o[5] = 0;
                } else {
                    uint8_t* o = out + 3 * k;
                    o[0] = inv[p[2]];
                    o[1] = inv[p[1]];
                    o[2] = inv[p[0]];
                }
            }
            break;
        case COLOR_GRAYSCALEALPHA:
            for (uint32_t k = 0; k < count; ++k) {
                uint32_t c = first + k * step;
                if (depth == 16) {
                    uint8_t* o = out + 4 * k;
                    o[0] = src[c];
                    o[1] = 0;
                    o[2] = alpha[c];
                    o[3] = 0;
                } else {
                    out[2 * k] = src[c];
                    out[2 * k + 1] = alpha[c];
                }
            }
            break;
        case COLOR_RGBALPHA:
            for (uint32_t k = 0; k < count; ++k) {
                uint32_t c = first + k * step;
                const uint8_t* p = src + 3 * c;
                if (depth == 16) {
                    uint8_t* o = out + 8 * k;
                    o[0] = inv[p[2]];
                    o[1] = 0;
                    o[2] = inv[p[1]];
                    o[3] = 0;
                    o[4] = inv[p[0]];
                    o[5] = 0;
                    o[6] = alpha[c];
                    o[7] = 0;
                } else {
                    uint8_t* o = out + 4 * k;
                    o[0] = inv[p[2]];
                    o[1] = inv[p[1]];
                    o[2] = inv[p[0]];
                    o[3] = alpha[c];
                }
            }
            break;
        default:
            break;
    }
}

}  // namespace

bool TChunkIDAT::LoadFromStream(Stream& stream, const std::string&, uint32_t size) {
    TChunkIHDR& h = HeaderChunk();
    TPNGPicture& pic = *Owner;
    if (h.UsesPalette && (h.ColorType == COLOR_GRAYSCALE || h.ColorType == COLOR_GRAYSCALEALPHA))
        pic.SetPalette(GreyRamp(h.BitsPerPixel, pic.GammaTable));

    const KeySamples key = KeyOf(h, pic.Chunks().FindChunk<TChunktRNS>());
    if (key.channels > 0) h.KeyMask.assign(size_t(h.Width) * h.Height, 0);
    auto keyRow = [&](uint32_t y) { return h.KeyMask.data() + size_t(y) * h.Width; };

    bool gamma = false;
    for (size_t i = 0; i < 256; ++i) gamma = gamma || pic.GammaTable[i] != i;

    IdatReader reader(stream, size);
    const uint32_t fullRow = PngRowBytes(h.ColorType, h.BitDepth, h.Width);
    const uint32_t offset = PngPixelOffset(h.ColorType, h.BitDepth);
    std::vector<uint8_t> rows[2] = {std::vector<uint8_t>(size_t(fullRow) + 1, 0),
                                    std::vector<uint8_t>(size_t(fullRow) + 1, 0)};
    int current = 1;
    const bool decodable = h.HasImage() && h.BitsPerPixel > 0;

    if (decodable && pic.InterlaceMethod == 0) {
        for (uint32_t y = 0; y < h.Height; ++y) {
            uint8_t* row = rows[current].data();
            if (reader.Request(row, size_t(fullRow) + 1) < size_t(fullRow) + 1) break;
            UnfilterRow(row, rows[1 - current].data() + 1, fullRow, offset);
            if (h.Width > 0)
                ConvertRowIn(h, pic.GammaTable, gamma, row + 1, fullRow, h.Scanline(y),
                             h.AlphaScanline(y));
            if (key.channels > 0) MarkKeys(key, h.BitDepth, row + 1, h.Width, 0, 1, keyRow(y));
            current = 1 - current;
        }
    } else if (decodable) {
        for (const auto& pass : kPasses) {
            const uint32_t pw = PassWidth(pass, h.Width);
            const uint32_t rb = PngRowBytes(h.ColorType, h.BitDepth, pw);
            std::memset(rows[1 - current].data(), 0, size_t(rb) + 1);
            if (rb == 0) continue;
            for (uint32_t y = pass.row; y < h.Height; y += pass.rowStep) {
                uint8_t* row = rows[current].data();
                if (reader.Request(row, size_t(rb) + 1) < size_t(rb) + 1) break;
                UnfilterRow(row, rows[1 - current].data() + 1, rb, offset);
                uint8_t* dst = h.Scanline(y);
                uint8_t* alpha = h.AlphaScanline(y);
                for (uint32_t k = 0; k < pw; ++k)
                    PutPixelIn(h, pic.GammaTable, row + 1, k, pass.col + k * pass.colStep, dst,
                               alpha);
                if (key.channels > 0)
                    MarkKeys(key, h.BitDepth, row + 1, pw, pass.col, pass.colStep, keyRow(y));
                current = 1 - current;
            }
        }
    }
    reader.Finish();
    return true;
}

bool TChunkIDAT::SaveToStream(Stream& stream) {
    TChunkIHDR& h = HeaderChunk();
    TPNGPicture& pic = *Owner;
    if (!h.HasImage() || h.BitsPerPixel == 0)
        RaisePngError<EPNGHeaderNotPresent>(PNG_MSG_HEADER_NOT_PRESENT);
    const uint8_t depth = h.BitDepth == 2 ? 4 : h.BitDepth;
    const uint32_t fullRow = PngRowBytes(h.ColorType, depth, h.Width);
    const uint32_t offset = PngPixelOffset(h.ColorType, depth);
    std::vector<uint8_t> raw(fullRow), previous(fullRow, 0), line(size_t(fullRow) + 1);
    IdatWriter writer(stream, pic.DeflateLevel, pic.IdatChunkSize());

    auto emit = [&](uint32_t rowBytes) {
        line[0] = ChooseFilter(raw.data(), previous.data(), rowBytes, offset, pic.FilterSet,
                               line.data() + 1);
        writer.Feed(line.data(), size_t(rowBytes) + 1);
        if (rowBytes > 0) std::memcpy(previous.data(), raw.data(), rowBytes);
    };

    if (pic.InterlaceMethod == 0) {
        for (uint32_t y = 0; y < h.Height; ++y) {
            if (h.Width > 0)
                ConvertRowOut(h, pic.InverseGammaTable, h.Scanline(y), h.AlphaScanline(y), 0, 1,
                              h.Width, depth, raw.data());
            emit(fullRow);
        }
    } else {
        for (const auto& pass : kPasses) {
            const uint32_t pw = PassWidth(pass, h.Width);
            const uint32_t rb = PngRowBytes(h.ColorType, depth, pw);
            std::fill(previous.begin(), previous.end(), 0);
            if (rb == 0) continue;
            for (uint32_t y = pass.row; y < h.Height; y += pass.rowStep) {
                ConvertRowOut(h, pic.InverseGammaTable, h.Scanline(y), h.AlphaScanline(y), pass.col,
                              pass.colStep, pw, depth, raw.data());
                emit(rb);
            }
        }
    }
    writer.Finish();
    return true;
}

}  // namespace qv

#include "imaging/gif_lzw.h"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace qv {

std::atomic<bool> GIFTolerateCorrupt{true};

namespace {

const char kCodeSizeError[] = "GIF code size not in range 2 to 9";
const char kCorruptError[] = "GIF encoded data is corrupt";

// Reads codes from the data sub-blocks of a byte range. A zero-length block, or the end of
// the bytes, ends the data.
class CodeReader {
  public:
    CodeReader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    // False when the data ends before the code's last bit.
    bool Read(int codeSize, int& code) {
        while (bits_ < codeSize) {
            if (blockLeft_ == 0) {
                if (ended_ || p_ >= end_) return false;
                const std::size_t n = *p_++;
                if (n == 0) {
                    ended_ = true;
                    return false;
                }
                if (n > std::size_t(end_ - p_)) {
                    short_ = true;
                    blockLeft_ = std::size_t(end_ - p_);
                    if (blockLeft_ == 0) return false;
                } else {
                    blockLeft_ = n;
                }
            }
            acc_ |= std::uint32_t(*p_++) << bits_;
            bits_ += 8;
            --blockLeft_;
        }
        code = int(acc_ & ((1u << codeSize) - 1));
        acc_ >>= codeSize;
        bits_ -= codeSize;
        return true;
    }
    std::size_t Consumed(const std::uint8_t* start) const { return std::size_t(p_ - start); }
    bool ShortBlock() const { return short_; }

  private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
    std::uint32_t acc_ = 0;
    int bits_ = 0;
    std::size_t blockLeft_ = 0;
    bool ended_ = false;
    bool short_ = false;
};

// Writes pixel values into a bottom-up buffer in GIF row order.
class PixelWriter {
  public:
    PixelWriter(std::uint8_t* pixels, int width, int height, int bits, bool interlaced)
        : pixels_(pixels),
          width_(width),
          height_(height),
          bits_(bits),
          interlaced_(interlaced),
          bpr_(BytesPerScanline(std::size_t(width), bits)) {
        SetRow();
    }
    bool Done() const { return row_ >= height_; }
    // Pixels left in the current row, and where the next one goes (8 bits a pixel).
    int Room() const { return row_ < height_ ? width_ - col_ : 0; }
    std::uint8_t* Next() const { return line_ + col_; }
    // After n pixels were written at Next(); n is at most Room().
    void Advance(int n) {
        col_ += n;
        if (col_ == width_) NextRow();
    }
    void Put(std::uint8_t v) {
        if (row_ >= height_) return;
        if (bits_ == 8) {
            line_[col_] = v;
        } else if (bits_ == 4) {
            std::uint8_t& b = line_[col_ >> 1];
            b = (col_ & 1) ? std::uint8_t(b | v) : std::uint8_t(v << 4);
        } else {
            std::uint8_t& b = line_[col_ >> 3];
            b = (col_ & 7) ? std::uint8_t(b | v << (7 - (col_ & 7))) : std::uint8_t(v << 7);
        }
        if (++col_ == width_) NextRow();
    }

  private:
    void NextRow() {
        col_ = 0;
        row_ = interlaced_ ? NextInterlacedRow(row_, height_, pass_) : row_ + 1;
        SetRow();
    }
    void SetRow() {
        if (row_ < height_) line_ = pixels_ + std::size_t(height_ - 1 - row_) * bpr_;
    }
    std::uint8_t* pixels_;
    std::uint8_t* line_ = nullptr;
    int width_, height_, bits_;
    bool interlaced_;
    std::size_t bpr_;
    int col_ = 0, row_ = 0, pass_ = 0;
};

}  // namespace

int NextInterlacedRow(int row, int height, int& pass) {
    int candidate = row + (pass <= 1 ? 8 : pass == 2 ? 4 : 2);
    if (candidate < height) return candidate;
    if (pass == 0) {
        pass = 1;
        if (4 < height) return 4;
    }
    if (pass == 1) {
        pass = 2;
        if (2 < height) return 2;
    }
    if (pass == 2) {
        pass = 3;
        return 1;  // when not below height it ends output, as any candidate after pass 3
    }
    return candidate;
}

void GIFDecodeLZW(Stream& data, const BitmapInfoHeader& info, bool interlaced,
                  const GIFProgressFn& progress, bool& corrupt, std::uint8_t* pixels,
                  int bitsPerPixel, bool tolerate) {
    (void)bitsPerPixel;
    auto report = [&](ProgressStage stage, std::uint8_t percent, const std::string& message) {
        if (progress) progress(stage, percent, message);
    };
    report(ProgressStage::Starting, 0, "");
    try {
        // The whole coded range in memory once; frames keep it in a memory stream already.
        std::string copy;
        const std::uint8_t* bytes;
        std::size_t size;
        const std::int64_t start = data.Position();
        if (auto* memory = dynamic_cast<MemoryStream*>(&data)) {
            const std::size_t at =
                std::size_t(std::min<std::int64_t>(start, std::int64_t(memory->Bytes().size())));
            bytes = memory->Memory() + at;
            size = memory->Bytes().size() - at;
        } else {
            copy.resize(std::size_t(data.Remaining()));
            data.ReadBuffer(copy.data(), copy.size());
            data.SetPosition(start);
            bytes = reinterpret_cast<const std::uint8_t*>(copy.data());
            size = copy.size();
        }
        if (size == 0) throw EReadError();
        int m = bytes[0];
        if (m < 2 || m > 9) {
            if (!tolerate) throw EInvalidGraphicOperation(kCodeSizeError);
            corrupt = true;
            m = m < 2 ? 2 : 9;
        }
        const int width = info.biWidth, height = std::abs(info.biHeight);
        const int dibBits = info.biBitCount;
        if (width <= 0 || height <= 0) {
            report(ProgressStage::Ending, 100, "");
            return;
        }
        const std::uint8_t pixMask = std::uint8_t((1u << dibBits) - 1);
        const int clear = 1 << m, end = clear + 1, firstFree = clear + 2;
        const int initialSize = m + 1;
        int codeSize = initialSize, limit = 1 << codeSize, freeCode = firstFree;
        bool tableFull = false;
        std::vector<std::uint16_t> prefix(4096, 0), suffix(4096, 0), stack(4097, 0);
        // The length of each code's string: a string that fits in the row is written
        // straight into it, last pixel first, without the stack.
        std::vector<std::uint16_t> length(4096, 1);
        CodeReader reader(bytes + 1, size - 1);
        PixelWriter out(pixels, width, height, dibBits, interlaced);
        int old = -1, firstChar = 0, code = 0;
        bool afterClear = false;
        std::size_t nextReport = 0;  // bytes consumed at which the percentage next changes
        bool have = reader.Read(codeSize, code);
        while (have && code != end && !out.Done()) {
            if (code == clear) {
                codeSize = initialSize;
                limit = 1 << codeSize;
                freeCode = firstFree;
                tableFull = false;
                old = -1;
                afterClear = true;
                have = reader.Read(codeSize, code);
                continue;
            }
            if (old < 0) {
                // The first code of a run must be a literal; one that is not means damage.
                if (code > clear || (corrupt && !afterClear)) {
                    if (!corrupt && !tolerate) throw EInvalidGraphicOperation(kCorruptError);
                    corrupt = true;
                    break;
                }
                out.Put(std::uint8_t(code & pixMask));
                firstChar = code;
                old = code;
                afterClear = false;
            } else {
                if (corrupt) break;
                const int incoming = code;
                const bool repeat = code >= freeCode;  // the string of old and its first pixel
                if (repeat && code > freeCode) {
                    if (!tolerate) throw EInvalidGraphicOperation(kCorruptError);
                    corrupt = true;
                    break;
                }
                const int n = repeat ? length[std::size_t(old)] + 1 : length[std::size_t(code)];
                if (dibBits == 8 && n <= out.Room()) {
                    std::uint8_t* const first = out.Next();
                    std::uint8_t* p = first + n - 1;
                    if (repeat) {
                        *p-- = std::uint8_t(firstChar);
                        code = old;
                    }
                    while (code > clear && p > first) {
                        *p-- = std::uint8_t(suffix[std::size_t(code)]);
                        code = prefix[std::size_t(code)];
                    }
                    firstChar = code;
                    *first = std::uint8_t(firstChar);
                    out.Advance(n);
                } else {
                    int sp = 0;
                    if (repeat) {
                        stack[std::size_t(sp++)] = std::uint16_t(firstChar);
                        code = old;
                    }
                    while (code > clear) {  // literals are the codes below Clear
                        if (sp >= 4096) break;
                        stack[std::size_t(sp++)] = suffix[std::size_t(code)];
                        code = prefix[std::size_t(code)];
                    }
                    if (sp >= 4096) {
                        if (!tolerate) throw EInvalidGraphicOperation(kCorruptError);
                        corrupt = true;
                        break;
                    }
                    firstChar = code;
                    stack[std::size_t(sp++)] = std::uint16_t(firstChar);
                    while (sp > 0) out.Put(std::uint8_t(stack[std::size_t(--sp)] & pixMask));
                }
                if (!tableFull) {
                    prefix[std::size_t(freeCode)] = std::uint16_t(old);
                    suffix[std::size_t(freeCode)] = std::uint16_t(firstChar);
                    length[std::size_t(freeCode)] =
                        std::uint16_t(std::min(length[std::size_t(old)] + 1, 4097));
                    if (++freeCode >= limit) {
                        if (codeSize < 12) {
                            ++codeSize;
                            limit <<= 1;
                        } else {
                            tableFull = true;
                        }
                    }
                }
                old = incoming;
            }
            have = reader.Read(codeSize, code);
            if (progress && reader.Consumed(bytes + 1) >= nextReport) {
                const std::size_t percent = reader.Consumed(bytes + 1) * 100 / size;
                nextReport = ((percent + 1) * size + 99) / 100;
                report(ProgressStage::Running, std::uint8_t(percent), "");
            }
        }
        if (reader.ShortBlock()) corrupt = true;
        data.SetPosition(start + std::int64_t(1 + reader.Consumed(bytes + 1)));
    } catch (const std::exception& e) {
        report(ProgressStage::Ending, 0, e.what());
        throw;
    }
    report(ProgressStage::Ending, 100, "");
}

namespace {

class CodeWriter {
  public:
    explicit CodeWriter(Stream& out) : out_(out) { buffer_.fill(0); }
    void Put(int code, int codeSize) {
        const std::uint32_t v = std::uint32_t(code) << (curBit_ & 7);
        const int k = curBit_ >> 3;
        buffer_[std::size_t(k)] |= std::uint8_t(v);
        buffer_[std::size_t(k + 1)] = std::uint8_t(v >> 8);
        buffer_[std::size_t(k + 2)] = std::uint8_t(v >> 16);
        curBit_ += codeSize;
        if (curBit_ >= 2040) {
            out_.WriteByte(255);
            out_.WriteBuffer(buffer_.data(), 255);
            buffer_[0] = buffer_[255];
            buffer_[1] = buffer_[256];
            std::memset(buffer_.data() + 2, 0, buffer_.size() - 2);
            curBit_ -= 2040;
        }
    }
    void Flush() {
        const int n = (curBit_ + 7) / 8;
        if (n > 0) {
            out_.WriteByte(std::uint8_t(n));
            out_.WriteBuffer(buffer_.data(), std::size_t(n));
        }
        out_.WriteByte(0);
    }

  private:
    Stream& out_;
    std::array<std::uint8_t, 260> buffer_;
    int curBit_ = 0;
};

}  // namespace

void GIFEncodeLZW(Stream& stream, const BitmapInfoHeader& info, bool interlaced,
                  const GIFProgressFn& progress, const std::uint8_t* pixels) {
    auto report = [&](ProgressStage stage, std::uint8_t percent, const std::string& message) {
        if (progress) progress(stage, percent, message);
    };
    try {
        const int width = info.biWidth, height = std::abs(info.biHeight), bits = info.biBitCount;
        const std::size_t bpr = BytesPerScanline(std::size_t(width), bits);
        const int initialSize = bits == 1 ? 3 : bits + 1;
        const int minimum = initialSize - 1;
        stream.WriteByte(std::uint8_t(minimum));
        const int clear = 1 << minimum, end = clear + 1;
        int lastCode = end, codeSize = initialSize, limit = 1 << initialSize;
        constexpr int kSlots = 17777;
        struct Entry {
            std::uint16_t prefix, code;
            std::uint8_t ch;
        };
        std::vector<Entry> store(4096);
        std::vector<std::int16_t> slots(kSlots, -1);
        CodeWriter writer(stream);
        writer.Put(clear, codeSize);
        report(ProgressStage::Starting, 0, "");
        int prefix = 0, n = 0;
        std::uint64_t hash = 0;
        int y = 0, pass = 0;
        while (y < height) {
            const std::uint8_t* row = pixels + std::size_t(height - 1 - y) * bpr;
            for (int x = 0; x < width; ++x) {
                int p;
                if (bits == 8)
                    p = row[x];
                else if (bits == 4)
                    p = (x & 1) ? row[x >> 1] & 15 : row[x >> 1] >> 4;
                else
                    p = (row[x >> 3] >> (7 - (x & 7))) & 1;
                ++n;
                if (n == 1) {
                    prefix = p;
                    hash = std::uint64_t(p + 3) * 301;
                    continue;
                }
                hash = (std::uint64_t(p + n + 4) * hash) % kSlots;
                std::size_t slot = std::size_t(hash);
                for (;;) {
                    const std::int16_t e = slots[slot];
                    if (e < 0) break;
                    const Entry& en = store[std::size_t(e)];
                    if (en.prefix == prefix && en.ch == p) break;
                    slot = slot == kSlots - 1 ? 0 : slot + 1;
                }
                if (slots[slot] >= 0) {
                    prefix = store[std::size_t(slots[slot])].code;
                    continue;
                }
                writer.Put(prefix, codeSize);
                ++lastCode;
                store[std::size_t(lastCode)] = {std::uint16_t(prefix), std::uint16_t(lastCode),
                                                std::uint8_t(p)};
                slots[slot] = std::int16_t(lastCode);
                prefix = p;
                hash = std::uint64_t(p + 3) * 301;
                n = 1;
                if (lastCode >= limit) {
                    limit <<= 1;
                    ++codeSize;
                } else if (lastCode >= 4094) {
                    writer.Put(prefix, codeSize);
                    writer.Put(clear, codeSize);
                    n = 0;
                    lastCode = end;
                    codeSize = initialSize;
                    limit = 1 << initialSize;
                    std::fill(slots.begin(), slots.end(), std::int16_t(-1));
                }
            }
            y = interlaced ? NextInterlacedRow(y, height, pass) : y + 1;
            report(ProgressStage::Running,
                   std::uint8_t(std::min(y, height) * 100 / std::max(height, 1)), "");
        }
        // After a table reset the last pixel is already out.
        if (n > 0) writer.Put(prefix, codeSize);
        writer.Put(end, codeSize);
        writer.Flush();
    } catch (const std::exception& e) {
        report(ProgressStage::Ending, 0, e.what());
        throw;
    }
    report(ProgressStage::Ending, 100, "");
}

}  // namespace qv

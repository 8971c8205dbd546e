#include "imaging/gif_lzw.h"

#include <algorithm>
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

// Packs codes from the low bit up and writes them as data sub-blocks of 255 bytes, the
// last one shorter, then the terminator. The packed bytes are gathered in a run whose
// length is a multiple of 255, and each full run goes out in one write.
class CodeWriter {
  public:
    explicit CodeWriter(Stream& out)
        : out_(out), packed_(kRun + 8), blocks_(kRun + 8 + (kRun + 8) / 255 + 1) {}
    void Put(std::uint32_t code, int codeSize) {
        acc_ |= std::uint64_t(code) << bits_;
        bits_ += codeSize;
        if (bits_ < 32) return;
        std::uint8_t* at = packed_.data() + fill_;
        for (int i = 0; i < 4; ++i) at[i] = std::uint8_t(acc_ >> (8 * i));
        acc_ >>= 32;
        bits_ -= 32;
        fill_ += 4;
        if (fill_ >= kRun) {
            WriteBlocks(kRun);
            std::memmove(packed_.data(), packed_.data() + kRun, fill_ - kRun);
            fill_ -= kRun;
        }
    }
    void Flush() {
        for (; bits_ > 0; bits_ -= 8, acc_ >>= 8) packed_[fill_++] = std::uint8_t(acc_);
        WriteBlocks(fill_);
        out_.WriteByte(0);
    }

  private:
    static constexpr std::size_t kRun = 255 * 64;

    // The first n packed bytes as sub-blocks.
    void WriteBlocks(std::size_t n) {
        std::size_t size = 0;
        for (std::size_t at = 0; at < n; at += 255) {
            const std::size_t k = std::min<std::size_t>(255, n - at);
            blocks_[size++] = std::uint8_t(k);
            std::memcpy(blocks_.data() + size, packed_.data() + at, k);
            size += k;
        }
        out_.WriteBuffer(blocks_.data(), size);
    }

    Stream& out_;
    std::vector<std::uint8_t> packed_, blocks_;
    std::size_t fill_ = 0;
    std::uint64_t acc_ = 0;
    int bits_ = 0;
};

// The code of each string (prefix code, then one pixel) added since the last Clear, found
// at [pixel][prefix] without hashing or probing; 0 for none (no string has a code that
// low). The 2 MB this takes is kept per thread and left cleared after each use, only
// the entries set being cleared, so that small frames do not pay for clearing it all;
// a nested use on the same thread (from a progress handler) gets a table of its own.
class StringTable {
  public:
    static constexpr std::size_t kSize = std::size_t(256) << 12;

    // Codes are given out in order from firstCode.
    explicit StringTable(int firstCode) : first_(firstCode), last_(firstCode - 1) {
        Cache& cache = ThreadCache();
        if (!cache.busy) {
            if (!cache.codes) cache.codes = std::make_unique<std::uint16_t[]>(kSize);
            cache.busy = true;
            codes_ = cache.codes.get();
        } else {
            own_ = std::make_unique<std::uint16_t[]>(kSize);
            codes_ = own_.get();
        }
    }
    ~StringTable() {
        Clear();
        if (!own_) ThreadCache().busy = false;
    }
    StringTable(const StringTable&) = delete;
    StringTable& operator=(const StringTable&) = delete;

    static std::uint32_t Index(std::uint32_t prefix, std::uint32_t p) { return p << 12 | prefix; }
    std::uint16_t Find(std::uint32_t index) const { return codes_[index]; }
    void Add(std::uint32_t index, int code) {
        codes_[index] = std::uint16_t(code);
        set_[std::size_t(code)] = index;
        last_ = code;
    }
    void Clear() {
        for (int c = first_; c <= last_; ++c) codes_[set_[std::size_t(c)]] = 0;
        last_ = first_ - 1;
    }

  private:
    struct Cache {
        std::unique_ptr<std::uint16_t[]> codes;
        bool busy = false;
    };
    static Cache& ThreadCache() {
        thread_local Cache cache;
        return cache;
    }

    std::uint16_t* codes_ = nullptr;
    std::unique_ptr<std::uint16_t[]> own_;
    std::array<std::uint32_t, 4096> set_;  // where each code's entry is
    const int first_;
    int last_;  // the codes set since the last Clear are first_ to last_
};

// The LZW coder over the string table.
class LzwEncoder {
  public:
    LzwEncoder(Stream& out, int initialSize)
        : writer_(out),
          initialSize_(initialSize),
          clear_(1 << (initialSize - 1)),
          end_(clear_ + 1),
          table_(end_ + 1),
          lastCode_(end_),
          codeSize_(initialSize),
          limit_(1 << initialSize) {
        writer_.Put(std::uint32_t(clear_), codeSize_);
    }

    // The pixels of one row, from column 0. Only the search for the longest known
    // string runs here, with few values live, so that they stay in registers.
    template <int Bits>
    void Row(const std::uint8_t* row, int width) {
        std::uint32_t prefix = prefix_;
        int x = 0;
        if (!started_ && width > 0) prefix = PixelAt<Bits>(row, x++);
        started_ = started_ || width > 0;
        for (; x < width; ++x) {
            const std::uint32_t p = PixelAt<Bits>(row, x);
            const std::uint32_t index = StringTable::Index(prefix, p);
            if (const std::uint16_t code = table_.Find(index)) {
                prefix = code;
                continue;
            }
            const bool reset = NewString(prefix, p, index);
            prefix = p;
            if (reset) {
                // Coding starts afresh with the next pixel.
                if (++x < width)
                    prefix = PixelAt<Bits>(row, x);
                else
                    started_ = false;
            }
        }
        prefix_ = prefix;
    }

    // Outputs the known string prefix that pixel p does not extend and adds the
    // extended one (at index in the table). True when that filled the table: p then
    // goes out as a string of its own, and the table starts afresh.
    [[gnu::noinline]] bool NewString(std::uint32_t prefix, std::uint32_t p, std::uint32_t index) {
        writer_.Put(prefix, codeSize_);
        table_.Add(index, ++lastCode_);
        if (lastCode_ >= limit_) {
            limit_ <<= 1;
            ++codeSize_;
            return false;
        }
        if (lastCode_ < 4094) return false;
        writer_.Put(p, codeSize_);
        writer_.Put(std::uint32_t(clear_), codeSize_);
        lastCode_ = end_;
        codeSize_ = initialSize_;
        limit_ = 1 << initialSize_;
        table_.Clear();
        return true;
    }

    void Finish() {
        // After a table reset the last pixel is already out.
        if (started_) writer_.Put(prefix_, codeSize_);
        writer_.Put(std::uint32_t(end_), codeSize_);
        writer_.Flush();
    }

  private:
    template <int Bits>
    static std::uint32_t PixelAt(const std::uint8_t* row, int x) {
        if constexpr (Bits == 8)
            return row[x];
        else if constexpr (Bits == 4)
            return (x & 1) ? row[x >> 1] & 15u : std::uint32_t(row[x >> 1]) >> 4;
        else
            return (std::uint32_t(row[x >> 3]) >> (7 - (x & 7))) & 1;
    }

    CodeWriter writer_;
    const int initialSize_, clear_, end_;
    StringTable table_;
    int lastCode_, codeSize_, limit_;
    std::uint32_t prefix_ = 0;
    bool started_ = false;  // a string is open (not so at the start and after a Clear)
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
        stream.WriteByte(std::uint8_t(initialSize - 1));
        LzwEncoder lzw(stream, initialSize);
        report(ProgressStage::Starting, 0, "");
        int y = 0, pass = 0;
        while (y < height) {
            const std::uint8_t* row = pixels + std::size_t(height - 1 - y) * bpr;
            if (bits == 8)
                lzw.Row<8>(row, width);
            else if (bits == 4)
                lzw.Row<4>(row, width);
            else
                lzw.Row<1>(row, width);
            y = interlaced ? NextInterlacedRow(y, height, pass) : y + 1;
            report(ProgressStage::Running,
                   std::uint8_t(std::min(y, height) * 100 / std::max(height, 1)), "");
        }
        lzw.Finish();
    } catch (const std::exception& e) {
        report(ProgressStage::Ending, 0, e.what());
        throw;
    }
    report(ProgressStage::Ending, 100, "");
}

}  // namespace qv

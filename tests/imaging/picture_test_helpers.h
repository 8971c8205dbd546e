#pragma once
// Helpers for the picture suites: files on disk, the independent image tools and the
// PAM pictures they exchange, hand-made GIF and PNG files.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/gif_image.h"
#include "imaging/png_picture.h"
#include "imaging/stream.h"

namespace qv::test {

using namespace std::string_literals;

// Runs a shell command; answers its standard output, exit status in *status.
std::string RunCommand(const std::string& command, int* status = nullptr);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// A fresh directory, removed with everything in it when the object goes.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& prefix);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string Path(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// A netpbm PAM picture: Depth samples a pixel, rows top-down.
struct Pam {
    std::uint32_t Width = 0, Height = 0, Depth = 3, MaxVal = 255;
    std::vector<std::uint32_t> Samples;
    std::uint32_t At(std::uint32_t x, std::uint32_t y, std::uint32_t c) const {
        return Samples[(std::size_t(y) * Width + x) * Depth + c];
    }
    bool operator==(const Pam&) const = default;
};

// A PAM file of the picture, and a PAM file read back (an empty picture on anything else:
// other formats go through netpbm's pamtopam first).
std::string PamFile(const Pam& pam, const std::string& tupltype = "RGB");
Pam ReadPam(const std::string& bytes);
Pam FromBitmap(const Bitmap& bitmap);  // 8-bit RGB
Bitmap ToBitmap(const Pam& rgb);       // 24 bits

// LZW data as a GIF holds it: codes (value, bit size) packed low bit first into
// sub-blocks of 255 bytes, then the terminator.
std::string PackCodes(const std::vector<std::pair<int, int>>& codes);
// LZW data of every pixel as a literal code of the smallest size, with a Clear before the
// decoder's table would widen the codes, as simple encoders write it (the tools' files
// cover the usual encoders).
std::string LiteralLzw(const std::vector<int>& pixels, int minCodeSize);

// Colour table bytes (red, green, blue) of 0xRRGGBB entries.
std::string TableBytes(const std::vector<std::uint32_t>& colours);
// A GIF file: header, screen descriptor with an optional global table (0xRRGGBB entries,
// padded to a power of two), the given blocks and the trailer.
std::string GifFile(int width, int height, const std::vector<std::uint32_t>& globalTable,
                    const std::string& blocks, const char* version = "89a");
// An image descriptor block with its local table bytes, minimum code size and data.
std::string ImageBlock(int left, int top, int width, int height, std::uint8_t flags,
                       const std::string& localTable, int minCodeSize, const std::string& data);
std::string GraphicControl(std::uint8_t flags, int delay, int transparent);

// The picture drawn over a w x h target filled with a background colour.
Bitmap DrawnOver(Graphic& picture, int w, int h, Color background);

// A picture of type P read from a file's bytes, and a picture's file bytes.
template <class P = TPNGPicture>
std::unique_ptr<P> Load(const std::string& bytes) {
    auto picture = std::make_unique<P>();
    MemoryStream s(bytes);
    picture->LoadFromStream(s);
    return picture;
}
std::string Save(Graphic& picture);

// PNG files made by hand: the signature, one chunk with its length and CRC, header chunk
// data, signature with header chunk, the end chunk, zlib data, and a whole file (header,
// extra chunks, one data chunk of the compressed rows, end).
inline const std::string kSignature = "\x89PNG\r\n\x1a\n"s;
std::string Chunk(const std::string& type, const std::string& data);
std::string IhdrData(uint32_t w, uint32_t h, uint8_t depth, uint8_t type, uint8_t interlace = 0,
                     uint8_t compression = 0);
inline std::string Head(uint32_t w, uint32_t h, uint8_t depth, uint8_t type,
                        uint8_t interlace = 0) {
    return kSignature + Chunk("IHDR", IhdrData(w, h, depth, type, interlace));
}
inline std::string End() {
    return Chunk("IEND", "");
}
std::string Zlib(const std::string& raw, int level = 6);
inline std::string MakePng(uint32_t w, uint32_t h, uint8_t depth, uint8_t type,
                           const std::string& filteredRows, const std::string& extra = {}) {
    return Head(w, h, depth, type) + extra + Chunk("IDAT", Zlib(filteredRows)) + End();
}

// Runs f; answers the number (PNG errors carry one, others 0) and text of the E it raised,
// {0, ""} when none.
template <class E, class F>
std::pair<int, std::string> Raised(F f) {
    try {
        f();
    } catch (const E& e) {
        if constexpr (requires { e.Id(); }) return {e.Id(), e.what()};
        return {0, e.what()};
    }
    return {0, ""};
}

// The number of the E that loading file raises, 0 when none.
template <class E>
int FailureId(const std::string& file, TPNGPicture* into = nullptr) {
    TPNGPicture own;
    MemoryStream s(file);
    return Raised<E>([&] { (into ? *into : own).LoadFromStream(s); }).first;
}

// The types of a file's chunks in order; given a type, the data of each chunk of that type
// (stops at a damaged length).
std::vector<std::string> Chunks(const std::string& file, const std::string& type = {});

}  // namespace qv::test

#pragma once
// The GIF picture: one or more frames of a GIF file. Frames keep the LZW data they were
// read with and are decoded into bitmaps only when drawn; frames made from bitmaps are
// encoded when the picture is saved. Copies of a picture share the logical-screen data
// and the frames' encoded data; shared data is copied before it is changed.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/canvas.h"
#include "imaging/color_reduction.h"
#include "imaging/gif_lzw.h"
#include "imaging/graphic.h"
#include "imaging/picture_registry.h"
#include "imaging/stream.h"

namespace qv {

// Exception texts of the codec (raised as EInvalidGraphicOperation).
extern const char* const kGifUnknownVersion;    // "Unknown GIF version"
extern const char* const kGifEncodingError;     // "GIF image encoding error"
extern const char* const kGifWrongColorCount;   // "Wrong number of colors; must be a power of 2"
extern const char* const kGifNoDataToWrite;     // "No GIF Data to write"
extern const char* const kGifCannotChangeSize;  // "Cannot change the Size of a GIF image"
extern const char* const kGifTooLarge;          // "GIF image too large"
extern const char* const kGifOutOfMemory;       // "Not enough memory for the GIF image"
constexpr char kGifClipboardFormat[] = "GIF Image";

// The reduction used when a true-colour frame is encoded.
extern std::atomic<TColorReduction> GIFDefaultReduction;

struct TGIFColorTable {
    std::int32_t Count = 0;  // 0 to 256; entries from Count on are zero
    std::array<std::array<std::uint8_t, 3>, 256> Colors{};  // red, green, blue
    Color ColorAt(int index) const {
        return RGBColor(Colors[std::size_t(index)][0], Colors[std::size_t(index)][1],
                        Colors[std::size_t(index)][2]);
    }
    bool operator==(const TGIFColorTable&) const = default;
};

// 2, 4, ..., 256 give 1 to 8; other counts raise "Wrong number of colors; must be a power of 2".
int ColorsToBits(int count);
// Index of the first entry equal to color (as RGB), -1 for none or no match.
int FindColorIndex(const TGIFColorTable& table, Color color);

// Logical-screen data, shared between copies of a picture.
struct TGIFData {
    std::vector<std::string> Comment;
    std::uint8_t AspectRatio = 0;
    std::uint8_t BitsPerPixel = 0;
    std::uint8_t ColorResBits = 0;
    TGIFColorTable ColorMap;
};

struct GIFSize {
    std::int32_t cx = 0, cy = 0;
};
struct GIFPoint {
    std::int32_t x = 0, y = 0;
};

// Encoded data of one frame, shared between copies of a frame.
struct TGIFItem {
    std::unique_ptr<MemoryStream> ImageData;  // minimum code size, sub-blocks, terminator
    GIFSize Size;
    std::uint8_t PackedFields = 0;
    std::uint8_t BitsPerPixel = 0;
    TGIFColorTable ColorMap;

    std::shared_ptr<TGIFItem> Clone() const;
};

enum TExtensionType : std::uint8_t {
    etGraphicControl = 0,
    etPlainText = 1,
    etApplication = 2,
    etComment = 3
};
// Block labels of the four types, in type order.
constexpr std::uint8_t kExtensionLabels[4] = {0xF9, 0x01, 0xFF, 0xFE};

class TExtension {
  public:
    std::uint8_t ExtType = etComment;
    std::unique_ptr<std::vector<std::string>> Data;  // one string per data sub-block
    std::array<std::uint8_t, 13> Header{};           // fixed part, starting with its size byte

    // Bytes of the fixed part for the type: 6, 13, 12, 0.
    static std::size_t HeaderSize(std::uint8_t type);
    void Assign(const TExtension& source);
};

class TGIFImage;

class TGIFFrame {
  public:
    explicit TGIFFrame(TGIFImage* owner);
    ~TGIFFrame();
    TGIFFrame(const TGIFFrame&) = delete;
    TGIFFrame& operator=(const TGIFFrame&) = delete;

    TGIFImage* Owner = nullptr;
    std::unique_ptr<Bitmap> FBitmap;
    std::shared_ptr<TGIFItem> Item;
    std::vector<std::unique_ptr<TExtension>> Extensions;
    GIFPoint Origin;
    bool Interlaced = false, Corrupted = false, Grayscale = false;
    Color TransparentColor = clNone;
    // The transparent entry as read: kept so that a table with duplicate colours hides the
    // right pixels and is written back with the same index. -1 for none.
    int TransparentIndex = -1;
    // Milliseconds. Wider than the file's hundredths need, so long delays survive.
    std::uint32_t AnimateInterval = 0;
    std::uint8_t Disposal = 0;
    bool LocalColors = false;

    void Reset();
    // The decoded picture, made on demand (empty when there is no data).
    Bitmap& GetBitmap();
    int Width();
    int Height();
    // The comment lines of the last comment extension; nullptr when there is none and
    // create is false.
    std::vector<std::string>* Comment(bool create);
    void SetComment(const std::vector<std::string>& lines);
    void Draw(Canvas& canvas, const Rect& rect, bool transparent);

    void Assign(const TGIFFrame* source);
    void Assign(const TGIFImage& source);
    void Assign(const Graphic* source);  // nullptr, a GIF picture or any other picture
    void AssignTo(Graphic& dest);

    // Writes the frame as a BMP image (file header first) into stream; position 0 after.
    void DecodeToDIB(MemoryStream& stream);
    void UpdateExtensions();
    void EncodeBitmap();

  private:
    void Progress(ProgressStage stage, std::uint8_t percent, const std::string& message);
};

enum TGIFVersion : std::uint8_t { gvUnknown = 0, gv87a = 1, gv89a = 2 };
extern const char* const kGifVersionTexts[3];  // "", "87a", "89a"

class TGIFImage : public Graphic {
  public:
    TGIFImage();
    ~TGIFImage() override;

    std::string ClassName() const override { return "TGIFImage"; }
    std::unique_ptr<Graphic> NewInstance() const override { return std::make_unique<TGIFImage>(); }

    std::shared_ptr<TGIFData> Data;
    TGIFVersion Version = gvUnknown;
    std::vector<std::unique_ptr<TGIFFrame>> Frames;
    std::int32_t FrameIndex = -1;
    std::uint16_t ScreenWidth = 0, ScreenHeight = 0;
    Color BackgroundColor = clNone;
    int BackgroundIndex = -1;  // as read; kept while it still names BackgroundColor
    bool Looping = false;
    std::uint16_t RepeatCount = 1;

    void Clear();
    void Assign(const Graphic* source) override;
    void Assign(const TGIFFrame& source);
    void AssignTo(Graphic& dest) const override;
    void Draw(Canvas& canvas, const Rect& rect) override;
    bool Equals(const Graphic& other) override;
    bool Empty() const override;
    int Width() override;
    int Height() override;
    Palette GetPalette();
    bool Transparent() override;
    void SetWidth(int) override;
    void SetHeight(int) override;

    // Stored form with a 32-bit size prefix.
    void ReadData(Stream& stream);
    void WriteData(Stream& stream);
    void LoadFromStream(Stream& stream) override;
    void SaveToStream(Stream& stream) override;
    void LoadFromClipboardFormat(const ClipboardData& data) override;
    void SaveToClipboardFormat(ClipboardData& data) override;

    int AddFrame(const Graphic* graphic);
    int FrameCount() const { return int(Frames.size()); }
    TGIFFrame& Frame(int index) { return *Frames.at(std::size_t(index)); }
    Bitmap& CurrentBitmap();
    void UpdateScreenSize();

    void ReadGIF(std::size_t size, Stream& stream, bool decodeFirst);
    void WriteGIF(Stream& stream, bool withSize);
    void EncodeFrames();

    // The logical-screen data, copied first when another picture shares it.
    TGIFData& OwnData();
};

// Registers the file format "gif" ("CompuServe GIF Image") and the clipboard format
// "GIF Image"; the program calls it at start-up. UnregisterGifFormat at shutdown.
void RegisterGifFormat(PictureRegistry& registry);
void UnregisterGifFormat(PictureRegistry& registry);

// Draws bitmap's source rectangle stretched into the destination, leaving the pixels of
// transparentColor (or those marked by mask, when given) untouched.
void StretchBitmapTransparent(Canvas& canvas, Bitmap& bitmap, Color transparentColor, int dx,
                              int dy, int dw, int dh, int sx, int sy, int sw, int sh,
                              const TransparencyMask* mask = nullptr);

}  // namespace qv

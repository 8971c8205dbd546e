#pragma once
// The picture base class: every picture type (bitmap, GIF, PNG) loads and saves itself
// from streams and files, draws onto a canvas, tells its size and transparency, and
// raises change and progress events. Colours are class-library colour values.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "imaging/stream.h"

namespace qv {

// R | G << 8 | B << 16; the high byte marks special values.
using Color = std::uint32_t;
constexpr Color clNone = 0x1FFFFFFF;
constexpr Color clDefault = 0x20000000;
constexpr Color clBlack = 0x000000;
constexpr Color clWhite = 0xFFFFFF;
constexpr Color clSystemColor = 0x80000000;  // high bit: system colour index in the low byte

constexpr Color RGBColor(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return Color(r) | Color(g) << 8 | Color(b) << 16;
}
constexpr std::uint8_t GetRValue(Color c) {
    return std::uint8_t(c);
}
constexpr std::uint8_t GetGValue(Color c) {
    return std::uint8_t(c >> 8);
}
constexpr std::uint8_t GetBValue(Color c) {
    return std::uint8_t(c >> 16);
}
// System colours become their usual RGB value; other values keep their low 24 bits.
Color ColorToRGB(Color c);

class EInvalidGraphic : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
class EInvalidGraphicOperation : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// "Cannot assign a <source> to a <dest>"
class EConvertError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// The class library's silent abort: ends an operation without a message of its own.
class EAbort : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Rect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool operator==(const Rect&) const = default;
};

enum class ProgressStage { Starting, Running, Ending };

// Clipboard contents as plain data: a plain bitmap (a BMP image in memory, file header
// included) and any registered formats by name.
struct ClipboardData {
    std::string Bitmap;  // empty: no plain bitmap
    std::map<std::string, std::string> Formats;
};

class Canvas;

class Graphic {
  public:
    using ChangeHandler = std::function<void(Graphic&)>;
    using ProgressHandler =
        std::function<void(Graphic&, ProgressStage stage, std::uint8_t percent, bool redrawNow,
                           const Rect& rect, const std::string& message)>;

    Graphic() = default;
    virtual ~Graphic() = default;
    Graphic(const Graphic&) = delete;
    Graphic& operator=(const Graphic&) = delete;

    // Class name as the class library would show it, for messages ("TBitmap").
    virtual std::string ClassName() const = 0;
    // The virtual constructor: a new empty picture of the same type.
    virtual std::unique_ptr<Graphic> NewInstance() const = 0;

    // Copies source into this picture; nullptr empties it. The base asks the source to
    // assign itself (AssignTo), which fails with EConvertError.
    virtual void Assign(const Graphic* source);
    virtual void AssignTo(Graphic& dest) const;

    virtual void Draw(Canvas& canvas, const Rect& rect) = 0;
    virtual bool Equals(const Graphic& other);
    virtual bool Empty() const = 0;
    virtual int Width() = 0;
    virtual int Height() = 0;
    virtual void SetWidth(int width) = 0;
    virtual void SetHeight(int height) = 0;
    void SetSize(int width, int height) {
        SetWidth(width);
        SetHeight(height);
    }
    virtual bool Transparent() { return transparent_; }
    virtual void SetTransparent(bool value);

    virtual void LoadFromStream(Stream& stream) = 0;
    virtual void SaveToStream(Stream& stream) = 0;
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path);
    virtual void LoadFromClipboardFormat(const ClipboardData& data);
    virtual void SaveToClipboardFormat(ClipboardData& data);

    void SetOnChange(ChangeHandler handler) { onChange_ = std::move(handler); }
    void SetOnProgress(ProgressHandler handler) { onProgress_ = std::move(handler); }
    const ChangeHandler& OnChange() const { return onChange_; }
    const ProgressHandler& OnProgress() const { return onProgress_; }

    bool Modified() const { return modified_; }
    void SetModified(bool value) { modified_ = value; }
    bool PaletteModified() const { return paletteModified_; }
    void SetPaletteModified(bool value) { paletteModified_ = value; }

    // Raises the change event and marks the picture modified.
    virtual void Changed();
    void Progress(ProgressStage stage, std::uint8_t percent, bool redrawNow, const Rect& rect,
                  const std::string& message);

  protected:
    bool transparent_ = false;

  private:
    ChangeHandler onChange_;
    ProgressHandler onProgress_;
    bool modified_ = false;
    bool paletteModified_ = false;
};

}  // namespace qv

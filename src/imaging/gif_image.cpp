#include "imaging/gif_image.h"

#include <algorithm>
#include <cstring>

namespace qv {

const char* const kGifUnknownVersion = "Unknown GIF version";
const char* const kGifEncodingError = "GIF image encoding error";
const char* const kGifWrongColorCount = "Wrong number of colors; must be a power of 2";
const char* const kGifNoDataToWrite = "No GIF Data to write";
const char* const kGifCannotChangeSize = "Cannot change the Size of a GIF image";
const char* const kGifTooLarge = "GIF image too large";
const char* const kGifOutOfMemory = "Not enough memory for the GIF image";
const char* const kGifVersionTexts[3] = {"", "87a", "89a"};

std::atomic<TColorReduction> GIFDefaultReduction{MapByFrequency};

int ColorsToBits(int count) {
    for (int bits = 1; bits <= 8; ++bits)
        if (count == 1 << bits) return bits;
    throw EInvalidGraphicOperation(kGifWrongColorCount);
}

int FindColorIndex(const TGIFColorTable& table, Color color) {
    if (color == clNone) return -1;
    const Color c = ColorToRGB(color);
    for (int i = 0; i < table.Count && i < 256; ++i)
        if (table.ColorAt(i) == c) return i;
    return -1;
}

std::shared_ptr<TGIFItem> TGIFItem::Clone() const {
    auto copy = std::make_shared<TGIFItem>();
    if (ImageData) copy->ImageData = std::make_unique<MemoryStream>(ImageData->Bytes());
    copy->Size = Size;
    copy->PackedFields = PackedFields;
    copy->BitsPerPixel = BitsPerPixel;
    copy->ColorMap = ColorMap;
    return copy;
}

std::size_t TExtension::HeaderSize(std::uint8_t type) {
    switch (type) {
        case etGraphicControl:
            return 6;
        case etPlainText:
            return 13;
        case etApplication:
            return 12;
        default:
            return 0;
    }
}

void TExtension::Assign(const TExtension& source) {
    if (&source == this) return;
    ExtType = source.ExtType;
    Header = source.Header;
    if (source.Data) {
        if (!Data) Data = std::make_unique<std::vector<std::string>>();
        *Data = *source.Data;
    }
}

// ---- frame ----

TGIFFrame::TGIFFrame(TGIFImage* owner) : Owner(owner) {
    Reset();
}

TGIFFrame::~TGIFFrame() = default;

void TGIFFrame::Reset() {
    Item = std::make_shared<TGIFItem>();
    Grayscale = false;
    Corrupted = false;
    TransparentColor = clNone;
    TransparentIndex = -1;
    Origin = {};
    Interlaced = false;
    AnimateInterval = 0;
    Disposal = 0;
    LocalColors = false;
}

void TGIFFrame::Progress(ProgressStage stage, std::uint8_t percent, const std::string& message) {
    if (Owner) Owner->Progress(stage, percent, false, Rect{0, 0, 0, 0}, message);
}

int TGIFFrame::Width() {
    if (!FBitmap && !(Item && Item->ImageData)) return 0;
    return GetBitmap().Width();
}

int TGIFFrame::Height() {
    if (!FBitmap && !(Item && Item->ImageData)) return 0;
    return GetBitmap().Height();
}

std::vector<std::string>* TGIFFrame::Comment(bool create) {
    for (auto it = Extensions.rbegin(); it != Extensions.rend(); ++it) {
        if ((*it)->ExtType != etComment) continue;
        if (!(*it)->Data) (*it)->Data = std::make_unique<std::vector<std::string>>();
        return (*it)->Data.get();
    }
    if (!create) return nullptr;
    auto ext = std::make_unique<TExtension>();
    ext->ExtType = etComment;
    ext->Data = std::make_unique<std::vector<std::string>>();
    Extensions.push_back(std::move(ext));
    return Extensions.back()->Data.get();
}

void TGIFFrame::SetComment(const std::vector<std::string>& lines) {
    *Comment(true) = lines;
}

void TGIFFrame::Draw(Canvas& canvas, const Rect& rect, bool transparent) {
    Bitmap& bitmap = GetBitmap();
    if (TransparentColor != clNone && transparent) {
        // The entry as read tells the pixels apart even when another entry has its colour.
        std::unique_ptr<TransparencyMask> mask;
        if (TransparentIndex >= 0 && bitmap.BitCount() <= 8 &&
            std::size_t(TransparentIndex) < bitmap.ColorTable().size()) {
            const RGBQuad& q = bitmap.ColorTable()[std::size_t(TransparentIndex)];
            if (RGBColor(q.rgbRed, q.rgbGreen, q.rgbBlue) == ColorToRGB(TransparentColor))
                mask = std::make_unique<TransparencyMask>(
                    MaskFromIndex(bitmap, std::uint32_t(TransparentIndex)));
        }
        StretchBitmapTransparent(canvas, bitmap, TransparentColor, rect.Left, rect.Top,
                                 rect.Width(), rect.Height(), 0, 0, bitmap.Width(), bitmap.Height(),
                                 mask.get());
    } else {
        canvas.CopyRect(rect, bitmap, Rect{0, 0, bitmap.Width(), bitmap.Height()});
    }
}

void TGIFFrame::Assign(const TGIFFrame* source) {
    if (source == this) return;
    if (source == nullptr) {
        Reset();
        FBitmap.reset();
    } else {
        Item = source->Item;
        LocalColors = source->Owner == Owner ? source->LocalColors : true;
        Origin = source->Origin;
        Interlaced = source->Interlaced;
        if (source->FBitmap) {
            FBitmap = std::make_unique<Bitmap>();
            FBitmap->Assign(source->FBitmap.get());
        } else {
            // A bitmap of the old picture must not stand in for the new data.
            FBitmap.reset();
        }
        TransparentColor = source->TransparentColor;
        TransparentIndex = source->TransparentIndex;
        AnimateInterval = source->AnimateInterval;
        Disposal = source->Disposal;
        Grayscale = source->Grayscale;
        Corrupted = source->Corrupted;
        auto* frame = const_cast<TGIFFrame*>(source);
        if (std::vector<std::string>* comment = frame->Comment(false); comment && !comment->empty())
            SetComment(*comment);
    }
    if (Owner) Owner->UpdateScreenSize();
}

void TGIFFrame::Assign(const TGIFImage& source) {
    if (source.Frames.empty()) {
        Assign(static_cast<const TGIFFrame*>(nullptr));
        return;
    }
    const std::size_t index = source.FrameIndex < 0 ? 0 : std::size_t(source.FrameIndex);
    Assign(source.Frames.at(std::min(index, source.Frames.size() - 1)).get());
}

void TGIFFrame::Assign(const Graphic* source) {
    if (source == nullptr) {
        Assign(static_cast<const TGIFFrame*>(nullptr));
        return;
    }
    if (const auto* gif = dynamic_cast<const TGIFImage*>(source)) {
        Assign(*gif);
        return;
    }
    if (source->Empty()) {
        Assign(static_cast<const TGIFFrame*>(nullptr));
        return;
    }
    // The source may be this frame's own bitmap: it stays alive until it is copied.
    const std::unique_ptr<Bitmap> previous = std::move(FBitmap);
    Reset();
    FBitmap = std::make_unique<Bitmap>();
    FBitmap->Assign(source);
    auto* picture = const_cast<Graphic*>(source);
    if (picture->Transparent()) {
        if (const auto* bitmap = dynamic_cast<const Bitmap*>(source))
            TransparentColor = bitmap->TransparentColor();
        else
            TransparentColor = FBitmap->GetCanvas().NearestColor(FBitmap->GetCanvas().BrushColor());
    }
    if (Owner) Owner->UpdateScreenSize();
}

void TGIFFrame::AssignTo(Graphic& dest) {
    if (auto* gif = dynamic_cast<TGIFImage*>(&dest)) {
        gif->Assign(*this);
        return;
    }
    dest.Assign(&GetBitmap());
    if (auto* bitmap = dynamic_cast<Bitmap*>(&dest); bitmap && TransparentColor != clNone) {
        bitmap->SetTransparentColor(bitmap->GetCanvas().NearestColor(TransparentColor));
        bitmap->SetTransparent(true);
    }
}

// ---- picture ----

TGIFImage::TGIFImage() {
    Clear();
    transparent_ = true;
}

TGIFImage::~TGIFImage() {
    SetOnChange(nullptr);
}

void TGIFImage::Clear() {
    Data = std::make_shared<TGIFData>();
    Frames.clear();
    FrameIndex = -1;
    BackgroundColor = clNone;
    BackgroundIndex = -1;
    RepeatCount = 1;
    Looping = false;
    Version = gvUnknown;
    ScreenWidth = ScreenHeight = 0;
}

TGIFData& TGIFImage::OwnData() {
    if (Data.use_count() > 1) Data = std::make_shared<TGIFData>(*Data);
    return *Data;
}

void TGIFImage::Assign(const Graphic* source) {
    if (source == this) return;
    if (source == nullptr) {
        Clear();
        Changed();
        return;
    }
    if (const auto* gif = dynamic_cast<const TGIFImage*>(source)) {
        Data = gif->Data;
        Version = gif->Version;
        BackgroundColor = gif->BackgroundColor;
        BackgroundIndex = gif->BackgroundIndex;
        RepeatCount = gif->RepeatCount;
        Looping = gif->Looping;
        Frames.clear();
        for (const auto& src : gif->Frames) {
            auto frame = std::make_unique<TGIFFrame>(this);
            frame->Assign(src.get());
            frame->LocalColors = src->LocalColors;
            Frames.push_back(std::move(frame));
        }
        ScreenWidth = gif->ScreenWidth;
        ScreenHeight = gif->ScreenHeight;
        FrameIndex = gif->FrameIndex;
        Changed();
        return;
    }
    if (dynamic_cast<const Bitmap*>(source)) {
        // The bitmap of one of this picture's own frames must outlive the clearing below.
        std::unique_ptr<Bitmap> keep;
        for (auto& frame : Frames)
            if (frame->FBitmap.get() == source) keep = std::move(frame->FBitmap);
        Clear();
        AddFrame(source);
        Changed();
        return;
    }
    Graphic::Assign(source);
}

void TGIFImage::Assign(const TGIFFrame& source) {
    // A frame of this very picture (and its screen data) must outlive the clearing below.
    std::unique_ptr<TGIFFrame> keep;
    for (auto& frame : Frames)
        if (frame.get() == &source) keep = std::move(frame);
    const std::shared_ptr<TGIFData> fromData = source.Owner ? source.Owner->Data : nullptr;
    Clear();
    if (fromData) {
        const TGIFData& from = *fromData;
        Data->AspectRatio = from.AspectRatio;
        Data->BitsPerPixel = from.BitsPerPixel;
        Data->ColorResBits = from.ColorResBits;
        Data->ColorMap = from.ColorMap;
    }
    Frames.push_back(std::make_unique<TGIFFrame>(this));
    FrameIndex = 0;
    Frames.back()->Assign(&source);
    if (Version == gvUnknown) Version = gv87a;
    Changed();
}

void TGIFImage::AssignTo(Graphic& dest) const {
    auto& self = const_cast<TGIFImage&>(*this);
    if (auto* gif = dynamic_cast<TGIFImage*>(&dest)) {
        gif->Assign(this);
        return;
    }
    if (Empty()) {
        dest.Assign(nullptr);
    } else if (FrameIndex < 0 || std::size_t(FrameIndex) >= Frames.size()) {
        dest.Assign(&self.CurrentBitmap());
    } else {
        Frames[std::size_t(FrameIndex)]->AssignTo(dest);
    }
}

void TGIFImage::Draw(Canvas& canvas, const Rect& rect) {
    if (FrameIndex >= 0 && std::size_t(FrameIndex) < Frames.size())
        Frames[std::size_t(FrameIndex)]->Draw(canvas, rect, Transparent());
}

bool TGIFImage::Equals(const Graphic& other) {
    const auto* gif = dynamic_cast<const TGIFImage*>(&other);
    return gif != nullptr && gif->Data == Data;
}

bool TGIFImage::Empty() const {
    const std::size_t i = std::size_t(std::max(FrameIndex, 0));
    if (Frames.empty() || i >= Frames.size()) return true;
    const TGIFFrame& frame = *Frames[i];
    if (frame.FBitmap) return false;
    if (!frame.Item || !frame.Item->ImageData) return true;
    return frame.Item->ImageData->Bytes().empty();
}

int TGIFImage::Width() {
    if (Empty() || FrameIndex < 0 || std::size_t(FrameIndex) >= Frames.size()) return 0;
    return Frames[std::size_t(FrameIndex)]->GetBitmap().Width();
}

int TGIFImage::Height() {
    if (Empty() || FrameIndex < 0 || std::size_t(FrameIndex) >= Frames.size()) return 0;
    return Frames[std::size_t(FrameIndex)]->GetBitmap().Height();
}

Palette TGIFImage::GetPalette() {
    if (Frames.empty()) return Palette();
    return CurrentBitmap().GetPalette();
}

bool TGIFImage::Transparent() {
    if (!transparent_) return false;
    return std::any_of(Frames.begin(), Frames.end(),
                       [](const auto& f) { return f->TransparentColor != clNone; });
}

void TGIFImage::SetWidth(int) {
    throw EInvalidGraphicOperation(kGifCannotChangeSize);
}
void TGIFImage::SetHeight(int) {
    throw EInvalidGraphicOperation(kGifCannotChangeSize);
}

void TGIFImage::ReadData(Stream& stream) {
    std::uint8_t b[4];
    stream.ReadBuffer(b, 4);
    const std::uint32_t size = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                               std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
    ReadGIF(size, stream, true);
}

void TGIFImage::WriteData(Stream& stream) {
    WriteGIF(stream, true);
}

void TGIFImage::LoadFromStream(Stream& stream) {
    ReadGIF(std::size_t(stream.Remaining()), stream, true);
}

void TGIFImage::SaveToStream(Stream& stream) {
    WriteGIF(stream, false);
}

void TGIFImage::LoadFromClipboardFormat(const ClipboardData& data) {
    const auto it = data.Formats.find(kGifClipboardFormat);
    if (it == data.Formats.end()) {
        Bitmap bitmap;
        bitmap.LoadFromClipboardFormat(data);
        Assign(&bitmap);
        return;
    }
    MemoryStream stream(it->second);
    std::uint8_t b[4];
    stream.ReadBuffer(b, 4);
    const std::uint32_t size = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                               std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
    ReadGIF(size, stream, false);
    if (!Frames.empty()) {
        FrameIndex = 0;
        if (!data.Bitmap.empty()) {
            auto bitmap = std::make_unique<Bitmap>();
            bitmap->LoadFromClipboardFormat(data);
            Frames[0]->FBitmap = std::move(bitmap);
        }
    }
}

void TGIFImage::SaveToClipboardFormat(ClipboardData& data) {
    if (Frames.empty()) return;
    Frames[0]->GetBitmap().SaveToClipboardFormat(data);
    const bool encoded = std::all_of(Frames.begin(), Frames.end(), [](const auto& f) {
        return f->Item && f->Item->ImageData && !f->Item->ImageData->Bytes().empty();
    });
    if (!encoded) return;
    MemoryStream stream;
    WriteGIF(stream, true);
    data.Formats[kGifClipboardFormat] = stream.Bytes();
}

int TGIFImage::AddFrame(const Graphic* graphic) {
    Frames.push_back(std::make_unique<TGIFFrame>(this));
    FrameIndex = int(Frames.size()) - 1;
    Frames.back()->Assign(graphic);
    if (Version == gvUnknown) Version = gv87a;
    if (Frames.size() > 1) Version = gv89a;
    return FrameIndex;
}

Bitmap& TGIFImage::CurrentBitmap() {
    if (Frames.empty()) {
        Bitmap empty;
        Assign(&empty);
        if (Frames.empty()) AddFrame(nullptr);
        FrameIndex = 0;
        return Frames[0]->GetBitmap();
    }
    if (FrameIndex >= 0 && std::size_t(FrameIndex) < Frames.size())
        return Frames[std::size_t(FrameIndex)]->GetBitmap();
    return Frames[0]->GetBitmap();
}

void TGIFImage::UpdateScreenSize() {
    // Grows to hold every frame; the logical screen a file was read with is kept.
    long width = ScreenWidth, height = ScreenHeight;
    for (const auto& frame : Frames) {
        long w = 0, h = 0;
        if (frame->FBitmap && !frame->FBitmap->Empty()) {
            w = frame->FBitmap->Width();
            h = frame->FBitmap->Height();
        } else if (frame->Item && frame->Item->ImageData) {
            // The decoded size is the item's; no need to decode for it.
            w = frame->Item->Size.cx;
            h = frame->Item->Size.cy;
        }
        width = std::max(width, w + frame->Origin.x);
        height = std::max(height, h + frame->Origin.y);
    }
    ScreenWidth = std::uint16_t(std::min(width, 65535L));
    ScreenHeight = std::uint16_t(std::min(height, 65535L));
}

void RegisterGifFormat(PictureRegistry& registry) {
    registry.RegisterFileFormat("gif", "CompuServe GIF Image", "TGIFImage",
                                [] { return std::make_unique<TGIFImage>(); });
    registry.RegisterClipboardFormat(kGifClipboardFormat, "TGIFImage",
                                     [] { return std::make_unique<TGIFImage>(); });
}

void UnregisterGifFormat(PictureRegistry& registry) {
    registry.UnregisterGraphicClass("TGIFImage");
}

void StretchBitmapTransparent(Canvas& canvas, Bitmap& bitmap, Color transparentColor, int dx,
                              int dy, int dw, int dh, int sx, int sy, int sw, int sh,
                              const TransparencyMask* mask) {
    if (dw < 1) dw = bitmap.Width();
    if (dh < 1) dh = bitmap.Height();
    if (sw < 1 || sh < 1) {
        sx = sy = 0;
        sw = bitmap.Width();
        sh = bitmap.Height();
    }
    const Rect dest{dx, dy, dx + dw, dy + dh};
    const Rect src{sx, sy, sx + sw, sy + sh};
    if (transparentColor == clNone || bitmap.Empty()) {
        canvas.CopyRect(dest, bitmap, src);
        return;
    }
    if (mask) {
        canvas.CopyRectMasked(dest, bitmap, src, *mask);
        return;
    }
    const Color key = transparentColor == clDefault ? bitmap.Pixel(0, bitmap.Height() - 1)
                                                    : ColorToRGB(transparentColor);
    canvas.CopyRectMasked(dest, bitmap, src, MaskFromColor(bitmap, key));
}

}  // namespace qv

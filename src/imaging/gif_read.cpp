// Reading GIF files into the picture model, and decoding frames into bitmaps.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>

#include "imaging/gif_image.h"

namespace qv {

namespace {

using ExtensionList = std::vector<std::unique_ptr<TExtension>>;

// The file's bytes with a read position; every read is checked against what is there.
class Parser {
  public:
    Parser(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Remains() const { return pos_ < size_; }
    std::size_t Left() const { return size_ - pos_; }
    void Need(std::size_t n) const {
        if (Left() < n) throw EReadError();
    }
    std::uint8_t Byte() {
        Need(1);
        return data_[pos_++];
    }
    std::uint16_t Word() {
        Need(2);
        const std::uint16_t v = std::uint16_t(data_[pos_] | data_[pos_ + 1] << 8);
        pos_ += 2;
        return v;
    }
    const std::uint8_t* Take(std::size_t n) {
        Need(n);
        const std::uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }
    void SkipToEnd() { pos_ = size_; }
    // Zero bytes between blocks are skipped; 0 when nothing else remains.
    std::uint8_t NextBlockByte() {
        while (pos_ < size_) {
            const std::uint8_t b = data_[pos_++];
            if (b != 0) return b;
        }
        return 0;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

bool SameText(const std::uint8_t* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(a[i]) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

void ReadColorTable(Parser& in, TGIFColorTable& table, int count) {
    const std::uint8_t* p = in.Take(std::size_t(count) * 3);
    table = TGIFColorTable{};
    table.Count = count;
    for (int i = 0; i < count; ++i)
        for (int c = 0; c < 3; ++c) table.Colors[std::size_t(i)][std::size_t(c)] = p[3 * i + c];
}

std::unique_ptr<std::vector<std::string>> ReadDataBlocks(Parser& in) {
    auto list = std::make_unique<std::vector<std::string>>();
    while (in.Remains()) {
        const std::uint8_t n = in.Byte();
        if (n == 0) break;
        const std::uint8_t* p = in.Take(n);
        list->emplace_back(reinterpret_cast<const char*>(p), n);
    }
    return list;
}

// Skips the sub-blocks of an extension the reader does not know (gifsicle's name block,
// for one), as other readers do; answers nullptr for it.
std::unique_ptr<TExtension> ReadExtension(Parser& in) {
    const std::uint8_t label = in.Byte();
    auto ext = std::make_unique<TExtension>();
    switch (label) {
        case 0xF9:
            ext->ExtType = etGraphicControl;
            break;
        case 0x01:
            ext->ExtType = etPlainText;
            break;
        case 0xFF:
            ext->ExtType = etApplication;
            break;
        case 0xFE:
            ext->ExtType = etComment;
            break;
        default:
            ReadDataBlocks(in);
            return nullptr;
    }
    const std::size_t headerSize = TExtension::HeaderSize(ext->ExtType);
    std::memcpy(ext->Header.data(), in.Take(headerSize), headerSize);
    if (ext->ExtType != etGraphicControl) ext->Data = ReadDataBlocks(in);
    return ext;
}

bool IsLoopExtension(const TExtension& ext) {
    if (ext.ExtType != etApplication || !ext.Data || ext.Data->empty()) return false;
    const std::size_t n = std::min<std::size_t>(ext.Header[0], 11);
    const std::uint8_t* id = ext.Header.data() + 1;
    if (std::memcmp(id, "NETSCAPE2.0", n) != 0 && std::memcmp(id, "ANIMEXTS1.0", n) != 0)
        return false;
    const std::string& first = ext.Data->front();
    return first.size() >= 3 && first[0] == 1;
}

}  // namespace

void TGIFFrame::DecodeToDIB(MemoryStream& stream) {
    Bitmap& bitmap = GetBitmap();
    stream.Clear();
    stream.WriteString(bitmap.SaveToBmp());
    stream.SetPosition(0);
}

namespace {

// Decodes a frame's item straight into a bitmap of the BMP layout DecodeToDIB describes.
Bitmap DecodeItem(TGIFFrame& frame) {
    TGIFItem& item = *frame.Item;
    int colorBits = item.BitsPerPixel;
    TGIFColorTable table = item.ColorMap;
    const std::string& coded = item.ImageData->Bytes();
    if (colorBits == 0 && table.Count == 0 && !coded.empty()) {
        // No colour table anywhere: a grey ramp of the data's own depth, as other readers
        // show such files, rather than refusing the picture.
        colorBits = std::clamp<int>(static_cast<std::uint8_t>(coded[0]), 1, 8);
        table.Count = 1 << colorBits;
        for (int i = 0; i < table.Count; ++i) {
            const auto v = std::uint8_t(i * 255 / (table.Count - 1));
            table.Colors[std::size_t(i)] = {v, v, v};
        }
    }
    int dibBits;
    if (colorBits == 1)
        dibBits = 1;
    else if (colorBits >= 2 && colorBits <= 4)
        dibBits = 4;
    else if (colorBits >= 5 && colorBits <= 8)
        dibBits = 8;
    else
        throw EInvalidGraphicOperation(kGifWrongColorCount);
    const std::int32_t width = std::max(item.Size.cx, 0), height = std::max(item.Size.cy, 0);
    if (height != 0 && std::size_t(width) > MaxBitmapPixels() / std::size_t(height))
        throw EInvalidGraphicOperation(kGifTooLarge);
    Bitmap decoded(width, height, FormatOfBits(dibBits));
    std::vector<RGBQuad> colors(std::size_t(1) << dibBits, RGBQuad{128, 128, 128, 128});
    for (int i = 0; i < table.Count && i < int(colors.size()); ++i) {
        const auto& c = table.Colors[std::size_t(i)];
        colors[std::size_t(i)] = {c[2], c[1], c[0], 0};
    }
    decoded.SetColorTable(colors);
    if (width > 0 && height > 0 && !coded.empty()) {
        BitmapInfoHeader info;
        info.biWidth = width;
        info.biHeight = height;
        info.biBitCount = std::uint16_t(dibBits);
        item.ImageData->SetPosition(0);
        bool corrupt = false;
        GIFDecodeLZW(
            *item.ImageData, info, frame.Interlaced,
            [&frame](ProgressStage stage, std::uint8_t percent, const std::string& message) {
                if (frame.Owner)
                    frame.Owner->Progress(stage, percent, false, Rect{0, 0, 0, 0}, message);
            },
            corrupt, decoded.Bits().data(), colorBits, GIFTolerateCorrupt.load());
        item.ImageData->SetPosition(0);
        if (corrupt) frame.Corrupted = true;
    }
    return decoded;
}

}  // namespace

Bitmap& TGIFFrame::GetBitmap() {
    if (FBitmap && !FBitmap->Empty()) return *FBitmap;
    FBitmap = std::make_unique<Bitmap>();
    if (Item && Item->ImageData) {
        try {
            FBitmap = std::make_unique<Bitmap>(DecodeItem(*this));
        } catch (const std::bad_alloc&) {
            throw EInvalidGraphicOperation(kGifOutOfMemory);
        }
    }
    return *FBitmap;
}

void TGIFImage::ReadGIF(std::size_t size, Stream& stream, bool decodeFirst) {
    Clear();
    if (size == 0) return;
    if (std::int64_t(size) > stream.Remaining()) throw EReadError();
    std::string buffer;
    try {
        buffer.resize(size);
    } catch (const std::bad_alloc&) {
        throw EInvalidGraphicOperation(kGifOutOfMemory);
    }
    stream.ReadBuffer(buffer.data(), size);
    Parser in(reinterpret_cast<const std::uint8_t*>(buffer.data()), size);

    const std::uint8_t* signature = in.Take(3);
    if (!SameText(signature, "GIF", 3)) throw EInvalidGraphicOperation(kGifUnknownVersion);
    const std::uint8_t* version = in.Take(3);
    if (SameText(version, "87a", 3))
        Version = gv87a;
    else if (SameText(version, "89a", 3))
        Version = gv89a;
    else
        throw EInvalidGraphicOperation(kGifUnknownVersion);

    ScreenWidth = in.Word();
    ScreenHeight = in.Word();
    const std::uint8_t flags = in.Byte();
    const std::uint8_t background = in.Byte();
    TGIFData& data = *Data;
    data.AspectRatio = in.Byte();
    data.BitsPerPixel = std::uint8_t((flags & 7) + 1);
    data.ColorResBits = std::uint8_t(((flags & 0x70) >> 4) + 1);
    if (flags & 0x80) {
        ReadColorTable(in, data.ColorMap, 1 << data.BitsPerPixel);
        if (background < data.ColorMap.Count) {
            BackgroundColor = data.ColorMap.ColorAt(background);
            BackgroundIndex = background;
        }
    }

    std::uint8_t introducer = in.NextBlockByte();
    while (introducer != 0 && introducer != ';' && in.Remains()) {
        std::unique_ptr<ExtensionList> pending;
        while (introducer == '!') {
            std::unique_ptr<TExtension> ext = ReadExtension(in);
            if (!ext) {
                // An unknown extension leaves nothing behind.
            } else if (ext->ExtType == etPlainText) {
                pending.reset();
            } else if (ext->ExtType == etGraphicControl || ext->ExtType == etComment) {
                if (!pending) pending = std::make_unique<ExtensionList>();
                pending->push_back(std::move(ext));
            } else if (IsLoopExtension(*ext)) {
                const std::string& d = ext->Data->front();
                Looping = true;
                RepeatCount =
                    std::uint16_t(std::min(30000, int(static_cast<std::uint8_t>(d[1])) +
                                                      256 * static_cast<std::uint8_t>(d[2])));
            }
            introducer = in.Remains() ? in.NextBlockByte() : ';';
        }
        if (pending && pending->empty()) pending.reset();

        if (introducer == ',') {
            auto frame = std::make_unique<TGIFFrame>(this);
            if (data.ColorMap.Count > 0)
                frame->Item->BitsPerPixel = std::uint8_t(ColorsToBits(data.ColorMap.Count));
            if (pending) frame->Extensions = std::move(*pending);
            TGIFItem& item = *frame->Item;
            item.ImageData = std::make_unique<MemoryStream>();
            const std::uint16_t left = in.Word(), top = in.Word();
            std::uint16_t width = in.Word(), height = in.Word();
            const std::uint8_t packed = in.Byte();
            frame->Interlaced = (packed & 0x40) != 0;
            if (packed & 0x80) {
                item.BitsPerPixel = std::uint8_t((packed & 7) + 1);
                frame->LocalColors = true;
                ReadColorTable(in, item.ColorMap, 1 << item.BitsPerPixel);
            } else {
                frame->LocalColors = false;
                item.ColorMap = TGIFColorTable{};
            }
            std::string& coded = item.ImageData->Bytes();
            coded.push_back(char(in.Byte()));
            while (in.Remains()) {
                const std::uint8_t n = in.Byte();
                if (n > in.Left()) {
                    frame->Corrupted = true;
                    in.SkipToEnd();
                    break;
                }
                coded.push_back(char(n));
                coded.append(reinterpret_cast<const char*>(in.Take(n)), n);
                if (n == 0) break;
            }
            item.ImageData->SetPosition(0);
            if (width == 0) width = ScreenWidth;
            if (height == 0) height = ScreenHeight;
            frame->Origin = {left, top};
            item.Size = {width, height};
            item.PackedFields = packed;
            if (!frame->LocalColors) item.ColorMap = data.ColorMap;
            frame->AnimateInterval = 0;
            for (const auto& ext : frame->Extensions) {
                if (ext->ExtType != etGraphicControl) continue;
                const std::uint8_t gflags = ext->Header[1];
                const std::uint32_t delay = std::uint32_t(ext->Header[2] | ext->Header[3] << 8);
                const std::uint8_t index = ext->Header[4];
                if (gflags & 1) {
                    if (index < item.ColorMap.Count)
                        frame->TransparentColor = item.ColorMap.ColorAt(index);
                    frame->TransparentIndex = index;
                } else {
                    frame->TransparentColor = clNone;
                    frame->TransparentIndex = -1;
                }
                frame->AnimateInterval = std::max(delay * 10, frame->AnimateInterval);
                frame->Disposal = std::uint8_t((gflags & 0x1C) >> 2);
            }
            Frames.push_back(std::move(frame));
            introducer = in.Remains() ? in.NextBlockByte() : ';';
            if (introducer != '!' && introducer != ',' && introducer != ';') introducer = 0;
        } else {
            if (data.Comment.empty() && pending) {
                for (const auto& ext : *pending) {
                    if (ext->ExtType != etComment || !ext->Data) continue;
                    if (!data.Comment.empty()) data.Comment.push_back("\r\n\r\n");
                    data.Comment.insert(data.Comment.end(), ext->Data->begin(), ext->Data->end());
                }
            } else if (introducer != 0 && introducer != ';') {
                throw EInvalidGraphicOperation("Stream read error");
            }
        }
    }
    if (!Frames.empty()) {
        FrameIndex = 0;
        if (decodeFirst) CurrentBitmap();
    }
    SetPaletteModified(true);
    Changed();
}

}  // namespace qv

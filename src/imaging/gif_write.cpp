// Encoding frames and writing the picture as a GIF file.

#include <algorithm>
#include <cstring>
#include <new>

#include "imaging/gif_image.h"

namespace qv {

namespace {

void Word(Stream& out, long value) {
    if (value < 0 || value > 65535) throw EInvalidGraphicOperation(kGifTooLarge);
    out.WriteByte(std::uint8_t(value));
    out.WriteByte(std::uint8_t(value >> 8));
}

int BitsFor(int count) {
    int b = 1;
    while ((1 << b) < count) ++b;
    return b;
}

void WriteTable(Stream& out, const TGIFColorTable& table, int entries) {
    for (int i = 0; i < entries; ++i) out.WriteBuffer(table.Colors[std::size_t(i)].data(), 3);
}

// Each string becomes sub-blocks of at most 255 bytes; a longer string is carried on in
// further blocks rather than cut. One zero byte ends the run.
void WriteDataBlocks(Stream& out, const std::vector<std::string>* lines) {
    if (lines) {
        for (const std::string& line : *lines) {
            for (std::size_t at = 0; at < line.size(); at += 255) {
                const std::size_t n = std::min<std::size_t>(255, line.size() - at);
                out.WriteByte(std::uint8_t(n));
                out.WriteBuffer(line.data() + at, n);
            }
        }
    }
    out.WriteByte(0);
}

void WriteExtension(Stream& out, const TExtension& ext) {
    const std::uint8_t type = ext.ExtType <= etComment ? ext.ExtType : std::uint8_t(etComment);
    out.WriteByte(0x21);
    out.WriteByte(kExtensionLabels[type]);
    out.WriteBuffer(ext.Header.data(), TExtension::HeaderSize(type));
    if (type != etGraphicControl) WriteDataBlocks(out, ext.Data.get());
}

// The frame's coded data as a well-formed run of sub-blocks: a damaged tail (a block cut
// by the end of a file) is left out and the terminator is always there.
void WriteImageData(Stream& out, const std::string& coded) {
    if (coded.empty()) {
        out.WriteByte(2);
        out.WriteByte(0);
        return;
    }
    std::size_t pos = 1;
    bool terminated = false;
    while (pos < coded.size()) {
        const std::size_t n = static_cast<std::uint8_t>(coded[pos]);
        if (n == 0) {
            ++pos;
            terminated = true;
            break;
        }
        if (n > coded.size() - pos - 1) break;
        pos += 1 + n;
    }
    out.WriteBuffer(coded.data(), pos);
    if (!terminated) out.WriteByte(0);
}

}  // namespace

void TGIFFrame::UpdateExtensions() {
    TExtension* control = nullptr;
    for (auto& ext : Extensions)
        if (ext->ExtType == etGraphicControl) control = ext.get();
    if (!control && (AnimateInterval > 0 || TransparentColor != clNone || Disposal != 0)) {
        auto ext = std::make_unique<TExtension>();
        ext->ExtType = etGraphicControl;
        ext->Header = {4, 0, 0, 0, 0, 0};
        control = ext.get();
        Extensions.push_back(std::move(ext));
    }
    if (control) {
        std::uint8_t* h = control->Header.data();
        const std::uint32_t delay = std::min<std::uint32_t>(AnimateInterval / 10, 65535);
        h[2] = std::uint8_t(delay);
        h[3] = std::uint8_t(delay >> 8);
        const TGIFColorTable& map = Item->ColorMap;
        int index = -1;
        if (TransparentIndex >= 0 && TransparentIndex < map.Count && TransparentColor != clNone &&
            map.ColorAt(TransparentIndex) == ColorToRGB(TransparentColor)) {
            index = TransparentIndex;  // the entry as read, even when an earlier one has its colour
        } else if (TransparentIndex >= map.Count && TransparentColor == clNone && (h[1] & 1) &&
                   h[4] == TransparentIndex) {
            index = TransparentIndex;  // an entry past the table stays as it was read
        } else {
            index = FindColorIndex(map, TransparentColor);
        }
        if (index >= 0) {
            h[4] = std::uint8_t(index);
            h[1] |= 1;
        } else {
            h[1] &= std::uint8_t(~1);
        }
        h[1] = std::uint8_t((h[1] & 0xE3) | (Disposal & 7) << 2);
    }
    std::erase_if(Extensions, [](const std::unique_ptr<TExtension>& ext) {
        return ext->ExtType == etComment && (!ext->Data || ext->Data->empty());
    });
    if (!Extensions.empty() && Owner) Owner->Version = gv89a;
}

void TGIFFrame::EncodeBitmap() {
    if (!FBitmap || FBitmap->Empty()) throw EInvalidGraphicOperation(kGifNoDataToWrite);
    if (FBitmap->Width() > 65535 || FBitmap->Height() > 65535)
        throw EInvalidGraphicOperation(kGifTooLarge);
    std::unique_ptr<MemoryStream> bmp;
    const int bits = FBitmap->BitCount();
    if (bits == 1 || bits == 4 || bits == 8) {
        bmp = std::make_unique<MemoryStream>(FBitmap->SaveToBmp());
    } else {
        const TColorReduction method = Grayscale ? MapGray : GIFDefaultReduction.load();
        bmp = ConvertBitmapPixelFormat(*FBitmap, PixelFormat::Pf8bit, method);
        if (method == MapGray) Grayscale = true;
        if (bmp->Bytes().empty()) FBitmap->SaveToStream(*bmp);
    }
    const std::string& image = bmp->Bytes();
    if (image.size() < 54) throw EInvalidGraphicOperation(kGifEncodingError);
    const auto* p = reinterpret_cast<const std::uint8_t*>(image.data());
    const BitmapFileHeader fh = ReadFileHeader(p);
    const BitmapInfoHeader ih = ReadInfoHeader(p + 14);
    int colors;
    switch (ih.biBitCount) {
        case 1:
            colors = 2;
            break;
        case 4:
            colors = 16;
            break;
        case 8:
            colors = 256;
            break;
        default:
            throw EInvalidGraphicOperation(kGifEncodingError);
    }
    const std::size_t tableAt = 14 + std::size_t(ih.biSize);
    const std::size_t rowBytes =
        BytesPerScanline(std::size_t(std::max(ih.biWidth, 0)), ih.biBitCount);
    const std::size_t height = std::size_t(std::abs(ih.biHeight));
    if (ih.biHeight < 0 || fh.bfOffBits > image.size() ||
        (image.size() - fh.bfOffBits) / std::max<std::size_t>(rowBytes, 1) < height)
        throw EInvalidGraphicOperation(kGifEncodingError);
    Interlaced = false;

    // A new item: another frame may share the old one.
    auto item = std::make_shared<TGIFItem>();
    item->PackedFields = Item ? Item->PackedFields : 0;
    item->ColorMap.Count = colors;
    for (int i = 0; i < colors; ++i) {
        const std::size_t at = tableAt + 4 * std::size_t(i);
        if (at + 4 <= fh.bfOffBits && at + 4 <= image.size())
            item->ColorMap.Colors[std::size_t(i)] = {p[at + 2], p[at + 1], p[at]};
    }
    item->ImageData = std::make_unique<MemoryStream>();
    GIFEncodeLZW(
        *item->ImageData, ih, false,
        [this](ProgressStage stage, std::uint8_t percent, const std::string& message) {
            Progress(stage, percent, message);
        },
        p + fh.bfOffBits);
    item->ImageData->SetPosition(0);
    item->BitsPerPixel = std::uint8_t(BitsFor(item->ColorMap.Count));
    item->Size = {ih.biWidth, std::int32_t(height)};
    Item = item;
    TransparentIndex = -1;

    if (Owner && Owner->Data->ColorMap.Count == 0) {
        TGIFData& data = Owner->OwnData();
        data.ColorMap = Item->ColorMap;
        data.BitsPerPixel = Item->BitsPerPixel;
        LocalColors = false;
    } else {
        LocalColors = true;
    }
    if (Owner) {
        const long w = long(Item->Size.cx) + Origin.x, h = long(Item->Size.cy) + Origin.y;
        if (w > 65535 || h > 65535) throw EInvalidGraphicOperation(kGifTooLarge);
        Owner->ScreenWidth = std::uint16_t(std::max<long>(Owner->ScreenWidth, w));
        Owner->ScreenHeight = std::uint16_t(std::max<long>(Owner->ScreenHeight, h));
    }
}

void TGIFImage::EncodeFrames() {
    for (auto& frame : Frames) {
        if (frame->Item && frame->Item->ImageData && !frame->Item->ImageData->Bytes().empty()) {
            frame->UpdateExtensions();
            continue;
        }
        frame->EncodeBitmap();
        frame->UpdateExtensions();
    }
}

void TGIFImage::WriteGIF(Stream& stream, bool withSize) {
    if (Frames.empty()) throw EInvalidGraphicOperation(kGifNoDataToWrite);
    MemoryStream out;
    try {
        EncodeFrames();
        if (!Data->Comment.empty()) Version = gv89a;
        out.WriteString("GIF");
        out.WriteString(Version == gvUnknown ? kGifVersionTexts[gv87a] : kGifVersionTexts[Version]);

        // Sizes above 65535 are refused, never cut.
        for (const auto& frame : Frames) {
            const TGIFItem& item = *frame->Item;
            if (frame->Origin.x < 0 || frame->Origin.y < 0 ||
                long(item.Size.cx) + frame->Origin.x > 65535 ||
                long(item.Size.cy) + frame->Origin.y > 65535)
                throw EInvalidGraphicOperation(kGifTooLarge);
        }
        UpdateScreenSize();
        Word(out, ScreenWidth);
        Word(out, ScreenHeight);
        const TGIFColorTable& global = Data->ColorMap;
        if (global.Count > 0) {
            const int tableBits = ColorsToBits(global.Count);
            int sizeBits = Data->BitsPerPixel;
            if (sizeBits < 1 || sizeBits > 8 || (1 << sizeBits) != global.Count)
                sizeBits = tableBits;
            out.WriteByte(std::uint8_t(0x80 | (tableBits - 1) << 4 | (sizeBits - 1)));
            int background = -1;
            if (BackgroundIndex >= 0 && BackgroundIndex < global.Count &&
                BackgroundColor != clNone &&
                global.ColorAt(BackgroundIndex) == ColorToRGB(BackgroundColor))
                background = BackgroundIndex;
            else
                background = FindColorIndex(global, BackgroundColor);
            out.WriteByte(std::uint8_t(std::max(background, 0)));
        } else {
            out.WriteByte(0);
            out.WriteByte(0);
        }
        out.WriteByte(Data->AspectRatio);
        if (global.Count > 0) WriteTable(out, global, global.Count);

        if (Looping && Frames.size() > 1) {
            const std::uint8_t loop[] = {0x21,
                                         0xFF,
                                         11,
                                         'N',
                                         'E',
                                         'T',
                                         'S',
                                         'C',
                                         'A',
                                         'P',
                                         'E',
                                         '2',
                                         '.',
                                         '0',
                                         3,
                                         1,
                                         std::uint8_t(RepeatCount),
                                         std::uint8_t(RepeatCount >> 8),
                                         0};
            out.WriteBuffer(loop, sizeof loop);
        }

        for (const auto& frame : Frames) {
            for (const auto& ext : frame->Extensions) WriteExtension(out, *ext);
            const TGIFItem& item = *frame->Item;
            out.WriteByte(0x2C);
            Word(out, frame->Origin.x);
            Word(out, frame->Origin.y);
            Word(out, item.Size.cx);
            Word(out, item.Size.cy);
            std::uint8_t flags = 0;
            int localBits = 0;
            if (frame->LocalColors) {
                localBits = BitsFor(item.ColorMap.Count);
                if (item.BitsPerPixel != localBits) {
                    if (frame->Item.use_count() > 1) frame->Item = item.Clone();
                    frame->Item->BitsPerPixel = std::uint8_t(localBits);
                }
                flags = std::uint8_t(0x80 + (localBits - 1));
            }
            if (frame->Interlaced) flags |= 0x40;
            out.WriteByte(flags);
            // The table holds as many entries as its size field announces.
            if (frame->LocalColors) WriteTable(out, frame->Item->ColorMap, 1 << localBits);
            WriteImageData(
                out, frame->Item->ImageData ? frame->Item->ImageData->Bytes() : std::string());
        }

        if (!Data->Comment.empty()) {
            out.WriteByte(0x21);
            out.WriteByte(0xFE);
            WriteDataBlocks(out, &Data->Comment);
        }
        out.WriteByte(0x3B);
    } catch (const std::bad_alloc&) {
        throw EInvalidGraphicOperation(kGifOutOfMemory);
    }
    if (withSize) {
        const std::uint32_t size = std::uint32_t(out.Bytes().size());
        const std::uint8_t b[4] = {std::uint8_t(size), std::uint8_t(size >> 8),
                                   std::uint8_t(size >> 16), std::uint8_t(size >> 24)};
        stream.WriteBuffer(b, 4);
    }
    out.SaveToStream(stream);
}

}  // namespace qv

// Image data decoding and encoding: filters, interlace, chunking, damaged and
// cut files, and the picture operations on what was decoded.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "imaging/png_idat.h"
#include "imaging/png_picture.h"
#include "imaging/png_zlib.h"
#include "picture_test_helpers.h"

namespace qv {
namespace {

using namespace test;

// h rows of random bytes, each after a filter byte of none.
std::string NoiseRows(uint32_t rowBytes, uint32_t h, std::mt19937& rng) {
    std::string rows;
    for (uint32_t y = 0; y < h; ++y) {
        rows += '\0';
        for (uint32_t i = 0; i < rowBytes; ++i) rows += char(rng());
    }
    return rows;
}

TEST(PngImageData, SplitEmptyPaddedAndDamagedDataChunks) {
    std::mt19937 rng(5);
    const std::string z = Zlib(NoiseRows(120, 30, rng));
    const std::string head = Head(40, 30, 8, 2);
    auto whole = Load(head + Chunk("IDAT", z) + End());
    std::string many = Chunk("IDAT", "");
    for (size_t at = 0, c = 1; at < z.size(); at = c, c += 1 + c % 17)
        many += Chunk("IDAT", z.substr(at, c - at));
    // The stream ending well inside a large last chunk with padding after it is
    // no CRC error: that chunk's CRC follows all of its data.
    for (const std::string& body :
         {many + Chunk("IDAT", ""), Chunk("IDAT", z + std::string(200000, '\0'))}) {
        EXPECT_EQ(Save(*Load(head + body + End())), Save(*whole));  // the same pixels
    }

    // A damaged data byte in the second of three data chunks.
    const size_t third = z.size() / 3;
    std::string bad = Chunk("IDAT", z.substr(0, third)) + Chunk("IDAT", z.substr(third, third)) +
                      Chunk("IDAT", z.substr(2 * third));
    bad[12 + third + 8] ^= 0x40;
    EXPECT_THROW(Load(head + bad + End()), EPngInvalidCRC);
    // A text chunk between data chunks while rows are missing.
    std::string gap = Chunk("IDAT", z.substr(0, z.size() / 2)) + Chunk("tEXt", "a\0b"s) +
                      Chunk("IDAT", z.substr(z.size() / 2));
    EXPECT_EQ(FailureId<EPNGMissingMultipleIDAT>(head + gap + End()), 64963);
    // Damaged compressed data names zlib's reason.
    std::string broken = z;
    broken[2] = broken[3] = char(0xFF);
    EXPECT_EQ(Raised<EPNGZLIBError>([&] { Load(head + Chunk("IDAT", broken) + End()); }),
              std::make_pair(64964,
                             "Could not decompress the image because it contains invalid "
                             "compressed data.\r\n Description: data error (-3)"s));
}

TEST(PngEncode, ChunkingAndSixteenBitSamples) {
    // Noise that hardly compresses: 300 x 200 RGB, about 180000 bytes.
    std::mt19937 rng(1);
    auto pic = Load(MakePng(300, 200, 8, 2, NoiseRows(900, 200, rng)));
    pic->FilterSet = FilterBit(pfNone);
    std::string saved = Save(*pic);
    auto data = Chunks(saved, "IDAT");
    ASSERT_GE(data.size(), 3u);
    for (size_t i = 0; i + 1 < data.size(); ++i) EXPECT_EQ(data[i].size(), 65535u);
    EXPECT_GT(data.back().size(), 0u);
    pic->SetIdatChunkSize(1000);
    EXPECT_EQ(pic->IdatChunkSize(), 65535u);
    pic->SetIdatChunkSize(100000);
    EXPECT_EQ(Chunks(Save(*pic), "IDAT")[0].size(), 100000u);
    EXPECT_EQ(Load(saved)->Pixels(299, 199), pic->Pixels(299, 199));  // needs every byte

    // 16-bit samples come back with zero low bytes.
    auto deep = Load(MakePng(1, 1, 16, 2, "\0\x12\x34\x56\x78\x9A\xBC"s));
    deep->FilterSet = FilterBit(pfNone);
    const std::string idat = Chunks(Save(*deep), "IDAT")[0];
    std::string raw, err;
    ASSERT_TRUE(InflateBuffer(idat.data(), idat.size(), raw, err)) << err;
    EXPECT_EQ(raw, "\x00\x12\x00\x56\x00\x9A\x00"s);
}

TEST(PngFile, SignatureOrderEndAndUnknownChunks) {
    const std::string row = "\0\x10"s;
    const std::string good = MakePng(1, 1, 8, 0, row);
    // Filter type 7 does not exist: its row is taken as it is.
    EXPECT_EQ(Load(MakePng(2, 2, 8, 0, "\0\x10\x10\x07\x20\x20"s))->Pixels(1, 1),
              RGBColor(0x20, 0x20, 0x20));
    for (size_t bit = 0; bit < 64; ++bit) {
        std::string bad = good;
        bad[bit / 8] ^= char(1 << (bit % 8));
        EXPECT_THROW(Load(bad), EPNGInvalidFileHeader) << bit;
    }
    TPNGPicture pic;
    EXPECT_NE(FailureId<EPNGIHDRNotFirst>(kSignature + Chunk("gAMA", std::string(4, '\0')), &pic),
              0);
    EXPECT_TRUE(pic.Empty());
    EXPECT_NE(FailureId<EPngUnexpectedEnd>(Head(1, 1, 8, 0), &pic), 0);
    EXPECT_EQ(pic.Chunks().Count(), 1u);
    EXPECT_NE(FailureId<EPNGNoImageData>(Head(1, 1, 8, 0) + End()), 0);
    EXPECT_NE(FailureId<EPNGUnknownCriticalChunk>(MakePng(1, 1, 8, 0, row, Chunk("XyZw", ""))), 0);

    // Chunk types are case-sensitive: "ihdr" is an unknown chunk kept as it is.
    std::string extra =
        Chunk("prVt", "keep me") + Chunk("ihdr", "me too") + Chunk("cHRM", std::string(32, '\1'));
    std::string saved = Save(*Load(MakePng(1, 1, 8, 0, row, extra)));
    EXPECT_EQ(Chunks(saved), (std::vector<std::string>{"IHDR", "prVt", "ihdr", "IDAT", "IEND"}));
    EXPECT_EQ(Chunks(saved, "ihdr")[0], "me too");

    // A palette found after the data, or twice, still makes one palette before it.
    const std::string plte = Chunk("PLTE", "\x10\x20\x30\x40\x50\x60"s);
    const std::string data = Chunk("IDAT", Zlib("\0\x01\x00"s));
    for (const std::string& f :
         {Head(2, 1, 8, 3) + data + plte + End(), Head(2, 1, 8, 3) + plte + plte + data + End()}) {
        std::string out = Save(*Load(f));
        EXPECT_EQ(Chunks(out), (std::vector<std::string>{"IHDR", "PLTE", "IDAT", "IEND"}));
        EXPECT_EQ(Load(out)->Pixels(0, 0), RGBColor(0x40, 0x50, 0x60));
    }
}

TEST(PngFile, EveryTruncationAndBitFlipFailsCleanly) {
    std::mt19937 rng(4);
    std::string rows;
    for (int y = 0; y < 9; ++y) {
        rows += char(y % 5);
        for (int i = 0; i < 2 * 11; ++i) rows += char(rng() % 4 * 60);
    }
    const std::string file = MakePng(11, 9, 8, 4, rows, Chunk("tEXt", "k\0v"s));
    auto check = [](const std::string& bytes) {
        TPNGPicture pic;
        MemoryStream s(bytes);
        try {
            pic.LoadFromStream(s);
        } catch (const PngException&) {
        }
        // Whatever loaded can be drawn, read and saved without harm.
        DrawnOver(pic, 16, 16, clWhite);
        pic.Pixels(0, 0);
        try {
            auto back = Load(Save(pic));  // anything we write must read back
            EXPECT_EQ(back->Width(), pic.Width());
        } catch (const EPNGHeaderNotPresent&) {
        }
    };
    for (size_t n = 0; n < file.size(); ++n) check(file.substr(0, n));
    for (size_t bit = 0; bit < file.size() * 8; bit += 3) {
        std::string bad = file;
        bad[bit / 8] ^= char(1 << (bit % 8));
        check(bad);
    }
}

TEST(PngPicture, EmptyPartlyLoadedAndZeroSizedImages) {
    TPNGPicture empty;
    EXPECT_TRUE(empty.Empty());
    EXPECT_EQ(empty.Pixels(0, 0), 0u);
    empty.SetPixels(0, 0, clWhite);
    // An empty image is never saved as a file.
    MemoryStream s;
    EXPECT_EQ(Raised<EPNGHeaderNotPresent>([&] { empty.SaveToStream(s); }).first, 64945);
    EXPECT_EQ(s.Bytes(), "");
    EXPECT_THROW(empty.TransparencyKind(), EPNGHeaderNotPresent);
    EXPECT_THROW(empty.ResizeImage(2, 2), EPNGHeaderNotPresent);

    auto zero = Load(Head(0, 5, 8, 6) + Chunk("IDAT", Zlib(std::string(5, '\0'))) + End());
    EXPECT_EQ(zero->Width(), 0);
    DrawnOver(*zero, 4, 4, clWhite);
    EXPECT_EQ(zero->Pixels(0, 0), 0u);
    EXPECT_EQ(Load(Save(*zero))->Height(), 5);

    // An image cut in its data saves as a whole file pngcheck accepts.
    std::string rows;
    for (int y = 0; y < 8; ++y) rows += '\0' + std::string(8, char(y * 30));
    std::string z = Zlib(rows);
    TPNGPicture part;
    EXPECT_NE(
        FailureId<PngException>(Head(8, 8, 8, 0) + Chunk("IDAT", z.substr(0, z.size() / 2)), &part),
        0);
    ScratchDir dir("qv-png-");
    WriteFileBytes(dir.Path("p.png"), Save(part));
    EXPECT_EQ(std::system(("pngcheck -q " + dir.Path("p.png") + " >/dev/null 2>&1").c_str()), 0);
}

TEST(PngPicture, PixelsResizeAndPaletteIndexesOutOfRange) {
    std::string rows;
    for (int y = 0; y < 2; ++y) {
        rows += '\0';
        for (int x = 0; x < 2; ++x) rows += std::string{char(x * 100), char(y * 100), 7, char(200)};
    }
    auto pic = Load(MakePng(2, 2, 8, 6, rows));
    EXPECT_EQ(pic->Pixels(-1, 0), 0u);
    EXPECT_EQ(pic->Pixels(2, 0), 0u);
    EXPECT_EQ(pic->Pixels(1, 1), RGBColor(100, 100, 7));
    EXPECT_EQ(Raised<EPNGInvalidNewSize>([&] { pic->SetWidth(0); }).first, 64946);
    pic->ResizeImage(4, 4);
    EXPECT_EQ(pic->Pixels(1, 1), RGBColor(100, 100, 7));
    EXPECT_EQ(pic->Pixels(3, 3), 0u);
    EXPECT_EQ(pic->AlphaScanline(0)[0], 200);
    EXPECT_EQ(pic->AlphaScanline(3)[3], 255);
    pic->SetPixels(3, 3, RGBColor(1, 2, 3));
    EXPECT_EQ(Load(Save(*pic))->Pixels(3, 3), RGBColor(1, 2, 3));

    // Indexes past a two-entry palette read as black and draw without harm.
    auto pal =
        Load(MakePng(4, 1, 8, 3, "\0\x00\x01\x05\xFF"s,
                     Chunk("PLTE", "\x10\x20\x30\x40\x50\x60"s) + Chunk("tRNS", "\x80\x00"s)));
    EXPECT_EQ(pal->Pixels(1, 0), RGBColor(0x40, 0x50, 0x60));
    EXPECT_EQ(pal->Pixels(3, 0), 0u);
    DrawnOver(*pal, 4, 1, clWhite);
}

TEST(PngDraw, KeyColourAndPartialTransparency) {
    // Palette image: entry 0 red, entry 1 blue; only one fully transparent entry among
    // opaque ones makes a key colour.
    const std::string plte = Chunk("PLTE", "\xFF\x00\x00\x00\x00\xFF"s);
    const Color red = RGBColor(255, 0, 0), green = RGBColor(0, 255, 0);
    auto keyed = Load(MakePng(2, 1, 8, 3, "\0\x00\x01"s, plte + Chunk("tRNS", "\xFF\x00"s)));
    EXPECT_EQ(keyed->TransparencyKind(), tkKeyColour);
    const Bitmap shown = DrawnOver(*keyed, 2, 1, green);
    EXPECT_EQ(shown.Pixel(0, 0), red);
    EXPECT_EQ(shown.Pixel(1, 0), green);
    // A lone half-transparent entry, or both entries transparent: blended.
    for (const std::string& trns : {"\xFF\x80"s, "\0\0"s}) {
        auto pic = Load(MakePng(2, 1, 8, 3, "\0\x00\x01"s, plte + Chunk("tRNS", trns)));
        EXPECT_EQ(pic->TransparencyKind(), tkPartial);
        const Bitmap blended = DrawnOver(*pic, 2, 1, green);
        EXPECT_EQ(blended.Pixel(0, 0), trns[0] ? red : green);
        EXPECT_NEAR(GetGValue(blended.Pixel(1, 0)), 255 - uint8_t(trns[1]), 1);
        EXPECT_NEAR(GetBValue(blended.Pixel(1, 0)), uint8_t(trns[1]), 1);
    }

    // RGBA stretched to twice its size; alpha 0 leaves the background.
    auto rgba = Load(MakePng(2, 1, 8, 6, "\0\x00\x00\xFF\xFF\xFF\x00\x00\x00"s));
    const Bitmap wide = DrawnOver(*rgba, 4, 2, green);
    EXPECT_EQ(wide.Pixel(1, 1), RGBColor(0, 0, 255));
    EXPECT_EQ(wide.Pixel(2, 0), green);
    // Plain grey, drawn as it is.
    const Bitmap grey = DrawnOver(*Load(MakePng(2, 1, 8, 0, "\0\x10\xF0"s)), 2, 1, green);
    EXPECT_EQ(grey.Pixel(1, 0), RGBColor(0xF0, 0xF0, 0xF0));
}

TEST(PngBitmap, ImportExportCopyAndClipboard) {
    Bitmap bmp(5, 3, PixelFormat::Pf8bit);
    std::vector<RGBQuad> table(256);
    table[1] = {30, 20, 10, 0};
    table[2] = {0, 0, 255, 0};
    bmp.SetColorTable(table);
    for (int x = 0; x < 5; ++x) bmp.SetPixelValue(x, 1, uint32_t(1 + x % 2));
    TPNGPicture pic;
    pic.ImportBitmap(bmp, true, RGBColor(255, 0, 0));
    auto back = Load(Save(pic));
    EXPECT_EQ(back->Pixels(0, 1), RGBColor(10, 20, 30));
    EXPECT_EQ(back->Pixels(1, 1), RGBColor(255, 0, 0));
    EXPECT_EQ(back->TransparencyKind(), tkKeyColour);
    EXPECT_EQ(back->TransparentColour(), RGBColor(255, 0, 0));

    Bitmap out;
    back->AssignTo(out);
    EXPECT_EQ(out.GetPixelFormat(), PixelFormat::Pf8bit);
    EXPECT_TRUE(out.Transparent());
    EXPECT_EQ(out.Pixel(0, 1), RGBColor(10, 20, 30));
    TPNGPicture copy;
    copy.Assign(back.get());
    EXPECT_EQ(Save(copy), Save(*back));

    Bitmap rgb(2, 2, PixelFormat::Pf24bit);
    rgb.SetPixel(1, 0, RGBColor(1, 2, 3));
    TPNGPicture fromRgb;
    fromRgb.Assign(&rgb);
    EXPECT_EQ(fromRgb.RequireHeader().ColorType, COLOR_RGB);
    EXPECT_EQ(fromRgb.Pixels(1, 0), RGBColor(1, 2, 3));

    // The clipboard goes through a plain bitmap.
    ClipboardData clip;
    fromRgb.SaveToClipboardFormat(clip);
    TPNGPicture pasted;
    pasted.LoadFromClipboardFormat(clip);
    EXPECT_EQ(pasted.Pixels(0, 0), 0u);
    EXPECT_EQ(pasted.Pixels(1, 0), RGBColor(1, 2, 3));

    PictureRegistry registry;
    RegisterPngPicture(registry);
    EXPECT_NE(registry.FindExtension("png"), nullptr);
    UnregisterPngPicture(registry);
    EXPECT_EQ(registry.FindExtension("png"), nullptr);
}

}  // namespace
}  // namespace qv

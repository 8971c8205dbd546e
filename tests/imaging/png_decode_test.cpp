// Image data decoding and encoding: filters, interlace, chunking, damaged and
// cut files, and the picture operations on what was decoded.

#include <gtest/gtest.h>

#include <random>

#include "imaging/canvas.h"
#include "imaging/png_idat.h"
#include "imaging/png_picture.h"
#include "imaging/png_zlib.h"
#include "png_test_helpers.h"

namespace qv {
namespace {

using namespace pngtest;

// RGB 8-bit rows of w x h random pixels, each row with the given filter byte
// applied by our own reference filter (none: raw bytes).
std::string RandomRgb(uint32_t w, uint32_t h, std::mt19937& rng, std::string* raw) {
    std::string rows;
    for (uint32_t y = 0; y < h; ++y) {
        rows += '\0';
        for (uint32_t i = 0; i < 3 * w; ++i) rows += char(rng() % 7 * 37);
    }
    *raw = rows;
    return rows;
}

std::string Idats(const std::string& compressed, const std::vector<size_t>& cuts) {
    std::string out;
    size_t at = 0;
    for (size_t c : cuts) {
        out += Chunk("IDAT", compressed.substr(at, c - at));
        at = c;
    }
    return out + Chunk("IDAT", compressed.substr(at));
}

TEST(PngFilters, EveryFilterTypeDecodes) {
    // Rows encoded with each filter by ChooseFilter's single-filter path
    // decode back to the same pixels; filter 7 is taken as none.
    std::mt19937 rng(3);
    const uint32_t w = 9, h = 6, rb = 27;
    std::vector<std::string> raw(h);
    for (auto& r : raw)
        for (uint32_t i = 0; i < rb; ++i) r += char(rng());
    std::string rows, prev(rb, '\0');
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t type = uint8_t(y % 5);
        std::string out(rb, '\0');
        uint8_t got =
            ChooseFilter(reinterpret_cast<const uint8_t*>(raw[y].data()),
                         reinterpret_cast<const uint8_t*>(prev.data()), rb, 3,
                         FilterBit(PngFilter(type)), reinterpret_cast<uint8_t*>(out.data()));
        EXPECT_EQ(got, type);
        rows += char(type) + out;
        prev = raw[y];
    }
    rows += char(7) + raw[0];  // one more row, filter 7
    auto pic = Load(MakePng(w, h + 1, 8, 2, rows));
    for (uint32_t y = 0; y <= h; ++y) {
        const std::string& r = y < h ? raw[y] : raw[0];
        for (uint32_t x = 0; x < w; ++x)
            EXPECT_EQ(pic->Pixels(int(x), int(y)),
                      RGBColor(uint8_t(r[3 * x]), uint8_t(r[3 * x + 1]), uint8_t(r[3 * x + 2])))
                << x << "," << y;
    }
}

TEST(PngFilters, ChoiceFollowsRepeatsAndTiesGoLow) {
    // A row of one repeated colour, nothing above: None and Up both give
    // all-equal bytes; Sub gives leading bytes then zeros. Ties go low.
    std::vector<uint8_t> raw(12), prev(12, 0), out(12);
    for (size_t i = 0; i < 12; i += 3) {
        raw[i] = 10;
        raw[i + 1] = 200;
        raw[i + 2] = 30;
    }
    EXPECT_EQ(ChooseFilter(raw.data(), prev.data(), 12, 3, kAllFilters, out.data()), pfSub);
    for (auto& b : raw) b = 5;
    EXPECT_EQ(ChooseFilter(raw.data(), prev.data(), 12, 3, kAllFilters, out.data()), pfNone);
    // All different bytes that neither Up nor Paeth makes repetitive: filter 0.
    const uint8_t spread[12] = {3, 250, 17, 96, 41, 180, 7, 222, 63, 130, 90, 12};
    for (size_t i = 0; i < 12; ++i) raw[i] = spread[i];
    EXPECT_EQ(ChooseFilter(raw.data(), prev.data(), 12, 3, FilterBit(pfUp) | FilterBit(pfPaeth),
                           out.data()),
              pfNone);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), raw);
    // The default set writes every row with Sub.
    EXPECT_EQ(ChooseFilter(raw.data(), prev.data(), 12, 3, FilterBit(pfSub), out.data()), pfSub);
}

TEST(PngImageData, SplitAndEmptyDataChunksDecodeAlike) {
    std::mt19937 rng(5);
    std::string raw;
    std::string rows = RandomRgb(40, 30, rng, &raw);
    std::string z = Zlib(rows);
    std::string head = Signature() + Chunk("IHDR", IhdrData(40, 30, 8, 2));
    auto whole = Load(head + Chunk("IDAT", z) + Chunk("IEND", ""));
    std::vector<size_t> cuts;
    for (size_t c = 1; c < z.size(); c += 1 + c % 17) cuts.push_back(c);
    auto many =
        Load(head + Chunk("IDAT", "") + Idats(z, cuts) + Chunk("IDAT", "") + Chunk("IEND", ""));
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) ASSERT_EQ(whole->Pixels(x, y), many->Pixels(x, y));

    // A damaged CRC on the second of three data chunks.
    std::string three = Idats(z, {z.size() / 3, 2 * z.size() / 3});
    size_t second = 12 + z.size() / 3;
    std::string bad = three;
    bad[second + 8 + (z.size() / 3)] ^= 1;  // last CRC byte of chunk 2 is ahead of its data
    bad[second + 8] ^= 0x40;                // a data byte of chunk 2
    EXPECT_THROW(Load(head + bad + Chunk("IEND", "")), EPngInvalidCRC);
    // A text chunk between data chunks while rows are missing.
    std::string gap = Chunk("IDAT", z.substr(0, z.size() / 2)) + Chunk("tEXt", "a\0b") +
                      Chunk("IDAT", z.substr(z.size() / 2));
    TPNGPicture pic;
    MemoryStream s(head + gap + Chunk("IEND", ""));
    try {
        pic.LoadFromStream(s);
        ADD_FAILURE();
    } catch (const EPNGMissingMultipleIDAT& e) {
        EXPECT_EQ(e.Id(), 64963);
    }
}

TEST(PngImageData, TrailingDataAfterTheStreamIsNotACrcError) {
    // The zlib stream ends well inside a large chunk followed by padding.
    std::mt19937 rng(9);
    std::string raw;
    std::string rows = RandomRgb(20, 10, rng, &raw);
    std::string z = Zlib(rows) + std::string(200000, '\0');
    auto pic = Load(Signature() + Chunk("IHDR", IhdrData(20, 10, 8, 2)) + Chunk("IDAT", z) +
                    Chunk("IEND", ""));
    EXPECT_EQ(pic->Pixels(0, 0), RGBColor(uint8_t(raw[1]), uint8_t(raw[2]), uint8_t(raw[3])));
}

TEST(PngImageData, StreamEndingBeforeTheRowsEndsDecoding) {
    // Only half the rows are in the zlib stream; decoding stops, the rest stays 0.
    std::string rows;
    for (int y = 0; y < 5; ++y) rows += std::string(1, '\0') + std::string(4, '\x77');
    auto pic = Load(Signature() + Chunk("IHDR", IhdrData(4, 10, 8, 0)) + Chunk("IDAT", Zlib(rows)) +
                    Chunk("IEND", ""));
    EXPECT_EQ(pic->Pixels(3, 4), RGBColor(0x77, 0x77, 0x77));
    EXPECT_EQ(pic->Pixels(3, 5), 0u);
    // Corrupt compressed data names zlib's reason.
    std::string z = Zlib(rows);
    z[2] = char(0xFF);
    z[3] = char(0xFF);
    try {
        Load(Signature() + Chunk("IHDR", IhdrData(4, 10, 8, 0)) + Chunk("IDAT", z) +
             Chunk("IEND", ""));
        ADD_FAILURE();
    } catch (const EPNGZLIBError& e) {
        EXPECT_EQ(e.Id(), 64964);
        EXPECT_EQ(std::string(e.what()),
                  "Could not decompress the image because it contains invalid compressed "
                  "data.\r\n Description: data error (-3)");
    }
}

TEST(PngEncode, ChunkingAndSinglePixelInterlace) {
    // Noise that hardly compresses: 300 x 200 RGB, about 180000 bytes.
    std::mt19937 rng(1);
    std::string rows;
    for (int y = 0; y < 200; ++y) {
        rows += '\0';
        for (int i = 0; i < 900; ++i) rows += char(rng());
    }
    auto pic = Load(MakePng(300, 200, 8, 2, rows));
    pic->FilterSet = FilterBit(pfNone);
    std::string saved = Save(*pic);
    auto data = ChunkData(saved, "IDAT");
    ASSERT_GE(data.size(), 3u);
    for (size_t i = 0; i + 1 < data.size(); ++i) EXPECT_EQ(data[i].size(), 65535u);
    EXPECT_GT(data.back().size(), 0u);
    pic->SetIdatChunkSize(1000);
    EXPECT_EQ(pic->IdatChunkSize(), 65535u);
    pic->SetIdatChunkSize(100000);
    auto bigger = ChunkData(Save(*pic), "IDAT");
    EXPECT_EQ(bigger[0].size(), 100000u);
    auto again = Load(saved);
    for (int y = 0; y < 200; y += 37)
        for (int x = 0; x < 300; x += 41) ASSERT_EQ(again->Pixels(x, y), pic->Pixels(x, y));

    // One pixel with Adam7: pass 1 alone holds data (one filter byte, one sample).
    auto one = Load(MakePng(1, 1, 8, 0, std::string("\x00\x42", 2)));
    one->InterlaceMethod = 1;
    std::string file = Save(*one);
    std::string out, err;
    std::string idat = ChunkData(file, "IDAT")[0];
    ASSERT_TRUE(InflateBuffer(idat.data(), idat.size(), out, err));
    EXPECT_EQ(out, std::string("\x01\x42", 2));
    EXPECT_EQ(Load(file)->Pixels(0, 0), RGBColor(0x42, 0x42, 0x42));
}

TEST(PngEncode, SixteenBitSamplesComeBackWithZeroLowBytes) {
    std::string rows = std::string(1, '\0') + std::string("\x12\x34\x56\x78\x9A\xBC", 6);
    auto pic = Load(MakePng(1, 1, 16, 2, rows));
    pic->FilterSet = FilterBit(pfNone);
    std::string file = Save(*pic);
    std::string out, err;
    std::string idat = ChunkData(file, "IDAT")[0];
    ASSERT_TRUE(InflateBuffer(idat.data(), idat.size(), out, err));
    EXPECT_EQ(out, std::string("\x00\x12\x00\x56\x00\x9A\x00", 7));
}

TEST(PngFile, SignatureOrderEndAndUnknownChunks) {
    std::string row = std::string(1, '\0') + std::string(1, '\x10');
    std::string good = MakePng(1, 1, 8, 0, row);
    for (size_t bit = 0; bit < 64; ++bit) {
        std::string bad = good;
        bad[bit / 8] ^= char(1 << (bit % 8));
        EXPECT_THROW(Load(bad), EPNGInvalidFileHeader) << bit;
    }
    TPNGPicture pic;
    MemoryStream s(Signature() + Chunk("gAMA", std::string(4, '\0')));
    EXPECT_THROW(pic.LoadFromStream(s), EPNGIHDRNotFirst);
    EXPECT_TRUE(pic.Empty());

    std::string header = Signature() + Chunk("IHDR", IhdrData(1, 1, 8, 0));
    MemoryStream cut(header);
    EXPECT_THROW(pic.LoadFromStream(cut), EPngUnexpectedEnd);
    EXPECT_EQ(pic.Chunks().Count(), 1u);
    MemoryStream noData(header + Chunk("IEND", ""));
    EXPECT_THROW(pic.LoadFromStream(noData), EPNGNoImageData);

    std::string extra = Chunk("prVt", "keep me") + Chunk("cHRM", std::string(32, '\1'));
    auto kept = Load(MakePng(1, 1, 8, 0, row, extra));
    std::string saved = Save(*kept);
    EXPECT_EQ(ChunkTypes(saved), (std::vector<std::string>{"IHDR", "prVt", "IDAT", "IEND"}));
    EXPECT_EQ(ChunkData(saved, "prVt")[0], "keep me");
    MemoryStream critical(MakePng(1, 1, 8, 0, row, Chunk("XyZw", "")));
    EXPECT_THROW(pic.LoadFromStream(critical), EPNGUnknownCriticalChunk);

    // A palette found after the data, or twice, still makes one palette before it.
    const std::string plte = Chunk("PLTE", std::string("\x10\x20\x30\x40\x50\x60", 6));
    const std::string prow = std::string("\0\x01\x00", 3);
    for (const std::string& f : {Signature() + Chunk("IHDR", IhdrData(2, 1, 8, 3)) +
                                     Chunk("IDAT", Zlib(prow)) + plte + Chunk("IEND", ""),
                                 Signature() + Chunk("IHDR", IhdrData(2, 1, 8, 3)) + plte + plte +
                                     Chunk("IDAT", Zlib(prow)) + Chunk("IEND", "")}) {
        std::string out = Save(*Load(f));
        EXPECT_EQ(ChunkTypes(out), (std::vector<std::string>{"IHDR", "PLTE", "IDAT", "IEND"}));
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
    std::string file = Signature() + Chunk("IHDR", IhdrData(11, 9, 8, 4, 0)) +
                       Chunk("tEXt", std::string("k\0v", 3)) + Chunk("IDAT", Zlib(rows)) +
                       Chunk("IEND", "");
    auto check = [](const std::string& bytes) {
        TPNGPicture pic;
        MemoryStream s(bytes);
        try {
            pic.LoadFromStream(s);
        } catch (const PngException&) {
        }
        // Whatever loaded can be drawn, read and saved without harm.
        Bitmap target(16, 16, PixelFormat::Pf24bit);
        pic.Draw(target.GetCanvas(), Rect{0, 0, 16, 16});
        pic.Pixels(0, 0);
        try {
            std::string out = Save(pic);
            auto back = Load(out);  // anything we write must read back
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

TEST(PngPicture, EmptyImagesAndZeroSizes) {
    TPNGPicture empty;
    EXPECT_TRUE(empty.Empty());
    EXPECT_EQ(empty.Width(), 0);
    EXPECT_EQ(empty.Pixels(0, 0), 0u);
    empty.SetPixels(0, 0, clWhite);
    Bitmap target(4, 4, PixelFormat::Pf24bit);
    empty.Draw(target.GetCanvas(), Rect{0, 0, 4, 4});
    MemoryStream s;
    try {
        empty.SaveToStream(s);
        ADD_FAILURE() << "an empty image must not be saved as a file";
    } catch (const EPNGHeaderNotPresent& e) {
        EXPECT_EQ(e.Id(), 64945);
    }
    EXPECT_THROW(empty.TransparencyKind(), EPNGHeaderNotPresent);
    EXPECT_THROW(empty.ResizeImage(2, 2), EPNGHeaderNotPresent);

    auto zero = Load(Signature() + Chunk("IHDR", IhdrData(0, 5, 8, 6)) +
                     Chunk("IDAT", Zlib(std::string(5, '\0'))) + Chunk("IEND", ""));
    EXPECT_EQ(zero->Width(), 0);
    zero->Draw(target.GetCanvas(), Rect{0, 0, 4, 4});
    EXPECT_EQ(zero->Pixels(0, 0), 0u);
    auto back = Load(Save(*zero));
    EXPECT_EQ(back->Height(), 5);
}

TEST(PngPicture, PartlyLoadedImageSavesAsAWholeFile) {
    std::string rows;
    for (int y = 0; y < 8; ++y) rows += std::string(1, '\0') + std::string(8, char(y * 30));
    std::string z = Zlib(rows);
    std::string file = Signature() + Chunk("IHDR", IhdrData(8, 8, 8, 0)) +
                       Chunk("IDAT", z.substr(0, z.size() / 2));  // cut in the data
    TPNGPicture pic;
    MemoryStream s(file);
    EXPECT_THROW(pic.LoadFromStream(s), PngException);
    TempDir dir;
    WriteFile(dir.Path("p.png"), Save(pic));
    int rc = 0;
    RunCommand("pngcheck -q " + dir.Path("p.png") + " >/dev/null 2>&1", &rc);
    EXPECT_EQ(rc, 0);
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
    try {
        pic->SetWidth(0);
        ADD_FAILURE();
    } catch (const EPNGInvalidNewSize& e) {
        EXPECT_EQ(e.Id(), 64946);
    }
    pic->ResizeImage(4, 4);
    EXPECT_EQ(pic->Width(), 4);
    EXPECT_EQ(pic->Pixels(1, 1), RGBColor(100, 100, 7));
    EXPECT_EQ(pic->Pixels(3, 3), 0u);
    EXPECT_EQ(pic->AlphaScanline(0)[0], 200);
    EXPECT_EQ(pic->AlphaScanline(3)[3], 255);
    pic->SetPixels(3, 3, RGBColor(1, 2, 3));
    EXPECT_EQ(pic->Pixels(3, 3), RGBColor(1, 2, 3));
    EXPECT_EQ(Load(Save(*pic))->Pixels(3, 3), RGBColor(1, 2, 3));

    // Indexes past a two-entry palette read as black and draw without harm.
    std::string prow = std::string(1, '\0') + std::string("\x00\x01\x05\xFF", 4);
    auto pal = Load(MakePng(4, 1, 8, 3, prow,
                            Chunk("PLTE", std::string("\x10\x20\x30\x40\x50\x60", 6)) +
                                Chunk("tRNS", std::string("\x80\x00", 2))));
    EXPECT_EQ(pal->Pixels(1, 0), RGBColor(0x40, 0x50, 0x60));
    EXPECT_EQ(pal->Pixels(3, 0), 0u);
    Bitmap target(4, 1, PixelFormat::Pf24bit);
    pal->Draw(target.GetCanvas(), Rect{0, 0, 4, 1});
}

TEST(PngDraw, KeyColourPartialAndPlain) {
    // Palette image: entry 1 fully transparent; entry 0 red.
    std::string prow = std::string(1, '\0') + std::string("\x00\x01", 2);
    std::string plte = Chunk("PLTE", std::string("\xFF\x00\x00\x00\x00\xFF", 6));
    auto keyed = Load(MakePng(2, 1, 8, 3, prow, plte + Chunk("tRNS", std::string("\xFF\x00", 2))));
    Bitmap target(2, 1, PixelFormat::Pf24bit);
    target.GetCanvas().SetBrushColor(RGBColor(0, 255, 0));
    target.GetCanvas().FillRect(Rect{0, 0, 2, 1});
    keyed->Draw(target.GetCanvas(), Rect{0, 0, 2, 1});
    EXPECT_EQ(target.Pixel(0, 0), RGBColor(255, 0, 0));
    EXPECT_EQ(target.Pixel(1, 0), RGBColor(0, 255, 0));

    // Entry 1 half transparent: blended over green.
    auto half = Load(MakePng(2, 1, 8, 3, prow, plte + Chunk("tRNS", std::string("\xFF\x80", 2))));
    target.GetCanvas().FillRect(Rect{0, 0, 2, 1});
    half->Draw(target.GetCanvas(), Rect{0, 0, 2, 1});
    EXPECT_EQ(target.Pixel(0, 0), RGBColor(255, 0, 0));
    Color mixed = target.Pixel(1, 0);
    EXPECT_NEAR(GetGValue(mixed), 127, 1);
    EXPECT_NEAR(GetBValue(mixed), 128, 1);

    // RGBA stretched to twice its size; alpha 0 leaves the background.
    std::string rows = std::string(1, '\0') + std::string("\x00\x00\xFF\xFF\xFF\x00\x00\x00", 8);
    auto rgba = Load(MakePng(2, 1, 8, 6, rows));
    Bitmap wide(4, 2, PixelFormat::Pf24bit);
    wide.GetCanvas().SetBrushColor(RGBColor(0, 255, 0));
    wide.GetCanvas().FillRect(Rect{0, 0, 4, 2});
    rgba->Draw(wide.GetCanvas(), Rect{0, 0, 4, 2});
    EXPECT_EQ(wide.Pixel(1, 1), RGBColor(0, 0, 255));
    EXPECT_EQ(wide.Pixel(2, 0), RGBColor(0, 255, 0));

    // Plain grey, drawn as it is.
    auto grey = Load(MakePng(2, 1, 8, 0, std::string("\x00\x10\xF0", 3)));
    grey->Draw(target.GetCanvas(), Rect{0, 0, 2, 1});
    EXPECT_EQ(target.Pixel(1, 0), RGBColor(0xF0, 0xF0, 0xF0));
}

TEST(PngBitmap, ImportExportAndCopy) {
    Bitmap bmp(5, 3, PixelFormat::Pf8bit);
    std::vector<RGBQuad> table(256);
    table[1] = {30, 20, 10, 0};
    table[2] = {0, 0, 255, 0};
    bmp.SetColorTable(table);
    for (int x = 0; x < 5; ++x) bmp.SetPixelValue(x, 1, uint32_t(1 + x % 2));
    TPNGPicture pic;
    pic.ImportBitmap(bmp, true, RGBColor(255, 0, 0));
    EXPECT_EQ(ChunkTypes(Save(pic)),
              (std::vector<std::string>{"IHDR", "PLTE", "tRNS", "IDAT", "IEND"}));
    EXPECT_EQ(pic.TransparencyKind(), tkKeyColour);
    EXPECT_EQ(pic.TransparentColour(), RGBColor(255, 0, 0));
    EXPECT_EQ(pic.Pixels(0, 1), RGBColor(10, 20, 30));
    auto back = Load(Save(pic));
    EXPECT_EQ(back->Pixels(1, 1), RGBColor(255, 0, 0));
    EXPECT_EQ(back->TransparencyKind(), tkKeyColour);

    Bitmap out;
    back->AssignTo(out);
    EXPECT_EQ(out.GetPixelFormat(), PixelFormat::Pf8bit);
    EXPECT_TRUE(out.Transparent());
    EXPECT_EQ(out.Pixel(0, 1), RGBColor(10, 20, 30));

    TPNGPicture copy;
    copy.Assign(back.get());
    EXPECT_EQ(copy.Pixels(1, 1), RGBColor(255, 0, 0));
    EXPECT_EQ(Save(copy), Save(*back));

    Bitmap rgb(2, 2, PixelFormat::Pf24bit);
    rgb.SetPixel(1, 0, RGBColor(1, 2, 3));
    TPNGPicture fromRgb;
    fromRgb.Assign(&rgb);
    EXPECT_EQ(fromRgb.RequireHeader().ColorType, COLOR_RGB);
    EXPECT_EQ(fromRgb.Pixels(1, 0), RGBColor(1, 2, 3));
}

TEST(PngBitmap, ClipboardGoesThroughAPlainBitmap) {
    std::string rows = std::string(1, '\0') + std::string("\x01\x02\x03\xFA\xFB\xFC", 6);
    auto pic = Load(MakePng(2, 1, 8, 2, rows));
    ClipboardData clip;
    pic->SaveToClipboardFormat(clip);
    EXPECT_FALSE(clip.Bitmap.empty());
    TPNGPicture back;
    back.LoadFromClipboardFormat(clip);
    EXPECT_EQ(back.Pixels(0, 0), RGBColor(1, 2, 3));
    EXPECT_EQ(back.Pixels(1, 0), RGBColor(0xFA, 0xFB, 0xFC));
}

TEST(PngRegistry, RegistersAsPng) {
    PictureRegistry registry;
    RegisterPngPicture(registry);
    const FileFormat* f = registry.FindExtension("png");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->Description, "Portable Network Graphics");
    EXPECT_EQ(f->Factory()->ClassName(), "TPNGPicture");
    UnregisterPngPicture(registry);
    EXPECT_EQ(registry.FindExtension("png"), nullptr);
}

}  // namespace
}  // namespace qv

// The picture layer: streams, bitmaps and their BMP form, canvas, palette, registry.

#include <gtest/gtest.h>

#include <filesystem>

#include "imaging/bitmap.h"
#include "imaging/canvas.h"
#include "imaging/palette.h"
#include "imaging/picture_registry.h"
#include "imaging/stream.h"
#include "picture_test_helpers.h"
#include "support/test_env.h"

namespace qv {
namespace {

TEST(PictureStreams, ShortReadsAndWritesRaiseTheLibraryTexts) {
    MemoryStream m(std::string("abc"));
    char buf[4];
    try {
        m.ReadBuffer(buf, 4);
        FAIL();
    } catch (const EReadError& e) {
        EXPECT_STREQ(e.what(), "Stream read error");
    }
    m.SetPosition(1);
    EXPECT_EQ(m.Read(buf, 4), 2u);
    EXPECT_EQ(m.Read(buf, 4), 0u);

    const std::string dir = test::makeTempDir("qv_stream");
    const std::string path = dir + "/f.bin";
    test::WriteFileBytes(path, "xyz");
    FileStream ro(path, FileMode::OpenRead);
    try {
        ro.WriteBuffer("q", 1);
        FAIL();
    } catch (const EWriteError& e) {
        EXPECT_STREQ(e.what(), "Stream write error");
    }
    EXPECT_EQ(ro.Size(), 3);
    EXPECT_THROW(FileStream(dir + "/missing", FileMode::OpenRead), EFOpenError);
    std::filesystem::remove_all(dir);
}

TEST(PictureStreams, CopyFromWholeSourceWithCountZero) {
    MemoryStream src(std::string("hello"));
    src.SetPosition(3);
    MemoryStream dst;
    EXPECT_EQ(dst.CopyFrom(src, 0), 5);
    EXPECT_EQ(dst.Bytes(), "hello");
    src.SetPosition(4);
    EXPECT_THROW(dst.CopyFrom(src, 3), EReadError);
}

Bitmap Pattern24(int w, int h) {
    Bitmap b(w, h, PixelFormat::Pf24bit);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b.SetPixel(x, y,
                       RGBColor(std::uint8_t(x * 40), std::uint8_t(y * 50), std::uint8_t(x * y)));
    return b;
}

TEST(PictureBitmap, BmpImagesAreReadByImageMagickWithTheSamePixels) {
    if (!test::ToolAvailable("convert")) GTEST_SKIP() << "ImageMagick absent";
    const std::string dir = test::makeTempDir("qv_bmp");
    Bitmap b = Pattern24(5, 3);
    for (PixelFormat f : {PixelFormat::Pf24bit, PixelFormat::Pf32bit, PixelFormat::Pf8bit,
                          PixelFormat::Pf4bit, PixelFormat::Pf1bit}) {
        Bitmap c;
        c.Assign(&b);
        c.SetPixelFormat(f);
        test::WriteFileBytes(dir + "/x.bmp", c.SaveToBmp());
        const test::RgbImage seen = test::ParsePnm(
            test::RunCommand("convert " + dir + "/x.bmp -depth 8 ppm:- 2>/dev/null"));
        ASSERT_EQ(seen.Width, 5) << BitsOf(f);
        ASSERT_EQ(seen.Height, 3);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) {
                const Color p = c.Pixel(x, y);
                EXPECT_EQ(seen.At(x, y),
                          std::uint32_t(GetRValue(p)) << 16 | GetGValue(p) << 8 | GetBValue(p))
                    << "bits " << BitsOf(f) << " at " << x << "," << y;
            }
    }
    std::filesystem::remove_all(dir);
}

TEST(PictureBitmap, ReadsBmpImagesWrittenByImageMagick) {
    if (!test::ToolAvailable("convert")) GTEST_SKIP() << "ImageMagick absent";
    const std::string dir = test::makeTempDir("qv_bmp");
    // 24-bit, 8-bit with palette, 16-bit 5-6-5 bit fields, top-down rows.
    const char* outputs[] = {
        "BMP3:", "-type palette BMP3:", "-define bmp:subtype=RGB565 BMP:", "BMP3:"};
    for (int k = 0; k < 4; ++k) {
        const std::string flip = k == 3 ? "-flip " : "";
        std::string opts = outputs[k];
        const auto colon = opts.rfind(' ');
        const std::string pre = colon == std::string::npos ? "" : opts.substr(0, colon + 1);
        const std::string fmt = colon == std::string::npos ? opts : opts.substr(colon + 1);
        test::RunCommand("convert -size 7x4 gradient:red-blue " + pre + fmt + dir +
                         "/in.bmp 2>/dev/null");
        const test::RgbImage want = test::ParsePnm(
            test::RunCommand("convert " + dir + "/in.bmp -depth 8 ppm:- 2>/dev/null"));
        ASSERT_EQ(want.Width, 7) << k;
        Bitmap b;
        b.LoadFromFile(dir + "/in.bmp");
        ASSERT_EQ(b.Width(), 7);
        ASSERT_EQ(b.Height(), 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 7; ++x) {
                const Color p = b.Pixel(x, y);
                const std::uint32_t got =
                    std::uint32_t(GetRValue(p)) << 16 | GetGValue(p) << 8 | GetBValue(p);
                // 5-6-5 loses low bits on both sides; allow their rounding.
                const int tol = k == 2 ? 8 : 0;
                for (int c = 0; c < 3; ++c)
                    EXPECT_NEAR(int(got >> (8 * c) & 255), int(want.At(x, y) >> (8 * c) & 255), tol)
                        << k;
            }
    }
    std::filesystem::remove_all(dir);
}

TEST(PictureBitmap, DamagedBmpImagesAreRefusedCleanly) {
    Bitmap b = Pattern24(9, 7);
    b.SetPixelFormat(PixelFormat::Pf8bit);
    const std::string bmp = b.SaveToBmp();
    for (std::size_t cut = 0; cut < bmp.size(); ++cut) {
        Bitmap r;
        EXPECT_THROW(r.LoadFromBmp(reinterpret_cast<const std::uint8_t*>(bmp.data()), cut),
                     EInvalidGraphic)
            << cut;
    }
    std::string huge = bmp;
    huge[18] = '\xFF';  // width far beyond the bytes present
    huge[19] = '\xFF';
    Bitmap r;
    EXPECT_THROW(r.LoadFromBmp(reinterpret_cast<const std::uint8_t*>(huge.data()), huge.size()),
                 EInvalidGraphic);
}

TEST(PictureBitmap, PixelCapRefusesOversizedBitmaps) {
    const std::size_t old = MaxBitmapPixels();
    SetMaxBitmapPixels(100);
    EXPECT_THROW(Bitmap(20, 20, PixelFormat::Pf8bit), EInvalidGraphic);
    EXPECT_NO_THROW(Bitmap(10, 10, PixelFormat::Pf8bit));
    SetMaxBitmapPixels(old);
}

TEST(PictureBitmap, FormatChangesKeepColoursAndIndexes) {
    Bitmap b(4, 1, PixelFormat::Pf8bit);
    std::vector<RGBQuad> table(256);
    table[3] = {0, 0, 255, 0};  // red
    table[7] = {255, 0, 0, 0};  // blue
    b.SetColorTable(table);
    b.SetPixelValue(0, 0, 3);
    b.SetPixelValue(1, 0, 7);
    b.SetPixelFormat(PixelFormat::Pf24bit);
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(255, 0, 0));
    EXPECT_EQ(b.Pixel(1, 0), RGBColor(0, 0, 255));
    b.SetPixelFormat(PixelFormat::Pf1bit);  // black and white by nearest
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(0, 0, 0));
    b.SetPixel(2, 0, RGBColor(250, 240, 230));
    EXPECT_EQ(b.Pixel(2, 0), RGBColor(255, 255, 255));
    EXPECT_TRUE(b.Monochrome());
}

TEST(PictureCanvas, NearestNeighbourStretchAndMaskedCopy) {
    Bitmap src(2, 2, PixelFormat::Pf24bit);
    src.SetPixel(0, 0, RGBColor(255, 0, 0));
    src.SetPixel(1, 0, RGBColor(0, 255, 0));
    src.SetPixel(0, 1, RGBColor(0, 0, 255));
    src.SetPixel(1, 1, RGBColor(9, 9, 9));
    Bitmap dst(4, 4, PixelFormat::Pf24bit);
    dst.GetCanvas().CopyRect(Rect{0, 0, 4, 4}, src, Rect{0, 0, 2, 2});
    EXPECT_EQ(dst.Pixel(1, 1), RGBColor(255, 0, 0));
    EXPECT_EQ(dst.Pixel(2, 1), RGBColor(0, 255, 0));
    EXPECT_EQ(dst.Pixel(1, 2), RGBColor(0, 0, 255));
    EXPECT_EQ(dst.Pixel(3, 3), RGBColor(9, 9, 9));

    Bitmap back(4, 4, PixelFormat::Pf24bit);
    back.GetCanvas().SetBrushColor(RGBColor(1, 2, 3));
    back.GetCanvas().FillRect(Rect{-5, -5, 50, 50});
    back.GetCanvas().CopyRectMasked(Rect{0, 0, 4, 4}, src, Rect{0, 0, 2, 2},
                                    MaskFromColor(src, RGBColor(0, 255, 0)));
    EXPECT_EQ(back.Pixel(3, 0), RGBColor(1, 2, 3));
    EXPECT_EQ(back.Pixel(0, 0), RGBColor(255, 0, 0));
    // Drawing outside the target is clipped.
    back.GetCanvas().CopyRect(Rect{3, 3, 9, 9}, src, Rect{0, 0, 2, 2});
    EXPECT_EQ(back.Pixel(3, 3), RGBColor(255, 0, 0));
}

TEST(PictureCanvas, IndexMaskTellsDuplicateColoursApart) {
    Bitmap b(2, 1, PixelFormat::Pf8bit);
    std::vector<RGBQuad> table(256);
    table[1] = table[2] = {10, 20, 30, 0};
    b.SetColorTable(table);
    b.SetPixelValue(0, 0, 1);
    b.SetPixelValue(1, 0, 2);
    const TransparencyMask byIndex = MaskFromIndex(b, 2);
    EXPECT_FALSE(byIndex.At(0, 0));
    EXPECT_TRUE(byIndex.At(1, 0));
    const TransparencyMask byColor = MaskFromColor(b, RGBColor(30, 20, 10));
    EXPECT_TRUE(byColor.At(0, 0));
}

TEST(PicturePalette, NearestEntryTakesTheLowerIndexOnATie) {
    Palette p({{0, 0, 0, 0}, {10, 0, 0, 0}, {20, 0, 0, 0}, {10, 0, 0, 0}});
    EXPECT_EQ(p.NearestIndex(RGBColor(5, 0, 0)), 0);
    EXPECT_EQ(p.NearestIndex(RGBColor(11, 0, 0)), 1);
    EXPECT_EQ(p.NearestIndex(RGBColor(200, 0, 0)), 2);
    EXPECT_EQ(Palette().NearestIndex(0), -1);
}

TEST(PictureRegistryTest, ExtensionsMatchWithoutCaseAndClassesUnregister) {
    PictureRegistry r;
    r.RegisterFileFormat("bmp", "Bitmaps", "TBitmap", [] { return std::make_unique<Bitmap>(); });
    ASSERT_NE(r.FindExtension("BMP"), nullptr);
    ASSERT_NE(r.FindExtension(".Bmp"), nullptr);
    EXPECT_EQ(r.FindExtension("bmp")->Description, "Bitmaps");
    EXPECT_EQ(r.FileFilter(), "All (*.bmp)|*.bmp|Bitmaps (*.bmp)|*.bmp");
    try {
        r.LoadFromFile("/tmp/picture.xyz");
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Unknown picture file extension (.xyz)");
    }
    const std::string dir = test::makeTempDir("qv_reg");
    Bitmap b = Pattern24(3, 2);
    b.SaveToFile(dir + "/p.BMP");
    std::unique_ptr<Graphic> loaded = r.LoadFromFile(dir + "/p.BMP");
    EXPECT_EQ(loaded->ClassName(), "TBitmap");
    EXPECT_EQ(loaded->Width(), 3);
    r.UnregisterGraphicClass("TBitmap");
    EXPECT_EQ(r.FindExtension("bmp"), nullptr);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qv

// The picture layer: streams, bitmaps and their BMP form, canvas, palette, registry.

#include <gtest/gtest.h>

#include "imaging/bitmap.h"
#include "imaging/canvas.h"
#include "imaging/palette.h"
#include "imaging/picture_registry.h"
#include "imaging/stream.h"
#include "picture_test_helpers.h"

namespace qv {
namespace {

using namespace test;

TEST(PictureStreams, ShortReadsWritesAndCopiesRaiseTheLibraryTexts) {
    MemoryStream m(std::string("abc"));
    char buf[4];
    EXPECT_EQ(Raised<EReadError>([&] { m.ReadBuffer(buf, 4); }).second, "Stream read error");

    const ScratchDir dir("qv_stream");
    WriteFileBytes(dir.Path("f.bin"), "xyz");
    FileStream ro(dir.Path("f.bin"), FileMode::OpenRead);
    EXPECT_EQ(Raised<EWriteError>([&] { ro.WriteBuffer("q", 1); }).second, "Stream write error");
    EXPECT_THROW(FileStream(dir.Path("missing"), FileMode::OpenRead), EFOpenError);

    // A count of 0 copies the whole source.
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

TEST(PictureBitmap, BmpImagesExchangedWithImageMagick) {
    const ScratchDir dir("qv_bmp");
    auto seenByImageMagick = [](const std::string& path) {
        return ReadPam(RunCommand("convert " + path + " -depth 8 ppm:- 2>/dev/null | pamtopam"));
    };
    Bitmap b = Pattern24(5, 3);
    for (PixelFormat f : {PixelFormat::Pf24bit, PixelFormat::Pf32bit, PixelFormat::Pf8bit,
                          PixelFormat::Pf4bit, PixelFormat::Pf1bit}) {
        Bitmap c;
        c.Assign(&b);
        c.SetPixelFormat(f);
        WriteFileBytes(dir.Path("x.bmp"), c.SaveToBmp());
        EXPECT_EQ(seenByImageMagick(dir.Path("x.bmp")), FromBitmap(c)) << BitsOf(f);
    }
    // Theirs: 24-bit, 8-bit with palette, 16-bit 5-6-5 bit fields (which lose low bits on both
    // sides).
    const struct {
        const char* options;
        int tolerance;
    } kinds[] = {{"BMP3:", 0}, {"-type palette BMP3:", 0}, {"-define bmp:subtype=RGB565 BMP:", 8}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.options);
        RunCommand("convert -size 7x4 gradient:red-blue " + std::string(kind.options) +
                   dir.Path("in.bmp") + " 2>/dev/null");
        const Pam want = seenByImageMagick(dir.Path("in.bmp"));
        Bitmap b;
        b.LoadFromFile(dir.Path("in.bmp"));
        const Pam got = FromBitmap(b);
        ASSERT_EQ(std::pair(got.Width, got.Height), std::pair(7u, 4u));
        ASSERT_EQ(want.Samples.size(), got.Samples.size());
        for (std::size_t i = 0; i < got.Samples.size(); ++i)
            EXPECT_NEAR(got.Samples[i], want.Samples[i], kind.tolerance) << i;
    }
}

TEST(PictureBitmap, DamagedAndOversizedBmpImagesAreRefusedCleanly) {
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

    // The pixel cap.
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
    const Color colours[] = {RGBColor(255, 0, 0), RGBColor(0, 255, 0), RGBColor(0, 0, 255),
                             RGBColor(9, 9, 9)};
    for (int i = 0; i < 4; ++i) src.SetPixel(i % 2, i / 2, colours[i]);
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
    ASSERT_NE(r.FindExtension(".Bmp"), nullptr);
    EXPECT_EQ(r.FileFilter(), "All (*.bmp)|*.bmp|Bitmaps (*.bmp)|*.bmp");
    EXPECT_EQ(Raised<EInvalidGraphic>([&] { r.LoadFromFile("/tmp/picture.xyz"); }).second,
              "Unknown picture file extension (.xyz)");
    const ScratchDir dir("qv_reg");
    Pattern24(3, 2).SaveToFile(dir.Path("p.BMP"));
    std::unique_ptr<Graphic> loaded = r.LoadFromFile(dir.Path("p.BMP"));
    EXPECT_EQ(loaded->ClassName(), "TBitmap");
    EXPECT_EQ(loaded->Width(), 3);
    r.UnregisterGraphicClass("TBitmap");
    EXPECT_EQ(r.FindExtension("bmp"), nullptr);
}

}  // namespace
}  // namespace qv

// The GIF picture model: frames, copies, transparency, clipboard, registration, texts.

#include <gtest/gtest.h>

#include "imaging/gif_image.h"
#include "picture_test_helpers.h"

namespace qv {
namespace {

using test::GifFile;
using test::ImageBlock;
using test::PackCodes;
using test::ReferenceLzw;

Bitmap Bits8(int w, int h) {
    Bitmap b(w, h, PixelFormat::Pf8bit);
    std::vector<RGBQuad> t(256);
    for (int i = 0; i < 256; ++i)
        t[std::size_t(i)] = {std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i / 2), 0};
    b.SetColorTable(t);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) b.SetPixelValue(x, y, std::uint32_t((x + 3 * y) % 256));
    return b;
}

TEST(GifModel, NewPictureIsEmpty) {
    TGIFImage gif;
    EXPECT_TRUE(gif.Empty());
    EXPECT_EQ(gif.Width(), 0);
    EXPECT_EQ(gif.Height(), 0);
    EXPECT_EQ(gif.FrameIndex, -1);
    EXPECT_EQ(gif.Version, gvUnknown);
    EXPECT_EQ(gif.RepeatCount, 1);
    EXPECT_FALSE(gif.Transparent());
    Bitmap b = Bits8(3, 2);
    gif.AddFrame(&b);
    EXPECT_FALSE(gif.Transparent());
    gif.Frame(0).TransparentColor = RGBColor(1, 2, 3);
    EXPECT_TRUE(gif.Transparent());
}

TEST(GifModel, FramesFromBitmapsSetTheVersion) {
    TGIFImage gif;
    Bitmap b = Bits8(4, 4);
    gif.Assign(&b);
    EXPECT_EQ(gif.FrameCount(), 1);
    EXPECT_EQ(gif.Version, gv87a);
    EXPECT_EQ(gif.Width(), 4);
    gif.AddFrame(&b);
    EXPECT_EQ(gif.Version, gv89a);
    EXPECT_EQ(gif.FrameIndex, 1);
}

TEST(GifModel, CopiesShareDataUntilClearedAndNeverChangeEachOther) {
    // A picture with a local table only: encoding a new frame into a copy fills the
    // copy's global table, which must not reach the original.
    std::string table;
    for (std::uint32_t c : {0xFF0000u, 0x00FF00u})
        table += std::string{char(c >> 16), char(c >> 8), char(c)};
    const std::string file = GifFile(
        2, 1, {}, ImageBlock(0, 0, 2, 1, 0x80, table, 2, PackCodes(ReferenceLzw({0, 1}, 2))));
    TGIFImage a, b;
    MemoryStream in(file);
    a.LoadFromStream(in);
    MemoryStream first;
    a.SaveToStream(first);
    b.Assign(&a);
    EXPECT_TRUE(a.Equals(b));
    EXPECT_TRUE(b.Equals(a));
    Bitmap bm = Bits8(6, 5);
    b.AddFrame(&bm);
    MemoryStream second;
    b.SaveToStream(second);
    EXPECT_EQ(a.Data->ColorMap.Count, 0);
    MemoryStream again;
    a.SaveToStream(again);
    EXPECT_EQ(again.Bytes(), first.Bytes());
    EXPECT_EQ(first.Bytes(), file);
    b.Clear();
    EXPECT_FALSE(a.Equals(b));
}

TEST(GifModel, SizeCannotBeSet) {
    TGIFImage gif;
    try {
        gif.SetWidth(3);
        FAIL();
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "Cannot change the Size of a GIF image");
    }
    EXPECT_THROW(gif.SetSize(1, 1), EInvalidGraphicOperation);
}

TEST(GifModel, LocalColoursOnFramesFromAnotherPicture) {
    TGIFImage a, b;
    Bitmap bm = Bits8(2, 2);
    a.Assign(&bm);
    a.AddFrame(&bm);
    a.Frame(0).LocalColors = false;
    b.Assign(&bm);
    b.Frame(0).Assign(&a.Frame(0));
    EXPECT_TRUE(b.Frame(0).LocalColors);
    a.Frame(1).LocalColors = true;
    a.Frame(1).Assign(&a.Frame(0));
    EXPECT_FALSE(a.Frame(1).LocalColors);
}

TEST(GifModel, PictureReducedToOneOfItsOwnFrames) {
    // The frame and the screen data it comes from belong to the picture being cleared.
    TGIFImage gif;
    Bitmap small = Bits8(3, 2), large = Bits8(5, 4);
    gif.AddFrame(&small);
    gif.AddFrame(&large);
    gif.Frame(1).AnimateInterval = 70;
    gif.Assign(gif.Frame(1));
    ASSERT_EQ(gif.FrameCount(), 1);
    EXPECT_EQ(gif.FrameIndex, 0);
    EXPECT_EQ(gif.Version, gv87a);
    EXPECT_EQ(gif.Width(), 5);
    EXPECT_EQ(gif.Frame(0).AnimateInterval, 70u);
    EXPECT_EQ(gif.CurrentBitmap().Pixel(4, 3), large.Pixel(4, 3));

    // The same through the frame handing itself to its own picture.
    gif.AddFrame(&small);
    gif.Frame(1).AssignTo(gif);
    ASSERT_EQ(gif.FrameCount(), 1);
    EXPECT_EQ(gif.Width(), 3);
}

TEST(GifModel, PictureOrFrameTakesItsOwnBitmap) {
    // Flattening an animation to its current picture, and a frame given its own bitmap.
    TGIFImage gif;
    Bitmap small = Bits8(3, 2), large = Bits8(5, 4);
    gif.AddFrame(&small);
    gif.AddFrame(&large);
    gif.Assign(&gif.CurrentBitmap());
    ASSERT_EQ(gif.FrameCount(), 1);
    EXPECT_EQ(gif.Width(), 5);
    EXPECT_EQ(gif.CurrentBitmap().Pixel(4, 3), large.Pixel(4, 3));

    gif.Frame(0).Assign(&gif.Frame(0).GetBitmap());
    EXPECT_EQ(gif.Width(), 5);
    EXPECT_EQ(gif.CurrentBitmap().Pixel(4, 3), large.Pixel(4, 3));
}

TEST(GifModel, ErrorTextsAreTheCodecsOwn) {
    TGIFImage gif;
    MemoryStream out;
    try {
        gif.SaveToStream(out);
        FAIL();
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "No GIF Data to write");
    }
    auto load = [](const std::string& bytes) {
        TGIFImage g;
        MemoryStream s(bytes);
        g.LoadFromStream(s);
    };
    try {
        load(GifFile(1, 1, {0, 0xFFFFFF}, "!\x2A\x00"));
        FAIL();
    } catch (const EInvalidGraphicOperation& e) {
        // Two hexadecimal digits, upper case as the class library formats them.
        EXPECT_STREQ(e.what(), "Unrecognized extension block: 2A");
    }
    try {
        load(GifFile(1, 1, {0, 0xFFFFFF}, "!\xAB\x00"));
        FAIL();
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "Unrecognized extension block: AB");
    }
    try {
        load(GifFile(1, 1, {0, 0xFFFFFF}, "", "88a"));
        FAIL();
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "Unknown GIF version");
    }
    try {
        ColorsToBits(3);
        FAIL();
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "Wrong number of colors; must be a power of 2");
    }
    Bitmap bm = Bits8(2, 2);
    gif.Assign(&bm);
    gif.Frame(0).FBitmap->SetPixelFormat(PixelFormat::Pf15bit);
    GIFDefaultReduction = MapByFrequency;
    // A 15-bit bitmap is reduced, so encodes; an empty one has nothing to write.
    EXPECT_NO_THROW(gif.SaveToStream(out));
    TGIFImage none;
    Bitmap emptyBitmap;
    none.AddFrame(&emptyBitmap);
    EXPECT_THROW(none.SaveToStream(out), EInvalidGraphicOperation);
}

TEST(GifModel, ClipboardCarriesGifDataOnlyWhenEveryFrameIsEncoded) {
    TGIFImage gif;
    Bitmap bm = Bits8(5, 4);
    gif.Assign(&bm);
    ClipboardData clip;
    gif.SaveToClipboardFormat(clip);
    EXPECT_FALSE(clip.Bitmap.empty());
    EXPECT_EQ(clip.Formats.count("GIF Image"), 0u);

    MemoryStream s;
    gif.SaveToStream(s);
    ClipboardData clip2;
    gif.SaveToClipboardFormat(clip2);
    ASSERT_EQ(clip2.Formats.count("GIF Image"), 1u);
    const std::string& data = clip2.Formats["GIF Image"];
    const std::uint32_t size =
        std::uint32_t(std::uint8_t(data[0])) | std::uint32_t(std::uint8_t(data[1])) << 8 |
        std::uint32_t(std::uint8_t(data[2])) << 16 | std::uint32_t(std::uint8_t(data[3])) << 24;
    EXPECT_EQ(size, data.size() - 4);
    EXPECT_EQ(data.substr(4), s.Bytes());

    TGIFImage back;
    back.LoadFromClipboardFormat(clip2);
    EXPECT_EQ(back.FrameCount(), 1);
    EXPECT_EQ(back.FrameIndex, 0);
    EXPECT_EQ(back.Width(), 5);
    EXPECT_EQ(back.CurrentBitmap().Pixel(2, 1), bm.Pixel(2, 1));

    ClipboardData plain;
    bm.SaveToClipboardFormat(plain);
    TGIFImage fromBitmap;
    fromBitmap.LoadFromClipboardFormat(plain);
    EXPECT_EQ(fromBitmap.FrameCount(), 1);
}

TEST(GifModel, RegistrationAndLoadingByExtension) {
    PictureRegistry registry;
    RegisterGifFormat(registry);
    const FileFormat* f = registry.FindExtension("GIF");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->Description, "CompuServe GIF Image");
    ASSERT_EQ(registry.ClipboardFormats().size(), 1u);
    EXPECT_EQ(registry.ClipboardFormats()[0].Name, "GIF Image");
    ClipboardData clip;
    clip.Formats["GIF Image"] = std::string("\0\0\0\0", 4);
    EXPECT_NE(registry.LoadFromClipboard(clip), nullptr);
    UnregisterGifFormat(registry);
    EXPECT_EQ(registry.FindExtension("gif"), nullptr);
}

TEST(GifModel, DrawingWithTransparencyByColourAndByDefaultColour) {
    // 2x2: entries 0 red, 1 green; the bottom-left pixel is green.
    const auto codes = ReferenceLzw({0, 1, 1, 0}, 2);
    TGIFImage gif;
    MemoryStream s(GifFile(
        2, 2, {0xFF0000, 0x00FF00},
        test::GraphicControl(1, 0, 0) + ImageBlock(0, 0, 2, 2, 0, "", 2, PackCodes(codes))));
    gif.LoadFromStream(s);
    ASSERT_EQ(gif.Frame(0).TransparentColor, RGBColor(255, 0, 0));
    Bitmap target(2, 2, PixelFormat::Pf24bit);
    target.GetCanvas().SetBrushColor(RGBColor(0, 0, 9));
    target.GetCanvas().FillRect(Rect{0, 0, 2, 2});
    target.GetCanvas().StretchDraw(Rect{0, 0, 2, 2}, gif);
    EXPECT_EQ(target.Pixel(0, 0), RGBColor(0, 0, 9));
    EXPECT_EQ(target.Pixel(1, 0), RGBColor(0, 255, 0));
    EXPECT_EQ(target.Pixel(1, 1), RGBColor(0, 0, 9));

    gif.Frame(0).TransparentColor = clDefault;  // the bottom-left pixel's colour: green
    target.GetCanvas().FillRect(Rect{0, 0, 2, 2});
    target.GetCanvas().StretchDraw(Rect{0, 0, 2, 2}, gif);
    EXPECT_EQ(target.Pixel(0, 0), RGBColor(255, 0, 0));
    EXPECT_EQ(target.Pixel(1, 0), RGBColor(0, 0, 9));
}

TEST(GifModel, DuplicateColoursHideOnlyTheTransparentEntry) {
    // Entries 0 and 2 are both white; entry 2 is transparent.
    std::string table;
    for (std::uint32_t c : {0xFFFFFFu, 0x000000u, 0xFFFFFFu, 0x123456u})
        table += std::string{char(c >> 16), char(c >> 8), char(c)};
    const auto codes = ReferenceLzw({0, 2, 1, 2}, 2);
    const std::string file = GifFile(
        4, 1, {},
        test::GraphicControl(1, 0, 2) + ImageBlock(0, 0, 4, 1, 0x81, table, 2, PackCodes(codes)));
    TGIFImage gif;
    MemoryStream s(file);
    gif.LoadFromStream(s);
    Bitmap target(4, 1, PixelFormat::Pf24bit);
    target.GetCanvas().SetBrushColor(RGBColor(9, 9, 9));
    target.GetCanvas().FillRect(Rect{0, 0, 4, 1});
    target.GetCanvas().StretchDraw(Rect{0, 0, 4, 1}, gif);
    EXPECT_EQ(target.Pixel(0, 0), RGBColor(255, 255, 255));
    EXPECT_EQ(target.Pixel(1, 0), RGBColor(9, 9, 9));
    EXPECT_EQ(target.Pixel(2, 0), RGBColor(0, 0, 0));
    EXPECT_EQ(target.Pixel(3, 0), RGBColor(9, 9, 9));
    // Saved unchanged, the transparent index stays 2.
    MemoryStream out;
    gif.SaveToStream(out);
    EXPECT_NE(out.Bytes().find(test::GraphicControl(1, 0, 2)), std::string::npos);
}

}  // namespace
}  // namespace qv

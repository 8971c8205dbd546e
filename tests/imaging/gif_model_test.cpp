// The GIF picture model: frames, copies, transparency, clipboard, registration, texts.

#include <gtest/gtest.h>

#include "imaging/gif_image.h"
#include "picture_test_helpers.h"

namespace qv {
namespace {

using namespace test;

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

TEST(GifModel, CopiesShareDataUntilClearedAndFramesCopyTheirColours) {
    // A picture with a local table only: encoding a new frame into a copy fills the
    // copy's global table, which must not reach the original.
    const std::string file = GifFile(
        2, 1, {},
        ImageBlock(0, 0, 2, 1, 0x80, TableBytes({0xFF0000, 0x00FF00}), 2, LiteralLzw({0, 1}, 2)));
    auto a = Load<TGIFImage>(file);
    TGIFImage b;
    b.Assign(a.get());
    EXPECT_TRUE(a->Equals(b));
    Bitmap bm = Bits8(6, 5);
    b.AddFrame(&bm);
    Save(b);
    EXPECT_EQ(a->Data->ColorMap.Count, 0);
    EXPECT_EQ(Save(*a), file);
    b.Clear();
    EXPECT_FALSE(a->Equals(b));

    // A frame from another picture brings its colours as a local table; one of its own
    // picture uses the global one.
    TGIFImage c, d;
    c.Assign(&bm);
    c.AddFrame(&bm);
    c.Frame(0).LocalColors = false;
    d.Assign(&bm);
    d.Frame(0).Assign(&c.Frame(0));
    EXPECT_TRUE(d.Frame(0).LocalColors);
    c.Frame(1).LocalColors = true;
    c.Frame(1).Assign(&c.Frame(0));
    EXPECT_FALSE(c.Frame(1).LocalColors);
}

TEST(GifModel, PictureOrFrameGivenItsOwnFrameOrBitmap) {
    // What is handed over belongs to the picture being cleared.
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

    gif.AddFrame(&small);
    gif.Frame(1).AssignTo(gif);
    ASSERT_EQ(gif.FrameCount(), 1);
    EXPECT_EQ(gif.Width(), 3);

    // Flattening an animation to its current picture, and a frame given its own bitmap.
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
    using Error = EInvalidGraphicOperation;
    TGIFImage gif;
    MemoryStream out;
    EXPECT_EQ(Raised<Error>([&] { gif.SaveToStream(out); }).second, "No GIF Data to write");
    EXPECT_EQ(Raised<Error>([&] { gif.SetWidth(3); }).second,
              "Cannot change the Size of a GIF image");
    EXPECT_THROW(gif.SetSize(1, 1), Error);
    EXPECT_EQ(Raised<Error>([] { ColorsToBits(3); }).second,
              "Wrong number of colors; must be a power of 2");
    const std::string gif88 = GifFile(1, 1, {0, 0xFFFFFF}, "", "88a");
    EXPECT_EQ(Raised<Error>([&] { Load<TGIFImage>(gif88); }).second, "Unknown GIF version");

    // A 15-bit bitmap is reduced, so encodes; an empty one has nothing to write.
    Bitmap bm = Bits8(2, 2);
    gif.Assign(&bm);
    gif.Frame(0).FBitmap->SetPixelFormat(PixelFormat::Pf15bit);
    EXPECT_NO_THROW(gif.SaveToStream(out));
    TGIFImage none;
    Bitmap emptyBitmap;
    none.AddFrame(&emptyBitmap);
    EXPECT_THROW(none.SaveToStream(out), Error);
}

TEST(GifModel, ClipboardCarriesGifDataOnlyWhenEveryFrameIsEncoded) {
    TGIFImage gif;
    Bitmap bm = Bits8(5, 4);
    gif.Assign(&bm);
    ClipboardData clip;
    gif.SaveToClipboardFormat(clip);
    EXPECT_FALSE(clip.Bitmap.empty());
    EXPECT_EQ(clip.Formats.count("GIF Image"), 0u);
    TGIFImage fromBitmap;
    fromBitmap.LoadFromClipboardFormat(clip);
    EXPECT_EQ(fromBitmap.FrameCount(), 1);

    const std::string file = Save(gif);
    gif.SaveToClipboardFormat(clip);
    ASSERT_EQ(clip.Formats.count("GIF Image"), 1u);
    const std::string& data = clip.Formats["GIF Image"];
    const std::string size{char(file.size()), char(file.size() >> 8), char(file.size() >> 16),
                           char(file.size() >> 24)};
    EXPECT_EQ(data, size + file);

    TGIFImage back;
    back.LoadFromClipboardFormat(clip);
    EXPECT_EQ(back.FrameCount(), 1);
    EXPECT_EQ(back.CurrentBitmap().Pixel(2, 1), bm.Pixel(2, 1));

    // Registered, the format takes "GIF Image" data from the clipboard, even an empty file.
    PictureRegistry registry;
    RegisterGifFormat(registry);
    ClipboardData empty;
    empty.Formats["GIF Image"] = std::string("\0\0\0\0", 4);
    EXPECT_NE(registry.LoadFromClipboard(empty), nullptr);
    UnregisterGifFormat(registry);
    EXPECT_EQ(registry.FindExtension("gif"), nullptr);
}

TEST(GifModel, DrawingWithTransparency) {
    // 2x2: entries 0 red, 1 green; red is transparent in the file.
    auto two = Load<TGIFImage>(GifFile(
        2, 2, {0xFF0000, 0x00FF00},
        GraphicControl(1, 0, 0) + ImageBlock(0, 0, 2, 2, 0, "", 2, LiteralLzw({0, 1, 1, 0}, 2))));
    EXPECT_TRUE(two->Transparent());
    two->Frame(0).TransparentColor = clDefault;  // the bottom-left pixel's colour: green
    const Bitmap byDefault = DrawnOver(*two, 2, 2, RGBColor(0, 0, 9));
    EXPECT_EQ(byDefault.Pixel(0, 0), RGBColor(255, 0, 0));
    EXPECT_EQ(byDefault.Pixel(1, 0), RGBColor(0, 0, 9));

    // Entries 0 and 2 are both white; only entry 2, the transparent one, is hidden.
    const std::string table = TableBytes({0xFFFFFF, 0x000000, 0xFFFFFF, 0x123456});
    auto gif =
        Load<TGIFImage>(GifFile(4, 1, {},
                                GraphicControl(1, 0, 2) + ImageBlock(0, 0, 4, 1, 0x81, table, 2,
                                                                     LiteralLzw({0, 2, 1, 2}, 2))));
    const Bitmap target = DrawnOver(*gif, 4, 1, RGBColor(9, 9, 9));
    EXPECT_EQ(target.Pixel(0, 0), RGBColor(255, 255, 255));
    EXPECT_EQ(target.Pixel(1, 0), RGBColor(9, 9, 9));
    EXPECT_EQ(target.Pixel(2, 0), RGBColor(0, 0, 0));
    EXPECT_EQ(target.Pixel(3, 0), RGBColor(9, 9, 9));
    // Saved unchanged, the transparent index stays 2.
    EXPECT_NE(Save(*gif).find(GraphicControl(1, 0, 2)), std::string::npos);
}

}  // namespace
}  // namespace qv

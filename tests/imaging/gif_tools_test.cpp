// GIF files made by independent tools (netpbm, ImageMagick, gifsicle, giflib), and our
// files read back by them.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "imaging/gif_image.h"
#include "picture_test_helpers.h"
#include "support/test_env.h"

namespace qv {
namespace {

using test::RgbImage;

class GifTools : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool :
             {"pamtogif", "giftopnm", "convert", "gifsicle", "giftext", "gifbuild"})
            if (!test::ToolAvailable(tool)) GTEST_SKIP() << tool << " absent";
        dir_ = test::makeTempDir("qv_giftools");
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string Run(const std::string& cmd) { return test::RunCommand(cmd + " 2>/dev/null"); }

    static RgbImage Palette(int w, int h, int colours, unsigned seed) {
        RgbImage img{w, h, std::vector<std::uint8_t>(std::size_t(w) * std::size_t(h) * 3)};
        std::mt19937 rng(seed);
        std::vector<std::uint32_t> pal;
        for (int i = 0; i < colours; ++i)
            pal.push_back(std::uint32_t(i * 0x3F1D07 + 0x102030) & 0xFFFFFF);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) img.Set(x, y, pal[rng() % std::size_t(colours)]);
        // Every colour at least once.
        for (int i = 0; i < colours && i < w * h; ++i) img.Set(i % w, i / w, pal[std::size_t(i)]);
        return img;
    }
    static RgbImage FromBitmap(const Bitmap& b) {
        RgbImage img{
            b.Width(), b.Height(),
            std::vector<std::uint8_t>(std::size_t(b.Width()) * std::size_t(b.Height()) * 3)};
        for (int y = 0; y < b.Height(); ++y)
            for (int x = 0; x < b.Width(); ++x) {
                const Color c = b.Pixel(x, y);
                img.Set(x, y, std::uint32_t(GetRValue(c)) << 16 | GetGValue(c) << 8 | GetBValue(c));
            }
        return img;
    }
    static Bitmap ToBitmap(const RgbImage& img) {
        Bitmap b(img.Width, img.Height, PixelFormat::Pf24bit);
        for (int y = 0; y < img.Height; ++y)
            for (int x = 0; x < img.Width; ++x) {
                const std::uint32_t c = img.At(x, y);
                b.SetPixel(x, y,
                           RGBColor(std::uint8_t(c >> 16), std::uint8_t(c >> 8), std::uint8_t(c)));
            }
        return b;
    }
    RgbImage Decoded(const std::string& gifPath, int image = 0) {
        TGIFImage gif;
        gif.LoadFromFile(gifPath);
        gif.FrameIndex = image;
        return FromBitmap(gif.CurrentBitmap());
    }
    RgbImage GiftopnmOf(const std::string& gifPath, int image = 0) {
        return test::ParsePnm(Run("giftopnm -image=" + std::to_string(image + 1) + " " + gifPath +
                                  " | pnmtopnm -plain 2>/dev/null | pnmtopnm"));
    }

    std::string dir_;
};

TEST_F(GifTools, PamtogifFilesOfTwoTo256Colours) {
    for (int colours : {2, 3, 4, 5, 16, 17, 100, 255, 256}) {
        const RgbImage src = Palette(37, 23, colours, unsigned(colours));
        test::WriteFileBytes(Path("in.ppm"), test::ToPpm(src));
        Run("pamtogif " + Path("in.ppm") + " > " + Path("p.gif"));
        EXPECT_EQ(Decoded(Path("p.gif")), src) << colours << " colours";
    }
}

TEST_F(GifTools, InterlacedImagesOfHeightsOneToNine) {
    for (int h = 1; h <= 9; ++h) {
        const RgbImage src = Palette(5, h, 6, unsigned(h));
        test::WriteFileBytes(Path("in.ppm"), test::ToPpm(src));
        Run("convert " + Path("in.ppm") + " -interlace GIF " + Path("i.gif"));
        TGIFImage gif;
        gif.LoadFromFile(Path("i.gif"));
        ASSERT_EQ(gif.FrameCount(), 1);
        EXPECT_TRUE(gif.Frame(0).Interlaced) << h;
        // Compared with netpbm's reading of the same file (ImageMagick may merge rows of
        // tiny interlaced pictures on writing).
        const RgbImage theirs = GiftopnmOf(Path("i.gif"));
        ASSERT_EQ(theirs.Height, h);
        EXPECT_TRUE(FromBitmap(gif.CurrentBitmap()) == theirs) << "height " << h;
    }
}

TEST_F(GifTools, GifsicleAnimationWithLoopDelayDisposalTransparencyAndLocalTables) {
    const RgbImage a = Palette(6, 4, 3, 1), b = Palette(6, 4, 5, 2);
    test::WriteFileBytes(Path("a.ppm"), test::ToPpm(a));
    test::WriteFileBytes(Path("b.ppm"), test::ToPpm(b));
    Run("pamtogif " + Path("a.ppm") + " > " + Path("a.gif"));
    Run("pamtogif " + Path("b.ppm") + " > " + Path("b.gif"));
    const std::uint32_t key = a.At(0, 0);
    char colour[16];
    std::snprintf(colour, sizeof colour, "#%06X", key);
    Run("gifsicle --no-warnings -l7 -d33 -D2 -t '" + std::string(colour) + "' " + Path("a.gif") +
        " -t '#000000' " + Path("b.gif") + " > " + Path("anim.gif"));
    TGIFImage gif;
    gif.LoadFromFile(Path("anim.gif"));
    ASSERT_EQ(gif.FrameCount(), 2);
    EXPECT_TRUE(gif.Looping);
    EXPECT_EQ(gif.RepeatCount, 7);
    EXPECT_EQ(gif.Frame(0).AnimateInterval, 330u);
    EXPECT_EQ(gif.Frame(0).Disposal, 2);
    EXPECT_EQ(gif.Frame(0).TransparentColor,
              RGBColor(std::uint8_t(key >> 16), std::uint8_t(key >> 8), std::uint8_t(key)));
    EXPECT_EQ(Decoded(Path("anim.gif"), 0), a);
    EXPECT_EQ(Decoded(Path("anim.gif"), 1), b);
    // Written back unchanged: giflib sees the same blocks.
    gif.SaveToFile(Path("back.gif"));
    // The colour resolution field is written from the table size.
    EXPECT_EQ(Run("giftext " + Path("back.gif") + " | grep -v -e back.gif -e ColorResolution"),
              Run("giftext " + Path("anim.gif") + " | grep -v -e anim.gif -e ColorResolution"));
    EXPECT_TRUE(GiftopnmOf(Path("back.gif"), 1) == b);

    // ImageMagick gives the second picture a table of its own.
    Run("convert -delay 20 -loop 0 " + Path("a.gif") + " " + Path("b.gif") + " " + Path("im.gif"));
    TGIFImage im;
    im.LoadFromFile(Path("im.gif"));
    ASSERT_EQ(im.FrameCount(), 2);
    EXPECT_TRUE(im.Frame(1).LocalColors);
    EXPECT_TRUE(im.Looping);
    EXPECT_EQ(im.RepeatCount, 0);
    EXPECT_EQ(im.Frame(1).AnimateInterval, 200u);
    EXPECT_TRUE(Decoded(Path("im.gif"), 1) == GiftopnmOf(Path("im.gif"), 1));
    EXPECT_TRUE(Decoded(Path("im.gif"), 1) == b);
}

TEST_F(GifTools, NoiseThatFillsTheCodeTable) {
    const RgbImage noise = Palette(512, 512, 256, 99);
    test::WriteFileBytes(Path("noise.ppm"), test::ToPpm(noise));
    Run("pamtogif " + Path("noise.ppm") + " > " + Path("noise.gif"));
    EXPECT_EQ(Decoded(Path("noise.gif")), noise);
    // Our own encoding, read by netpbm.
    TGIFImage ours;
    Bitmap bitmap = ToBitmap(noise);
    ours.Assign(&bitmap);
    ours.SaveToFile(Path("ours.gif"));
    EXPECT_EQ(GiftopnmOf(Path("ours.gif")), noise);
}

TEST_F(GifTools, OurFilesAsNetpbmAndGiflibSeeThem) {
    // 1-, 4- and 8-bit bitmaps and a reduced true-colour one.
    const RgbImage src = Palette(19, 11, 12, 5);
    Bitmap b24 = ToBitmap(src);
    for (PixelFormat f :
         {PixelFormat::Pf24bit, PixelFormat::Pf8bit, PixelFormat::Pf4bit, PixelFormat::Pf1bit}) {
        Bitmap b;
        b.Assign(&b24);
        b.SetPixelFormat(f);
        TGIFImage gif;
        gif.Assign(&b);
        gif.SaveToFile(Path("o.gif"));
        EXPECT_EQ(GiftopnmOf(Path("o.gif")), FromBitmap(b)) << BitsOf(f);
    }
    // An animation: loop block, delays and transparency as giflib reads them.
    TGIFImage anim;
    Bitmap first = ToBitmap(Palette(8, 8, 4, 1)), second = ToBitmap(Palette(8, 8, 9, 2));
    anim.AddFrame(&first);
    anim.AddFrame(&second);
    anim.Looping = true;
    anim.RepeatCount = 0;
    anim.Frame(1).AnimateInterval = 250;
    anim.Frame(1).Disposal = 3;
    anim.Frame(1).TransparentColor = second.Pixel(0, 0);
    anim.SaveToFile(Path("anim.gif"));
    const std::string text = Run("giftext " + Path("anim.gif"));
    EXPECT_NE(text.find("application block"), std::string::npos) << text;
    EXPECT_NE(
        test::ReadFileBytes(Path("anim.gif")).find(std::string("NETSCAPE2.0\x03\x01\x00\x00", 15)),
        std::string::npos);
    EXPECT_NE(text.find("DelayTime: 25"), std::string::npos) << text;
    EXPECT_NE(text.find("Disposal Mode: 3"), std::string::npos) << text;
    EXPECT_NE(text.find("Transparency on: yes"), std::string::npos) << text;
    EXPECT_NE(text.find("terminated normally"), std::string::npos) << text;
    EXPECT_EQ(GiftopnmOf(Path("anim.gif"), 1), FromBitmap(second));
    EXPECT_EQ(Run("gifsicle --info " + Path("anim.gif") + " | grep -c image"), "3\n");
}

TEST_F(GifTools, GifbuildFilesFromATextDescription) {
    const RgbImage src = Palette(9, 5, 7, 3);
    test::WriteFileBytes(Path("in.ppm"), test::ToPpm(src));
    Run("pamtogif -comment 'made by netpbm' " + Path("in.ppm") + " > " + Path("p.gif"));
    Run("gifbuild -d " + Path("p.gif") + " > " + Path("p.txt"));
    Run("gifbuild " + Path("p.txt") + " > " + Path("g.gif"));
    TGIFImage gif;
    gif.LoadFromFile(Path("g.gif"));
    EXPECT_EQ(FromBitmap(gif.CurrentBitmap()), src);
    TGIFImage withComment;
    withComment.LoadFromFile(Path("p.gif"));
    const auto* comment = withComment.Frame(0).Comment(false);
    const bool inFrame = comment && !comment->empty() && (*comment)[0] == "made by netpbm";
    const bool inImage =
        !withComment.Data->Comment.empty() && withComment.Data->Comment[0] == "made by netpbm";
    EXPECT_TRUE(inFrame || inImage);
}

}  // namespace
}  // namespace qv

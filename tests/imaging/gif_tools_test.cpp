// GIF files made by independent tools (netpbm, ImageMagick, gifsicle, giflib), and our
// files read back by them.

#include <gtest/gtest.h>

#include <random>

#include "imaging/gif_image.h"
#include "picture_test_helpers.h"

namespace qv {
namespace {

using namespace test;

class GifTools : public ::testing::Test {
  protected:
    std::string Path(const std::string& name) const { return dir_.Path(name); }
    std::string Run(const std::string& cmd) { return RunCommand(cmd + " 2>/dev/null"); }

    // Random pixels of the given number of colours, each used at least once.
    static Pam Palette(std::uint32_t w, std::uint32_t h, std::uint32_t colours, unsigned seed) {
        Pam img{w, h, 3, 255, {}};
        std::mt19937 rng(seed);
        for (std::uint32_t i = 0; i < w * h; ++i) {
            const std::uint32_t c = ((i < colours ? i : rng() % colours) * 0x3F1D07 + 0x102030);
            img.Samples.insert(img.Samples.end(), {(c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF});
        }
        return img;
    }
    // The picture as pamtogif writes it; answers the file's path.
    std::string Pamtogif(const Pam& src, const std::string& name, const std::string& options = "") {
        WriteFileBytes(Path(name + ".pam"), PamFile(src));
        Run("pamtogif " + options + " " + Path(name + ".pam") + " > " + Path(name + ".gif"));
        return Path(name + ".gif");
    }
    Pam Decoded(const std::string& gifPath, int image = 0) {
        TGIFImage gif;
        gif.LoadFromFile(gifPath);
        gif.FrameIndex = image;
        return FromBitmap(gif.CurrentBitmap());
    }
    Pam GiftopnmOf(const std::string& gifPath, int image = 0) {
        return ReadPam(Run("giftopnm -image=" + std::to_string(image + 1) + " " + gifPath +
                           " | ppmtoppm | pamtopam"));
    }

    ScratchDir dir_{"qv_giftools"};
};

TEST_F(GifTools, PamtogifFilesOfTwoTo256ColoursAndNoise) {
    for (int colours : {2, 3, 4, 5, 16, 17, 100, 255, 256}) {
        const Pam src = Palette(37, 23, colours, unsigned(colours));
        EXPECT_EQ(Decoded(Pamtogif(src, "p")), src) << colours << " colours";
    }
    // Noise that fills the code table, by netpbm and by us.
    const Pam noise = Palette(512, 512, 256, 99);
    EXPECT_EQ(Decoded(Pamtogif(noise, "noise")), noise);
    TGIFImage ours;
    Bitmap bitmap = ToBitmap(noise);
    ours.Assign(&bitmap);
    ours.SaveToFile(Path("ours.gif"));
    EXPECT_EQ(GiftopnmOf(Path("ours.gif")), noise);
}

TEST_F(GifTools, InterlacedImagesOfHeightsOneToNine) {
    for (std::uint32_t h = 1; h <= 9; ++h) {
        WriteFileBytes(Path("in.pam"), PamFile(Palette(5, h, 6, h)));
        Run("convert " + Path("in.pam") + " -interlace GIF " + Path("i.gif"));
        TGIFImage gif;
        gif.LoadFromFile(Path("i.gif"));
        ASSERT_EQ(gif.FrameCount(), 1);
        EXPECT_TRUE(gif.Frame(0).Interlaced) << h;
        // Compared with netpbm's reading of the same file (ImageMagick may merge rows of
        // tiny interlaced pictures on writing).
        const Pam theirs = GiftopnmOf(Path("i.gif"));
        ASSERT_EQ(theirs.Height, h);
        EXPECT_TRUE(FromBitmap(gif.CurrentBitmap()) == theirs) << "height " << h;
    }
}

TEST_F(GifTools, AnimationsWithLoopDelayDisposalTransparencyAndLocalTables) {
    const Pam a = Palette(6, 4, 3, 1), b = Palette(6, 4, 5, 2);
    const std::string aGif = Pamtogif(a, "a"), bGif = Pamtogif(b, "b");
    const Color key = ToBitmap(a).Pixel(0, 0);
    char colour[8];
    std::snprintf(colour, sizeof colour, "#%06X",
                  a.Samples[0] << 16 | a.Samples[1] << 8 | a.Samples[2]);
    Run("gifsicle --no-warnings -l7 -d33 -D2 -t '" + std::string(colour) + "' " + aGif +
        " -t '#000000' " + bGif + " > " + Path("anim.gif"));
    TGIFImage gif;
    gif.LoadFromFile(Path("anim.gif"));
    ASSERT_EQ(gif.FrameCount(), 2);
    EXPECT_TRUE(gif.Looping);
    EXPECT_EQ(gif.RepeatCount, 7);
    EXPECT_EQ(gif.Frame(0).AnimateInterval, 330u);
    EXPECT_EQ(gif.Frame(0).Disposal, 2);
    EXPECT_EQ(gif.Frame(0).TransparentColor, key);
    EXPECT_EQ(Decoded(Path("anim.gif"), 0), a);
    EXPECT_EQ(Decoded(Path("anim.gif"), 1), b);
    // Written back unchanged, giflib sees the same blocks (the colour resolution field is
    // written from the table size).
    gif.SaveToFile(Path("back.gif"));
    EXPECT_EQ(Run("giftext " + Path("back.gif") + " | grep -v -e back.gif -e ColorResolution"),
              Run("giftext " + Path("anim.gif") + " | grep -v -e anim.gif -e ColorResolution"));
    EXPECT_TRUE(GiftopnmOf(Path("back.gif"), 1) == b);

    // ImageMagick gives the second picture a table of its own.
    Run("convert -delay 20 -loop 0 " + aGif + " " + bGif + " " + Path("im.gif"));
    TGIFImage im;
    im.LoadFromFile(Path("im.gif"));
    ASSERT_EQ(im.FrameCount(), 2);
    EXPECT_TRUE(im.Frame(1).LocalColors);
    EXPECT_TRUE(im.Looping);
    EXPECT_EQ(im.RepeatCount, 0);
    EXPECT_EQ(im.Frame(1).AnimateInterval, 200u);
    EXPECT_TRUE(Decoded(Path("im.gif"), 1) == GiftopnmOf(Path("im.gif"), 1));
}

TEST_F(GifTools, ExtensionsOfUnknownLabelsAreSkipped) {
    // gifsicle's name block (label CE), two sub-blocks long, before each picture.
    const Pam a = Palette(7, 5, 6, 3), b = Palette(7, 5, 9, 4);
    const std::string name(300, 'n');
    Run("gifsicle --no-warnings --name " + name + " " + Pamtogif(a, "a") + " --name " + name +
        " -d 40 " + Pamtogif(b, "b") + " > " + Path("named.gif"));
    ASSERT_NE(Run("giftext " + Path("named.gif")).find("unknown type (Ext Code = 206"),
              std::string::npos);
    TGIFImage gif;
    gif.LoadFromFile(Path("named.gif"));
    ASSERT_EQ(gif.FrameCount(), 2);
    EXPECT_EQ(gif.Frame(1).AnimateInterval, 400u);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Decoded(Path("named.gif"), i), GiftopnmOf(Path("named.gif"), i)) << i;
}

TEST_F(GifTools, OurFilesAsNetpbmAndGiflibSeeThem) {
    // 1-, 4- and 8-bit bitmaps and a reduced true-colour one.
    Bitmap b24 = ToBitmap(Palette(19, 11, 12, 5));
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
    const std::string text =
        Run("giftext " + Path("anim.gif")) + Run("gifsicle --info " + Path("anim.gif"));
    for (const char* line :
         {"application block", "DelayTime: 25", "Disposal Mode: 3", "Transparency on: yes",
          "terminated normally", "2 images", "loop forever"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    EXPECT_EQ(GiftopnmOf(Path("anim.gif"), 1), FromBitmap(second));
}

TEST_F(GifTools, GifbuildFilesFromATextDescription) {
    const Pam src = Palette(9, 5, 7, 3);
    const std::string made = Pamtogif(src, "p", "-comment 'made by netpbm'");
    Run("gifbuild -d " + made + " > " + Path("p.txt"));
    Run("gifbuild " + Path("p.txt") + " > " + Path("g.gif"));
    EXPECT_EQ(Decoded(Path("g.gif")), src);
    TGIFImage withComment;
    withComment.LoadFromFile(made);
    // The comment comes before the picture and belongs to it.
    EXPECT_EQ(*withComment.Frame(0).Comment(true), std::vector<std::string>{"made by netpbm"});
}

}  // namespace
}  // namespace qv

// Files made by netpbm, decoded by us and by pngtopam, compared pixel by pixel;
// our own files checked by pngcheck and decoded back by pngtopam.

#include <gtest/gtest.h>

#include <random>

#include "imaging/canvas.h"
#include "imaging/png_idat.h"
#include "imaging/png_picture.h"
#include "png_test_helpers.h"

namespace qv {
namespace {

using namespace pngtest;

struct Format {
    uint8_t type, depth;
};
const Format kFormats[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                           {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};

// A netpbm-made PNG file of the given format with random pixels.
std::string MakeWithNetpbm(const TempDir& dir, Format f, uint32_t w, uint32_t h, bool interlace,
                           std::mt19937& rng) {
    std::string pam;
    std::string tool = "pamtopng";
    if (f.type == 3) {
        // Few enough colours that pnmtopng picks a palette of the wanted depth.
        uint32_t n = f.depth == 8 ? 200 : (1u << f.depth);
        std::vector<uint32_t> colours;
        for (uint32_t i = 0; i < n; ++i) colours.push_back(rng() & 0xFFFFFF);
        std::vector<uint32_t> s;
        for (uint32_t i = 0; i < w * h; ++i) {
            uint32_t c = colours[i < n ? i : rng() % n];
            s.push_back(c >> 16);
            s.push_back((c >> 8) & 0xFF);
            s.push_back(c & 0xFF);
        }
        pam = MakePam(w, h, 3, 255, "RGB", s);
        tool = "pnmtopng";
    } else {
        uint32_t maxval = (1u << f.depth) - 1;
        uint32_t depth = f.type == 0 ? 1 : f.type == 2 ? 3 : f.type == 4 ? 2 : 4;
        const char* tt = f.type == 0   ? "GRAYSCALE"
                         : f.type == 2 ? "RGB"
                         : f.type == 4 ? "GRAYSCALE_ALPHA"
                                       : "RGB_ALPHA";
        std::vector<uint32_t> s;
        for (uint32_t i = 0; i < w * h * depth; ++i) s.push_back(rng() % (maxval + 1));
        // Make sure every level occurs so the tool cannot reduce the depth.
        for (uint32_t i = 0; i <= maxval && i < s.size(); ++i) s[i] = i;
        pam = MakePam(w, h, depth, maxval, tt, s);
    }
    std::string in = dir.Path("in.pam"), out = dir.Path("made.png");
    WriteFile(in, pam);
    int rc = 0;
    RunCommand(tool + (interlace ? " -interlace " : " ") + in + " > " + out + " 2>/dev/null", &rc);
    EXPECT_EQ(rc, 0);
    return ReadFile(out);
}

// Compares our decoded picture with pngtopam's reading of the same file.
void ExpectSamePixels(TPNGPicture& pic, const Pam& ref, const std::string& what) {
    TChunkIHDR& h = pic.RequireHeader();
    ASSERT_EQ(uint32_t(pic.Width()), ref.Width) << what;
    ASSERT_EQ(uint32_t(pic.Height()), ref.Height) << what;
    auto scale = [&](uint32_t v) {
        return ref.MaxVal == 65535 ? v >> 8 : (v * 255 + ref.MaxVal / 2) / ref.MaxVal;
    };
    int bad = 0;
    for (uint32_t y = 0; y < ref.Height; ++y) {
        for (uint32_t x = 0; x < ref.Width; ++x) {
            Color c = pic.Pixels(int(x), int(y));
            uint32_t r, g, b, a;
            if (ref.Depth == 2) {
                r = g = b = scale(ref.At(x, y, 0));
                a = scale(ref.At(x, y, 1));
            } else {
                r = scale(ref.At(x, y, 0));
                g = scale(ref.At(x, y, 1));
                b = scale(ref.At(x, y, 2));
                a = scale(ref.At(x, y, 3));
            }
            bool same = GetRValue(c) == r && GetGValue(c) == g && GetBValue(c) == b;
            if (uint8_t* alpha = pic.AlphaScanline(int(y))) same = same && alpha[x] == a;
            if (!same && ++bad < 5)
                ADD_FAILURE() << what << " at " << x << "," << y << ": ours " << std::hex << c
                              << " theirs " << r << " " << g << " " << b << " " << a;
        }
    }
    (void)h;
}

TEST(PngInterop, EveryFormatPlainAndInterlacedAtOddSizes) {
    TempDir dir;
    std::mt19937 rng(7);
    for (const Format& f : kFormats) {
        for (bool interlace : {false, true}) {
            for (auto [w, h] : {std::pair<uint32_t, uint32_t>{13, 7}, {1, 1}, {33, 17}}) {
                std::string what = "type " + std::to_string(f.type) + " depth " +
                                   std::to_string(f.depth) + (interlace ? " adam7 " : " ") +
                                   std::to_string(w) + "x" + std::to_string(h);
                if (f.type == 3 && w * h < (1u << f.depth)) continue;  // too few pixels
                std::string file = MakeWithNetpbm(dir, f, w, h, interlace, rng);
                auto ihdr = ChunkData(file, "IHDR");
                ASSERT_EQ(ihdr.size(), 1u) << what;
                ASSERT_EQ(uint8_t(ihdr[0][9]), f.type) << what;
                ASSERT_EQ(uint8_t(ihdr[0][8]), f.depth) << what;
                ASSERT_EQ(uint8_t(ihdr[0][12]), interlace ? 1 : 0) << what;
                WriteFile(dir.Path("made.png"), file);
                Pam ref = DecodeWithPngtopam(dir.Path("made.png"));
                auto pic = Load(file);
                ExpectSamePixels(*pic, ref, what);

                // Our own file of the same picture: accepted and read alike.
                pic->InterlaceMethod = interlace ? 0 : 1;
                std::string ours = Save(*pic);
                WriteFile(dir.Path("ours.png"), ours);
                int rc = 0;
                std::string check =
                    RunCommand("pngcheck -v " + dir.Path("ours.png") + " 2>&1", &rc);
                EXPECT_EQ(rc, 0) << what << "\n" << check;
                Pam back = DecodeWithPngtopam(dir.Path("ours.png"));
                ExpectSamePixels(*pic, back, what + " (ours)");
            }
        }
    }
}

TEST(PngInterop, KeyColourTransparencyFromNetpbm) {
    TempDir dir;
    std::vector<uint32_t> s;
    for (uint32_t i = 0; i < 6 * 5; ++i) {
        bool key = i % 3 == 0;
        s.push_back(key ? 255 : 10 * i);
        s.push_back(key ? 0 : 5);
        s.push_back(key ? 255 : 7);
    }
    WriteFile(dir.Path("k.pam"), MakePam(6, 5, 3, 255, "RGB", s));
    int rc = 0;
    RunCommand("pamtopng -transparent=rgb:ff/00/ff " + dir.Path("k.pam") + " > " +
                   dir.Path("k.png") + " 2>/dev/null",
               &rc);
    ASSERT_EQ(rc, 0);
    std::string file = ReadFile(dir.Path("k.png"));
    ASSERT_EQ(ChunkData(file, "tRNS").size(), 1u);
    auto pic = Load(file);
    EXPECT_EQ(pic->TransparencyKind(), tkKeyColour);
    EXPECT_EQ(pic->TransparentColour(), RGBColor(255, 0, 255));
    Bitmap target(6, 5, PixelFormat::Pf24bit);
    target.GetCanvas().SetBrushColor(RGBColor(0, 255, 0));
    target.GetCanvas().FillRect(Rect{0, 0, 6, 5});
    pic->Draw(target.GetCanvas(), Rect{0, 0, 6, 5});
    for (uint32_t i = 0; i < 30; ++i)
        EXPECT_EQ(target.Pixel(int(i % 6), int(i / 6)),
                  i % 3 == 0 ? RGBColor(0, 255, 0) : RGBColor(uint8_t(10 * i), 5, 7))
            << i;
}

TEST(PngInterop, SixteenBitKeyStillMarksItsPixelsInOurFile) {
    // Our 16-bit samples go out as high byte and 0; the key must go the same way.
    TempDir dir;
    struct Case {
        uint8_t type;
        std::string rows, key;
    };
    const Case cases[] = {
        {0, std::string("\0\x12\x34\x56\x78", 5), std::string("\x12\x34", 2)},
        {2, std::string("\0\x12\x34\x56\x78\x9A\xBC\x01\x02\x03\x04\x05\x06", 13),
         std::string("\x12\x34\x56\x78\x9A\xBC", 6)},
    };
    for (const Case& c : cases) {
        auto pic = Load(MakePng(2, 1, 16, c.type, c.rows, Chunk("tRNS", c.key)));
        ASSERT_EQ(pic->TransparencyKind(), tkKeyColour);
        WriteFile(dir.Path("k16.png"), Save(*pic));
        // ImageMagick: netpbm's reader ignores a colour key of RGB images.
        int rc = 0;
        std::string alpha = RunCommand(
            "convert " + dir.Path("k16.png") + " -alpha extract -depth 8 gray:- 2>/dev/null", &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(alpha, std::string("\x00\xFF", 2)) << int(c.type);
    }
}

TEST(PngInterop, OurFilterSetsAndChunkSizesStayValid) {
    TempDir dir;
    std::mt19937 rng(11);
    std::string file = MakeWithNetpbm(dir, {6, 8}, 61, 23, false, rng);
    auto pic = Load(file);
    for (uint8_t set = 0; set <= kAllFilters; ++set) {
        pic->FilterSet = set;
        pic->InterlaceMethod = set & 1;
        std::string ours = Save(*pic);
        WriteFile(dir.Path("f.png"), ours);
        int rc = 0;
        RunCommand("pngcheck -q " + dir.Path("f.png") + " >/dev/null 2>&1", &rc);
        EXPECT_EQ(rc, 0) << int(set);
        Pam back = DecodeWithPngtopam(dir.Path("f.png"));
        ExpectSamePixels(*pic, back, "filter set " + std::to_string(set));
    }
}

}  // namespace
}  // namespace qv

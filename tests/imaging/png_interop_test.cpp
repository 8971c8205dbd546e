// Files made by netpbm, decoded by us and by pngtopam, compared pixel by pixel;
// our own files checked by pngcheck and decoded back by pngtopam.

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <random>

#include "imaging/png_idat.h"
#include "imaging/png_picture.h"
#include "picture_test_helpers.h"

namespace qv {
namespace {

using namespace test;

struct Format {
    uint8_t type, depth;
};
const Format kFormats[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                           {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};

// A netpbm-made PNG file of the given format with random pixels.
std::string MakeWithNetpbm(const ScratchDir& dir, Format f, uint32_t w, uint32_t h, bool interlace,
                           std::mt19937& rng) {
    // Palette images: few enough RGB colours that pnmtopng picks a palette of the wanted
    // depth. Others: every level occurs so that the tool cannot reduce the depth.
    const bool palette = f.type == 3;
    const uint32_t levels = palette && f.depth == 8 ? 200 : 1u << f.depth;
    const uint32_t depth = palette ? 1 : std::array<uint32_t, 4>{1, 3, 2, 4}[f.type / 2];
    std::vector<uint32_t> colours, s;
    for (uint32_t i = 0; i < levels; ++i) colours.push_back(rng() & 0xFFFFFF);
    for (uint32_t i = 0; i < w * h * depth; ++i) {
        const uint32_t v = i < levels ? i : rng() % levels;
        if (palette)
            s.insert(s.end(), {colours[v] >> 16, (colours[v] >> 8) & 0xFF, colours[v] & 0xFF});
        else
            s.push_back(v);
    }
    const char* kTuplTypes[] = {"GRAYSCALE", "RGB", "GRAYSCALE_ALPHA", "RGB_ALPHA"};
    const std::string in = dir.Path("in.pam"), out = dir.Path("made.png");
    WriteFileBytes(in, palette ? PamFile({w, h, 3, 255, s})
                               : PamFile({w, h, depth, levels - 1, s}, kTuplTypes[f.type / 2]));
    const std::string tool = palette ? "pnmtopng" : "pamtopng";
    const std::string make = tool + (interlace ? " -interlace " : " ") + in + " > " + out;
    EXPECT_EQ(std::system((make + " 2>/dev/null").c_str()), 0);
    return ReadFileBytes(out);
}

// Compares our decoded picture with pngtopam's reading of a file.
void ExpectSamePixels(TPNGPicture& pic, const std::string& path, const std::string& what) {
    // Always with an alpha channel; nothing when pngtopam refuses the file.
    const Pam ref = ReadPam(RunCommand("pngtopam -alphapam '" + path + "' 2>/dev/null"));
    ASSERT_EQ(uint32_t(pic.Width()), ref.Width) << what;
    ASSERT_EQ(uint32_t(pic.Height()), ref.Height) << what;
    auto scale = [&](uint32_t v) {
        return ref.MaxVal == 65535 ? v >> 8 : (v * 255 + ref.MaxVal / 2) / ref.MaxVal;
    };
    int bad = 0;
    for (uint32_t y = 0; y < ref.Height; ++y) {
        for (uint32_t x = 0; x < ref.Width; ++x) {
            const Color c = pic.Pixels(int(x), int(y));
            const bool grey = ref.Depth == 2;
            const uint32_t r = scale(ref.At(x, y, 0)), g = grey ? r : scale(ref.At(x, y, 1)),
                           b = grey ? r : scale(ref.At(x, y, 2)),
                           a = scale(ref.At(x, y, grey ? 1 : 3));
            bool same = GetRValue(c) == r && GetGValue(c) == g && GetBValue(c) == b;
            if (uint8_t* alpha = pic.AlphaScanline(int(y))) same = same && alpha[x] == a;
            if (!same && ++bad < 5)
                ADD_FAILURE() << what << " at " << x << "," << y << ": ours " << std::hex << c
                              << " theirs " << r << " " << g << " " << b << " " << a;
        }
    }
}

// Saves our picture, has pngcheck judge the file and pngtopam read it back.
void ExpectOursValid(TPNGPicture& pic, const ScratchDir& dir, const std::string& what) {
    WriteFileBytes(dir.Path("ours.png"), Save(pic));
    int rc = 0;
    std::string check = RunCommand("pngcheck -v " + dir.Path("ours.png") + " 2>&1", &rc);
    EXPECT_EQ(rc, 0) << what << "\n" << check;
    ExpectSamePixels(pic, dir.Path("ours.png"), what + " (ours)");
}

// The alpha samples ImageMagick reads from a file, 8 bits each.
std::string AlphaByImageMagick(const ScratchDir& dir, const std::string& file) {
    WriteFileBytes(dir.Path("alpha.png"), file);
    return RunCommand("convert " + dir.Path("alpha.png") +
                      " -alpha extract -depth 8 gray:- 2>/dev/null");
}

TEST(PngInterop, EveryFormatPlainAndInterlacedAtOddSizesAndEveryFilterSet) {
    ScratchDir dir("qv-png-");
    std::mt19937 rng(7);
    for (const Format& f : kFormats) {
        for (bool interlace : {false, true}) {
            for (auto [w, h] : {std::pair<uint32_t, uint32_t>{13, 7}, {1, 1}, {33, 17}}) {
                if (f.type == 3 && w * h < (1u << f.depth)) continue;  // too few pixels
                std::string what = "type " + std::to_string(f.type) + " depth " +
                                   std::to_string(f.depth) + (interlace ? " adam7 " : " ") +
                                   std::to_string(w) + "x" + std::to_string(h);
                std::string file = MakeWithNetpbm(dir, f, w, h, interlace, rng);
                const std::string ihdr = Chunks(file, "IHDR").at(0),
                                  expected{char(f.depth), char(f.type), char(interlace)};
                ASSERT_EQ(ihdr.substr(8, 2) + ihdr[12], expected) << what;
                auto pic = Load(file);
                ExpectSamePixels(*pic, dir.Path("made.png"), what);
                // Our own file of the same picture, the other interlace: accepted and read alike.
                pic->InterlaceMethod = interlace ? 0 : 1;
                ExpectOursValid(*pic, dir, what);
            }
        }
    }
    // Our files of every filter set.
    auto pic = Load(MakeWithNetpbm(dir, {6, 8}, 61, 23, false, rng));
    for (uint8_t set = 0; set <= kAllFilters; ++set) {
        pic->FilterSet = set;
        pic->InterlaceMethod = set & 1;
        ExpectOursValid(*pic, dir, "filter set " + std::to_string(set));
    }
}

TEST(PngInterop, CompressedStreamEndingBeforeTheLastRowIsRefusedAsLibpngDoes) {
    // 11 x 9 8-bit grey of filter 0 and black pixels: 9 rows of 12 bytes, or 118 bytes in
    // the seven interlace passes (libpng reads the whole stream).
    ScratchDir dir("qv-png-");
    for (bool interlace : {false, true}) {
        // Cuts of 12 and 48 end the stream on a row boundary (48: all of the last pass).
        for (size_t cut : {0, 1, 3, 12, 48}) {
            const std::string data((interlace ? 118 : 108) - cut, '\0');
            const std::string file =
                Head(11, 9, 8, 0, uint8_t(interlace)) + Chunk("IDAT", Zlib(data)) + End();
            WriteFileBytes(dir.Path("s.png"), file);
            const std::string what = std::to_string(cut) + (interlace ? " adam7" : "");
            const std::string read = "pngtopam " + dir.Path("s.png") + " >/dev/null 2>&1";
            EXPECT_EQ(std::system(read.c_str()) == 0, cut == 0) << what;
            EXPECT_EQ(FailureId<EPNGMissingMultipleIDAT>(file), cut == 0 ? 0 : 64963) << what;
        }
    }
}

TEST(PngInterop, KeyColourTransparencyFromNetpbm) {
    // Two pixels: the key colour, then another.
    ScratchDir dir("qv-png-");
    WriteFileBytes(dir.Path("k.pam"), PamFile({2, 1, 3, 255, {255, 0, 255, 10, 5, 7}}));
    const std::string make = "pamtopng -transparent=rgb:ff/00/ff " + dir.Path("k.pam") + " > " +
                             dir.Path("k.png") + " 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    auto pic = Load(ReadFileBytes(dir.Path("k.png")));
    EXPECT_EQ(pic->TransparencyKind(), tkKeyColour);
    EXPECT_EQ(pic->TransparentColour(), RGBColor(255, 0, 255));
    const Bitmap target = DrawnOver(*pic, 2, 1, RGBColor(0, 255, 0));
    EXPECT_EQ(target.Pixel(0, 0), RGBColor(0, 255, 0));
    EXPECT_EQ(target.Pixel(1, 0), RGBColor(10, 5, 7));
}

TEST(PngInterop, KeyMatchesTheFilesOwnSamplesAsLibpngDoesAndStaysInOurFile) {
    // Two pixels: the key itself, then one sample off it (after gamma 1.0 both show
    // as white; with 16 bits both have the same high byte).
    struct Case {
        uint8_t type, depth;
        std::string key, other, extra;
    };
    const std::string gamma = Chunk("gAMA", "\x00\x01\x86\xA0"s);  // 1.0
    const Case cases[] = {{2, 8, "\xFF\xFF\xFF"s, "\xFE\xFE\xFE"s, gamma},
                          {0, 16, "\x12\x34"s, "\x12\xFF"s, ""},
                          {2, 16, "\x12\x34\x56\x78\x9A\xBC"s, "\x12\xFF\x56\x78\x9A\xBC"s, ""},
                          {2, 16, "\x12\x34\x56\x78\x9A\xBC"s, "\x12\x34\x56\x78\x9A\x00"s, ""}};
    ScratchDir dir("qv-png-");
    for (const Case& c : cases) {
        // tRNS holds 16-bit samples; an 8-bit key goes in the low bytes.
        std::string trns = c.key;
        if (c.depth == 8) trns = "\0"s + c.key[0] + '\0' + c.key[1] + '\0' + c.key[2];
        for (bool interlace : {false, true}) {
            // A 2 x 1 picture: one row, or passes 1 and 6 of one pixel each.
            const std::string data =
                interlace ? '\0' + c.key + '\0' + c.other : '\0' + c.key + c.other;
            const std::string file = Head(2, 1, c.depth, c.type, uint8_t(interlace)) + c.extra +
                                     Chunk("tRNS", trns) + Chunk("IDAT", Zlib(data)) + End();
            const std::string what = std::to_string(c.type) + "/" + std::to_string(c.depth) +
                                     (interlace ? " adam7" : "");
            EXPECT_EQ(AlphaByImageMagick(dir, file), "\x00\xFF"s) << what;
            auto pic = Load(file);
            const Color background = RGBColor(1, 2, 3);
            // Widened, the picture keeps which of its pixels were the key.
            pic->SetWidth(3);
            const Bitmap target = DrawnOver(*pic, 3, 1, background);
            EXPECT_EQ(target.Pixel(0, 0), background) << what;
            EXPECT_NE(target.Pixel(1, 0), background) << what;
        }
    }

    // Our 16-bit samples go out as high byte and 0; the key must go the same way.
    const std::pair<uint8_t, std::string> deep[] = {
        {0, "\x12\x34\x56\x78"s}, {2, "\x12\x34\x56\x78\x9A\xBC\x01\x02\x03\x04\x05\x06"s}};
    for (const auto& [type, pixels] : deep) {
        // The first pixel is the key colour.
        auto pic = Load(MakePng(2, 1, 16, type, '\0' + pixels,
                                Chunk("tRNS", pixels.substr(0, pixels.size() / 2))));
        ASSERT_EQ(pic->TransparencyKind(), tkKeyColour);
        // ImageMagick: netpbm's reader ignores a colour key of RGB images.
        EXPECT_EQ(AlphaByImageMagick(dir, Save(*pic)), "\x00\xFF"s) << int(type);
    }
}

}  // namespace
}  // namespace qv

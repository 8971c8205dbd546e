// Colour reduction and pixel-format conversion.

#include "imaging/color_reduction.h"

#include <gtest/gtest.h>

#include <set>

#include "picture_test_helpers.h"

namespace qv {
namespace {

using namespace test;

BitmapInfoHeader Header24(int w, int h) {
    return {.biWidth = w, .biHeight = h, .biBitCount = 24};
}

// A 24-bit buffer (rows (3w+3) and not 3 bytes) from a colour function of (x, y).
template <typename F>
std::vector<std::uint8_t> Buffer24(int w, int h, F colour) {
    const std::size_t row = (3 * std::size_t(w) + 3) & ~std::size_t(3);
    std::vector<std::uint8_t> buf(row * std::size_t(h), 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Color c = colour(x, y);
            std::uint8_t* p = buf.data() + std::size_t(y) * row + 3 * std::size_t(x);
            p[0] = GetBValue(c);
            p[1] = GetGValue(c);
            p[2] = GetRValue(c);
        }
    return buf;
}

std::uint8_t Index8(const std::vector<std::uint8_t>& buf, int w, int x, int y) {
    return buf[std::size_t(y) * ((std::size_t(w) + 3) & ~std::size_t(3)) + std::size_t(x)];
}

Color EntryColor(const RGBQuad& q) {
    return RGBColor(q.rgbRed, q.rgbGreen, q.rgbBlue);
}

TEST(ColorReduction, FrequencyGivesUpBlueThenRedThenGreenBits) {
    // 3000 distinct colours with every low bit in use.
    const int w = 3000, h = 1;
    auto colour = [](int x, int) {
        return RGBColor(std::uint8_t(x), std::uint8_t((x >> 8) * 37 + x % 7), std::uint8_t(x * 13));
    };
    auto buf = Buffer24(w, h, colour);
    // Masks as the counter must end up, found independently.
    std::uint8_t m[3] = {0xFF, 0xFF, 0xFF};  // r, g, b
    const int order[] = {2, 0, 1};
    for (int step = 0;; ++step) {
        std::set<Color> seen;
        for (int x = 0; x < w; ++x) {
            const Color c = colour(x, 0);
            seen.insert(RGBColor(GetRValue(c) & m[0], GetGValue(c) & m[1], GetBValue(c) & m[2]));
        }
        if (seen.size() <= 2049) break;
        const int c = order[step % 3];
        m[c] = std::uint8_t(m[c] << 1);
    }
    ASSERT_NE(m[2], 0xFF);  // blue went first
    ColorTable256 table{};
    FrequencyReduce(Header24(w, h), table, buf.data(), 0xFF, 0xFF, 0xFF, 256, buf.data());
    bool redLowBitSeen = false;
    for (const RGBQuad& q : table) {
        if (q == RGBQuad{128, 128, 128, 0}) continue;
        EXPECT_EQ(q.rgbRed & ~m[0], 0);
        EXPECT_EQ(q.rgbGreen & ~m[1], 0);
        EXPECT_EQ(q.rgbBlue & ~m[2], 0);
        if ((m[0] & 1) && (q.rgbRed & 1)) redLowBitSeen = true;
    }
    if (m[0] & 1) {
        EXPECT_TRUE(redLowBitSeen) << "red lost a bit it should have kept";
    }
    // Every pixel maps to the nearest chosen colour of its masked value.
    auto distance = [](const RGBQuad& q, Color c) {
        const long r = q.rgbRed - GetRValue(c), g = q.rgbGreen - GetGValue(c),
                   b = q.rgbBlue - GetBValue(c);
        return r * r + g * g + b * b;
    };
    for (int x = 0; x < w; x += 97) {
        const Color c = colour(x, 0);
        const Color masked =
            RGBColor(GetRValue(c) & m[0], GetGValue(c) & m[1], GetBValue(c) & m[2]);
        long best = 1 << 30;
        for (const RGBQuad& q : table) best = std::min(best, distance(q, masked));
        EXPECT_EQ(distance(table[Index8(buf, w, x, 0)], masked), best) << x;
    }
}

TEST(ColorReduction, MedianCutBoxes) {
    ColorTable256 table{};
    // One colour: the centre of its cell (0, 0, 1), or black for the first cell.
    for (const auto& [in, out] : {std::pair{RGBColor(0, 0, 20), RGBColor(15, 15, 31)},
                                  std::pair{RGBColor(3, 1, 2), RGBColor(0, 0, 0)}}) {
        int colors = 256;
        auto one = Buffer24(3, 2, [c = in](int, int) { return c; });
        MedianCutReduce(Header24(3, 2), one.data(), one.data(), table, colors);
        EXPECT_EQ(colors, 1);
        EXPECT_EQ(EntryColor(table[0]), out);
        EXPECT_EQ(table[1], (RGBQuad{0, 0, 0, 0}));
    }

    // Left half dark red, right half bright green: two boxes, pixels in place (not flipped).
    auto halves = Buffer24(4, 3, [](int x, int y) {
        return x < 2 ? RGBColor(200, 0, 0) : RGBColor(0, 250, std::uint8_t(y * 16));
    });
    int colors = 2;
    MedianCutReduce(Header24(4, 3), halves.data(), halves.data(), table, colors);
    EXPECT_EQ(colors, 2);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) {
            const Color c = EntryColor(table[Index8(halves, 4, x, y)]);
            EXPECT_GT(x < 2 ? GetRValue(c) : GetGValue(c), 150) << x << "," << y;
        }
}

TEST(ColorReduction, FixedTripleAndGrayConverters) {
    const int w = 3, h = 2;
    auto colour = [](int x, int y) {
        return RGBColor(std::uint8_t(255 - x), std::uint8_t(64 * y), 102);
    };
    ColorTable256 table{};

    auto b666 = Buffer24(w, h, colour);
    Fixed666Reduce(Header24(w, h), table, b666.data(), b666.data());
    EXPECT_EQ(Index8(b666, w, 0, 0), 5 * 36 + 0 * 6 + 2);
    EXPECT_EQ(EntryColor(table[5 * 36 + 2]), RGBColor(255, 0, 102));

    auto b784 = Buffer24(w, h, colour);
    Fixed784Reduce(Header24(w, h), table, b784.data(), b784.data());
    // red 255 -> 6, green 64 -> 2 (73), blue 102 -> 1 (85)
    EXPECT_EQ(Index8(b784, w, 0, 1), 6 * 32 + 2 * 4 + 1);
    EXPECT_EQ(EntryColor(table[6 * 32 + 2 * 4 + 1]), RGBColor(255, 73, 85));

    auto triple = Buffer24(w, h, colour);
    TripleReduce(Header24(w, h), table, triple.data(), triple.data());
    EXPECT_EQ(Index8(triple, w, 0, 0), 255 >> 2);          // (0+0) mod 3 = 0: red
    EXPECT_EQ(Index8(triple, w, 1, 0), 64 + (0 >> 2));     // green
    EXPECT_EQ(Index8(triple, w, 2, 0), 128 + (102 >> 2));  // blue
    EXPECT_EQ(Index8(triple, w, 0, 1), 64 + (64 >> 2));    // (0+1) mod 3 = 1
    EXPECT_EQ(EntryColor(table[64 + 16]), RGBColor(0, 64, 0));

    auto gray = Buffer24(w, h, colour);
    GrayReduce(Header24(w, h), table, gray.data(), gray.data());
    EXPECT_EQ(Index8(gray, w, 1, 1), (77 * 254 + 150 * 64 + 29 * 102) >> 8);
    EXPECT_EQ(EntryColor(table[77]), RGBColor(77, 77, 77));
}

TEST(ColorReduction, ConvertBitmapPixelFormat) {
    Bitmap empty;
    EXPECT_EQ(Raised<EInvalidGraphic>([&] {
                  ConvertBitmapPixelFormat(empty, PixelFormat::Pf8bit, MapByFrequency);
              }).second,
              "Bitmap image is not valid");
    Bitmap b(5, 3, PixelFormat::Pf24bit);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            b.SetPixel(x, y, RGBColor(std::uint8_t(x * 50), std::uint8_t(y * 90), 7));
    // Its own format comes back as its own image, except with the gray method.
    EXPECT_EQ(ConvertBitmapPixelFormat(b, PixelFormat::Pf24bit, MapByFrequency)->Bytes(),
              b.SaveToBmp());
    EXPECT_THROW(ConvertBitmapPixelFormat(b, PixelFormat::Pf15bit, MapByFrequency), EAbort);

    // Colours in use as each method reports them (0: not checked).
    const std::pair<TColorReduction, unsigned> methods[] = {{MapByFrequency, 0}, {MapMedianCut, 15},
                                                            {MapFixed784, 224},  {MapFixed666, 216},
                                                            {MapTriple, 0},      {MapGray, 0}};
    for (const auto& [m, important] : methods) {
        auto s = ConvertBitmapPixelFormat(b, PixelFormat::Pf8bit, m);
        EXPECT_EQ(s->Position(), 0);
        Bitmap back;
        back.LoadFromStream(*s);
        ASSERT_EQ(back.BitCount(), 8) << int(m);
        EXPECT_EQ(ReadFileHeader(s->Memory()).bfSize, s->Bytes().size());
        if (important) {
            EXPECT_EQ(ReadInfoHeader(s->Memory() + 14).biClrImportant, important);
        }
    }

    Bitmap g(2, 1, PixelFormat::Pf8bit);
    auto grayed = ConvertBitmapPixelFormat(g, PixelFormat::Pf8bit, MapGray);
    Bitmap back;
    back.LoadFromStream(*grayed);
    EXPECT_EQ(back.ColorTable()[200], (RGBQuad{200, 200, 200, 0}));
}

}  // namespace
}  // namespace qv

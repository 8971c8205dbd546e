// Reading and writing GIF files: the format's blocks, LZW data and damaged input.

#include <gtest/gtest.h>

#include <random>

#include "imaging/gif_image.h"
#include "picture_test_helpers.h"

namespace qv {
namespace {

using test::GifFile;
using test::GraphicControl;
using test::ImageBlock;
using test::PackCodes;
using test::ReferenceLzw;

const std::vector<std::uint32_t> kFour = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};

std::unique_ptr<TGIFImage> Load(const std::string& bytes) {
    auto gif = std::make_unique<TGIFImage>();
    MemoryStream s(bytes);
    gif->LoadFromStream(s);
    return gif;
}

std::string Save(TGIFImage& gif) {
    MemoryStream s;
    gif.SaveToStream(s);
    return s.Bytes();
}

std::vector<int> Indexes(Bitmap& b) {
    std::vector<int> v;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) v.push_back(int(b.PixelValue(x, y)));
    return v;
}

std::string Frame(int w, int h, const std::vector<int>& pixels, int m = 2, std::uint8_t flags = 0) {
    return ImageBlock(0, 0, w, h, flags, "", m, PackCodes(ReferenceLzw(pixels, m)));
}

TEST(GifRead, SignatureAndVersion) {
    const std::string body = Frame(2, 1, {1, 2});
    std::string mixed = GifFile(2, 1, kFour, body);
    mixed.replace(0, 6, "gIf89A");
    EXPECT_EQ(Load(mixed)->Version, gv89a);
    EXPECT_EQ(Load(GifFile(2, 1, kFour, body, "87a"))->Version, gv87a);
    EXPECT_THROW(Load(GifFile(2, 1, kFour, body, "88a")), EInvalidGraphicOperation);
    std::string bad = GifFile(2, 1, kFour, body);
    bad[0] = 'J';
    EXPECT_THROW(Load(bad), EInvalidGraphicOperation);
}

TEST(GifRead, TrailerOnlyIsAnEmptyPicture) {
    auto gif = Load(GifFile(3, 3, kFour, ""));
    EXPECT_EQ(gif->FrameCount(), 0);
    EXPECT_EQ(gif->FrameIndex, -1);
    EXPECT_TRUE(gif->Empty());
    EXPECT_EQ(gif->ScreenWidth, 3);
}

TEST(GifRead, ExtensionsCommentsAndLoops) {
    const std::string plain =
        std::string("!\x01\x0C", 3) + std::string(12, '\x01') + "\x02hi" + std::string(1, '\0');
    const std::string comment1 = std::string("!\xFE\x03one\x03two", 10) + std::string(1, '\0');
    const std::string comment2 = std::string("!\xFE\x05three", 9) + std::string(1, '\0');
    auto loop = [](int count) {
        std::string s = std::string("!\xFF\x0BNETSCAPE2.0\x03\x01", 16);
        s.push_back(char(count & 255));
        s.push_back(char(count >> 8));
        s.push_back('\0');
        return s;
    };
    // A control block followed by plain text does not reach the image.
    auto gif = Load(GifFile(
        2, 1, kFour, GraphicControl(1, 50, 1) + plain + Frame(2, 1, {1, 2}) + comment1 + comment2));
    ASSERT_EQ(gif->FrameCount(), 1);
    EXPECT_EQ(gif->Frame(0).TransparentColor, clNone);
    EXPECT_EQ(gif->Frame(0).AnimateInterval, 0u);
    EXPECT_EQ(gif->Data->Comment, (std::vector<std::string>{"one", "two", "\r\n\r\n", "three"}));

    gif = Load(GifFile(2, 1, kFour, loop(0) + Frame(2, 1, {1, 2})));
    EXPECT_TRUE(gif->Looping);
    EXPECT_EQ(gif->RepeatCount, 0);
    gif = Load(GifFile(2, 1, kFour, loop(40000) + Frame(2, 1, {1, 2})));
    EXPECT_EQ(gif->RepeatCount, 30000);
    std::string anim = loop(7);
    anim.replace(3, 11, "ANIMEXTS1.0");
    gif = Load(GifFile(2, 1, kFour, anim + Frame(2, 1, {1, 2})));
    EXPECT_TRUE(gif->Looping);
    EXPECT_EQ(gif->RepeatCount, 7);

    // Two control blocks: the larger delay, the last transparency and disposal.
    gif = Load(
        GifFile(2, 1, kFour,
                GraphicControl(0x04, 30, 0) + GraphicControl(0x09, 20, 2) + Frame(2, 1, {1, 2})));
    EXPECT_EQ(gif->Frame(0).AnimateInterval, 300u);
    EXPECT_EQ(gif->Frame(0).TransparentColor, RGBColor(0, 255, 0));
    EXPECT_EQ(gif->Frame(0).Disposal, 2);
}

TEST(GifRead, ZeroSizedDescriptorTakesTheScreen) {
    std::vector<int> px(12, 3);
    auto gif = Load(
        GifFile(4, 3, kFour, ImageBlock(0, 0, 0, 0, 0, "", 2, PackCodes(ReferenceLzw(px, 2)))));
    EXPECT_EQ(gif->Width(), 4);
    EXPECT_EQ(gif->Height(), 3);
    EXPECT_EQ(gif->CurrentBitmap().Pixel(3, 2), RGBColor(0, 0, 255));
}

TEST(GifRead, NoColourTableAnywhereDecodesWithAGreyRamp) {
    auto gif = Load(GifFile(4, 1, {}, Frame(4, 1, {0, 1, 2, 3})));
    Bitmap& b = gif->CurrentBitmap();
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(0, 0, 0));
    EXPECT_EQ(b.Pixel(3, 0), RGBColor(255, 255, 255));
    EXPECT_EQ(Indexes(b), (std::vector<int>{0, 1, 2, 3}));
    // Saved unchanged, still without a table.
    EXPECT_EQ(Save(*gif), GifFile(4, 1, {}, Frame(4, 1, {0, 1, 2, 3})));
}

TEST(GifRead, CutInsideTheLastSubBlock) {
    std::vector<int> px;
    for (int i = 0; i < 64 * 64; ++i) px.push_back((i * 7 + i / 64) % 4);
    const std::string full = GifFile(64, 64, kFour, Frame(64, 64, px));
    const std::string cut = full.substr(0, full.size() - 40);
    auto gif = Load(cut);
    ASSERT_EQ(gif->FrameCount(), 1);
    EXPECT_TRUE(gif->Frame(0).Corrupted);
    Bitmap& b = gif->CurrentBitmap();
    EXPECT_EQ(int(b.PixelValue(0, 0)), px[0]);
    EXPECT_EQ(b.PixelValue(63, 63), 0u);
    // Written back, the frame's data ends with its terminator and loads cleanly.
    auto again = Load(Save(*gif));
    again->CurrentBitmap();
    EXPECT_FALSE(again->Frame(0).Corrupted);
}

TEST(GifRead, CodeSizeTwelveIsCorrupt) {
    auto gif = Load(GifFile(
        2, 2, kFour, ImageBlock(0, 0, 2, 2, 0, "", 12, PackCodes({{512, 10}, {1, 10}, {2, 10}}))));
    Bitmap& b = gif->CurrentBitmap();
    EXPECT_TRUE(gif->Frame(0).Corrupted);
    EXPECT_EQ(Indexes(b), (std::vector<int>{1, 0, 0, 0}));
}

TEST(GifRead, InterlacedRowsInPassOrder) {
    // Height 5, one pixel a row: the data holds rows 0, 4, 2, 1, 3.
    auto gif = Load(GifFile(1, 5, kFour, Frame(1, 5, {0, 1, 2, 3, 1}, 2, 0x40)));
    EXPECT_EQ(Indexes(gif->CurrentBitmap()), (std::vector<int>{0, 3, 2, 1, 1}));
    int pass = 0;
    std::vector<int> order{0};
    for (int r = 0; order.size() < 10;) {
        r = NextInterlacedRow(r, 9, pass);
        if (r >= 9) break;
        order.push_back(r);
    }
    EXPECT_EQ(order, (std::vector<int>{0, 8, 4, 2, 6, 1, 3, 5, 7}));
}

TEST(GifRead, LzwCodesAsOtherReadersTakeThem) {
    // No Clear first; then repeated Clears; literals up to the Clear code with a table of
    // 256 colours and a minimum code size of 2.
    auto a = Load(
        GifFile(3, 1, kFour,
                ImageBlock(0, 0, 3, 1, 0, "", 2, PackCodes({{1, 3}, {2, 3}, {3, 3}, {5, 3}}))));
    EXPECT_EQ(Indexes(a->CurrentBitmap()), (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(a->Frame(0).Corrupted);
    auto b = Load(GifFile(3, 1, kFour,
                          ImageBlock(0, 0, 3, 1, 0, "", 2,
                                     PackCodes({{4, 3}, {4, 3}, {4, 3}, {2, 3}, {6, 3}, {5, 3}}))));
    EXPECT_EQ(Indexes(b->CurrentBitmap()), (std::vector<int>{2, 2, 2}));
    std::vector<std::uint32_t> big(256);
    for (int i = 0; i < 256; ++i) big[std::size_t(i)] = std::uint32_t(i * 0x010101);
    // Codes 4.. are table entries here although the table has 256 colours.
    auto c = Load(GifFile(
        4, 1, big, ImageBlock(0, 0, 4, 1, 0, "", 2, PackCodes(ReferenceLzw({1, 1, 1, 1}, 2)))));
    EXPECT_EQ(Indexes(c->CurrentBitmap()), (std::vector<int>{1, 1, 1, 1}));
    // A code beyond the next free one is damage, not a crash.
    auto d = Load(
        GifFile(3, 1, kFour,
                ImageBlock(0, 0, 3, 1, 0, "", 2, PackCodes({{4, 3}, {1, 3}, {7, 3}, {5, 3}}))));
    EXPECT_EQ(Indexes(d->CurrentBitmap()), (std::vector<int>{1, 0, 0}));
    EXPECT_TRUE(d->Frame(0).Corrupted);
}

TEST(GifWrite, OneBitBitmap) {
    Bitmap b(3, 2, PixelFormat::Pf1bit);
    b.SetPixelValue(1, 0, 1);
    TGIFImage gif;
    gif.Assign(&b);
    const std::string out = Save(gif);
    EXPECT_EQ(out.substr(0, 6), "GIF87a");
    EXPECT_EQ(std::uint8_t(out[10]), 0x80);  // global table of 2, colour resolution 1
    EXPECT_EQ(out.substr(13, 6), std::string("\0\0\0\xFF\xFF\xFF", 6));
    EXPECT_EQ(out[19], ',');
    EXPECT_EQ(std::uint8_t(out[28]), 0);  // no local table
    EXPECT_EQ(out[29], 2);                // minimum code size
    EXPECT_EQ(Indexes(Load(out)->CurrentBitmap()), (std::vector<int>{0, 1, 0, 0, 0, 0}));
}

TEST(GifWrite, LoopDelayTransparencyAndLocalTables) {
    Bitmap b(2, 2, PixelFormat::Pf8bit);
    TGIFImage gif;
    gif.Assign(&b);
    gif.Looping = true;
    gif.RepeatCount = 0x0102;
    std::string one = Save(gif);
    EXPECT_EQ(one.find("NETSCAPE"), std::string::npos);

    Bitmap c(2, 2, PixelFormat::Pf4bit);
    gif.AddFrame(&c);
    gif.Frame(1).AnimateInterval = 150;
    gif.Frame(1).TransparentColor = RGBColor(1, 2, 3);  // not in its table
    const std::string two = Save(gif);
    const std::size_t afterGlobal = 13 + 3 * 256;
    EXPECT_EQ(two.substr(afterGlobal, 19),
              std::string("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x02\x01\x00", 19));
    EXPECT_EQ(two.substr(0, 6), "GIF89a");
    const std::size_t control = two.find("\x21\xF9\x04");
    ASSERT_NE(control, std::string::npos);
    EXPECT_EQ(two.substr(control + 3, 5), std::string("\x00\x0F\x00\x00\x00", 5));
    auto back = Load(two);
    ASSERT_EQ(back->FrameCount(), 2);
    EXPECT_FALSE(back->Frame(0).LocalColors);
    EXPECT_TRUE(back->Frame(1).LocalColors);
    EXPECT_EQ(back->Frame(1).AnimateInterval, 150u);
    EXPECT_EQ(back->RepeatCount, 0x0102);
}

TEST(GifWrite, LongDelaysAndSizesAreNotCut) {
    Bitmap b(2, 2, PixelFormat::Pf8bit);
    TGIFImage gif;
    gif.Assign(&b);
    gif.Frame(0).AnimateInterval = 100000;  // 1000 s
    auto back = Load(Save(gif));
    EXPECT_EQ(back->Frame(0).AnimateInterval, 100000u);
    gif.Frame(0).AnimateInterval = 10000000;
    back = Load(Save(gif));
    EXPECT_EQ(back->Frame(0).AnimateInterval, 655350u);  // the longest delay a file holds

    gif.Frame(0).Origin = {65535, 0};
    MemoryStream s;
    try {
        gif.SaveToStream(s);
        FAIL();
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "GIF image too large");
    }
    EXPECT_EQ(s.Bytes().size(), 0u);  // nothing reaches the stream
}

TEST(GifWrite, CommentsOfAnyLengthKeepEveryByte) {
    Bitmap b(2, 2, PixelFormat::Pf8bit);
    TGIFImage gif;
    gif.Assign(&b);
    const std::string line(300, 'x');
    gif.Data->Comment = {line, "short"};
    const std::string out = Save(gif);
    EXPECT_EQ(out.substr(0, 6), "GIF89a");
    const std::size_t at = out.find("\x21\xFE");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(std::uint8_t(out[at + 2]), 255);
    EXPECT_EQ(std::uint8_t(out[at + 3 + 255]), 45);
    auto back = Load(out);
    EXPECT_EQ(back->Data->Comment,
              (std::vector<std::string>{std::string(255, 'x'), std::string(45, 'x'), "short"}));
}

TEST(GifWrite, UnchangedFramesAreWrittenByteForByte) {
    std::vector<int> px;
    for (int i = 0; i < 7 * 9; ++i) px.push_back((i * 5) % 4);
    // Interlaced frame, non-minimal LZW from a different coder, a comment and a control block.
    const std::string file = GifFile(
        7, 9, kFour,
        GraphicControl(0x05, 12, 3) + std::string("!\xFE\x02hi\x00", 6) + Frame(7, 9, px, 3, 0x40));
    auto gif = Load(file);
    EXPECT_EQ(Save(*gif), file);
}

TEST(GifWrite, TableResetAfterCode4094) {
    // Noise of 256 colours: enough distinct strings to fill the table.
    Bitmap b(256, 64, PixelFormat::Pf8bit);
    std::mt19937 rng(7);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 256; ++x) b.SetPixelValue(x, y, rng() & 255);
    TGIFImage gif;
    gif.Assign(&b);
    auto back = Load(Save(gif));
    EXPECT_EQ(Indexes(back->CurrentBitmap()), Indexes(b));
    // Walk the codes: the code that assigned 4094 is followed by one literal, then Clear.
    const std::string& coded = gif.Frame(0).Item->ImageData->Bytes();
    std::string bytes;
    for (std::size_t p = 1; p < coded.size() && coded[p];) {
        const std::size_t n = std::uint8_t(coded[p]);
        bytes += coded.substr(p + 1, n);
        p += n + 1;
    }
    std::size_t bit = 0;
    int size = 9, last = 257, count = 0;
    bool sawReset = false;
    auto read = [&](int s) {
        int v = 0;
        for (int i = 0; i < s; ++i, ++bit)
            v |= ((std::uint8_t(bytes[bit / 8]) >> (bit % 8)) & 1) << i;
        return v;
    };
    ASSERT_EQ(read(9), 256);
    while (bit + std::size_t(size) <= bytes.size() * 8 && !sawReset) {
        const int code = read(size);
        ++count;
        ++last;  // every code but the first after a Clear assigns one entry in the encoder
        if (last == 4094) {
            const int literal = read(size);
            EXPECT_LT(literal, 256);
            EXPECT_EQ(read(size), 256);
            EXPECT_LT(read(9), 256) << "the code size starts again at 9 bits";
            sawReset = true;
        }
        if (last == (1 << size) && size < 12) ++size;
        (void)code;
    }
    EXPECT_TRUE(sawReset);
}

TEST(GifRobustness, EveryTruncationAndBitFlipLoadsOrFailsCleanly) {
    std::vector<int> px;
    for (int i = 0; i < 16 * 9; ++i) px.push_back((i * 3 + i / 5) % 4);
    const std::string file =
        GifFile(16, 9, kFour,
                std::string("!\xFF\x0BNETSCAPE2.0\x03\x01\x05\x00\x00", 19) +
                    GraphicControl(0x09, 7, 1) + Frame(16, 9, px) +
                    std::string("!\xFE\x03"
                                "abc\x00",
                                7) +
                    ImageBlock(2, 1, 5, 3, 0x81, std::string(12, '\x44'), 2,
                               PackCodes(ReferenceLzw(std::vector<int>(15, 2), 2))));
    auto exercise = [](const std::string& bytes) {
        try {
            auto gif = Load(bytes);
            for (int i = 0; i < gif->FrameCount(); ++i) {
                gif->FrameIndex = i;
                gif->CurrentBitmap();
            }
            if (gif->FrameCount() > 0) {
                auto again = Load(Save(*gif));
                EXPECT_EQ(again->FrameCount(), gif->FrameCount());
            }
        } catch (const EInvalidGraphicOperation&) {
        } catch (const EStreamError&) {
        }
    };
    for (std::size_t cut = 0; cut <= file.size(); ++cut) exercise(file.substr(0, cut));
    std::mt19937 rng(11);
    for (int k = 0; k < 3000; ++k) {
        std::string damaged = file;
        for (int f = 0; f < 1 + int(rng() % 3); ++f)
            damaged[rng() % damaged.size()] ^= char(1 << (rng() % 8));
        exercise(damaged);
    }
}

}  // namespace
}  // namespace qv

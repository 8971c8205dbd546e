// Reading and writing GIF files: the format's blocks, LZW data and damaged input.

#include <gtest/gtest.h>

#include <random>

#include "imaging/gif_image.h"
#include "picture_test_helpers.h"

namespace qv {
namespace {

using namespace test;
using Codes = std::vector<std::pair<int, int>>;

const std::vector<std::uint32_t> kFour = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};

std::vector<int> Indexes(Bitmap& b) {
    std::vector<int> v;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) v.push_back(int(b.PixelValue(x, y)));
    return v;
}

std::string Frame(int w, int h, const std::vector<int>& pixels, int m = 2, std::uint8_t flags = 0) {
    return ImageBlock(0, 0, w, h, flags, "", m, LiteralLzw(pixels, m));
}

TEST(GifRead, SignatureVersionEmptyZeroSizedAndTablelessImages) {
    const std::string body = Frame(2, 1, {1, 2});
    std::string mixed = GifFile(2, 1, kFour, body);
    mixed.replace(0, 6, "gIf89A");
    EXPECT_EQ(Load<TGIFImage>(mixed)->Version, gv89a);
    EXPECT_EQ(Load<TGIFImage>(GifFile(2, 1, kFour, body, "87a"))->Version, gv87a);
    mixed[0] = 'J';
    EXPECT_THROW(Load<TGIFImage>(mixed), EInvalidGraphicOperation);

    auto empty = Load<TGIFImage>(GifFile(3, 3, kFour, ""));
    EXPECT_EQ(empty->FrameIndex, -1);
    EXPECT_TRUE(empty->Empty());

    // A descriptor of size 0 takes the screen's.
    auto gif = Load<TGIFImage>(GifFile(4, 3, kFour, Frame(0, 0, std::vector<int>(12, 3))));
    EXPECT_EQ(gif->Width(), 4);
    EXPECT_EQ(gif->Height(), 3);
    EXPECT_EQ(gif->CurrentBitmap().Pixel(3, 2), RGBColor(0, 0, 255));

    // No colour table anywhere: a grey ramp, and saved unchanged, still without a table.
    const std::string file = GifFile(4, 1, {}, Frame(4, 1, {0, 1, 2, 3}));
    gif = Load<TGIFImage>(file);
    Bitmap& b = gif->CurrentBitmap();
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(0, 0, 0));
    EXPECT_EQ(b.Pixel(3, 0), RGBColor(255, 255, 255));
    EXPECT_EQ(Indexes(b), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(Save(*gif), file);
}

TEST(GifRead, ExtensionsCommentsAndLoops) {
    const std::string plain = "!\x01\x0C"s + std::string(12, '\x01') + "\x02hi\0"s;
    const std::string comment1 = "!\xFE\x03one\x03two\0"s, comment2 = "!\xFE\x05three\0"s;
    auto loop = [](int count) {
        return "!\xFF\x0BNETSCAPE2.0\x03\x01"s + char(count & 255) + char(count >> 8) + '\0';
    };
    // A control block followed by plain text does not reach the image.
    auto gif = Load<TGIFImage>(GifFile(
        2, 1, kFour, GraphicControl(1, 50, 1) + plain + Frame(2, 1, {1, 2}) + comment1 + comment2));
    ASSERT_EQ(gif->FrameCount(), 1);
    EXPECT_EQ(gif->Frame(0).TransparentColor, clNone);
    EXPECT_EQ(gif->Frame(0).AnimateInterval, 0u);
    EXPECT_EQ(gif->Data->Comment, (std::vector<std::string>{"one", "two", "\r\n\r\n", "three"}));

    std::string anim = loop(7);
    anim.replace(3, 11, "ANIMEXTS1.0");
    const std::pair<std::string, int> loops[] = {{loop(0), 0}, {loop(40000), 30000}, {anim, 7}};
    for (const auto& [block, repeat] : loops) {
        gif = Load<TGIFImage>(GifFile(2, 1, kFour, block + Frame(2, 1, {1, 2})));
        EXPECT_TRUE(gif->Looping);
        EXPECT_EQ(gif->RepeatCount, repeat);
    }

    // Two control blocks: the larger delay, the last transparency and disposal.
    gif = Load<TGIFImage>(
        GifFile(2, 1, kFour,
                GraphicControl(0x04, 30, 0) + GraphicControl(0x09, 20, 2) + Frame(2, 1, {1, 2})));
    EXPECT_EQ(gif->Frame(0).AnimateInterval, 300u);
    EXPECT_EQ(gif->Frame(0).TransparentColor, RGBColor(0, 255, 0));
    EXPECT_EQ(gif->Frame(0).Disposal, 2);
}

TEST(GifRead, DamagedDataKeepsWhatWasDecoded) {
    std::vector<int> px;
    for (int i = 0; i < 64 * 64; ++i) px.push_back((i * 7 + i / 64) % 4);
    const std::string full = GifFile(64, 64, kFour, Frame(64, 64, px));
    auto gif = Load<TGIFImage>(full.substr(0, full.size() - 40));  // cut inside the image data
    ASSERT_EQ(gif->FrameCount(), 1);
    EXPECT_TRUE(gif->Frame(0).Corrupted);
    Bitmap& b = gif->CurrentBitmap();
    EXPECT_EQ(int(b.PixelValue(0, 0)), px[0]);
    EXPECT_EQ(b.PixelValue(63, 63), 0u);
    // Written back, the frame's data ends with its terminator and loads cleanly.
    auto again = Load<TGIFImage>(Save(*gif));
    again->CurrentBitmap();
    EXPECT_FALSE(again->Frame(0).Corrupted);

    gif = Load<TGIFImage>(GifFile(
        2, 2, kFour, ImageBlock(0, 0, 2, 2, 0, "", 12, PackCodes({{512, 10}, {1, 10}, {2, 10}}))));
    EXPECT_EQ(Indexes(gif->CurrentBitmap()), (std::vector<int>{1, 0, 0, 0}));
    EXPECT_TRUE(gif->Frame(0).Corrupted) << "minimum code size 12";
}

TEST(GifRead, LzwCodesAsOtherReadersTakeThem) {
    auto decode = [](const Codes& codes, const std::vector<std::uint32_t>& table = kFour) {
        const int w = table.size() > 4 ? 4 : 3;
        return Load<TGIFImage>(
            GifFile(w, 1, table, ImageBlock(0, 0, w, 1, 0, "", 2, PackCodes(codes))));
    };
    // No Clear first.
    auto a = decode({{1, 3}, {2, 3}, {3, 3}, {5, 3}});
    EXPECT_EQ(Indexes(a->CurrentBitmap()), (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(a->Frame(0).Corrupted);
    // Repeated Clears.
    auto b = decode({{4, 3}, {4, 3}, {4, 3}, {2, 3}, {6, 3}, {5, 3}});
    EXPECT_EQ(Indexes(b->CurrentBitmap()), (std::vector<int>{2, 2, 2}));
    // Codes from 4 on are table entries although the colour table has 256 entries.
    std::vector<std::uint32_t> big(256);
    for (int i = 0; i < 256; ++i) big[std::size_t(i)] = std::uint32_t(i * 0x010101);
    EXPECT_EQ(Indexes(decode({{4, 3}, {1, 3}, {6, 3}, {1, 3}, {5, 4}}, big)->CurrentBitmap()),
              (std::vector<int>{1, 1, 1, 1}));
    // A code beyond the next free one is damage, not a crash.
    auto d = decode({{4, 3}, {1, 3}, {7, 3}, {5, 3}});
    EXPECT_EQ(Indexes(d->CurrentBitmap()), (std::vector<int>{1, 0, 0}));
    EXPECT_TRUE(d->Frame(0).Corrupted);
}

TEST(GifRead, DecodingReportsEachPercentageOnceInOrder) {
    std::vector<std::uint32_t> table(256);
    std::vector<int> pixels;
    std::mt19937 rng(8);
    for (int i = 0; i < 96 * 64; ++i) pixels.push_back(int(rng() % 256));
    auto gif = Load<TGIFImage>(GifFile(96, 64, table, Frame(96, 64, pixels, 8)));
    std::vector<std::pair<ProgressStage, int>> seen;
    gif->SetOnProgress([&](Graphic&, ProgressStage stage, std::uint8_t percent, bool, const Rect&,
                           const std::string&) { seen.emplace_back(stage, percent); });
    gif->Frame(0).FBitmap.reset();
    EXPECT_EQ(Indexes(gif->CurrentBitmap()), pixels);
    ASSERT_GT(seen.size(), 50u);
    EXPECT_EQ(seen.front(), std::make_pair(ProgressStage::Starting, 0));
    EXPECT_EQ(seen.back(), std::make_pair(ProgressStage::Ending, 100));
    for (std::size_t i = 2; i + 1 < seen.size(); ++i)
        EXPECT_GT(seen[i].second, seen[i - 1].second) << i;
    EXPECT_GE(seen[seen.size() - 2].second, 98);
}

TEST(GifWrite, LoopTransparencyLocalTablesAndLongValues) {
    Bitmap b(2, 2, PixelFormat::Pf8bit), c(2, 2, PixelFormat::Pf4bit);
    TGIFImage gif;
    gif.Assign(&b);
    gif.Looping = true;
    gif.RepeatCount = 0x0102;
    EXPECT_EQ(Save(gif).find("NETSCAPE"), std::string::npos) << "a single frame";

    gif.AddFrame(&c);
    gif.Frame(1).TransparentColor = RGBColor(1, 2, 3);  // not in its table
    auto back = Load<TGIFImage>(Save(gif));
    ASSERT_EQ(back->FrameCount(), 2);
    EXPECT_FALSE(back->Frame(0).LocalColors);
    EXPECT_TRUE(back->Frame(1).LocalColors);
    EXPECT_EQ(back->Frame(1).TransparentColor, clNone);
    EXPECT_EQ(back->RepeatCount, 0x0102);

    // Long delays, long comments and large sizes are not cut.
    gif.Frame(0).AnimateInterval = 100000;  // 1000 s
    EXPECT_EQ(Load<TGIFImage>(Save(gif))->Frame(0).AnimateInterval, 100000u);
    gif.Frame(0).AnimateInterval = 10000000;
    EXPECT_EQ(Load<TGIFImage>(Save(gif))->Frame(0).AnimateInterval, 655350u);  // the longest held

    // Comment lines of any length keep every byte.
    gif.Data->Comment = {std::string(300, 'x'), "short"};
    EXPECT_EQ(Load<TGIFImage>(Save(gif))->Data->Comment,
              (std::vector<std::string>{std::string(255, 'x'), std::string(45, 'x'), "short"}));

    gif.Frame(0).Origin = {65535, 0};
    MemoryStream s;
    EXPECT_EQ(Raised<EInvalidGraphicOperation>([&] { gif.SaveToStream(s); }).second,
              "GIF image too large");
    EXPECT_EQ(s.Bytes().size(), 0u);  // nothing reaches the stream
}

TEST(GifWrite, UnchangedFramesAreWrittenByteForByte) {
    std::vector<int> px;
    for (int i = 0; i < 7 * 9; ++i) px.push_back((i * 5) % 4);
    // Interlaced frame, non-minimal LZW from a different coder, a comment and a control block.
    const std::string file = GifFile(
        7, 9, kFour,
        GraphicControl(0x05, 12, 3) + std::string("!\xFE\x02hi\x00", 6) + Frame(7, 9, px, 3, 0x40));
    EXPECT_EQ(Save(*Load<TGIFImage>(file)), file);
}

TEST(GifRobustness, EveryTruncationAndBitFlipLoadsOrFailsCleanly) {
    std::vector<int> px;
    for (int i = 0; i < 16 * 9; ++i) px.push_back((i * 3 + i / 5) % 4);
    const std::string file =
        GifFile(16, 9, kFour,
                "!\xFF\x0BNETSCAPE2.0\x03\x01\x05\x00\x00"s + GraphicControl(0x09, 7, 1) +
                    Frame(16, 9, px) + "!\xFE\x03" + "abc\0"s +
                    ImageBlock(2, 1, 5, 3, 0x81, std::string(12, '\x44'), 2,
                               LiteralLzw(std::vector<int>(15, 2), 2)));
    auto exercise = [](const std::string& bytes) {
        try {
            auto gif = Load<TGIFImage>(bytes);
            for (int i = 0; i < gif->FrameCount(); ++i) {
                gif->FrameIndex = i;
                gif->CurrentBitmap();
            }
            if (gif->FrameCount() > 0) {
                EXPECT_EQ(Load<TGIFImage>(Save(*gif))->FrameCount(), gif->FrameCount());
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

// Chunks, CRC, zlib wrappers, header / palette / ancillary chunks and the
// codec's exceptions.

#include <gtest/gtest.h>

#include <cmath>

#include "imaging/png_picture.h"
#include "imaging/png_zlib.h"
#include "picture_test_helpers.h"

namespace qv {
namespace {

using namespace test;

TEST(PngChunk, CrcLengthAndListIndexesAreChecked) {
    // (The CRC itself is checked by every file read from netpbm and by pngcheck.)
    const std::string good = Chunk("abCD", "some bytes");
    for (size_t bit = 0; bit < 32; ++bit) {
        std::string bad = good;
        bad[bad.size() - 4 + bit / 8] ^= char(1 << (bit % 8));
        MemoryStream s(bad.substr(8));
        TChunk d(nullptr);
        EXPECT_EQ(Raised<EPngInvalidCRC>([&] { d.LoadFromStream(s, "abCD", 10); }),
                  std::make_pair(64961,
                                 "This \"Portable Network Graphics\" image is not valid "
                                 "because it contains invalid pieces of data (crc error)"s))
            << bit;
    }
    // A length near 4 GiB on a short stream is refused without allocating it.
    MemoryStream forged("abc" + std::string(4, '\0'));
    TChunk c(nullptr);
    EXPECT_THROW(c.LoadFromStream(forged, "abCD", 0xFFFFFFFFu), EPngInvalidCRC);
    EXPECT_LT(c.Data.capacity(), 1u << 20);

    // Chunk list indexes past the end read as nothing.
    TPNGPicture pic;
    TPNGList& list = pic.Chunks();
    TChunk* a = list.Add(std::make_unique<TChunkIEND>(&pic));
    list.Add(std::make_unique<TChunktEXt>(&pic));
    EXPECT_EQ(list.Item(2), nullptr);
    EXPECT_EQ(list.Item(uint32_t(-1)), nullptr);
    list.SetItem(2, std::make_unique<TChunk>(&pic));
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.Remove(a).get(), a);
    EXPECT_EQ(list.Remove(a), nullptr);  // already gone
}

TEST(PngHeader, LimitsMethodsAndFormatPairs) {
    EXPECT_NO_THROW(
        Load(Head(65535, 1, 1, 0) + Chunk("IDAT", Zlib(std::string(8193, '\0'))) + End()));
    TPNGPicture pic;
    EXPECT_EQ(FailureId<EPNGSizeExceeds>(Head(65536, 1, 8, 0), &pic), 64968);
    EXPECT_EQ(pic.Width(), 0);  // the failed header holds no picture
    EXPECT_EQ(FailureId<EPNGUnknownInterlace>(Head(1, 1, 8, 0, 2)), 64972);
    // The compression test comes first.
    EXPECT_EQ(
        FailureId<EPNGUnknownCompression>(kSignature + Chunk("IHDR", IhdrData(1, 1, 8, 0, 2, 1))),
        64971);
    EXPECT_EQ(
        FailureId<EPngInvalidIHDR>(kSignature + Chunk("IHDR", IhdrData(1, 1, 8, 0).substr(0, 12))),
        64962);
    // A second header is refused, not decoded into.
    EXPECT_EQ(
        FailureId<EPngInvalidIHDR>(Head(1, 1, 8, 0) + Chunk("IHDR", IhdrData(4000, 4000, 8, 6)) +
                                   Chunk("IDAT", Zlib("\0\0"s)) + End()),
        64962);
    // Depths a colour type does not have, and types that do not exist (every valid pair
    // loads in the netpbm checks).
    const std::pair<int, int> kRefused[] = {{0, 0}, {0, 3}, {0, 32}, {2, 4}, {3, 16},
                                            {4, 2}, {6, 1}, {1, 8},  {5, 8}, {7, 8}};
    for (auto [type, depth] : kRefused)
        EXPECT_EQ(FailureId<EPngInvalidIHDR>(Head(3, 2, uint8_t(depth), uint8_t(type)) +
                                             Chunk("IDAT", Zlib(std::string(64, '\0'))) + End()),
                  64962)
            << type << "/" << depth;
}

TEST(PngPalette, LengthsAndEntries) {
    auto withPalette = [](const std::string& plte, const std::string& more = {}) {
        return MakePng(1, 1, 8, 3, "\0\0"s, Chunk("PLTE", plte) + more);
    };
    for (size_t bad : {size_t(771), size_t(10)})
        EXPECT_EQ(FailureId<EPNGInvalidPalette>(withPalette(std::string(bad, 'a'))), 64965) << bad;
    EXPECT_EQ(FailureId<EPNGInvalidPalette>(
                  withPalette(std::string(9, 'a'), Chunk("tRNS", std::string(257, 'a')))),
              64965);
    EXPECT_EQ(Load(withPalette(std::string(768, '\x10')))->Chunks().FindChunk<TChunkPLTE>()->Count,
              256);
    auto small = Load(withPalette("\x01\x02\x03\x04\x05\x06"s));
    auto plte = small->Chunks().FindChunk<TChunkPLTE>();
    EXPECT_EQ(Raised<EPngError>([&] { plte->Entry(2); }),
              std::make_pair(64969, "There is no such palette entry."s));
    // Assigning across classes is refused.
    TChunkgAMA g(small.get());
    EXPECT_EQ(Raised<EPngError>([&] { TChunkPLTE(small.get()).Assign(g); }).first, 64973);
}

TEST(PngTransparency, KeyColourOfEachColourType) {
    // RGB, 16 bits (8 bits: from netpbm): the byte kept in memory is the high one.
    const std::string high = "\x0A\x00\x14\x00\x1E\x00"s;
    EXPECT_EQ(Load(MakePng(1, 1, 16, 2, '\0' + high, Chunk("tRNS", high)))->TransparentColour(),
              RGBColor(10, 20, 30));
    // Grey, 2 bits, is kept and saved with 4 bits (its pixels, and our files of them, are
    // checked against netpbm); the key sample goes along: sample 2 is level 10.
    auto grey = Load(MakePng(5, 1, 2, 0, "\0\x1B\x80"s, Chunk("tRNS", "\0\x02"s)));
    const Color greyKey = RGBColor(0xAA, 0xAA, 0xAA);
    EXPECT_EQ(grey->TransparentColour(), greyKey);
    const std::string greyFile = Save(*grey);
    EXPECT_EQ(Chunks(greyFile, "tRNS")[0], "\0\x0A"s);
    EXPECT_EQ(grey->TransparentColour(), greyKey);
    EXPECT_EQ(Load(greyFile)->TransparentColour(), greyKey);
    // Setting a key colour on a palette image marks the first entry of that colour.
    auto pal =
        Load(MakePng(1, 1, 8, 3, "\0\0"s, Chunk("PLTE", "\x01\x01\x01\x02\x02\x02\x02\x02\x02"s)));
    TChunktRNS trns(pal.get());
    trns.SetKeyColour(RGBColor(2, 2, 2));
    EXPECT_EQ(trns.KeyIndex(), 1);
    EXPECT_EQ(trns.GetKeyColour(), RGBColor(2, 2, 2));
    trns.SetKeyColour(RGBColor(9, 9, 9));  // no such entry: nothing transparent
    EXPECT_FALSE(trns.KeyedTransparency);
    EXPECT_EQ(trns.KeyIndex(), -1);
}

TEST(PngGamma, TablesFollowThePowerLaw) {
    for (uint32_t gamma : {45455u, 100000u, 0u}) {
        std::string g;
        AppendBE32(g, gamma);
        auto pic = Load(MakePng(1, 1, 8, 0, "\0\0"s, Chunk("gAMA", g)));
        const auto& shown = pic->GammaTable;
        // Zero carries no value: the tables stay as they are.
        const long double e = gamma ? 1.0L / (gamma / 100000.0L * 2.2L) : 1.0L;
        for (int i = 255, last = 255; i >= 0; --i) {
            long double v = i == 0 ? 0 : std::nearbyint(std::pow(i / 255.0L, e) * 255.0L);
            EXPECT_EQ(shown[size_t(i)], uint8_t(v)) << gamma << " " << i;
            // Saving maps every shown value back to the last sample that shows it.
            if (i < 255 && shown[size_t(i)] != shown[size_t(i) + 1]) last = i;
            EXPECT_EQ(pic->InverseGammaTable[shown[size_t(i)]], last) << gamma << " " << i;
        }
    }
}

TEST(PngText, TextTimeAndPhysicalSizeChunks) {
    const std::string time = "\x07\xE8\x02\x1D\x17\x3B\x3A"s;
    auto pic = Load(MakePng(
        1, 1, 8, 0, "\0\0"s,
        Chunk("zTXt", "Comment\0\0"s + Zlib("hello there")) + Chunk("zTXt", "Comment\0\x01xx"s) +
            Chunk("zTXt", "Cut\0\0"s + Zlib(std::string(3000, 'a')).substr(0, 9)) +
            Chunk("zTXt", "Bad\0\0garbage!"s) + Chunk("tEXt", "Title\0Abc"s) +
            Chunk("tEXt", "JustAKeyword") + Chunk("tIME", time) + Chunk("tIME", time + "x") +
            Chunk("pHYs", "\x00\x00\x0B\x13\x00\x00\x0B\x13\x01"s)));
    std::vector<std::string> texts;
    std::vector<int> times;  // year, month and second
    for (uint32_t i = 0; i < pic->Chunks().Count(); ++i) {
        if (auto c = dynamic_cast<TChunktEXt*>(pic->Chunks().Item(i)))
            texts.push_back(c->Keyword + "=" + c->Text);
        if (auto c = dynamic_cast<TChunktIME*>(pic->Chunks().Item(i)))
            times.push_back(c->Year * 10000 + c->Month * 100 + c->Second);
    }
    // An unknown compression method, a stream cut short or damaged gives no text.
    EXPECT_EQ(texts, (std::vector<std::string>{"Comment=hello there", "Comment=", "Cut=", "Bad=",
                                               "Title=Abc", "JustAKeyword="}));
    EXPECT_EQ(times, (std::vector<int>{20240258, 0}));  // 8 bytes: raw data only
    EXPECT_EQ(pic->Chunks().FindChunk<TChunkpHYs>()->PixelsPerUnitX, 2835u);

    // An empty compressed text is written as one blank.
    const std::string empty = MakePng(1, 1, 8, 0, "\0\0"s, Chunk("zTXt", "K\0\0"s + Zlib("")));
    EXPECT_EQ(Load(Save(*Load(empty)))->Chunks().FindChunk<TChunkzTXt>()->Text, " ");

    // A compressed text that inflates without end is dropped.
    std::string bomb = "Bomb\0\0"s + Zlib(std::string(64 << 20, '\0'), 9);
    auto big = Load(MakePng(1, 1, 8, 0, "\0\0"s, Chunk("zTXt", bomb)));
    EXPECT_EQ(big->Chunks().FindChunk<TChunkzTXt>()->Text, "");
}

}  // namespace
}  // namespace qv

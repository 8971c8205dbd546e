// Chunks, CRC, zlib wrappers, header / palette / ancillary chunks and the
// codec's exceptions.

#include <gtest/gtest.h>

#include <cmath>

#include "imaging/png_idat.h"
#include "imaging/png_picture.h"
#include "imaging/png_zlib.h"
#include "png_test_helpers.h"

namespace qv {
namespace {

using namespace pngtest;

// Loads a file and answers the exception it raised (empty id 0 when none).
template <class E>
E LoadExpecting(const std::string& file, TPNGPicture& pic) {
    MemoryStream s(file);
    try {
        pic.LoadFromStream(s);
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "no exception of the expected class";
    return E(0, "");
}

std::string GreyRow8(uint32_t w, uint8_t v) {
    return std::string(1, '\0') + std::string(w, char(v));
}

TEST(PngCrc, KnownValuesAndChunkLayout) {
    EXPECT_EQ(~PngCRC32(0xFFFFFFFFu, "abc", 3), 0x352441C2u);
    // The CRC of IEND with no data is fixed by the format.
    EXPECT_EQ(ChunkCRC("IEND", nullptr, 0), 0xAE426082u);
    EXPECT_EQ(SwapBytes32(0x11223344u), 0x44332211u);
    EXPECT_EQ(SwapBytes16(0xAABB1234u), 0x3412u);
}

TEST(PngChunk, ZeroLengthAndCrcCheckedOnEveryBit) {
    TChunk c(nullptr);
    std::string file = Chunk("teSt", "");
    MemoryStream ok(file.substr(8));
    EXPECT_TRUE(c.LoadFromStream(ok, "teSt", 0));
    EXPECT_EQ(c.DataSize(), 0u);

    std::string data = "some bytes";
    std::string good = Chunk("abCD", data);
    for (size_t bit = 0; bit < 32; ++bit) {
        std::string bad = good;
        bad[bad.size() - 4 + bit / 8] ^= char(1 << (bit % 8));
        MemoryStream s(bad.substr(8));
        TChunk d(nullptr);
        try {
            d.LoadFromStream(s, "abCD", uint32_t(data.size()));
            ADD_FAILURE() << "bit " << bit;
        } catch (const EPngInvalidCRC& e) {
            EXPECT_EQ(e.Id(), 64961);
            EXPECT_STREQ(e.what(),
                         "This \"Portable Network Graphics\" image is not valid because it "
                         "contains invalid pieces of data (crc error)");
        }
    }
}

TEST(PngChunk, ForgedLengthIsRefusedWithoutAllocating) {
    // A length near 4 GiB on a short stream must not be honoured.
    std::string tail = "abc" + std::string(4, '\0');
    MemoryStream s(tail);
    TChunk c(nullptr);
    EXPECT_THROW(c.LoadFromStream(s, "abCD", 0xFFFFFFFFu), EPngInvalidCRC);
    EXPECT_LT(c.Data.capacity(), 1u << 20);
}

TEST(PngChunk, RegistryIsCaseSensitiveAndKeepsUnknownTypes) {
    TPNGPicture pic;
    auto h = CreateChunkForType(&pic, "IHDR");
    EXPECT_NE(dynamic_cast<TChunkIHDR*>(h.get()), nullptr);
    auto z = CreateChunkForType(&pic, "zTXt");
    EXPECT_NE(dynamic_cast<TChunkzTXt*>(z.get()), nullptr);
    auto lower = CreateChunkForType(&pic, "ihdr");
    EXPECT_EQ(typeid(*lower), typeid(TChunk));
    EXPECT_EQ(lower->Name, "ihdr");
    auto other = CreateChunkForType(&pic, "prIv");
    EXPECT_EQ(typeid(*other), typeid(TChunk));
    EXPECT_EQ(other->Name, "prIv");
    auto types = RegisteredChunkTypes();
    ASSERT_GE(types.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(types.begin(), types.begin() + 10),
              (std::vector<std::string>{"IEND", "IHDR", "IDAT", "PLTE", "gAMA", "tRNS", "pHYs",
                                        "tIME", "tEXt", "zTXt"}));
}

TEST(PngList, IndexesPastTheEndAndRemovalOfTheLastEntry) {
    TPNGPicture pic;
    TPNGList& list = pic.Chunks();
    TChunk* a = list.Add(std::make_unique<TChunkIEND>(&pic));
    TChunk* b = list.Add(std::make_unique<TChunktEXt>(&pic));
    EXPECT_EQ(list.Item(2), nullptr);
    EXPECT_EQ(list.Item(uint32_t(-1)), nullptr);
    list.SetItem(2, std::make_unique<TChunk>(&pic));
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.FindChunk<TChunktEXt>(), b);
    EXPECT_EQ(list.Remove(a).get(), a);
    EXPECT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Remove(a), nullptr);
    // Asking for tEXt finds a zTXt too.
    list.Clear();
    TChunk* z = list.Add(std::make_unique<TChunkzTXt>(&pic));
    EXPECT_EQ(list.FindChunk<TChunktEXt>(), z);
}

TEST(PngZlib, WholeBufferRoundTripsAndBoundsBadInput) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += char('a' + (i * 7) % 26);
    std::string packed, out, err;
    ASSERT_TRUE(DeflateBuffer(text.data(), text.size(), 9, packed, err));
    ASSERT_TRUE(InflateBuffer(packed.data(), packed.size(), out, err));
    EXPECT_EQ(out, text);
    // A stream cut short ends with an error instead of waiting for more.
    EXPECT_FALSE(InflateBuffer(packed.data(), packed.size() / 2, out, err));
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(InflateBuffer("garbage!", 8, out, err));
    // A bomb stops at the limit.
    std::string zeros(1 << 20, '\0');
    ASSERT_TRUE(DeflateBuffer(zeros.data(), zeros.size(), 9, packed, err));
    EXPECT_FALSE(InflateBuffer(packed.data(), packed.size(), out, err, 4096));
    EXPECT_LE(out.size(), 4096u);
}

TEST(PngErrors, NumbersAndTextsAsTheUsersSeeThem) {
    EXPECT_EQ(PngMessage(64944),
              "Some operation could not be performed because the system is out of resources. "
              "Close some windows and try again.");
    EXPECT_EQ(PngMessage(64966),
              "The file being readed is not a valid \"Portable Network Graphics\" image because "
              "it contains an invalid header. This file may be corruped, try obtaining it "
              "again.");
    EXPECT_EQ(PngMessage(64968),
              "This \"Portable Network Graphics\" image is not supported because either it's "
              "width or height exceeds the maximum size, which is 65535 pixels length.");
    EXPECT_EQ(PngMessage(64967),
              "This \"Portable Network Graphics\" image is not supported or it might be "
              "invalid.\r\n(IHDR chunk is not the first)");
    for (int id : {64944, 64945, 64946, 64961, 64962, 64963, 64964, 64965, 64966, 64967, 64968,
                   64969, 64970, 64971, 64972, 64973, 64974, 64975})
        EXPECT_FALSE(PngMessage(id).empty()) << id;
    EXPECT_EQ(PngMessage(64950), "");
    EXPECT_EQ(ZlibResultText(-3), "data error (-3)");
    EXPECT_EQ(ZlibResultText(2), "need dictionary (2)");
}

TEST(PngHeader, LimitsMethodsAndFormatPairs) {
    TPNGPicture pic;
    std::string rows = GreyRow8(1, 0);
    std::string wide = Signature() + Chunk("IHDR", IhdrData(65535, 1, 1, 0)) +
                       Chunk("IDAT", Zlib(std::string(1, '\0') + std::string(8192, '\0'))) +
                       Chunk("IEND", "");
    EXPECT_NO_THROW(Load(wide));
    auto e =
        LoadExpecting<EPNGSizeExceeds>(Signature() + Chunk("IHDR", IhdrData(65536, 1, 8, 0)), pic);
    EXPECT_EQ(e.Id(), 64968);
    EXPECT_EQ(pic.Width(), 0);  // the failed header holds no picture
    EXPECT_EQ(LoadExpecting<EPNGUnknownInterlace>(
                  Signature() + Chunk("IHDR", IhdrData(1, 1, 8, 0, 2)), pic)
                  .Id(),
              64972);
    // The compression test comes first.
    EXPECT_EQ(LoadExpecting<EPNGUnknownCompression>(
                  Signature() + Chunk("IHDR", IhdrData(1, 1, 8, 0, 2, 1)), pic)
                  .Id(),
              64971);
    EXPECT_EQ(LoadExpecting<EPngInvalidIHDR>(
                  Signature() + Chunk("IHDR", IhdrData(1, 1, 8, 0).substr(0, 12)), pic)
                  .Id(),
              64962);
    int valid = 0;
    for (int type : {0, 1, 2, 3, 4, 5, 6, 7}) {
        for (int depth : {0, 1, 2, 3, 4, 5, 8, 16, 32}) {
            std::string f = Signature() +
                            Chunk("IHDR", IhdrData(3, 2, uint8_t(depth), uint8_t(type))) +
                            Chunk("IDAT", Zlib(std::string(64, '\0'))) + Chunk("IEND", "");
            MemoryStream s(f);
            TPNGPicture p;
            try {
                p.LoadFromStream(s);
                ++valid;
                EXPECT_TRUE(ValidPngFormat(uint8_t(type), uint8_t(depth)));
            } catch (const EPngInvalidIHDR& ex) {
                EXPECT_FALSE(ValidPngFormat(uint8_t(type), uint8_t(depth))) << type << "/" << depth;
            }
        }
    }
    EXPECT_EQ(valid, 15);
    // A second header is refused, not decoded into.
    std::string twice = Signature() + Chunk("IHDR", IhdrData(1, 1, 8, 0)) +
                        Chunk("IHDR", IhdrData(4000, 4000, 8, 6)) + Chunk("IDAT", Zlib(rows)) +
                        Chunk("IEND", "");
    EXPECT_EQ(LoadExpecting<EPngInvalidIHDR>(twice, pic).Id(), 64962);
}

TEST(PngHeader, TwoBitImagesAreKeptAndSavedWithFourBits) {
    // 2-bit grey: samples 0..3 in a 5-pixel row.
    std::string raw = std::string(1, '\0') + std::string("\x1B\x80", 2);  // 0 1 2 3 | 2
    auto pic = Load(MakePng(5, 1, 2, 0, raw));
    TChunkIHDR& h = pic->RequireHeader();
    EXPECT_EQ(h.BitsPerPixel, 4);
    for (int x = 0; x < 5; ++x) {
        uint8_t expect = uint8_t(std::string("\x00\x55\xAA\xFF\xAA", 5)[size_t(x)]);
        EXPECT_EQ(pic->Pixels(x, 0), RGBColor(expect, expect, expect)) << x;
    }
    std::string saved = Save(*pic);
    EXPECT_EQ(uint8_t(ChunkData(saved, "IHDR")[0][8]), 4);
    auto again = Load(saved);
    for (int x = 0; x < 5; ++x) EXPECT_EQ(again->Pixels(x, 0), pic->Pixels(x, 0));

    // A key sample goes to 4 bits with its pixels: sample 2 is level 10.
    auto keyed = Load(MakePng(5, 1, 2, 0, raw, Chunk("tRNS", std::string("\0\x02", 2))));
    const Color key = keyed->TransparentColour();
    EXPECT_EQ(key, RGBColor(0xAA, 0xAA, 0xAA));
    std::string keyedFile = Save(*keyed);
    EXPECT_EQ(ChunkData(keyedFile, "tRNS")[0], std::string("\0\x0A", 2));
    EXPECT_EQ(keyed->TransparentColour(), key);
    EXPECT_EQ(Load(keyedFile)->TransparentColour(), key);
}

TEST(PngPalette, LengthsAndEntries) {
    TPNGPicture pic;
    std::string row = std::string(1, '\0') + std::string(1, '\0');
    auto withPalette = [&](const std::string& plte) {
        return MakePng(1, 1, 8, 3, row, Chunk("PLTE", plte));
    };
    EXPECT_EQ(LoadExpecting<EPNGInvalidPalette>(withPalette(std::string(771, 'a')), pic).Id(),
              64965);
    EXPECT_EQ(LoadExpecting<EPNGInvalidPalette>(withPalette(std::string(10, 'a')), pic).Id(),
              64965);
    auto full = Load(withPalette(std::string(768, '\x10')));
    auto plte = full->Chunks().FindChunk<TChunkPLTE>();
    ASSERT_NE(plte, nullptr);
    EXPECT_EQ(plte->Count, 256);
    auto small = Load(withPalette(std::string("\x01\x02\x03\x04\x05\x06", 6)));
    auto p2 = small->Chunks().FindChunk<TChunkPLTE>();
    EXPECT_EQ(p2->Entry(1).rgbRed, 4);
    EXPECT_EQ(p2->Entry(1).rgbBlue, 6);
    try {
        p2->Entry(2);
        ADD_FAILURE();
    } catch (const EPngError& e) {
        EXPECT_EQ(e.Id(), 64969);
        EXPECT_STREQ(e.what(), "There is no such palette entry.");
    }
    // Assigning across classes is refused.
    TChunkPLTE a(&pic);
    TChunkgAMA g(&pic);
    try {
        a.Assign(g);
        ADD_FAILURE();
    } catch (const EPngError& e) {
        EXPECT_EQ(e.Id(), 64973);
    }
}

TEST(PngTransparency, KeyedOnlyForOneFullyTransparentEntry) {
    std::string row = std::string(1, '\0') + std::string(1, '\0');
    std::string plte = Chunk("PLTE", std::string("\x00\x00\x00\xFF\x00\x00\x00\xFF\x00", 9));
    auto kind = [&](const std::string& trns, bool* keyed) {
        auto pic = Load(MakePng(1, 1, 8, 3, row, plte + Chunk("tRNS", trns)));
        *keyed = pic->Chunks().FindChunk<TChunktRNS>()->KeyedTransparency;
        return pic->TransparencyKind();
    };
    bool keyed = false;
    EXPECT_EQ(kind(std::string("\xFF\x00\xFF", 3), &keyed), tkKeyColour);
    EXPECT_TRUE(keyed);
    EXPECT_EQ(kind(std::string("\x00\x00", 2), &keyed), tkPartial);
    EXPECT_FALSE(keyed);
    // A lone half-transparent entry is blended, never treated as a key colour.
    EXPECT_EQ(kind(std::string("\x80", 1), &keyed), tkPartial);
    EXPECT_FALSE(keyed);
    TPNGPicture pic;
    EXPECT_EQ(LoadExpecting<EPNGInvalidPalette>(
                  MakePng(1, 1, 8, 3, row, plte + Chunk("tRNS", std::string(257, 'a'))), pic)
                  .Id(),
              64965);
}

TEST(PngTransparency, KeyColourOfEachColourType) {
    // RGB, 8 bits: key (10, 20, 30).
    std::string rgbRow = std::string(1, '\0') + std::string("\x0A\x14\x1E\x01\x02\x03", 6);
    auto rgb = Load(
        MakePng(2, 1, 8, 2, rgbRow, Chunk("tRNS", std::string("\x00\x0A\x00\x14\x00\x1E", 6))));
    EXPECT_EQ(rgb->TransparencyKind(), tkKeyColour);
    EXPECT_EQ(rgb->TransparentColour(), RGBColor(10, 20, 30));
    // RGB, 16 bits: the byte kept in memory is the high one.
    std::string rgb16 = std::string(1, '\0') + std::string("\x0A\x00\x14\x00\x1E\x00", 6);
    auto deep = Load(
        MakePng(1, 1, 16, 2, rgb16, Chunk("tRNS", std::string("\x0A\x00\x14\x00\x1E\x00", 6))));
    EXPECT_EQ(deep->TransparentColour(), RGBColor(10, 20, 30));
    // Grey, 4 bits: sample 3 shows as level 51.
    std::string grey = std::string(1, '\0') + std::string("\x30", 1);
    auto g = Load(MakePng(1, 1, 4, 0, grey, Chunk("tRNS", std::string("\x00\x03", 2))));
    EXPECT_EQ(g->TransparentColour(), RGBColor(51, 51, 51));
    // Setting a key colour on a palette image marks the first entry of that colour.
    std::string prow = std::string(1, '\0') + std::string(1, '\0');
    auto pal = Load(MakePng(1, 1, 8, 3, prow,
                            Chunk("PLTE", std::string("\x01\x01\x01\x02\x02\x02\x03\x03\x03", 9))));
    auto trns = std::make_unique<TChunktRNS>(pal.get());
    trns->SetKeyColour(RGBColor(2, 2, 2));
    EXPECT_EQ(trns->DataSize(), 2u);
    EXPECT_EQ(trns->AlphaValues[0], 255);
    EXPECT_EQ(trns->AlphaValues[1], 0);
    EXPECT_EQ(trns->GetKeyColour(), RGBColor(2, 2, 2));
    trns->SetKeyColour(RGBColor(9, 9, 9));  // no such entry: nothing transparent
    EXPECT_FALSE(trns->KeyedTransparency);
    EXPECT_EQ(trns->KeyIndex(), -1);
}

TEST(PngGamma, TablesFollowThePowerLaw) {
    std::string row = GreyRow8(1, 0);
    for (uint32_t gamma : {45455u, 100000u}) {
        std::string g;
        AppendBE32(g, gamma);
        auto pic = Load(MakePng(1, 1, 8, 0, row, Chunk("gAMA", g)));
        long double e = 1.0L / (gamma / 100000.0L * 2.2L);
        for (int i = 0; i < 256; ++i) {
            long double v = i == 0 ? 0 : std::nearbyint(std::pow(i / 255.0L, e) * 255.0L);
            EXPECT_EQ(pic->GammaTable[size_t(i)], uint8_t(v)) << gamma << " " << i;
        }
        if (gamma == 45455) {
            for (int i = 0; i < 256; ++i) EXPECT_NEAR(pic->GammaTable[size_t(i)], i, 1);
        } else {
            EXPECT_EQ(pic->GammaTable[128], 186);
            // The inverse maps every shown value back to its sample.
            for (int i = 0; i < 256; ++i)
                EXPECT_EQ(pic->InverseGammaTable[pic->GammaTable[size_t(i)]], [&] {
                    int last = i;
                    for (int k = i; k < 256; ++k)
                        if (pic->GammaTable[size_t(k)] == pic->GammaTable[size_t(i)]) last = k;
                    return last;
                }());
        }
    }
    auto zero = Load(MakePng(1, 1, 8, 0, row, Chunk("gAMA", std::string(4, '\0'))));
    for (int i = 0; i < 256; ++i) EXPECT_EQ(zero->GammaTable[size_t(i)], i);
}

TEST(PngText, TextTimeAndPhysicalSizeChunks) {
    std::string row = GreyRow8(1, 0);
    std::string z = std::string("Comment\0\0", 9) + Zlib("hello there");
    std::string z1 = std::string("Comment\0\x01", 9) + "xx";
    std::string t = std::string("Title\0Abc", 9);
    std::string noZero = "JustAKeyword";
    std::string time = std::string("\x07\xE8\x02\x1D\x17\x3B\x3A", 7);
    std::string phys = std::string("\x00\x00\x0B\x13\x00\x00\x0B\x13\x01", 9);
    auto pic = Load(MakePng(1, 1, 8, 0, row,
                            Chunk("zTXt", z) + Chunk("zTXt", z1) + Chunk("tEXt", t) +
                                Chunk("tEXt", noZero) + Chunk("tIME", time) +
                                Chunk("tIME", time + "x") + Chunk("pHYs", phys)));
    std::vector<TChunktEXt*> texts;
    std::vector<TChunktIME*> times;
    for (uint32_t i = 0; i < pic->Chunks().Count(); ++i) {
        if (auto c = dynamic_cast<TChunktEXt*>(pic->Chunks().Item(i))) texts.push_back(c);
        if (auto c = dynamic_cast<TChunktIME*>(pic->Chunks().Item(i))) times.push_back(c);
    }
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0]->Keyword, "Comment");
    EXPECT_EQ(texts[0]->Text, "hello there");
    EXPECT_EQ(texts[1]->Keyword, "Comment");
    EXPECT_EQ(texts[1]->Text, "");  // unknown method
    EXPECT_EQ(texts[2]->Keyword, "Title");
    EXPECT_EQ(texts[2]->Text, "Abc");
    EXPECT_EQ(texts[3]->Keyword, "JustAKeyword");
    EXPECT_EQ(texts[3]->Text, "");
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(times[0]->Year, 2024);
    EXPECT_EQ(times[0]->Month, 2);
    EXPECT_EQ(times[0]->Second, 58);
    EXPECT_EQ(times[1]->Year, 0);  // 8 bytes: raw data only
    auto p = pic->Chunks().FindChunk<TChunkpHYs>();
    EXPECT_EQ(p->PixelsPerUnitX, 2835u);
    EXPECT_EQ(p->UnitSpecifier, 1);

    // An empty compressed text is written as one blank.
    TChunkzTXt empty(pic.get());
    empty.Keyword = "K";
    MemoryStream out;
    ASSERT_TRUE(empty.SaveToStream(out));
    MemoryStream back(out.Bytes().substr(8));
    TChunkzTXt read(pic.get());
    read.LoadFromStream(back, "zTXt", uint32_t(out.Bytes().size() - 12));
    EXPECT_EQ(read.Text, " ");
}

TEST(PngText, CompressedTextThatInflatesWithoutEndIsDropped) {
    std::string zeros(64 << 20, '\0');
    std::string z = std::string("Bomb\0\0", 6) + Zlib(zeros, 9);
    auto pic = Load(MakePng(1, 1, 8, 0, GreyRow8(1, 0), Chunk("zTXt", z)));
    EXPECT_EQ(pic->Chunks().FindChunk<TChunkzTXt>()->Text, "");
}

}  // namespace
}  // namespace qv

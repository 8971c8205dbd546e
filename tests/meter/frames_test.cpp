// Frames, time tags, meter records and the messages a reading thread posts.
#include "meter/frames.h"

#include <gtest/gtest.h>

#include "harness.h"
#include "meter/device.h"
#include "meter/meter_messages.h"
#include "meter/time_tags.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::hex;

// Frames the simulator takes and gives in every session are not repeated here:
// only what it never shows (addresses past 16 bits, tags of another length,
// broken frames).
TEST(Frames, AddressesTagsAndBrokenFrames) {
    EXPECT_EQ(FixedFrame(0x7B, 0x12345), hex("10 7B 45 23 E3 16"));
    const std::string tag = DayTimeTag(2026y / March / 4, 0, 0);
    const std::string h = HourlyClosureRequest(0x10203, 0x40506, tag, tag);
    EXPECT_EQ(h.substr(5, 2) + h.substr(10, 2), hex("03 02 06 05"));
    EXPECT_TRUE(CheckFrame(h.substr(1)));
    // Tags of another length are cut or filled to five bytes.
    const std::string r = DailyClosureRequest(1, 1, "AB", "0123456789");
    ASSERT_EQ(r.size(), 27u);
    EXPECT_EQ(r.substr(15, 10), "AB   01234");
    EXPECT_TRUE(CheckFrame(r.substr(1)));

    // A variable frame's checksum (fixed ones and broken headers: below).
    std::string bad = EndSessionFrameFcb(1, 1).substr(1);
    bad[8] ^= 1;
    EXPECT_FALSE(CheckFrame(bad));
}

// The session-opening frame's password and checksum masked, sent (with its
// start byte) or stored (without it), the checksum found by the frame's length
// also behind a longer echo; every other byte, and every other frame, as it is.
TEST(TraceDump, MasksThePasswordAndTheChecksumOfTheOpeningFrameOnly) {
    const std::string open = OpenSessionFrame(5, 50, 0x3ADE68B1);
    std::string longer = RequestHead(0x08, 5, kTypeOpenSession, 1, 50, 0) + hex("B1 68 DE 3A 0F");
    longer = VariableFrame(longer).substr(1);
    const std::string end = EndSessionFrame(5, 50);
    const struct {
        std::string frame;
        bool stored;
        std::string dump;
    } rows[] = {
        {open, false, "68 0D 0D 68 53 05 00 B7 01 06 32 00 00 ** ** ** ** ** 16 "},
        {open.substr(1), true, "0D 0D 68 53 05 00 B7 01 06 32 00 00 ** ** ** ** ** 16 "},
        {longer, true, "0E 0E 68 08 05 00 B7 01 06 32 00 00 ** ** ** ** 0F ** 16 "},
        {end, false, HexDump(end)},
        {end.substr(1), true, HexDump(end.substr(1))},
        {FixedFrame(0x49, 1), false, "10 49 01 00 4A 16 "},
    };
    for (const auto& row : rows) EXPECT_EQ(TraceDump(row.frame, row.stored), row.dump);
}

// One extraction from a receive buffer: the frame found (without its start
// byte) and how many bytes stay behind. Noise and frames in pieces: the
// simulator's noisy line; arbitrary bytes (nothing false taken, short buffers
// wait): the fuzz target.
TEST(ExtractFrame, FindsFramesAndDropsBrokenOnes) {
    const std::string end = EndSessionFrame(1, 1);
    const struct {
        const char* name;
        std::string rx, frame;
        int left;                // bytes left behind
        std::string later = {};  // found by further calls
    } rows[] = {
        {"two frames: the later one", FixedFrame(0x00, 1) + end, end.substr(1), 0},
        {"bad checksum costs one byte", hex("10 49 01 00 4B 16") + FixedFrame(0x0B, 1), "", 11,
         FixedFrame(0x0B, 1).substr(1)},
        {"lengths differ", hex("68 0D 0C 68") + std::string(15, '\0'), "", 18},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string rx = row.rx, last;
        EXPECT_EQ(ExtractFrame(rx, last), !row.frame.empty());
        EXPECT_EQ(last, row.frame);
        EXPECT_EQ(int(rx.size()), row.left);
        // Repeated calls find the good frame behind, never a false one.
        for (int i = 0; i < 20 && last.empty(); ++i) ExtractFrame(rx, last);
        EXPECT_EQ(last, row.frame.empty() ? row.later : row.frame);
    }
}

// Tags of real dates: the simulator's closures. The weekday is ignored, every
// field is masked, the whole year byte is kept.
TEST(TimeTags, EncodeAndDecode) {
    EXPECT_EQ(EncodeTimeTag(8, 3, 2026, 0, 45, false), hex("2D 00 E8 03 1A"));  // Sunday = 7
    EXPECT_EQ(EncodeTimeTag(1, 1, 2256, 0, 0, false)[4], '\0');  // low eight bits only
    const TimeTag d = DecodeTimeTag(hex("00 17 05 03 1A"));
    EXPECT_EQ(std::tuple(d.Day, d.Month, d.Year, d.Hour, d.Minute, d.Summer),
              std::tuple(5, 3, 26, 23, 0, false));
    int day, month, year, hour, minute;
    bool summer;
    EXPECT_TRUE(
        DecodeTimeTag(0xFF, 0xFF, 0xFF, 0xFF, 0x9C, day, month, year, hour, minute, summer));
    EXPECT_EQ(std::tuple(day, month, year, hour, minute, summer),
              std::tuple(31, 15, 156, 31, 63, true));
}

TEST(TextToInt, DecimalBothHexFormsAndBadText) {
    const std::pair<const char*, int32_t> rows[] = {
        {"$1F", 31},
        {"0X10", 16},
        {"$FFFFFFFF", -1},
        {"-2147483648", INT32_MIN},
        // Bad text gives its leading digits or zero.
        {"12a", 12},
        {"", 0},
        {"$", 0},
        {"99999999999", 999999999},  // stops before overflowing
    };
    for (auto [text, want] : rows) EXPECT_EQ(TextToInt(text), want) << '"' << text << '"';
}

TEST(Tdevice, DateLabelsKeepTheirWidth) {
    TSlotLabel l;
    l.setDate("05/03/26 and far too long");
    EXPECT_EQ(l.Date, "05/03/26 a");
}

// Messages are read back by the reading-run tests (and posting to a gone
// window by the message tests); rows past 255 and an empty status they never
// reach.
TEST(MeterMessages, GridRowsPast255AndEmptyStatus) {
    test::Inbox in;
    PostGridStatus(in.target(), 300, "(6) LECTURA CORRECTA");
    PostGridStatus(in.target(), 2, "");  // nothing
    in.pump();
    EXPECT_EQ(in.stream, std::vector<std::string>{"GRID 300 (6) LECTURA CORRECTA"});
}

}  // namespace
}  // namespace qv

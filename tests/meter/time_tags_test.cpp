#include "meter/time_tags.h"

#include <gtest/gtest.h>

#include "bytes.h"
#include "meter/frames.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::hex;

TEST(TimeTags, EncodeAndDecode) {
    EXPECT_EQ(EncodeTimeTag(5, 3, 2026, 23, 0, false), hex("00 17 85 03 1A"));
    EXPECT_EQ(EncodeTimeTag(5, 3, 2026, 23, 0, true), hex("00 97 85 03 1A"));
    EXPECT_EQ(EncodeTimeTag(8, 3, 2026, 0, 45, false), hex("2D 00 E8 03 1A"));  // Sunday = 7
    EXPECT_EQ(EncodeTimeTag(1, 1, 2256, 0, 0, false)[4], '\0');  // low eight bits only
    EXPECT_EQ(DayTimeTag(Day(2026y / March / 5), 23, 0), hex("00 17 85 03 1A"));

    // The weekday is ignored; the whole year byte is kept.
    for (const char* t : {"00 17 05 03 1A", "00 17 85 03 1A"}) {
        const TimeTag d = DecodeTimeTag(hex(t));
        EXPECT_EQ(std::tuple(d.Day, d.Month, d.Year, d.Hour, d.Minute, d.Summer),
                  std::tuple(5, 3, 26, 23, 0, false));
    }
    int day, month, year, hour, minute;
    bool summer;
    EXPECT_TRUE(
        DecodeTimeTag(0xFF, 0xFF, 0xFF, 0xFF, 0x9C, day, month, year, hour, minute, summer));
    EXPECT_EQ(std::tuple(day, month, year, hour, minute, summer),
              std::tuple(31, 15, 156, 31, 63, true));
}

TEST(ClosureRequests, BytesOnTheWire) {
    const Day d = 2026y / March / 4;
    EXPECT_EQ(DailyClosureRequest(1, 1, DayTimeTag(d, 23, 0), DayTimeTag(d + days(1), 0, 0)),
              hex("68 15 15 68 53 01 00 7A 01 06 01 00 15 01 06 00 17 64 03 1A 00 00 85 03 1A "
                  "2C 16"));
    // Profiles differ in type and record; addresses keep their low 16 bits.
    const std::string a = DayTimeTag(d, 0, 0), b = DayTimeTag(d, 23, 59);
    const std::string h = HourlyClosureRequest(0x10203, 0x40506, a, b);
    const std::string q = QuarterHourClosureRequest(0x10203, 0x40506, a, b);
    EXPECT_EQ(h.substr(5, 2) + h.substr(10, 2), hex("03 02 06 05"));
    EXPECT_EQ(int(uint8_t(h[7])) * 1000 + h[12], 123011);
    EXPECT_EQ(q.substr(0, 12) + q.substr(13, 12), h.substr(0, 12) + h.substr(13, 12));
    EXPECT_EQ(q[12], 12);
    EXPECT_TRUE(CheckFrame(h.substr(1)) && CheckFrame(q.substr(1)));
    // Tags of another length are cut or filled to five bytes.
    const std::string r = DailyClosureRequest(1, 1, "AB", "0123456789");
    ASSERT_EQ(r.size(), 27u);
    EXPECT_EQ(r.substr(15, 10), "AB   01234");
    EXPECT_TRUE(CheckFrame(r.substr(1)));
}

}  // namespace
}  // namespace qv

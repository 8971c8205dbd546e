#include "meter/time_tags.h"

#include <gtest/gtest.h>

#include "bytes.h"
#include "meter/frames.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::hex;

TEST(TimeTags, EncodesTheFifthOfMarch2026) {
    EXPECT_EQ(EncodeTimeTag(5, 3, 2026, 23, 0, false), hex("00 17 85 03 1A"));
    EXPECT_EQ(EncodeTimeTag(5, 3, 2026, 23, 0, true), hex("00 97 85 03 1A"));
    EXPECT_EQ(EncodeTimeTag(8, 3, 2026, 0, 45, false), hex("2D 00 E8 03 1A"));  // Sunday = 7
    EXPECT_EQ(EncodeTimeTag(1, 1, 2256, 0, 0, false)[4], '\0');  // low eight bits only
    EXPECT_EQ(DayTimeTag(Day(2026y / March / 5), 23, 0), hex("00 17 85 03 1A"));
}

TEST(TimeTags, DecodingIgnoresTheWeekdayAndKeepsTheWholeYearByte) {
    for (const char* t : {"00 17 05 03 1A", "00 17 85 03 1A"}) {
        const TimeTag d = DecodeTimeTag(hex(t));
        EXPECT_EQ(d.Day, 5);
        EXPECT_EQ(d.Month, 3);
        EXPECT_EQ(d.Year, 26);
        EXPECT_EQ(d.Hour, 23);
        EXPECT_EQ(d.Minute, 0);
        EXPECT_FALSE(d.Summer);
    }
    int day, month, year, hour, minute;
    bool summer;
    EXPECT_TRUE(
        DecodeTimeTag(0xFF, 0xFF, 0xFF, 0xFF, 0x9C, day, month, year, hour, minute, summer));
    EXPECT_EQ(minute, 63);
    EXPECT_EQ(hour, 31);
    EXPECT_TRUE(summer);
    EXPECT_EQ(day, 31);
    EXPECT_EQ(month, 15);
    EXPECT_EQ(year, 156);
}

TEST(ClosureRequests, DailyRequestMatchesTheWire) {
    const Day d = 2026y / March / 4;
    EXPECT_EQ(DailyClosureRequest(1, 1, DayTimeTag(d, 23, 0), DayTimeTag(d + days(1), 0, 0)),
              hex("68 15 15 68 53 01 00 7A 01 06 01 00 15 01 06 00 17 64 03 1A 00 00 85 03 1A "
                  "2C 16"));
}

TEST(ClosureRequests, ProfilesDifferOnlyInTypeAndRecord) {
    const std::string a = DayTimeTag(Day(2026y / March / 5), 0, 0);
    const std::string b = DayTimeTag(Day(2026y / March / 5), 23, 59);
    const std::string h = HourlyClosureRequest(0x10203, 0x40506, a, b);
    const std::string q = QuarterHourClosureRequest(0x10203, 0x40506, a, b);
    ASSERT_EQ(h.size(), 27u);
    ASSERT_EQ(q.size(), 27u);
    EXPECT_EQ(h.substr(5, 2), hex("03 02"));  // low 16 bits of the link address
    EXPECT_EQ(h.substr(10, 2), hex("06 05"));
    EXPECT_EQ(static_cast<uint8_t>(h[7]), 123);
    EXPECT_EQ(static_cast<uint8_t>(h[12]), 11);
    EXPECT_EQ(static_cast<uint8_t>(q[12]), 12);
    EXPECT_TRUE(CheckFrame(h.substr(1)));
    EXPECT_TRUE(CheckFrame(q.substr(1)));
}

TEST(ClosureRequests, TagsAreCutOrFilledToFiveBytes) {
    const std::string r = DailyClosureRequest(1, 1, "AB", "0123456789");
    ASSERT_EQ(r.size(), 27u);
    EXPECT_EQ(r.substr(15, 5), "AB   ");
    EXPECT_EQ(r.substr(20, 5), "01234");
    EXPECT_TRUE(CheckFrame(r.substr(1)));
}

}  // namespace
}  // namespace qv

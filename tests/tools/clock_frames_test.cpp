// Calendar, counters and the simulator's own frame codec.

#include <gtest/gtest.h>

#include "iec_link.h"
#include "meter_sim.h"
#include "sim_test_line.h"

namespace qv::sim {
namespace {

using test::bytes;
using test::hexOf;

SimTime at(int y, int mo, int d, int h = 0, int mi = 0, bool summer = false) {
    return SimTime{y, mo, d, h, mi, summer};
}

TEST(SimCalendar, ChangeDaysAreTheLastSundaysOfMarchAndOctober) {
    EXPECT_TRUE(isSummerTimeChangeDay(2026, 3, 29));
    EXPECT_TRUE(isSummerTimeChangeDay(2026, 10, 25));
    EXPECT_TRUE(isSummerTimeChangeDay(2027, 3, 28));
    EXPECT_TRUE(isSummerTimeChangeDay(2027, 10, 31));  // the 31st itself is the last Sunday
    EXPECT_TRUE(isSummerTimeChangeDay(2024, 3, 31));
    EXPECT_FALSE(isSummerTimeChangeDay(2026, 3, 22));  // a Sunday, but not the last
    EXPECT_FALSE(isSummerTimeChangeDay(2026, 10, 18));
    EXPECT_FALSE(isSummerTimeChangeDay(2026, 4, 26));  // last Sunday of another month
    EXPECT_EQ(dayLengthHours(2026, 3, 29), 23);
    EXPECT_EQ(dayLengthHours(2026, 10, 25), 25);
    EXPECT_EQ(dayLengthHours(2026, 10, 24), 24);
}

TEST(SimCalendar, SeasonFollowsTheEuropeanRule) {
    EXPECT_FALSE(isSummerTime(at(2026, 3, 29, 1, 59)));
    EXPECT_TRUE(isSummerTime(at(2026, 3, 29, 3, 0)));
    EXPECT_TRUE(isSummerTime(at(2026, 7, 1, 12, 0)));
    EXPECT_TRUE(isSummerTime(at(2026, 10, 25, 1, 0)));
    // The repeated hour is read as the flag says.
    EXPECT_TRUE(isSummerTime(at(2026, 10, 25, 2, 30, true)));
    EXPECT_FALSE(isSummerTime(at(2026, 10, 25, 2, 30, false)));
    EXPECT_FALSE(isSummerTime(at(2026, 10, 25, 3, 0, true)));  // flag ignored where unambiguous
    EXPECT_FALSE(isSummerTime(at(2026, 12, 24, 20, 0)));
}

TEST(SimCalendar, HourlyRecordsOfNormalAndChangeDays) {
    auto normal = recordTimes(at(2026, 3, 4), at(2026, 3, 4, 23), 60);
    ASSERT_EQ(normal.size(), 24u);
    EXPECT_EQ(normal.front().hour, 0);
    EXPECT_EQ(normal.back().hour, 23);

    auto spring = recordTimes(at(2026, 3, 29), at(2026, 3, 29, 23), 60);
    ASSERT_EQ(spring.size(), 23u);
    EXPECT_EQ(spring[1].hour, 1);
    EXPECT_FALSE(spring[1].summer);
    EXPECT_EQ(spring[2].hour, 3);  // 02:00 does not exist
    EXPECT_TRUE(spring[2].summer);

    auto autumn = recordTimes(at(2026, 10, 25), at(2026, 10, 25, 23), 60);
    ASSERT_EQ(autumn.size(), 25u);
    EXPECT_TRUE(autumn[0].summer);
    EXPECT_EQ(autumn[2].hour, 2);
    EXPECT_TRUE(autumn[2].summer);
    EXPECT_EQ(autumn[3].hour, 2);
    EXPECT_FALSE(autumn[3].summer);
    EXPECT_EQ(autumn[24].hour, 23);
    EXPECT_FALSE(autumn[24].summer);
}

TEST(SimCalendar, QuarterHourAndDailyRecords) {
    auto q = recordTimes(at(2026, 3, 4), at(2026, 3, 4, 23, 59), 15);
    ASSERT_EQ(q.size(), 96u);
    EXPECT_EQ(q[1].minute, 15);
    EXPECT_EQ(q.back().hour, 23);
    EXPECT_EQ(q.back().minute, 45);
    EXPECT_EQ(recordTimes(at(2026, 3, 29), at(2026, 3, 29, 23, 59), 15).size(), 92u);
    EXPECT_EQ(recordTimes(at(2026, 10, 25), at(2026, 10, 25, 23, 59), 15).size(), 100u);

    auto daily = recordTimes(at(2026, 3, 4, 23), at(2026, 3, 5), 1440);
    ASSERT_EQ(daily.size(), 1u);
    EXPECT_EQ(daily[0].day, 5);
    EXPECT_EQ(daily[0].hour, 0);
    // Across the year end and a leap day.
    auto days = recordTimes(at(2027, 12, 31), at(2028, 3, 1), 1440);
    ASSERT_EQ(days.size(), 62u);
    EXPECT_EQ(days[60].month, 2);
    EXPECT_EQ(days[60].day, 29);
    EXPECT_TRUE(recordTimes(at(2026, 3, 5), at(2026, 3, 4), 60).empty());
}

TEST(SimCounters, MonotonicAcrossChangeDaysAndProfilesAddUp) {
    for (int reg = 1; reg <= 6; ++reg) {
        auto times = recordTimes(at(2026, 10, 24), at(2026, 10, 26, 23, 59), 15);
        uint32_t previous = 0;
        for (size_t i = 0; i < times.size(); ++i) {
            uint32_t v = counterValue(7, 1, reg, times[i]);
            if (i > 0) {
                ASSERT_GT(v, previous) << "register " << reg << " at record " << i;
                EXPECT_EQ(profileValue(7, 1, reg, times[i], 15), v - previous);
            }
            previous = v;
        }
        // An hour's energy is the sum of its four quarters, the repeated hour included.
        auto hours = recordTimes(at(2026, 10, 25), at(2026, 10, 25, 23), 60);
        auto quarters = recordTimes(at(2026, 10, 25), at(2026, 10, 25, 23, 59), 15);
        for (size_t k = 1; k < hours.size(); ++k) {
            ASSERT_EQ(quarters[4 * k].hour, hours[k].hour);
            ASSERT_EQ(quarters[4 * k].summer, hours[k].summer);
            uint32_t sum = 0;
            for (size_t j = 4 * k - 3; j <= 4 * k; ++j)
                sum += profileValue(7, 1, reg, quarters[j], 15);
            EXPECT_EQ(sum, profileValue(7, 1, reg, hours[k], 60)) << "hour record " << k;
        }
    }
}

TEST(SimCounters, DependOnSeedLinkAddressAndRegister) {
    SimTime t = at(2026, 5, 1);
    EXPECT_NE(counterValue(1, 1, 1, t), counterValue(2, 1, 1, t));
    EXPECT_NE(counterValue(1, 1, 1, t), counterValue(1, 2, 1, t));
    EXPECT_NE(counterValue(1, 1, 1, t), counterValue(1, 1, 2, t));
    // The repeated hour's two readings are different instants.
    EXPECT_LT(counterValue(1, 1, 1, at(2026, 10, 25, 2, 0, true)),
              counterValue(1, 1, 1, at(2026, 10, 25, 2, 0, false)));
}

TEST(SimFrames, FixedAndVariableFramesAndTimeTags) {
    EXPECT_EQ(hexOf(iec::fixedFrame(0x49, 1)), "10 49 01 00 4A 16");
    EXPECT_EQ(hexOf(iec::fixedFrame(0x0B, 300)), "10 0B 2C 01 38 16");
    EXPECT_EQ(hexOf(iec::variableFrame(0x53, 1, bytes("BB 00 06 01 00 00"))),
              "68 09 09 68 53 01 00 BB 00 06 01 00 00 16 16");
    EXPECT_EQ(hexOf(iec::encodeTimeTag(at(2026, 3, 5, 23, 0))), "00 17 85 03 1A");
    EXPECT_EQ(hexOf(iec::encodeTimeTag(at(2026, 3, 5, 23, 0, true))), "00 97 85 03 1A");
    EXPECT_EQ(hexOf(iec::encodeTimeTag(at(2026, 10, 25, 0, 0, false))), "00 00 F9 0A 1A");
    auto t = iec::decodeTimeTag(bytes("2D 97 05 03 1A"));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->minute, 45);
    EXPECT_EQ(t->hour, 23);
    EXPECT_TRUE(t->summer);
    EXPECT_EQ(t->day, 5);
    EXPECT_EQ(t->month, 3);
    EXPECT_EQ(t->year, 2026);
}

TEST(SimFrames, ExtractorResynchronisesAfterNoiseAndBadFrames) {
    iec::FrameExtractor x;
    // Noise, a fixed frame with a bad checksum, a good one, then a variable frame in pieces.
    x.append(bytes("FF 00 10 49 01 00 4B 16 10 49 01 00 4A 16 68 09 09 68 53 01 00 BB"));
    auto f = x.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(hexOf(f->raw), "10 49 01 00 4A 16");
    EXPECT_FALSE(x.next());
    x.append(bytes("00 06 01 00 00 16"));
    EXPECT_FALSE(x.next());  // one byte short
    x.append(bytes("16"));
    f = x.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->address(), 1);
    EXPECT_EQ(hexOf(std::string(f->asdu())), "BB 00 06 01 00 00");
    // Length bytes that differ cost the first byte only.
    x.append(bytes("68 09 08 68 10 7B 01 00 7C 16"));
    f = x.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->control(), 0x7B);
    EXPECT_EQ(x.pending(), 0u);
}

}  // namespace
}  // namespace qv::sim

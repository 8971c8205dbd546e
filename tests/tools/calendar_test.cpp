// Calendar and deterministic counters of the simulated meters.

#include <gtest/gtest.h>

#include "meter_sim.h"

namespace qv::sim {
namespace {

SimTime at(int y, int mo, int d, int h = 0, int mi = 0, bool summer = false) {
    return SimTime{y, mo, d, h, mi, summer};
}

TEST(SimCalendar, ChangeDaysAndSeasons) {
    // Year, month, day, length: the last Sundays of March and October, the 31st
    // itself in October 2027 and March 2024; a Sunday that is not the last, the
    // last Sunday of another month, an ordinary day.
    const int days[][4] = {{2026, 3, 29, 23}, {2026, 10, 25, 25}, {2027, 10, 31, 25},
                           {2024, 3, 31, 23}, {2026, 3, 22, 24},  {2026, 4, 26, 24},
                           {2026, 10, 24, 24}};
    for (const auto& [y, m, d, hours] : days) {
        EXPECT_EQ(isSummerTimeChangeDay(y, m, d), hours != 24) << y << "-" << m << "-" << d;
        EXPECT_EQ(dayLengthHours(y, m, d), hours) << y << "-" << m << "-" << d;
    }
    // The repeated hour is read as the flag says; elsewhere the flag is ignored.
    const std::pair<SimTime, bool> times[] = {
        {at(2026, 3, 29, 1, 59), false},         {at(2026, 3, 29, 3, 0), true},
        {at(2026, 10, 25, 1, 0), true},          {at(2026, 10, 25, 2, 30, true), true},
        {at(2026, 10, 25, 2, 30, false), false}, {at(2026, 10, 25, 3, 0, true), false},
        {at(2026, 12, 24, 20, 0), false}};
    for (const auto& [t, summer] : times)
        EXPECT_EQ(isSummerTime(t), summer) << t.month << "/" << t.day << " " << t.hour;
}

// Hourly, quarter-hourly and daily records of ordinary and change days are counted
// and checked by the reading tests; what they never ask for is checked here.
TEST(SimCalendar, RecordTimesAcrossTheYearEndAndALeapDay) {
    auto days = recordTimes(at(2027, 12, 31), at(2028, 3, 1), 1440);
    ASSERT_EQ(days.size(), 62u);
    EXPECT_EQ(std::pair(days[1].month, days[1].day), std::pair(1, 1));
    EXPECT_EQ(std::pair(days[60].month, days[60].day), std::pair(2, 29));
    EXPECT_TRUE(recordTimes(at(2026, 3, 5), at(2026, 3, 4), 60).empty());
}

// Hourly profiles add up to the counters in the program's own runs, across both
// change days; here the quarter-hours across the autumn change.
TEST(SimCounters, MonotonicAcrossTheAutumnChangeAndQuartersAddUp) {
    auto times = recordTimes(at(2026, 10, 24), at(2026, 10, 26, 23, 59), 15);
    for (int reg = 1; reg <= 6; ++reg) {
        for (size_t i = 1; i < times.size(); ++i) {
            uint32_t v = counterValue(7, 1, reg, times[i]);
            uint32_t previous = counterValue(7, 1, reg, times[i - 1]);
            ASSERT_GT(v, previous) << "register " << reg << " at record " << i;
            EXPECT_EQ(profileValue(7, 1, reg, times[i], 15), v - previous);
        }
    }
    SimTime t = at(2026, 5, 1);
    EXPECT_NE(counterValue(1, 1, 1, t), counterValue(2, 1, 1, t));
    EXPECT_NE(counterValue(1, 1, 1, t), counterValue(1, 2, 1, t));
    EXPECT_NE(counterValue(1, 1, 1, t), counterValue(1, 1, 2, t));
}

}  // namespace
}  // namespace qv::sim

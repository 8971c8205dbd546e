// Calendar and deterministic counters of the simulated meters.

#include <gtest/gtest.h>

#include "meter_sim.h"

namespace qv::sim {
namespace {

// The 2026 change days, and the hours around them by their flags, are read in the
// program's runs, as are the records of ordinary and change days; here the boundaries
// those runs do not reach.
TEST(SimCalendar, ChangeDaysSeasonsAndRecordTimes) {
    // Year, month, day, length: the 31st itself the last Sunday (October 2027, March
    // 2024); a Sunday that is not the last, the last Sunday of another month, the
    // day before a change.
    const int changes[][4] = {{2027, 10, 31, 25},
                              {2024, 3, 31, 23},
                              {2026, 3, 22, 24},
                              {2026, 4, 26, 24},
                              {2026, 10, 24, 24}};
    for (const auto& [y, m, d, hours] : changes) {
        EXPECT_EQ(isSummerTimeChangeDay(y, m, d), hours != 24) << y << "-" << m << "-" << d;
        EXPECT_EQ(dayLengthHours(y, m, d), hours) << y << "-" << m << "-" << d;
    }
    // The last minute of winter; a summer flag outside the repeated hour is ignored.
    EXPECT_FALSE(isSummerTime(SimTime{2026, 3, 29, 1, 59}));
    EXPECT_FALSE(isSummerTime(SimTime{2026, 10, 25, 3, 0, true}));
    // Days across the year end and a leap day; an empty range.
    auto days = recordTimes(SimTime{2027, 12, 31}, SimTime{2028, 3, 1}, 1440);
    ASSERT_EQ(days.size(), 62u);
    EXPECT_EQ(std::pair(days[1].month, days[1].day), std::pair(1, 1));
    EXPECT_EQ(std::pair(days[60].month, days[60].day), std::pair(2, 29));
    EXPECT_TRUE(recordTimes(SimTime{2026, 3, 5}, SimTime{2026, 3, 4}, 60).empty());
}

// Hourly profiles add up to the counters in the program's own runs, across both
// change days; here the quarter-hours across the autumn change.
TEST(SimCounters, MonotonicAcrossTheAutumnChangeAndQuartersAddUp) {
    auto times = recordTimes(SimTime{2026, 10, 24}, SimTime{2026, 10, 26, 23, 59}, 15);
    for (int reg = 1; reg <= 6; ++reg) {
        for (size_t i = 1; i < times.size(); ++i) {
            uint32_t v = counterValue(7, 1, reg, times[i]);
            uint32_t previous = counterValue(7, 1, reg, times[i - 1]);
            ASSERT_GT(v, previous) << "register " << reg << " at record " << i;
            EXPECT_EQ(profileValue(7, 1, reg, times[i], 15), v - previous);
        }
    }
    SimTime t = SimTime{2026, 5, 1};
    EXPECT_NE(counterValue(1, 1, 1, t), counterValue(2, 1, 1, t));
    EXPECT_NE(counterValue(1, 1, 1, t), counterValue(1, 2, 1, t));
    EXPECT_NE(counterValue(1, 1, 1, t), counterValue(1, 1, 2, t));
}

}  // namespace
}  // namespace qv::sim

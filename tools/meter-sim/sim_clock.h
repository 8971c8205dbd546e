#pragma once
// Calendar arithmetic of the simulator: civil dates, the European summer-time rule,
// and the conversion between local wall-clock times and UTC minutes.

#include <cstdint>

#include "meter_sim.h"

namespace qv::sim::clock {

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int year, int month, int day);
void civilFromDays(int64_t days, int& year, int& month, int& day);

// 1 = Monday .. 7 = Sunday.
int weekday(int year, int month, int day);

int lastSundayOf(int year, int month);

// Minutes since 1970-01-01 00:00 UTC.
int64_t utcMinutesOf(const SimTime& local);
SimTime localOf(int64_t utcMinutes);

// Wall-clock minutes since 1970-01-01 00:00 as if it were UTC (ignores the season);
// used to compare local times against a request's range.
int64_t naiveMinutes(const SimTime& t);

bool isSummerUtc(int64_t utcMinutes);

bool validDate(int year, int month, int day);

}  // namespace qv::sim::clock

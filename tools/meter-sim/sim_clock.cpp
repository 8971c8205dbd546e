#include "sim_clock.h"

#include <algorithm>

namespace qv::sim::clock {

namespace {

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

constexpr int64_t kMinutesPerDay = 1440;

}  // namespace

int64_t daysFromCivil(int year, int month, int day) {
    // Shift the year so that it starts in March; leap days then fall at its end.
    int64_t y = year - (month <= 2 ? 1 : 0);
    int64_t era = floorDiv(y, 400);
    int64_t yoe = y - era * 400;
    int64_t mp = (month + 9) % 12;  // March = 0
    int64_t doy = (153 * mp + 2) / 5 + day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t days, int& year, int& month, int& day) {
    int64_t z = days + 719468;
    int64_t era = floorDiv(z, 146097);
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

int weekday(int year, int month, int day) {
    // 1970-01-01 was a Thursday (4).
    int64_t d = daysFromCivil(year, month, day);
    int64_t w = ((d % 7) + 7 + 3) % 7;  // 0 = Monday
    return static_cast<int>(w) + 1;
}

bool validDate(int year, int month, int day) {
    if (month < 1 || month > 12 || day < 1) return false;
    static const int len[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int n = len[month - 1];
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && leap) n = 29;
    return day <= n;
}

int lastSundayOf(int year, int month) {
    int last = 31;
    while (!validDate(year, month, last)) --last;
    int w = weekday(year, month, last);
    return last - (w % 7);  // w 7 (Sunday) -> 0
}

bool isSummerUtc(int64_t utcMinutes) {
    int64_t days = floorDiv(utcMinutes, kMinutesPerDay);
    int y, m, d;
    civilFromDays(days, y, m, d);
    // Summer time runs from 01:00 UTC on the last Sunday of March to 01:00 UTC on
    // the last Sunday of October.
    int64_t start = daysFromCivil(y, 3, lastSundayOf(y, 3)) * kMinutesPerDay + 60;
    int64_t end = daysFromCivil(y, 10, lastSundayOf(y, 10)) * kMinutesPerDay + 60;
    return utcMinutes >= start && utcMinutes < end;
}

int64_t naiveMinutes(const SimTime& t) {
    return daysFromCivil(t.year, t.month, t.day) * kMinutesPerDay + t.hour * 60 + t.minute;
}

int64_t utcMinutesOf(const SimTime& local) {
    int64_t naive = naiveMinutes(local);
    int64_t asWinter = naive - 60;
    int64_t asSummer = naive - 120;
    bool winterOk = !isSummerUtc(asWinter);
    bool summerOk = isSummerUtc(asSummer);
    if (winterOk && summerOk) return local.summer ? asSummer : asWinter;
    if (summerOk) return asSummer;
    // Winter time, or the hour that does not exist in March (read as winter time).
    return asWinter;
}

SimTime localOf(int64_t utcMinutes) {
    bool summer = isSummerUtc(utcMinutes);
    int64_t naive = utcMinutes + (summer ? 120 : 60);
    SimTime t;
    int64_t days = floorDiv(naive, kMinutesPerDay);
    int64_t rest = naive - days * kMinutesPerDay;
    civilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 60);
    t.minute = static_cast<int>(rest % 60);
    t.summer = summer;
    return t;
}

}  // namespace qv::sim::clock

namespace qv::sim {

using namespace clock;

namespace {

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

uint64_t hashOf(uint32_t seed, int linkAddress, int reg, uint64_t salt) {
    uint64_t h = mix(seed);
    h = mix(h ^ static_cast<uint32_t>(linkAddress));
    h = mix(h ^ static_cast<uint64_t>(reg));
    return mix(h ^ salt);
}

// Minutes of 2000-01-01 00:00 UTC: the counters start there.
constexpr int64_t kEpochMinutes = 10957LL * 1440;

// Counter at a UTC minute: base + rate per quarter hour + a jitter below the rate,
// which keeps every step strictly positive while making the increments uneven.
uint32_t counterAtUtc(uint32_t seed, int linkAddress, int reg, int64_t utcMinutes) {
    uint64_t base = hashOf(seed, linkAddress, reg, 1) % 100000000ULL;
    static const uint64_t maxRate[7] = {0, 400, 60, 150, 40, 40, 120};
    int r = std::clamp(reg, 1, 6);
    uint64_t rate = 1 + hashOf(seed, linkAddress, reg, 2) % maxRate[r];
    int64_t q = floorDiv(utcMinutes - kEpochMinutes, 15);
    if (q < 0) q = 0;
    uint64_t jitter = hashOf(seed, linkAddress, reg, 1000 + static_cast<uint64_t>(q)) % rate;
    return static_cast<uint32_t>(base + rate * static_cast<uint64_t>(q) + jitter);
}

}  // namespace

bool isSummerTimeChangeDay(int year, int month, int day) {
    if (month != 3 && month != 10) return false;
    return day == lastSundayOf(year, month);
}

int dayLengthHours(int year, int month, int day) {
    if (!isSummerTimeChangeDay(year, month, day)) return 24;
    return month == 3 ? 23 : 25;
}

bool isSummerTime(const SimTime& t) {
    return isSummerUtc(utcMinutesOf(t));
}

uint32_t counterValue(uint32_t seed, int linkAddress, int reg, const SimTime& t) {
    return counterAtUtc(seed, linkAddress, reg, utcMinutesOf(t));
}

uint32_t profileValue(uint32_t seed, int linkAddress, int reg, const SimTime& t,
                      int periodMinutes) {
    int64_t end = utcMinutesOf(t);
    return counterAtUtc(seed, linkAddress, reg, end) -
           counterAtUtc(seed, linkAddress, reg, end - periodMinutes);
}

std::vector<SimTime> recordTimes(const SimTime& from, const SimTime& to, int periodMinutes) {
    std::vector<SimTime> out;
    int64_t lo = naiveMinutes(from);
    int64_t hi = naiveMinutes(to);
    if (hi < lo) return out;
    // A request may name years long past; keep the answer bounded all the same.
    constexpr size_t kMaxRecords = 100000;
    if (periodMinutes >= 1440) {
        int64_t firstDay = floorDiv(lo, 1440);
        int64_t lastDay = floorDiv(hi, 1440);
        for (int64_t d = firstDay; d <= lastDay && out.size() < kMaxRecords; ++d) {
            int64_t midnight = d * 1440;
            if (midnight < lo || midnight > hi) continue;
            SimTime t;
            civilFromDays(d, t.year, t.month, t.day);
            t.summer = isSummerTime(t);
            out.push_back(t);
        }
        return out;
    }
    if (periodMinutes <= 0) return out;
    // Walk the UTC instants that can carry a wall-clock time inside the range, in order.
    int64_t start = floorDiv(lo - 120, periodMinutes) * periodMinutes;
    int64_t stop = hi - 60;
    for (int64_t u = start; u <= stop && out.size() < kMaxRecords; u += periodMinutes) {
        SimTime t = localOf(u);
        int64_t n = naiveMinutes(t);
        if (n >= lo && n <= hi) out.push_back(t);
    }
    return out;
}

}  // namespace qv::sim

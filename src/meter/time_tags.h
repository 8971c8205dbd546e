#pragma once
// The 5-byte time tag of IEC 60870-5-102 and the three closure requests that
// ask a meter for closures between two tags.

#include <chrono>
#include <cstdint>
#include <string>

namespace qv {

// Whole days: the reading run's dates.
using Day = std::chrono::sys_days;

struct TimeTag {
    int Day = 0;
    int Month = 0;
    int Year = 0;  // two-digit year as received (the whole year byte)
    int Hour = 0;
    int Minute = 0;
    bool Summer = false;
};

// Year is the full year (2026); the day of the week comes from the date.
std::string EncodeTimeTag(int day, int month, int year, int hour, int minute, bool summer);
// Fills the outputs from five received bytes in wire order; never fails.
bool DecodeTimeTag(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, int& day, int& month,
                   int& year, int& hour, int& minute, bool& summer);
TimeTag DecodeTimeTag(const std::string& fiveBytes);

// Tag of a day at a given time, summer flag off.
std::string DayTimeTag(Day d, int hour, int minute);

// 27-byte request frames; tags are cut or filled with blanks to five bytes.
std::string DailyClosureRequest(int32_t linkAddress, int32_t measurePoint,
                                const std::string& startTag, const std::string& endTag);
std::string HourlyClosureRequest(int32_t linkAddress, int32_t measurePoint,
                                 const std::string& startTag, const std::string& endTag);
std::string QuarterHourClosureRequest(int32_t linkAddress, int32_t measurePoint,
                                      const std::string& startTag, const std::string& endTag);

constexpr uint8_t kTypeDailyClosures = 122;
constexpr uint8_t kTypeLoadProfile = 123;
constexpr uint8_t kRecordDaily = 21;
constexpr uint8_t kRecordHourly = 11;
constexpr uint8_t kRecordQuarterHour = 12;

// "dd/mm/yy" of a day.
std::string FormatDdMmYy(Day d);
// First day of the day's month.
Day FirstOfMonth(Day d);

}  // namespace qv

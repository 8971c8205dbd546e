#include "meter/time_tags.h"

#include <cstdio>

#include "meter/frames.h"

namespace qv {

namespace {

std::string fiveBytes(std::string tag) {
    tag.resize(5, ' ');
    return tag;
}

std::string closureRequest(uint8_t type, uint8_t record, int32_t link, int32_t point,
                           const std::string& start, const std::string& end) {
    std::string u = RequestHead(kCtlUserData, link, type, 1, point, record);
    u += '\x01';  // object range 1..6: the six registers
    u += '\x06';
    u += fiveBytes(start);
    u += fiveBytes(end);
    return VariableFrame(u);
}

}  // namespace

std::string EncodeTimeTag(int day, int month, int year, int hour, int minute, bool summer) {
    using namespace std::chrono;
    const year_month_day ymd{std::chrono::year(year), std::chrono::month(unsigned(month)),
                             std::chrono::day(unsigned(day))};
    const unsigned dow = weekday(sys_days(ymd)).iso_encoding();  // 1 Monday .. 7 Sunday
    std::string t;
    t += static_cast<char>(minute & 0x3F);
    t += static_cast<char>((hour & 0x1F) | (summer ? 0x80 : 0));
    t += static_cast<char>((day & 0x1F) | ((dow & 0x07) << 5));
    t += static_cast<char>(month & 0x0F);
    t += static_cast<char>((year - 2000) & 0xFF);
    return t;
}

bool DecodeTimeTag(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, int& day, int& month,
                   int& year, int& hour, int& minute, bool& summer) {
    minute = b1 & 0x3F;
    hour = b2 & 0x1F;
    summer = (b2 & 0x80) != 0;
    day = b3 & 0x1F;
    month = b4 & 0x0F;
    year = b5;
    return true;
}

TimeTag DecodeTimeTag(const std::string& s) {
    TimeTag t;
    auto b = [&s](std::size_t i) { return i < s.size() ? static_cast<uint8_t>(s[i]) : 0; };
    DecodeTimeTag(b(0), b(1), b(2), b(3), b(4), t.Day, t.Month, t.Year, t.Hour, t.Minute, t.Summer);
    return t;
}

std::string DayTimeTag(Day d, int hour, int minute) {
    const std::chrono::year_month_day ymd{d};
    return EncodeTimeTag(int(unsigned(ymd.day())), int(unsigned(ymd.month())), int(ymd.year()),
                         hour, minute, false);
}

std::string DailyClosureRequest(int32_t link, int32_t point, const std::string& start,
                                const std::string& end) {
    return closureRequest(kTypeDailyClosures, kRecordDaily, link, point, start, end);
}

std::string HourlyClosureRequest(int32_t link, int32_t point, const std::string& start,
                                 const std::string& end) {
    return closureRequest(kTypeLoadProfile, kRecordHourly, link, point, start, end);
}

std::string QuarterHourClosureRequest(int32_t link, int32_t point, const std::string& start,
                                      const std::string& end) {
    return closureRequest(kTypeLoadProfile, kRecordQuarterHour, link, point, start, end);
}

std::string FormatDdMmYy(Day d) {
    const std::chrono::year_month_day ymd{d};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02u/%02u/%02d", unsigned(ymd.day()), unsigned(ymd.month()),
                  ((int(ymd.year()) % 100) + 100) % 100);
    return buf;
}

Day FirstOfMonth(Day d) {
    const std::chrono::year_month_day ymd{d};
    return Day(ymd.year() / ymd.month() / std::chrono::day(1));
}

}  // namespace qv

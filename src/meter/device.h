#pragma once
// One meter of a reading run: its identity from the meter grid and the readings
// stored for it, day by day and slot by slot.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

constexpr int kRegisters = 6;  // IEC object addresses 1..6
constexpr int kHours = 25;     // room for the long day at the end of summer time
constexpr int kQuarters = 4;

// [register 1..6][hour 0..24][quarter 0..3] of 32-bit counters; a daily or
// monthly closure uses hour 0, quarter 0.
struct TDayValues {
    std::array<std::array<std::array<uint32_t, kQuarters>, kHours>, kRegisters> v{};
    uint32_t& operator()(int reg, int hour, int quarter) { return v[reg - 1][hour][quarter]; }
    uint32_t operator()(int reg, int hour, int quarter) const { return v[reg - 1][hour][quarter]; }
};

// The same grid, one quality byte per value; bit $80 = no data.
struct TDayQuality {
    static constexpr uint8_t NoData = 0x80;
    std::array<std::array<std::array<uint8_t, kQuarters>, kHours>, kRegisters> q{};
    uint8_t& operator()(int reg, int hour, int quarter) { return q[reg - 1][hour][quarter]; }
    uint8_t operator()(int reg, int hour, int quarter) const { return q[reg - 1][hour][quarter]; }
};

// Label of one slot, shared by the six registers. Date "dd/mm/yy", time
// "hh:nn", each at most 10 characters as in the stored record.
struct TSlotLabel {
    static constexpr std::size_t MaxText = 10;
    std::string Date;
    std::string Time;
    uint8_t Summer = 0;

    void setDate(std::string_view s) { Date = std::string(s.substr(0, MaxText)); }
    void setTime(std::string_view s) { Time = std::string(s.substr(0, MaxText)); }
};

struct TDayLabels {
    std::array<std::array<TSlotLabel, kQuarters>, kHours> l{};
    TSlotLabel& operator()(int hour, int quarter) { return l[hour][quarter]; }
    const TSlotLabel& operator()(int hour, int quarter) const { return l[hour][quarter]; }
};

// Interval of the stored readings (the index of the interval box).
enum IntervalKind : int32_t {
    IntervalQuarterHour = 0,
    IntervalHourly = 1,
    IntervalDaily = 2,
    IntervalMonthly = 3,
};

class Tdevice {
  public:
    // Texts from the grid row; numbers as the grid holds them (decimal, "$" or
    // "0x" hexadecimal; a bad text gives its leading digits, none gives 0). A
    // password from 2^31 to 2^32 - 1 keeps its four bytes.
    Tdevice(std::string_view linkText, std::string_view pointText, std::string_view passwordText,
            std::string opcCode);

    int32_t LinkAddress = 0;
    int32_t MeasurePoint = 0;
    int32_t Password = 0;
    std::string OpcCode;
    int32_t IntervalType = 0;
    // Set by the reading thread as it posts the record: the reading ended
    // "(6) LECTURA CORRECTA". A record not known to be complete never replaces
    // an earlier file of its name.
    bool Complete = false;
    std::vector<TDayValues> Values;
    std::vector<TDayQuality> Quality;
    std::vector<TDayLabels> Labels;

    // Appends one all-zero day element to the three arrays; returns its index.
    std::size_t AddDay();
    std::size_t DayCount() const { return Values.size(); }
};

// Integer of a grid text, never failing: decimal with an optional sign, or
// hexadecimal after "$" or "0x"; stops at the first wrong character (0 when
// nothing valid precedes it). Digits that would overflow 32 bits end the number.
int32_t TextToInt(std::string_view text);

// A link address and a measuring point travel as two bytes of every frame.
inline constexpr int32_t MaxFrameAddress = 65535;

// Why a meter's grid numbers cannot go on the wire as typed, "" when they can:
// a link address or measuring point outside 0..65535 (its two bytes of the
// frame), a password beyond 32 bits. Names the field, and its text but for the
// password's.
std::string FrameFieldFault(std::string_view linkText, std::string_view pointText,
                            std::string_view passwordText);

}  // namespace qv

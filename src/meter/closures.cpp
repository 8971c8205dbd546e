// The date walk of one meter and its closure readers.
//
// Choices of ours:
// - An hourly record with a tag hour from 1 to 24 that arrives while the slot
//   counter still stands at 0 (the 00:00 and 01:00 records missing, or the
//   first frame unreadable) goes to the slot of its tag hour, never to hour 0,
//   which holds the day's daily closure; later records follow one slot on.
// - A profile record that would land beyond hour 24 or on a slot already
//   written (the daily closure's, or an earlier record's when a meter repeats
//   its 00:15 record) is not stored, and the log says so in red, so that no
//   record is dropped or overwritten unseen. A meter that sends more than twice a day's records has
//   its profile failed rather than read for ever.
// - A profile counts as read only when the meter ended the transfer itself;
//   one cut short by a failed exchange keeps its records but fails the meter.
// - When a profile record came only after its request was sent again (or is
//   the one after it) and its time tag does not follow the previous record's,
//   the meter moved on past the lost reply: the records after it would sit
//   one slot early, so the profile stops there and fails.
// - A register missing from a profile frame is stored as "no data" (value 0,
//   quality $80) in that record's slot, as the daily closure does, rather than
//   repeating the previous record's value as a good reading.
#include <cstdio>

#include "meter/contador_ip.h"
#include "meter/frames.h"

namespace qv {

namespace {

using std::chrono::days;

// Stored-frame offsets (wire offset minus one).
constexpr std::size_t kObjects = 12;
constexpr std::size_t kObjectSize = 6;
constexpr std::size_t kDataFrameSize = 55;  // six objects and a time tag
constexpr std::size_t kConfirmSize = 26;

constexpr uint8_t kTypeDailyData = 8;
constexpr uint8_t kTypeProfileData = 11;
constexpr uint8_t kCauseTermination = 10;  // the meter's end of the transfer

std::string tagText(const TimeTag& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2d/%.2d/%.2d - %.2d:%.2d", t.Day, t.Month, t.Year, t.Hour,
                  t.Minute);
    return std::string(buf) + (t.Summer ? " (Verano)" : " (Invierno)");
}

void writeLabel(TSlotLabel& label, const TimeTag& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2d/%.2d/%.2d", t.Day, t.Month, t.Year);
    label.setDate(buf);
    std::snprintf(buf, sizeof buf, "%.2d:%.2d", t.Hour, t.Minute);
    label.setTime(buf);
    label.Summer = t.Summer ? 1 : 0;
}

bool isFixed(const std::string& f) {
    return f.size() == 5;
}

// The request's echo that confirms its activation.
bool isConfirmation(const std::string& f, uint8_t type) {
    return f.size() == kConfirmSize && FrameFunction(f) == kFnUserData && FrameByte(f, 6) == type &&
           (FrameByte(f, 8) & kCauseNegative) == 0;
}

uint32_t le32(const std::string& f, std::size_t pos) {
    return uint32_t(FrameByte(f, pos)) | uint32_t(FrameByte(f, pos + 1)) << 8 |
           uint32_t(FrameByte(f, pos + 2)) << 16 | uint32_t(FrameByte(f, pos + 3)) << 24;
}

// Minutes on one scale for every time tag, the summer hour taken back, so that
// consecutive records of a profile differ by exactly one period also across
// the changes of season; -1 for a tag that is no date.
int64_t tagMinutes(const TimeTag& t) {
    const std::chrono::year_month_day ymd{std::chrono::year(2000 + t.Year),
                                          std::chrono::month(unsigned(t.Month)),
                                          std::chrono::day(unsigned(t.Day))};
    if (!ymd.ok()) return -1;
    const int64_t day = std::chrono::sys_days(ymd).time_since_epoch().count();
    return day * 1440 + t.Hour * 60 + t.Minute - (t.Summer ? 60 : 0);
}

struct Registers {
    uint32_t value[kRegisters + 1] = {};
    uint8_t quality[kRegisters + 1] = {};
};

}  // namespace

bool TContador_IP::ReadMeter(int index) {
    bool ok = true;
    Day d = DateFrom - days(1);
    if (Interval == IntervalMonthly) d = MonthStart(d);
    try {
        do {
            if (!ReadDailyClosure(index, d - days(1))) {
                ok = false;
                break;
            }
            switch (Interval) {
                case IntervalQuarterHour:
                    ok = ReadQuarterHourClosures(index, d);
                    d += days(1);
                    break;
                case IntervalHourly:
                    ok = ReadHourlyClosures(index, d);
                    d += days(1);
                    break;
                case IntervalMonthly:
                    d = MonthStart(d + days(32));
                    break;
                default:
                    d += days(1);
                    break;
            }
        } while (d < DateTo && !Terminated && ok);
    } catch (...) {
    }
    try {
        // The closure at 00:00 of the day after the last day read.
        if (ok && !Terminated && Interval < IntervalMonthly)
            ok = ReadDailyClosure(index, d - days(1));
    } catch (...) {
    }
    try {
        if (Tdevice* dev = item(index).Device.get()) {
            dev->IntervalType = Interval;
            dev->Complete = ok;  // the same verdict as the status below
        }
    } catch (...) {
    }
    PostDataReady(index);
    PostGridStatus(index + 1, ok ? "(6) LECTURA CORRECTA" : "(5) ERROR DE LECTURA");
    return ok;
}

bool TContador_IP::ReadDailyClosure(int index, Day day) {
    bool result = false;
    try {
        Tdevice* dev = item(index).Device.get();
        if (!dev) return false;
        const int32_t link = dev->LinkAddress;
        const std::size_t n = dev->AddDay();
        for (int reg = 1; reg <= kRegisters; ++reg)
            dev->Quality[n](reg, 0, 0) = TDayQuality::NoData;
        dev->Labels[n](0, 0).Date.clear();

        PostLog(" - STEP #15 - INICIANDO CIERRE DIARIO", colour::Yellow);
        const std::string start = DayTimeTag(day, 23, 0);
        const std::string end = DayTimeTag(day + days(1), 0, 0);

        WaitMs(PauseMs(1000));
        if (!Transact(DailyClosureRequest(link, dev->MeasurePoint, start, end))) return false;
        if (!isFixed(LastFrame)) return false;
        if (FrameFunction(LastFrame) != kFnAck) {
            PostLog(" - CONF. NEGATIVA - DATOS NO DISPONIBLES", colour::Red);
            return false;
        }

        PostLog(" - STEP #16", colour::Yellow);
        WaitMs(PauseMs(1000));
        if (!Transact(FixedFrame(kCtlClass2Fcb1, link)) ||
            !isConfirmation(LastFrame, kTypeDailyClosures))
            return false;

        PostLog(" - STEP #17", colour::Yellow);
        WaitMs(PauseMs(1000));
        try {
            if (Transact(FixedFrame(kCtlClass2Fcb0, link)) && LastFrame.size() >= kDataFrameSize &&
                FrameByte(LastFrame, 6) == kTypeDailyData &&
                (FrameByte(LastFrame, 8) & kCauseNegative) == 0) {
                PostLog(" - STEP #18", colour::Yellow);
                const int declared = FrameByte(LastFrame, 7) & 0x7F;
                int c = declared;
                if (c > 0) {
                    std::size_t pos = kObjects;
                    int walked = 0;
                    do {
                        --c;
                        if (TraceFrames)
                            PostLog(" - PARSING  OBJECT : " + std::to_string(c), colour::Red);
                        const uint8_t reg = FrameByte(LastFrame, pos);
                        if (reg >= 1 && reg <= kRegisters) {
                            dev->Values[n](reg, 0, 0) = le32(LastFrame, pos + 1);
                            dev->Quality[n](reg, 0, 0) = 0;
                        }
                        pos += kObjectSize;
                        ++walked;
                    } while (c > 0 && walked < kRegisters);
                    // Real meters send further objects (marked invalid) after
                    // the six registers: the time tag follows the last object
                    // the frame declares, checksum and end byte after it.
                    const std::size_t tagPos = kObjects + kObjectSize * std::size_t(declared);
                    if (walked == kRegisters && LastFrame.size() >= tagPos + 5 + 2) {
                        const TimeTag t = DecodeTimeTag(LastFrame.substr(tagPos, 5));
                        PostLog(" - CIERRE DIARIO OK - " + tagText(t), colour::Green);
                        writeLabel(dev->Labels[n](0, 0), t);
                        result = true;
                    } else {
                        PostLog(" - ERROR PARSING CIERRE DIARIO " + FormatDdMmYy(day + days(1)),
                                colour::Red);
                    }
                }
            }
        } catch (...) {
        }
        if (Interval == IntervalDaily || Interval == IntervalMonthly)
            Transact(FixedFrame(kCtlClass2Fcb1, link));
    } catch (...) {
    }
    return result;
}

bool TContador_IP::ReadHourlyClosures(int index, Day day) {
    return readProfile(index, day, false);
}

bool TContador_IP::ReadQuarterHourClosures(int index, Day day) {
    return readProfile(index, day, true);
}

bool TContador_IP::readProfile(int index, Day day, bool quarter) {
    try {
        Tdevice* dev = item(index).Device.get();
        if (!dev || dev->DayCount() == 0) return false;
        const std::size_t n = dev->DayCount() - 1;
        const int32_t link = dev->LinkAddress;

        for (int h = 0; h < kHours; ++h) {
            for (int q = 0; q < kQuarters; ++q) {
                const bool preset = quarter ? !(h == 0 && q == 0) : (h >= 1 && q == 0);
                if (!preset) continue;
                for (int reg = 1; reg <= kRegisters; ++reg)
                    dev->Quality[n](reg, h, q) = TDayQuality::NoData;
                dev->Labels[n](h, q).Date.clear();
            }
        }

        PostLog(quarter ? " - STEP #20" : " - STEP #20 - INICIO CIERRE HORARIO", colour::Yellow);
        const std::string start = DayTimeTag(day, 0, 0);
        const std::string end = quarter ? DayTimeTag(day, 23, 59) : DayTimeTag(day, 23, 0);

        WaitMs(PauseMs(1000));
        if (!Transact(FixedFrame(kCtlClass2Fcb1, link))) return false;

        PostLog(" - STEP #21", colour::Yellow);
        WaitMs(PauseMs(1000));
        const std::string request =
            quarter ? QuarterHourClosureRequest(link, dev->MeasurePoint, start, end)
                    : HourlyClosureRequest(link, dev->MeasurePoint, start, end);
        if (!Transact(request) || !isFixed(LastFrame)) return false;
        if (FrameFunction(LastFrame) != kFnAck) {
            PostLog(" - CONF. NEGATIVA - DATOS NO DISPONIBLES", colour::Red);
            return false;
        }

        PostLog(" - STEP #22", colour::Yellow);
        WaitMs(PauseMs(1000));
        if (!Transact(FixedFrame(kCtlClass2Fcb1, link)) ||
            !isConfirmation(LastFrame, kTypeLoadProfile))
            return false;

        const char* recordLine = quarter ? " - CIERRE CUARTIHORARIO " : " - CIERRE HORARIO ";
        const char* parseError =
            quarter ? " - ERROR PARSING CIERRE CUARTIHORARIO " : " - ERROR PARSING CIERRE HORARIO ";

        // Twice the records of the longest day: a meter that sends more is
        // not ending its transfer.
        const int frameLimit = quarter ? 2 * kHours * kQuarters : 2 * kHours;
        const int periodMinutes = quarter ? 15 : 60;
        uint8_t lastCtl = kCtlClass2Fcb1;
        int r = 0;  // hourly: frames received
        int s = 0;  // hourly: next slot
        int h = 0;  // quarter-hourly: running hour
        int q = 1;  // quarter-hourly: running quarter, 1..4
        int64_t previousTag = -1;
        // Records still to check after a retry: the one it brought and the
        // next, as a late reply to the lost try may stand in for the first.
        int toCheck = 0;
        bool ended = false;  // the meter's end of the transfer arrived
        // Slots written by this profile; hour 0 quarter 0 holds the daily closure.
        bool taken[kHours][kQuarters] = {{true}};
        bool valid;
        do {
            PostLog(" - STEP #" + std::to_string((quarter ? h : r) + 25), colour::Yellow);
            WaitMs(PauseMs(1000));
            lastCtl = lastCtl == kCtlClass2Fcb1 ? kCtlClass2Fcb0 : kCtlClass2Fcb1;
            const bool replied = Transact(FixedFrame(lastCtl, link));
            valid = replied && LastFrame.size() == kDataFrameSize &&
                    FrameByte(LastFrame, 6) == kTypeProfileData &&
                    (FrameByte(LastFrame, 8) & kCauseNegative) == 0;
            if (!valid) {
                ended = replied && FrameFunction(LastFrame) == kFnUserData &&
                        FrameByte(LastFrame, 6) == kTypeLoadProfile &&
                        (FrameByte(LastFrame, 8) & 0x7F) == kCauseTermination;
                break;
            }
            if ((quarter ? h * 4 + q - 1 : r) >= frameLimit) {
                PostLog(std::string(recordLine) + "- DEMASIADOS CIERRES, LECTURA INTERRUMPIDA",
                        colour::Red);
                break;
            }

            Registers scratch;
            for (auto& quality : scratch.quality) quality = TDayQuality::NoData;
            int c = FrameByte(LastFrame, 7) & 0x7F;
            std::size_t pos = kObjects;
            int walked = 0;
            while (c > 0 && walked < kRegisters) {
                --c;
                const uint8_t reg = FrameByte(LastFrame, pos);
                if (reg >= 1 && reg <= kRegisters) {
                    scratch.value[reg] = le32(LastFrame, pos + 1);
                    scratch.quality[reg] = 0;
                }
                pos += kObjectSize;
                ++walked;
            }

            if (walked == kRegisters) {
                const TimeTag t = DecodeTimeTag(LastFrame.substr(pos, 5));
                const int64_t tag = tagMinutes(t);
                if (TriesUsed > 1) toCheck = 2;
                const bool follows = previousTag >= 0 && tag == previousTag + periodMinutes;
                if (toCheck > 0 && !follows) {
                    PostLog(std::string(recordLine) + tagText(t) +
                                " - RESPUESTA PERDIDA, CIERRES NO ALMACENADOS",
                            colour::Red);
                    valid = false;
                    break;
                }
                if (toCheck > 0) --toCheck;
                previousTag = tag;
                PostLog(recordLine + tagText(t) + " - OK", colour::Yellow);
                int slotHour = -1, slotQuarter = 0;
                if (quarter) {
                    if (h == 0 && t.Minute == 15) q = 2;
                    if (!(h == 0 && q == 1)) {
                        slotHour = h;
                        slotQuarter = q - 1;
                    }
                } else {
                    if (r == 0 && t.Hour == 1) s = 1;
                    if (s == 0 && t.Hour > 0 && t.Hour <= kHours - 1) s = t.Hour;
                    if (t.Hour > 0) slotHour = s;
                    ++s;
                }
                if (slotHour >= kHours || (slotHour >= 0 && taken[slotHour][slotQuarter])) {
                    PostLog(std::string(recordLine) + "FUERA DE RANGO, NO ALMACENADO", colour::Red);
                } else if (slotHour >= 0) {
                    taken[slotHour][slotQuarter] = true;
                    writeLabel(dev->Labels[n](slotHour, slotQuarter), t);
                    for (int reg = 1; reg <= kRegisters; ++reg) {
                        dev->Values[n](reg, slotHour, slotQuarter) = scratch.value[reg];
                        dev->Quality[n](reg, slotHour, slotQuarter) = scratch.quality[reg];
                    }
                }
            } else {
                PostLog(parseError, colour::Red);
            }

            if (quarter) {
                if (++q > 4) {
                    q = 1;
                    ++h;
                }
            } else {
                ++r;
            }
        } while (valid && !Terminated);

        if (lastCtl == kCtlClass2Fcb1) Transact(FixedFrame(kCtlClass2Fcb0, link));
        WaitMs(PauseMs(1000));
        Transact(FixedFrame(kCtlClass2Fcb1, link));

        const std::string read = std::to_string(quarter ? h * 4 : r) + " CIERRES LEIDOS )";
        const char* kind = quarter ? "CIERRES CUARTIHORARIOS" : "CIERRES HORARIOS";
        if (!ended) {
            PostLog(std::string(" - ERROR ") + kind + " INCOMPLETOS - ( " + read, colour::Red);
            return false;
        }
        if ((quarter ? h : r) == 0) return false;
        PostLog(std::string(" - ") + kind + " OK - ( " + read, colour::Green);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace qv

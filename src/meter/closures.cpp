// The date walk of one meter and its closure readers.
//
// Two choices of ours:
// - An hourly record with a tag hour above 0 that arrives while the slot
//   counter still stands at 0 (the 00:00 and 01:00 records missing, or the
//   first frame unreadable) goes to the slot of its tag hour, never to hour 0,
//   which holds the day's daily closure; later records follow one slot on.
// - A profile record that would land beyond hour 24 is not stored, and the
//   log says so in red, so that no record is dropped unseen.
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

struct Registers {
    uint32_t value[kRegisters + 1] = {};
    uint8_t quality[kRegisters + 1] = {};
};

}  // namespace

void TContador_IP::ReadMeter(int index) {
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
        if (Tdevice* dev = item(index).Device.get()) dev->IntervalType = Interval;
    } catch (...) {
    }
    PostDataReady(index);
    PostGridStatus(index + 1, ok ? "(6) LECTURA CORRECTA" : "(5) ERROR DE LECTURA");
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
                int c = FrameByte(LastFrame, 7) & 0x7F;
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
                    if (walked == kRegisters) {
                        const TimeTag t = DecodeTimeTag(LastFrame.substr(pos, 5));
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

        uint8_t lastCtl = kCtlClass2Fcb1;
        uint8_t r = 0;  // hourly: frames received
        int s = 0;      // hourly: next slot
        uint8_t h = 0;  // quarter-hourly: running hour
        int q = 1;      // quarter-hourly: running quarter, 1..4
        bool valid;
        do {
            PostLog(" - STEP #" + std::to_string((quarter ? h : r) + 25), colour::Yellow);
            WaitMs(PauseMs(1000));
            lastCtl = lastCtl == kCtlClass2Fcb1 ? kCtlClass2Fcb0 : kCtlClass2Fcb1;
            valid = Transact(FixedFrame(lastCtl, link)) && LastFrame.size() == kDataFrameSize &&
                    FrameByte(LastFrame, 6) == kTypeProfileData &&
                    (FrameByte(LastFrame, 8) & kCauseNegative) == 0;
            if (!valid) break;

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
                    if (s == 0 && t.Hour > 0) s = t.Hour;
                    if (t.Hour > 0) slotHour = s;
                    ++s;
                }
                if (slotHour >= kHours) {
                    PostLog(std::string(recordLine) + "FUERA DE RANGO, NO ALMACENADO", colour::Red);
                } else if (slotHour >= 0) {
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

        if (quarter) {
            if (h == 0) return false;
            PostLog(
                " - CIERRES CUARTIHORARIOS OK - ( " + std::to_string(h * 4) + " CIERRES LEIDOS )",
                colour::Green);
            return true;
        }
        if (r == 0) return false;
        PostLog(" - CIERRES HORARIOS OK - ( " + std::to_string(r) + " CIERRES LEIDOS )",
                colour::Green);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace qv

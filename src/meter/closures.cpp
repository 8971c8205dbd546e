// The date walk of one meter and its closure readers.
//
// Choices of ours:
// - An hourly record with a tag hour from 1 to 24 that arrives while the slot
//   counter still stands at 0 (the 00:00 and 01:00 records missing, or the
//   first frame unreadable) goes to the slot of its tag hour, never to hour 0,
//   which holds the day's daily closure; later records follow one slot on.
// - A record (profile record or daily closure) whose tag does not come after
//   the meter's last record stored, a profile record that is no time of the
//   day asked for, or one that would land beyond hour 24 or on a slot already
//   written, is not stored: the log names it in red and the transfer ends
//   there, failed, so that no file gets two rows of one time or rows out of
//   place. The 00:00 record that closes the day before is skipped quietly. A
//   meter that sends more than twice a day's records is cut off as well.
// - A profile counts as read only when the meter ended the transfer itself;
//   one cut short by a failed exchange keeps its records but fails the meter.
// - When a profile record came only after its request was sent again (or is
//   the one after it) and its time tag does not follow the previous record's,
//   the meter moved on past the lost reply: the records after it would sit
//   one slot early, so the profile stops there and fails. The same holds for
//   the end of the transfer answering a repeated poll before the day's last
//   record came. A profile's first record has none before it to follow, and
//   needs none: it goes to the slot of its own time (for the quarter-hourly
//   profile too, so that a day without its first records starts where they do).
// - Only a record taken (stored in its slot, or the 00:00 record that closes
//   the day before) moves the running position and the count that the
//   profile's closing line gives; a refused one leaves both as they were, so
//   the count is never a slot the refused record would have taken. A transfer
//   that stored no record of the day itself (none, or the 00:00 record alone,
//   whose value the opening closure holds already) read nothing of the day and
//   fails, with that line.
// - A daily closure whose time tag cannot be read stores nothing: values
//   without a date would pass for a reading of some day.
// - A walk that a stop request cuts short fails the meter, with a red line
//   that says so.
// - A register missing from a profile frame is stored as "no data" (value 0,
//   quality $80) in that record's slot, as the daily closure does, rather than
//   repeating the previous record's value as a good reading.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>

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
    // Two-digit years, as every date text: 2100's tag carries 100.
    std::snprintf(buf, sizeof buf, "%.2d/%.2d/%.2d - %.2d:%.2d", t.Day, t.Month, t.Year % 100,
                  t.Hour, t.Minute);
    return std::string(buf) + (t.Summer ? " (Verano)" : " (Invierno)");
}

void writeLabel(TSlotLabel& label, const TimeTag& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2d/%.2d/%.2d", t.Day, t.Month, t.Year % 100);
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

// Why a reply is not a data frame of this type that can be read ("" when it
// is): fewer than six objects, a negative cause, another type.
std::string dataFault(const std::string& f, uint8_t type, bool exact) {
    if (FrameFunction(f) != kFnUserData || f.size() < kObjects)
        return " - RESPUESTA SIN DATOS: " + TraceDump(f, true);
    if (FrameByte(f, 6) != type)
        return " - TIPO " + std::to_string(FrameByte(f, 6)) + " EN LUGAR DE " +
               std::to_string(type);
    if (FrameByte(f, 8) & kCauseNegative)
        return " - CAUSA DE TRANSMISION NEGATIVA (" + std::to_string(FrameByte(f, 8) & 0x3F) + ")";
    if (f.size() < kDataFrameSize || (exact && f.size() != kDataFrameSize))
        return " - " + std::to_string(FrameByte(f, 7) & 0x7F) + " OBJETOS EN " +
               std::to_string(f.size() + 1) + " BYTES, SE ESPERAN 6 Y UNA ETIQUETA DE TIEMPO";
    return {};
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

// True when the tag is a time of the day (midnight at its start included).
bool inDay(const TimeTag& t, Day day) {
    const std::chrono::year_month_day ymd{day};
    return 2000 + t.Year == int(ymd.year()) && t.Month == int(unsigned(ymd.month())) &&
           t.Day == int(unsigned(ymd.day())) && t.Hour < 24 && t.Minute < 60;
}

// Registers 1 to 6 of one record; those the frame lacks have no data.
struct Registers {
    Registers() { std::fill(std::begin(quality), std::end(quality), TDayQuality::NoData); }
    uint32_t value[kRegisters + 1] = {};
    uint8_t quality[kRegisters + 1];
};

// The register objects of a data frame, at most six of those it declares, into
// regs; the objects walked. `object` hears each one's countdown, for the trace.
int readObjects(const std::string& f, Registers& regs,
                const std::function<void(int)>& object = nullptr) {
    int c = FrameByte(f, 7) & 0x7F;
    std::size_t pos = kObjects;
    int walked = 0;
    while (c > 0 && walked < kRegisters) {
        --c;
        if (object) object(c);
        const uint8_t reg = FrameByte(f, pos);
        if (reg >= 1 && reg <= kRegisters) {
            regs.value[reg] = le32(f, pos + 1);
            regs.quality[reg] = 0;
        }
        pos += kObjectSize;
        ++walked;
    }
    return walked;
}

}  // namespace

bool TContador_IP::ReadMeter(int index) {
    bool ok = true;
    LastTag = -1;
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
        // The closure at 00:00 of the day after the last day read; a stop
        // that keeps it from being asked for leaves the reading short.
        if (ok && Interval < IntervalMonthly)
            ok = !Terminated && ReadDailyClosure(index, d - days(1));
    } catch (...) {
        ok = false;
    }
    // A walk that a stop or an exception ended before the end of its range
    // did not read the meter, whatever its last step gave.
    if (d < DateTo) ok = false;
    if (!ok && Terminated) ReportStop();
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
            !confirmed(LastFrame, kTypeDailyClosures))
            return false;

        PostLog(" - STEP #17", colour::Yellow);
        WaitMs(PauseMs(1000));
        try {
            if (Transact(FixedFrame(kCtlClass2Fcb0, link))) {
                const std::string why = dataFault(LastFrame, kTypeDailyData, false);
                if (why.empty()) {
                    PostLog(" - STEP #18", colour::Yellow);
                    result = takeDailyClosure(*dev, n, day);
                } else {
                    PostLog(" - ERROR PARSING CIERRE DIARIO " + FormatDdMmYy(day + days(1)) + why,
                            colour::Red);
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

bool TContador_IP::takeDailyClosure(Tdevice& dev, std::size_t n, Day day) {
    const int declared = FrameByte(LastFrame, 7) & 0x7F;
    Registers regs;
    const int walked = readObjects(LastFrame, regs, [this](int left) {
        if (TraceFrames) PostLog(" - PARSING  OBJECT : " + std::to_string(left), colour::Red);
    });
    // Real meters send further objects (marked invalid) after the six
    // registers: the time tag follows the last object the frame declares,
    // checksum and end byte after it.
    const std::size_t tagPos = kObjects + kObjectSize * std::size_t(declared);
    if (walked != kRegisters || LastFrame.size() < tagPos + 5 + 2) {
        // Without its time tag the closure is no reading of any day: its
        // registers are not stored, and its row reads "no data".
        PostLog(" - ERROR PARSING CIERRE DIARIO " + FormatDdMmYy(day + days(1)) + " - " +
                    std::to_string(declared) + " OBJETOS EN " +
                    std::to_string(LastFrame.size() + 1) + " BYTES, SIN ETIQUETA DE TIEMPO",
                colour::Red);
        return false;
    }
    const TimeTag t = DecodeTimeTag(LastFrame.substr(tagPos, 5));
    const int64_t tag = tagMinutes(t);
    if (tag <= LastTag) {
        // A closure that does not follow the meter's last record would give
        // the file a second row of one time, or rows out of order.
        PostLog(" - CIERRE DIARIO " + tagText(t) + " - FUERA DE ORDEN, NO ALMACENADO", colour::Red);
        return false;
    }
    LastTag = tag;
    for (int reg = 1; reg <= kRegisters; ++reg)
        if (regs.quality[reg] == 0) {
            dev.Values[n](reg, 0, 0) = regs.value[reg];
            dev.Quality[n](reg, 0, 0) = 0;
        }
    PostLog(" - CIERRE DIARIO OK - " + tagText(t), colour::Green);
    writeLabel(dev.Labels[n](0, 0), t);
    return true;
}

bool TContador_IP::confirmed(const std::string& f, uint8_t type) {
    if (isConfirmation(f, type)) return true;
    const std::string request =
        type == kTypeDailyClosures ? "PETICION DE CIERRES DIARIOS" : "PETICION DE CIERRES";
    if (f.size() == kConfirmSize && FrameFunction(f) == kFnUserData && FrameByte(f, 6) == type)
        PostLog(" - CONF. NEGATIVA DE LA " + request + " (CAUSA " +
                    std::to_string(FrameByte(f, 8) & 0x3F) + ")",
                colour::Red);
    else
        PostLog(" - CONFIRMACION NO VALIDA DE LA " + request + ": " + TraceDump(f, true),
                colour::Red);
    return false;
}

bool TContador_IP::ReadHourlyClosures(int index, Day day) {
    return readProfile(index, day, false);
}

bool TContador_IP::ReadQuarterHourClosures(int index, Day day) {
    return readProfile(index, day, true);
}

// One load-profile transfer: where its records go and what became of them.
struct TContador_IP::ProfileWalk {
    ProfileWalk(Tdevice& device, std::size_t element, Day d, bool quarterHour)
        : dev(device), n(element), day(d), quarter(quarterHour) {}
    Tdevice& dev;
    std::size_t n;  // the day element the records go to
    Day day;
    bool quarter;
    const char* recordLine() const {
        return quarter ? " - CIERRE CUARTIHORARIO " : " - CIERRE HORARIO ";
    }
    int r = 0;  // hourly: frames received
    int s = 0;  // hourly: next slot
    int h = 0;  // quarter-hourly: running hour
    int q = 1;  // quarter-hourly: running quarter, 1..4
    // Records of the day taken: stored in their slot, or the 00:00 record
    // that closes the day before (its value is the day's opening closure).
    int count = 0;
    int64_t previousTag = -1;
    TimeTag last;  // the tag of the last record taken
    // Records still to check after a retry: the one it brought and the
    // next, as a late reply to the lost try may stand in for the first.
    int toCheck = 0;
    bool ended = false;    // the meter's end of the transfer arrived
    bool dropped = false;  // a record was not stored; the profile is not read
    bool placed = false;   // a record was stored: the running position holds
    std::string why;       // what was wrong with the reply that ended the transfer
    // Slots written by this profile; hour 0 quarter 0 holds the daily closure.
    bool taken[kHours][kQuarters] = {{true}};

    // The first record stored goes to the slot of its own time, so a day
    // whose first records are missing starts where its records do.
    bool atOwnTime(const TimeTag& t) const {
        return quarter && !placed && inDay(t, day) && (t.Hour > 0 || t.Minute > 0);
    }
    // Hourly: the running slot of the record with this tag.
    int hourlySlot(const TimeTag& t) const {
        if (r == 0 && t.Hour == 1) return 1;
        if (s == 0 && t.Hour > 0 && t.Hour <= kHours - 1) return t.Hour;
        return s;
    }
    // The slot of the record with this tag by the running counters; hour -1
    // for a record that takes no slot. The counters stay as they are: only a
    // record taken moves them (take), so a refused one leaves no trace.
    std::pair<int, int> slotFor(const TimeTag& t) const {
        if (quarter) {
            const int hour = atOwnTime(t) ? t.Hour : h;
            const int quarterOf = atOwnTime(t) ? t.Minute / 15 + 1 : q;
            if (hour == 0 && quarterOf == 1) return {-1, 0};
            return {hour, quarterOf - 1};
        }
        return {t.Hour > 0 ? hourlySlot(t) : -1, 0};
    }
    // The record with this tag and minutes is taken: the counters move past it.
    void take(const TimeTag& t, int64_t tag, bool stored) {
        if (atOwnTime(t)) {
            h = t.Hour;
            q = t.Minute / 15 + 1;
        }
        if (!quarter) s = hourlySlot(t) + 1;
        if (toCheck > 0) --toCheck;
        previousTag = tag;
        last = t;
        placed = placed || stored;
        ++count;
    }
};

bool TContador_IP::readProfile(int index, Day day, bool quarter) {
    try {
        Tdevice* dev = item(index).Device.get();
        if (!dev || dev->DayCount() == 0) return false;
        ProfileWalk walk(*dev, dev->DayCount() - 1, day, quarter);
        presetProfile(walk);
        if (!requestProfile(walk)) return false;
        const uint8_t lastCtl = readProfileRecords(walk);

        const int32_t link = dev->LinkAddress;
        if (lastCtl == kCtlClass2Fcb1) Transact(FixedFrame(kCtlClass2Fcb0, link));
        WaitMs(PauseMs(1000));
        Transact(FixedFrame(kCtlClass2Fcb1, link));

        const std::string read = std::to_string(walk.count) + " CIERRES LEIDOS )";
        const char* kind = quarter ? "CIERRES CUARTIHORARIOS" : "CIERRES HORARIOS";
        // A transfer that stored no record of the day read nothing of it, and
        // says so; the count may hold the 00:00 record all the same.
        if (walk.ended && !walk.dropped && !walk.placed && walk.count > 0)
            walk.why = " - SIN CIERRES DEL DIA";
        if (!walk.ended || walk.dropped || !walk.placed) {
            PostLog(std::string(" - ERROR ") + kind + " INCOMPLETOS - ( " + read + walk.why,
                    colour::Red);
            return false;
        }
        PostLog(std::string(" - ") + kind + " OK - ( " + read, colour::Green);
        return true;
    } catch (...) {
        return false;
    }
}

void TContador_IP::presetProfile(ProfileWalk& w) {
    for (int h = 0; h < kHours; ++h) {
        for (int q = 0; q < kQuarters; ++q) {
            const bool preset = w.quarter ? !(h == 0 && q == 0) : (h >= 1 && q == 0);
            if (!preset) continue;
            for (int reg = 1; reg <= kRegisters; ++reg)
                w.dev.Quality[w.n](reg, h, q) = TDayQuality::NoData;
            w.dev.Labels[w.n](h, q).Date.clear();
        }
    }
}

bool TContador_IP::requestProfile(ProfileWalk& w) {
    const int32_t link = w.dev.LinkAddress;
    PostLog(w.quarter ? " - STEP #20" : " - STEP #20 - INICIO CIERRE HORARIO", colour::Yellow);
    const std::string start = DayTimeTag(w.day, 0, 0);
    const std::string end = w.quarter ? DayTimeTag(w.day, 23, 59) : DayTimeTag(w.day, 23, 0);

    WaitMs(PauseMs(1000));
    if (!Transact(FixedFrame(kCtlClass2Fcb1, link))) return false;

    PostLog(" - STEP #21", colour::Yellow);
    WaitMs(PauseMs(1000));
    const std::string request =
        w.quarter ? QuarterHourClosureRequest(link, w.dev.MeasurePoint, start, end)
                  : HourlyClosureRequest(link, w.dev.MeasurePoint, start, end);
    if (!Transact(request) || !isFixed(LastFrame)) return false;
    if (FrameFunction(LastFrame) != kFnAck) {
        PostLog(" - CONF. NEGATIVA - DATOS NO DISPONIBLES", colour::Red);
        return false;
    }

    PostLog(" - STEP #22", colour::Yellow);
    WaitMs(PauseMs(1000));
    return Transact(FixedFrame(kCtlClass2Fcb1, link)) && confirmed(LastFrame, kTypeLoadProfile);
}

uint8_t TContador_IP::readProfileRecords(ProfileWalk& w) {
    const int32_t link = w.dev.LinkAddress;
    // Twice the records of the longest day: a meter that sends more is
    // not ending its transfer.
    const int frameLimit = w.quarter ? 2 * kHours * kQuarters : 2 * kHours;
    uint8_t lastCtl = kCtlClass2Fcb1;
    bool valid;
    do {
        PostLog(" - STEP #" + std::to_string((w.quarter ? w.h : w.r) + 25), colour::Yellow);
        WaitMs(PauseMs(1000));
        lastCtl = lastCtl == kCtlClass2Fcb1 ? kCtlClass2Fcb0 : kCtlClass2Fcb1;
        const bool replied = Transact(FixedFrame(lastCtl, link));
        valid = replied && LastFrame.size() == kDataFrameSize &&
                FrameByte(LastFrame, 6) == kTypeProfileData &&
                (FrameByte(LastFrame, 8) & kCauseNegative) == 0;
        if (!valid) {
            w.ended = replied && FrameFunction(LastFrame) == kFnUserData &&
                      FrameByte(LastFrame, 6) == kTypeLoadProfile &&
                      (FrameByte(LastFrame, 8) & 0x7F) == kCauseTermination;
            if (replied && !w.ended) w.why = dataFault(LastFrame, kTypeProfileData, true);
            // The end answering a repeated poll before the day's last record
            // came: the reply lost was a record, and the meter moved on.
            if (w.ended && TriesUsed > 1 && w.previousTag >= 0 &&
                !(inDay(w.last, w.day) && w.last.Hour == 23 &&
                  w.last.Minute == (w.quarter ? 45 : 0))) {
                PostLog(std::string(w.recordLine()) + tagText(w.last) +
                            " - RESPUESTA PERDIDA, FALTAN LOS CIERRES SIGUIENTES",
                        colour::Red);
                w.dropped = true;
            }
            break;
        }
        if ((w.quarter ? w.h * 4 + w.q - 1 : w.r) >= frameLimit) {
            PostLog(std::string(w.recordLine()) + "- DEMASIADOS CIERRES, LECTURA INTERRUMPIDA",
                    colour::Red);
            break;
        }
        // A record not stored ends the transfer before it is counted.
        if (!takeProfileRecord(w)) {
            valid = false;
            break;
        }
        if (w.quarter) {
            if (++w.q > 4) {
                w.q = 1;
                ++w.h;
            }
        } else {
            ++w.r;
        }
    } while (valid && !Terminated);
    return lastCtl;
}

bool TContador_IP::takeProfileRecord(ProfileWalk& w) {
    Registers scratch;
    if (readObjects(LastFrame, scratch) < kRegisters) {
        PostLog(w.quarter ? " - ERROR PARSING CIERRE CUARTIHORARIO "
                          : " - ERROR PARSING CIERRE HORARIO ",
                colour::Red);
        return true;
    }

    const TimeTag t = DecodeTimeTag(LastFrame.substr(kObjects + kObjectSize * kRegisters, 5));
    const int64_t tag = tagMinutes(t);
    const int periodMinutes = w.quarter ? 15 : 60;
    if (TriesUsed > 1) w.toCheck = 2;
    // The first record of a profile goes to the slot of its own time: a reply
    // lost before it cannot put it out of place.
    const bool follows = w.previousTag < 0 || tag == w.previousTag + periodMinutes;
    if (w.toCheck > 0 && !follows) {
        PostLog(std::string(w.recordLine()) + tagText(t) +
                    " - RESPUESTA PERDIDA, CIERRES NO ALMACENADOS",
                colour::Red);
        w.dropped = true;
        return false;
    }
    // The 00:00 record that some meters send first closes the day before.
    const bool dayBefore = w.previousTag < 0 && inDay(t, w.day) && t.Hour == 0 && t.Minute == 0;

    const auto [slotHour, slotQuarter] = w.slotFor(t);
    const char* refused = nullptr;  // the day before's record takes no slot
    if (!dayBefore && tag <= LastTag)
        refused = " - FUERA DE ORDEN, NO ALMACENADO";
    else if (!dayBefore && (!inDay(t, w.day) || (t.Hour == 0 && t.Minute == 0)))
        refused = " - FUERA DEL DIA, NO ALMACENADO";
    else if (!dayBefore && (slotHour < 0 || slotHour >= kHours || w.taken[slotHour][slotQuarter]))
        refused = " - FUERA DE RANGO, NO ALMACENADO";
    if (refused) {
        // Stored anyway it would give a file two rows of one time, or rows
        // out of order; the records after it would not be where they belong.
        PostLog(std::string(w.recordLine()) + tagText(t) + refused, colour::Red);
        w.dropped = true;
        return false;
    }
    PostLog(w.recordLine() + tagText(t) + " - OK", colour::Yellow);
    w.take(t, tag, slotHour >= 0);
    if (slotHour < 0) return true;
    LastTag = tag;
    w.taken[slotHour][slotQuarter] = true;
    writeLabel(w.dev.Labels[w.n](slotHour, slotQuarter), t);
    for (int reg = 1; reg <= kRegisters; ++reg) {
        w.dev.Values[w.n](reg, slotHour, slotQuarter) = scratch.value[reg];
        w.dev.Quality[w.n](reg, slotHour, slotQuarter) = scratch.quality[reg];
    }
    return true;
}

}  // namespace qv

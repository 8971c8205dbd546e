// Closure and load-profile walks against the meter simulator, and against a
// scripted meter for records the simulator never sends.
#include <gtest/gtest.h>

#include <cstdio>

#include "harness.h"
#include "meter/frames.h"
#include "support/loopback_peer.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::Harness;
using test::simTime;

constexpr uint32_t kSeed = 7;
constexpr int kLink = 3;

struct Reading : test::SimLink {
    explicit Reading(sim::SimFaults faults = {}) : SimLink(test::simMeter(kLink, faults)) {}
    // Reads the range first..last (whole days) with the given interval.
    const Tdevice& read(int interval, Day first, Day last) {
        h.thread->Interval = interval;
        h.thread->DateFrom = first + days(1);
        h.thread->DateTo = last + days(1);
        EXPECT_TRUE(h.thread->OpenSession(0));
        h.thread->ReadMeter(0);
        h.pump();
        EXPECT_EQ(h.devices.size(), 1u);
        if (h.devices.empty()) h.devices.push_back(std::make_unique<Tdevice>("0", "0", "0", ""));
        return *h.devices.back();
    }
    // The closure requests sent, as "type:dd/mm" of their start tags.
    std::vector<std::string> requests() {
        std::vector<std::string> out;
        for (const auto& l : h.traced("68 15 15 68 53 ")) {
            auto byte = [&l](int i) { return std::stoi(l.substr(3 * i, 2), nullptr, 16); };
            char buf[32];
            std::snprintf(buf, sizeof buf, "%d:%02d/%02d", byte(7), byte(17) & 0x1F, byte(18));
            out.push_back(buf);
        }
        return out;
    }
};

uint32_t closureAt(int reg, int y, int m, int d) {
    return sim::counterValue(kSeed, kLink, reg, simTime(y, m, d));
}

std::string label(const TSlotLabel& l) {
    return l.Date + " " + l.Time + (l.Summer ? " S" : " W");
}

TEST(Closures, DailyRangeOfThreeDaysReadsFourClosures) {
    Reading r;
    const Tdevice& d = r.read(IntervalDaily, 2026y / March / 2, 2026y / March / 4);
    EXPECT_EQ(r.requests(),
              (std::vector<std::string>{"122:01/03", "122:02/03", "122:03/03", "122:04/03"}));
    ASSERT_EQ(d.DayCount(), 4u);
    for (int i = 0; i < 4; ++i) {
        for (int reg = 1; reg <= 6; ++reg) {
            EXPECT_EQ(d.Values[i](reg, 0, 0), closureAt(reg, 2026, 3, 2 + i)) << i << "/" << reg;
            EXPECT_EQ(d.Quality[i](reg, 0, 0), 0);
        }
        char want[32];
        std::snprintf(want, sizeof want, "%02d/03/26 00:00 W", 2 + i);
        EXPECT_EQ(label(d.Labels[i](0, 0)), want);
        EXPECT_EQ(d.Quality[i](1, 1, 0), 0);  // no profile: untouched
    }
    EXPECT_EQ(d.IntervalType, IntervalDaily);
    EXPECT_EQ(r.h.countLog(" - CIERRE DIARIO OK - 02/03/26 - 00:00 (Invierno)"), 1);
    EXPECT_EQ(r.h.countLog(" - PARSING  OBJECT : 0"), 4);
    // Each daily closure of a daily run ends with one more $7B: steps 16 and the extra.
    EXPECT_EQ(r.h.traced("10 7B 03 00").size(), 4u * 2u + 5u /* session */);
    EXPECT_EQ(r.h.lastGrid(1), "(6) LECTURA CORRECTA");
}

TEST(Closures, HourlyDayReadsClosureProfileClosure) {
    Reading r;
    const Tdevice& d = r.read(IntervalHourly, 2026y / March / 5, 2026y / March / 5);
    EXPECT_EQ(r.requests(), (std::vector<std::string>{"122:04/03", "123:05/03", "122:05/03"}));
    ASSERT_EQ(d.DayCount(), 2u);
    EXPECT_EQ(d.Values[0](1, 0, 0), closureAt(1, 2026, 3, 5));
    EXPECT_EQ(d.Values[1](1, 0, 0), closureAt(1, 2026, 3, 6));
    EXPECT_EQ(r.h.countLog(" - STEP #25"), 1);
    EXPECT_EQ(r.h.countLog(" - STEP #48"), 1);
    EXPECT_EQ(r.h.lastGrid(1), "(6) LECTURA CORRECTA");
}

std::string label(const sim::SimTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d %c", t.day, t.month, t.year % 100,
                  t.hour, t.minute, t.summer ? 'S' : 'W');
    return buf;
}

// Every record the meter holds for the day lands in its running slot with its
// own values and tag; the slots after the last record stay preset. Ordinary
// days and both changes of season, hourly and quarter-hourly.
TEST(Closures, ProfilesMatchTheMeterRecordForRecord) {
    struct Row {
        int interval;
        Day day;
        const char* okLine;
    };
    const Row rows[] = {
        {IntervalHourly, 2026y / March / 29, " - CIERRES HORARIOS OK - ( 23 CIERRES LEIDOS )"},
        {IntervalHourly, 2026y / October / 25, " - CIERRES HORARIOS OK - ( 25 CIERRES LEIDOS )"},
        {IntervalQuarterHour, 2026y / March / 5,
         " - CIERRES CUARTIHORARIOS OK - ( 96 CIERRES LEIDOS )"},
        {IntervalQuarterHour, 2026y / March / 29,
         " - CIERRES CUARTIHORARIOS OK - ( 92 CIERRES LEIDOS )"},
        {IntervalQuarterHour, 2026y / October / 25,
         " - CIERRES CUARTIHORARIOS OK - ( 100 CIERRES LEIDOS )"},
    };
    for (const Row& row : rows) {
        const bool quarter = row.interval == IntervalQuarterHour;
        const std::chrono::year_month_day ymd(row.day);
        const int y = int(ymd.year()), m = int(unsigned(ymd.month())),
                  dd = int(unsigned(ymd.day()));
        SCOPED_TRACE(std::to_string(dd) + "/" + std::to_string(m) +
                     (quarter ? " quarter" : " hourly"));
        Reading r;
        const Tdevice& d = r.read(row.interval, row.day, row.day);
        EXPECT_EQ(r.h.countLog(row.okLine), 1);
        EXPECT_EQ(r.h.lastGrid(1), "(6) LECTURA CORRECTA");
        ASSERT_EQ(d.DayCount(), 2u);
        const int period = quarter ? 15 : 60;
        const auto times =
            sim::recordTimes(simTime(y, m, dd), simTime(y, m, dd, 23, quarter ? 59 : 0), period);
        // The 00:00 record closes the day before and is skipped.
        const auto slotOf = [quarter](std::size_t i) {
            return quarter ? std::pair{int(i / 4), int(i % 4)} : std::pair{int(i), 0};
        };
        std::size_t slot = 1;
        for (; slot < times.size(); ++slot) {
            const auto [hour, q] = slotOf(slot);
            ASSERT_LT(hour, kHours);
            EXPECT_EQ(label(d.Labels[0](hour, q)), label(times[slot])) << hour << "/" << q;
            for (int reg = 1; reg <= 6; ++reg) {
                EXPECT_EQ(d.Values[0](reg, hour, q),
                          sim::profileValue(kSeed, kLink, reg, times[slot], period));
                EXPECT_EQ(d.Quality[0](reg, hour, q), 0);
            }
        }
        for (; slot < std::size_t(quarter ? kHours * 4 : kHours); ++slot) {
            const auto [hour, q] = slotOf(slot);
            EXPECT_EQ(d.Quality[0](1, hour, q), TDayQuality::NoData) << hour << "/" << q;
            EXPECT_TRUE(d.Labels[0](hour, q).Date.empty());
        }
        EXPECT_EQ(d.Values[0](1, 0, 0), closureAt(1, y, m, dd));  // not overwritten
    }
}

TEST(Closures, MonthlyRangeReadsEachMonthStart) {
    Reading r;
    const Tdevice& d = r.read(IntervalMonthly, 2026y / January / 15, 2026y / March / 10);
    EXPECT_EQ(r.requests(), (std::vector<std::string>{"122:31/12", "122:31/01", "122:28/02"}));
    ASSERT_EQ(d.DayCount(), 3u);
    EXPECT_EQ(label(d.Labels[0](0, 0)), "01/01/26 00:00 W");
    EXPECT_EQ(label(d.Labels[1](0, 0)), "01/02/26 00:00 W");
    EXPECT_EQ(label(d.Labels[2](0, 0)), "01/03/26 00:00 W");
    EXPECT_EQ(d.Values[2](2, 0, 0), closureAt(2, 2026, 3, 1));
    EXPECT_EQ(d.IntervalType, IntervalMonthly);
}

TEST(Closures, RefusedFirstClosureEndsTheWalkWithOneEmptyDay) {
    sim::SimFaults f;
    f.nackRequests = true;
    Reading r(f);
    const Tdevice& d = r.read(IntervalHourly, 2026y / March / 5, 2026y / March / 6);
    EXPECT_EQ(r.h.countLog(" - CONF. NEGATIVA - DATOS NO DISPONIBLES"), 1);
    EXPECT_EQ(r.requests().size(), 1u);
    ASSERT_EQ(d.DayCount(), 1u);
    for (int reg = 1; reg <= 6; ++reg) EXPECT_EQ(d.Quality[0](reg, 0, 0), TDayQuality::NoData);
    EXPECT_EQ(r.h.lastGrid(1), "(5) ERROR DE LECTURA");
}

TEST(Closures, DailyFrameWithFiveObjectsFailsButKeepsItsRegisters) {
    sim::SimFaults f;
    f.declaredCount = 5;  // six objects on the wire, five declared
    Reading r(f);
    const Tdevice& d = r.read(IntervalDaily, 2026y / March / 2, 2026y / March / 3);
    EXPECT_EQ(r.h.countLog(" - ERROR PARSING CIERRE DIARIO 02/03/26"), 1);
    ASSERT_EQ(d.DayCount(), 1u);
    for (int reg = 1; reg <= 5; ++reg)
        EXPECT_EQ(d.Values[0](reg, 0, 0), closureAt(reg, 2026, 3, 2));
    EXPECT_EQ(d.Quality[0](6, 0, 0), TDayQuality::NoData);
    EXPECT_TRUE(d.Labels[0](0, 0).Date.empty());
    EXPECT_EQ(r.h.lastGrid(1), "(5) ERROR DE LECTURA");
}

TEST(Closures, DailyFrameWithEightObjectsTakesItsTagAfterTheLast) {
    sim::SimFaults f;
    f.objectCount = 8;  // as real meters send them: two further objects, marked invalid
    Reading r(f);
    const Tdevice& d = r.read(IntervalDaily, 2026y / March / 2, 2026y / March / 2);
    ASSERT_EQ(d.DayCount(), 2u);
    EXPECT_EQ(d.Values[0](6, 0, 0), closureAt(6, 2026, 3, 2));
    EXPECT_EQ(label(d.Labels[0](0, 0)), "02/03/26 00:00 W");
    EXPECT_EQ(label(d.Labels[1](0, 0)), "03/03/26 00:00 W");
    EXPECT_EQ(r.h.countLog(" - CIERRE DIARIO OK - 03/03/26 - 00:00 (Invierno)"), 1);
    EXPECT_EQ(r.h.lastGrid(1), "(6) LECTURA CORRECTA");
}

// One reply of a profile lost on the way. A meter that repeats its last reply
// for a repeated frame count bit gives the record again; one that carries the
// poll out again gives the next, and the profile then fails rather than store
// the later records one slot early. Without a further try the profile is cut
// short and fails too, keeping what arrived.
TEST(Closures, LostProfileReplyGivesRightRecordsOrAVisibleFailure) {
    struct Row {
        bool noRepeat;
        int retries;
        bool read;
    };
    for (const Row row : {Row{false, 2, true}, Row{true, 2, false}, Row{false, 1, false}}) {
        SCOPED_TRACE(std::to_string(row.noRepeat) + " " + std::to_string(row.retries));
        sim::SimFaults f;
        f.loseData = 10;  // after the daily closure, the 00:00 .. 08:00 records: 08:00
        f.noRepeat = row.noRepeat;
        Reading r(f);
        r.h.thread->AsduRetries = row.retries;
        const Tdevice& d = r.read(IntervalHourly, 2026y / March / 5, 2026y / March / 5);
        EXPECT_EQ(r.h.lastGrid(1), row.read ? "(6) LECTURA CORRECTA" : "(5) ERROR DE LECTURA");
        const int stored = row.read ? 23 : 7;
        for (int hour = 1; hour <= 23; ++hour) {
            const auto t = simTime(2026, 3, 5, hour);
            if (hour <= stored) {
                EXPECT_EQ(label(d.Labels[0](hour, 0)), label(t)) << hour;
                EXPECT_EQ(d.Values[0](2, hour, 0), sim::profileValue(kSeed, kLink, 2, t, 60));
            } else {
                EXPECT_EQ(d.Quality[0](2, hour, 0), TDayQuality::NoData) << hour;
            }
        }
        EXPECT_EQ(r.h.countLog(" - CIERRE HORARIO 05/03/26 - 09:00 (Invierno)"
                               " - RESPUESTA PERDIDA, CIERRES NO ALMACENADOS"),
                  row.noRepeat ? 1 : 0);
        EXPECT_EQ(r.h.countLog(" - ERROR CIERRES HORARIOS INCOMPLETOS - ( 8 CIERRES LEIDOS )"),
                  row.read ? 0 : 1);
        EXPECT_EQ(r.h.countLogPrefix(" - CIERRES HORARIOS OK"), row.read ? 1 : 0);
    }
}

// A meter that never ends its transfer: no record is stored twice or beyond the
// day's slots, and the reading ends, failed.
TEST(Closures, MeterThatKeepsSendingFailsAfterTwiceADayOfRecords) {
    sim::SimFaults f;
    f.extraRecords = 1000;
    Reading r(f);
    const Tdevice& d = r.read(IntervalHourly, 2026y / March / 5, 2026y / March / 5);
    EXPECT_EQ(label(d.Labels[0](1, 0)), "05/03/26 01:00 W");
    EXPECT_EQ(d.Values[0](1, 1, 0), sim::profileValue(kSeed, kLink, 1, simTime(2026, 3, 5, 1), 60));
    EXPECT_EQ(label(d.Labels[0](24, 0)), "05/03/26 23:00 W");  // the first extra record
    EXPECT_EQ(r.h.countLog(" - CIERRE HORARIO FUERA DE RANGO, NO ALMACENADO"), 25);
    EXPECT_EQ(r.h.countLog(" - CIERRE HORARIO - DEMASIADOS CIERRES, LECTURA INTERRUMPIDA"), 1);
    EXPECT_EQ(r.h.countLog(" - ERROR CIERRES HORARIOS INCOMPLETOS - ( 50 CIERRES LEIDOS )"), 1);
    EXPECT_LT(r.sim.framesReceived(), 100u);
    EXPECT_EQ(r.h.lastGrid(1), "(5) ERROR DE LECTURA");
}

TEST(Closures, MissingRegisterIsStoredAsNoDataNotAsAReading) {
    sim::SimFaults f;
    f.missingRegister = 3;  // sent under address 0, which is skipped
    Reading r(f);
    const Tdevice& d = r.read(IntervalHourly, 2026y / March / 5, 2026y / March / 5);
    EXPECT_EQ(d.Quality[0](3, 0, 0), TDayQuality::NoData);  // the daily closure lacks it
    for (int hour = 1; hour <= 23; ++hour) {
        EXPECT_EQ(d.Values[0](3, hour, 0), 0u);
        EXPECT_EQ(d.Quality[0](3, hour, 0), TDayQuality::NoData) << "hour " << hour;
        EXPECT_EQ(d.Quality[0](2, hour, 0), 0) << "hour " << hour;
        EXPECT_EQ(d.Values[0](2, hour, 0),
                  sim::profileValue(kSeed, kLink, 2, simTime(2026, 3, 5, hour), 60));
    }
    EXPECT_EQ(r.h.lastGrid(1), "(6) LECTURA CORRECTA");
}

// A meter's frames built here, byte by byte, apart from the code under test.
std::string fixed(uint8_t c) {
    std::string f = {'\x10', char(c), char(kLink), '\0'};
    f += char(uint8_t(c + kLink));
    return f + '\x16';
}
std::string ack() {
    return fixed(0x00);
}
std::string variable(const std::string& user) {
    std::string f = {'\x68', char(user.size()), char(user.size()), '\x68'};
    uint8_t sum = 0;
    for (unsigned char b : user) sum = uint8_t(sum + b);
    return f + user + char(sum) + '\x16';
}
// The confirmation (cause 7) of a load-profile request or the end of its
// transfer (cause 10), 27 bytes on the wire.
std::string profileEcho(char cause) {
    std::string u = {'\x08', char(kLink), '\0',   '\x7B', '\x01', cause,
                     '\x09', '\0',        '\x0B', '\x01', '\x06'};
    return variable(u + std::string(10, '\0'));
}
// One hourly record (56 bytes): registers 1..6 hold hour * 100 + register.
std::string hourlyRecord(int day, int hour) {
    std::string u = {'\x08', char(kLink), '\0', '\x0B', '\x06', '\x05', '\x09', '\0', '\x0B'};
    for (int reg = 1; reg <= 6; ++reg) {
        const uint32_t v = uint32_t(hour * 100 + reg);
        u += {char(reg), char(v & 0xFF), char(v >> 8), '\0', '\0', '\0'};
    }
    u += {'\0', char(hour), char(day), '\x03', '\x1A'};  // dd/03/26 hh:00, winter
    return variable(u);
}

// Replies of an hourly profile up to its data loop: the poll, the request's
// acknowledgement and its confirmation; later requests are acknowledged.
std::vector<std::string> profileOpening() {
    return {ack(), ack(), profileEcho(7)};
}

struct ScriptedReading {
    test::LoopbackPeer meter;
    Harness h;
    explicit ScriptedReading(std::vector<std::string> replies)
        : meter(test::LoopbackPeer::Scripted(std::move(replies), ack())) {
        h.useTcp(meter.port());
        h.addMeter(kLink, 9, 1);
        h.thread->Interval = IntervalHourly;
        h.thread->AsduRetries = 1;
        EXPECT_TRUE(h.thread->ConnectTcp());
        h.thread->Devices[0].Device->AddDay();  // the daily closure's element
    }
    const Tdevice& device() { return *h.thread->Devices[0].Device; }
};

TEST(ScriptedProfiles, FirstHourlyRecordsMissingStoreAtTheirTagHourNeverHourZero) {
    auto replies = profileOpening();
    for (int hour = 3; hour <= 4; ++hour) replies.push_back(hourlyRecord(5, hour));
    replies.push_back(profileEcho(10));
    ScriptedReading r(replies);
    EXPECT_TRUE(r.h.thread->ReadHourlyClosures(0, 2026y / March / 5));
    const Tdevice& d = r.device();
    EXPECT_EQ(d.Values[0](1, 0, 0), 0u);  // the daily closure's slot is left alone
    EXPECT_EQ(d.Quality[0](1, 0, 0), 0);
    EXPECT_TRUE(d.Labels[0](0, 0).Date.empty());
    EXPECT_EQ(d.Quality[0](1, 1, 0), TDayQuality::NoData);
    EXPECT_EQ(d.Quality[0](1, 2, 0), TDayQuality::NoData);
    EXPECT_EQ(label(d.Labels[0](3, 0)), "05/03/26 03:00 W");
    EXPECT_EQ(d.Values[0](6, 3, 0), 306u);
    EXPECT_EQ(label(d.Labels[0](4, 0)), "05/03/26 04:00 W");
    EXPECT_EQ(d.Values[0](2, 4, 0), 402u);
    EXPECT_EQ(d.Quality[0](2, 4, 0), 0);
    EXPECT_EQ(d.Quality[0](1, 5, 0), TDayQuality::NoData);
    EXPECT_EQ(r.h.countLog(" - CIERRE HORARIO 05/03/26 - 03:00 (Invierno) - OK"), 1);
    EXPECT_EQ(r.h.countLog(" - CIERRES HORARIOS OK - ( 2 CIERRES LEIDOS )"), 1);
}

TEST(ScriptedProfiles, FirstHourlyRecordWithAnImpossibleHourIsNotStored) {
    auto replies = profileOpening();
    replies.push_back(hourlyRecord(5, 31));
    replies.push_back(hourlyRecord(5, 3));
    replies.push_back(profileEcho(10));
    ScriptedReading r(replies);
    EXPECT_TRUE(r.h.thread->ReadHourlyClosures(0, 2026y / March / 5));
    const Tdevice& d = r.device();
    EXPECT_EQ(d.Quality[0](1, 0, 0), 0);
    EXPECT_EQ(r.h.countLog(" - CIERRE HORARIO FUERA DE RANGO, NO ALMACENADO"), 1);
    // The counter moved on by one: the next record takes slot 1.
    EXPECT_EQ(label(d.Labels[0](1, 0)), "05/03/26 03:00 W");
    EXPECT_EQ(d.Values[0](1, 1, 0), 301u);
}

}  // namespace
}  // namespace qv

// Frame exchanges, meter sessions, closure and load-profile walks of the
// reading thread: the meter simulator at the far end over TCP (and over a
// pseudo-terminal through the serial component), or a hand-made or scripted
// peer where the simulator would not misbehave the way a test needs.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "harness.h"
#include "meter-sim/iec_link.h"
#include "meter/frames.h"
#include "support/loopback_peer.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::Harness;
using test::LoopbackPeer;
using test::SimLink;
using test::simMeter;
using test::simMeters;

// A peer that streams noise as fast as the line takes it: some bytes always
// wait, and still the try ends when its time has passed.
TEST(Transport, PeerStreamingNoiseCannotHoldATryPastItsTime) {
    LoopbackPeer peer([](int fd, const std::atomic<bool>& stop) {
        char buf[256];
        if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
        const std::string noise(64, '\0');
        while (!stop && ::send(fd, noise.data(), noise.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    Harness h;
    h.useTcp(peer.port());
    h.thread->AsduRetries = 1;
    ASSERT_TRUE(h.thread->TcpClient->connect());
    bool result = true;
    h.runOnWorker([&] { result = h.thread->Transact(FixedFrame(0x49, 1)); });
    EXPECT_FALSE(result);
}

// A meter that answers at once, over many exchanges and a time-out of 0 (one
// poll): every reply is taken as it arrives and none is lost. Both links keep
// received bytes the same way; the serial line delivers them through the main
// thread's events. The second try only covers a machine too busy to deliver
// within the poll.
TEST(Transport, InstantRepliesAreNeverLost) {
    sim::SimConfig c = simMeters({1});
    c.replyDelayMs = 0;
    SimLink l(c, true);
    auto& t = *l.h.thread;
    t.AsduTimeout = 0;
    t.TraceFrames = false;
    int answered = 0;
    l.h.runOnWorker([&] {
        for (int i = 0; i < 150; ++i) answered += t.Transact(FixedFrame(0x49, 1));
    });
    EXPECT_EQ(answered, 150);
}

TEST(Transport, PeerClosingMidTransactionFailsTheRestAndReconnectWorks) {
    sim::SimConfig c = simMeters({1});
    c.dropAfterFrames = 1;  // the second request drops the connection
    SimLink l(c);
    auto& t = *l.h.thread;
    t.AsduRetries = 3;
    ASSERT_TRUE(t.TcpClient->connect());
    // A time-out typed on the command line is not clamped; ten polls a second
    // of it must not wrap into "already timed out".
    t.AsduTimeout = 300000000;
    ASSERT_TRUE(t.Transact(FixedFrame(0x49, 1)));
    t.AsduTimeout = 1;
    const int sentBefore = t.FramesSent;
    EXPECT_FALSE(t.Transact(FixedFrame(0x49, 1)));
    // The tries after the drop could not send anything; the operator learns
    // why, once.
    EXPECT_EQ(t.FramesSent - sentBefore, 1);
    EXPECT_FALSE(t.LinkUp());
    EXPECT_EQ(l.h.countLog(" - CONEXION PERDIDA - connection closed by the peer"), 1);
    EXPECT_EQ(l.h.countLog(" - ERROR DE ENVIO", true), 0);

    ASSERT_TRUE(t.ConnectTcp());
    EXPECT_TRUE(t.Transact(FixedFrame(0x49, 1)));
    // Closed between two exchanges: the send fails, and says so.
    t.TcpClient->disconnect();
    EXPECT_FALSE(t.SendFrame(FixedFrame(0x49, 1)));
    EXPECT_EQ(l.h.countLog(" - ERROR DE ENVIO - not connected"), 1);
}

// Step 1 is tried four times, each time with every retry; no retries at all
// still means one try. A silent try costs its poll and the 500-ms wait.
TEST(Session, SilentMeterCostsFourTimesTheTriesOfStepOne) {
    for (int retries : {3, 0}) {
        SCOPED_TRACE(retries);
        SimLink l(simMeters({5}, {5}));
        l.h.thread->AsduTimeout = 0;  // one poll per try
        l.h.thread->AsduRetries = retries;
        const auto t0 = steady_clock::now();
        EXPECT_FALSE(l.h.thread->OpenSession(0));
        const unsigned tries = 4u * unsigned(std::max(retries, 1));
        EXPECT_GE(steady_clock::now() - t0, tries * milliseconds(600));
        EXPECT_EQ(l.sim.framesReceived(), tries);
        EXPECT_EQ(l.h.lastGrid(1), "(4) ERROR DE ENLACE");
    }
}

// Openings that fail, four times each: a wrong password refused by the
// negative bit or, as meters from elsewhere do, by a cause that says the
// measuring point is unknown (16) with the bit clear, on a noisy line in
// pieces; an opening refused, or unanswered and then closed.
TEST(Session, FailedOpeningsAreTriedFourTimes) {
    const std::string refused = " - CONF. NEGATIVA  - PARAMETROS PTO.MEDIDA/PASS ERRONEOS";
    const struct {
        bool serial;
        std::string log;
        sim::SimFaults faults;
    } rows[] = {
        {true, refused, {.noiseBytes = 3, .splitChunk = 2}},
        {false, refused, {.noiseBytes = 3, .splitChunk = 2, .sessionCause = 16}},
        {false, " - CONF. NEGATIVA (SESION ABIERTA ?)", {.nackOpenSession = true}},
        {false, " - SIN RESPUESTA...(SESION ABIERTA ?)", {.silence = sim::Silence::OpenSession}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        sim::SimConfig c = simMeter(5, row.faults);
        if (row.log == refused) c.meters[0].password = 999;
        SimLink l(c, row.serial);
        l.h.thread->AsduRetries = 1;
        bool opened = true;
        l.h.runOnWorker([&] { opened = l.h.thread->OpenSession(0); });
        EXPECT_FALSE(opened);
        EXPECT_EQ(l.h.countLog(row.log), 4);
        EXPECT_EQ(l.h.lastGrid(1), "(5) ERROR DE LECTURA");
        if (row.faults.silence != sim::Silence::None) {
            EXPECT_EQ(l.h.countLog(" - SESSION CLOSED!"), 4);
        }
        if (row.log != refused) continue;
        // Step 4's end-session frames: C $53, $53, $73, $73.
        std::vector<std::string> controls;
        for (const auto& e : l.h.stream)
            if (const auto at = e.find("68 09 09 68 "); at < 6)
                controls.push_back(e.substr(at + 12, 2));
        EXPECT_EQ(controls, (std::vector<std::string>{"53", "53", "73", "73"}));
    }
}

// The access password (987654321: B1 68 DE 3A) never reaches the log, nor the
// checksum that would give it away: every trace of the opening frame shows
// "** ** ** ** **" in their place, the frame sent, its repeat after the
// acknowledgement came late, the meter's echo of it.
TEST(Session, PasswordIsMaskedInEveryTraceOfTheOpeningFrame) {
    sim::SimConfig c = simMeter(5, {.lateReply = 8, .lateReplyMs = 1300});  // step 8's ack
    c.meters[0].password = 987654321;
    sim::MeterSim sim(c);
    Harness h;
    h.useTcp(sim.listenTcp());
    h.addMeter(5, 50, 987654321);
    EXPECT_TRUE(h.thread->OpenSession(0));
    EXPECT_EQ(h.countLog(" 68 0D 0D 68 53 05 00 B7 01 06 32 00 00 ** ** ** ** ** 16 "), 2);
    EXPECT_EQ(h.countLog(" 0D 0D 68 08 05 00 B7 01 07 32 00 00 ** ** ** ** ** 16 "), 1);
    for (const auto& e : h.stream) EXPECT_EQ(e.find("B1 68 DE 3A"), std::string::npos) << e;
}

TEST(Session, HugePauseUnitWaitsUntilStoppedWithoutOverflow) {
    SimLink l(simMeters({5}));
    l.h.thread->InterAsdu = 2147483647;  // taken as given; every pause is then endless
    const auto t0 = steady_clock::now();
    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        l.h.thread->Terminate();
    });
    EXPECT_FALSE(l.h.thread->OpenSession(0));
    EXPECT_GE(steady_clock::now() - t0, 300ms);  // in its first pause until stopped
    stopper.join();
    // The modem's pause after connecting is the unit times 5000: past what
    // the clock can add, and still a plain (here already stopped) sleep.
    l.h.thread->SleepMs(l.h.thread->PauseMs(5000));
}

TEST(Session, LinkThatIsDownGivesCommunicationError) {
    Harness h;
    h.useTcp(test::LoopbackListener().port());  // nothing listens there any more
    h.addMeter(5, 50, 500);
    const auto t0 = steady_clock::now();
    EXPECT_FALSE(h.thread->OpenSession(0));
    EXPECT_GE(steady_clock::now() - t0, milliseconds(1000));  // the fixed reconnect wait
    EXPECT_EQ(h.lastGrid(1), "(3) ERROR DE COMUNICACION");
    // Closing over a link that is down sends nothing.
    h.thread->CloseSession(0);
    EXPECT_EQ(h.countLog(" - TRY TO CLOSE SESSION", true), 0);

    Harness closedPort;  // a serial link without a port
    closedPort.thread->IsSerial = true;
    closedPort.addMeter(2, 20, 1);
    EXPECT_FALSE(closedPort.thread->OpenSession(0));
    EXPECT_EQ(closedPort.lastGrid(1), "(3) ERROR DE COMUNICACION");
}

// ---- closures and load profiles ----
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
};

uint32_t closureAt(int reg, int y, int m, int d) {
    return sim::counterValue(kSeed, kLink, reg, simTime(y, m, d));
}

std::string label(const TSlotLabel& l) {
    return l.Date + " " + l.Time + (l.Summer ? " S" : " W");
}

std::string label(const sim::SimTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d %c", t.day, t.month, t.year % 100,
                  t.hour, t.minute, t.summer ? 'S' : 'W');
    return buf;
}

// The meter sends eight objects a closure, as real ones do (two further
// objects marked invalid); the time tag follows the last.
TEST(Closures, DailyClosuresOfEightObjects) {
    Reading r({.objectCount = 8});
    const Tdevice& d = r.read(IntervalDaily, 2026y / March / 2, 2026y / March / 4);
    ASSERT_EQ(d.DayCount(), 4u);
    for (int i = 0; i < 4; ++i) {
        for (int reg = 1; reg <= 6; ++reg)
            EXPECT_EQ(d.Values[i](reg, 0, 0), closureAt(reg, 2026, 3, 2 + i)) << i << "/" << reg;
        EXPECT_EQ(label(d.Labels[i](0, 0)), label(simTime(2026, 3, 2 + i))) << i;
    }
    EXPECT_EQ(r.h.lastGrid(1), "(6) LECTURA CORRECTA");
}

// Quarter-hourly profiles of the days the season changes (ordinary days,
// hourly profiles and the records' values: the program's own run tests): every
// record the meter holds lands in its running slot with its own tag, the slots
// after the last one stay preset.
TEST(Closures, QuarterHourProfilesOfSeasonChangeDays) {
    for (const auto& [m, dd, count] : {std::tuple{3, 29, 92}, {10, 25, 100}}) {
        SCOPED_TRACE(m);
        Reading r;
        const Day day = 2026y / m / dd;
        const Tdevice& d = r.read(IntervalQuarterHour, day, day);
        EXPECT_EQ(r.h.countLog(" - CIERRES CUARTIHORARIOS OK - ( " + std::to_string(count) +
                               " CIERRES LEIDOS )"),
                  1);
        ASSERT_EQ(d.DayCount(), 2u);
        const auto times = sim::recordTimes(simTime(2026, m, dd), simTime(2026, m, dd, 23, 59), 15);
        // The 00:00 record closes the day before and is skipped.
        for (std::size_t slot = 1; slot < std::size_t(kHours * 4); ++slot) {
            const int hour = int(slot / 4), q = int(slot % 4);
            const bool held = slot < times.size();
            EXPECT_EQ(label(d.Labels[0](hour, q)), held ? label(times[slot]) : "  W") << slot;
            EXPECT_EQ(d.Quality[0](1, hour, q), held ? 0 : TDayQuality::NoData) << slot;
        }
    }
}

// A daily closure whose time tag cannot be read (five objects declared of the
// six sent, seven declared in a six-object frame) is no reading of any day:
// nothing of it is stored, and the red line says why.
TEST(Closures, DailyFrameWithoutItsTimeTagIsNotStored) {
    for (const int declared : {5, 7}) {
        Reading r({.declaredCount = declared});
        const Tdevice& d = r.read(IntervalDaily, 2026y / March / 2, 2026y / March / 3);
        EXPECT_EQ(
            r.h.countLog(" - ERROR PARSING CIERRE DIARIO 02/03/26 - " + std::to_string(declared) +
                         " OBJETOS EN 56 BYTES, SIN ETIQUETA DE TIEMPO"),
            1);
        ASSERT_EQ(d.DayCount(), 1u);
        for (int reg = 1; reg <= 6; ++reg) EXPECT_EQ(d.Quality[0](reg, 0, 0), TDayQuality::NoData);
        EXPECT_TRUE(d.Labels[0](0, 0).Date.empty());
        EXPECT_EQ(r.h.lastGrid(1), "(5) ERROR DE LECTURA");
    }
}

// One reply of a profile lost on the way. A meter that repeats its last reply
// for a repeated frame count bit gives the record again; one that carries the
// poll out again gives the next, and the profile then fails rather than store
// the later records one slot early. Without a further try the profile is cut
// short and fails too, keeping what arrived.
TEST(Closures, LostProfileReplyGivesRightRecordsOrAVisibleFailure) {
    for (const auto& [noRepeat, retries] : {std::pair{false, 2}, {true, 2}, {false, 1}}) {
        SCOPED_TRACE(std::to_string(noRepeat) + " " + std::to_string(retries));
        const bool read = !noRepeat && retries > 1;
        // After the daily closure, the 00:00 .. 08:00 records: 08:00 lost.
        Reading r({.loseData = 10, .noRepeat = noRepeat});
        r.h.thread->AsduRetries = retries;
        const Tdevice& d = r.read(IntervalHourly, 2026y / March / 5, 2026y / March / 5);
        EXPECT_EQ(r.h.lastGrid(1), read ? "(6) LECTURA CORRECTA" : "(5) ERROR DE LECTURA");
        for (int hour = 1; hour <= 23; ++hour)
            EXPECT_EQ(label(d.Labels[0](hour, 0)),
                      read || hour < 8 ? label(simTime(2026, 3, 5, hour)) : "  W");
        EXPECT_EQ(r.h.countLog(" - CIERRE HORARIO 05/03/26 - 09:00 (Invierno)"
                               " - RESPUESTA PERDIDA, CIERRES NO ALMACENADOS"),
                  noRepeat ? 1 : 0);
        EXPECT_EQ(r.h.countLog(" - ERROR CIERRES HORARIOS INCOMPLETOS - ( 8 CIERRES LEIDOS )"),
                  read ? 0 : 1);
    }
}

// One reply lost or held back past the time-out costs one retry, wherever it
// falls: the confirmation of the session's end (the closing gets the same
// bytes), a "no data" before the next poll's own "no data" (the session's
// steps 6 and 10), the one after a profile, the last daily closure and the
// repeat of it that the session's closing poll, the same frame, rightly gets,
// the last reply of all. A lost reply drops nothing; a late one at most its
// copy.
TEST(Transport, OneLostOrLateReplyCostsOneRetry) {
    const auto readAndClose = [](Reading& r) {
        const Tdevice& d = r.read(IntervalHourly, 2026y / March / 5, 2026y / March / 5);
        r.h.thread->CloseSession(0);
        EXPECT_EQ(r.h.lastGrid(1), "(6) LECTURA CORRECTA");
        EXPECT_EQ(r.h.countLog(" - SESSION CLOSED!"), 1);
        EXPECT_EQ(label(d.Labels[0](23, 0)), label(simTime(2026, 3, 5, 23)));
        return r.h.thread->FramesSent.load();
    };
    Reading clean;
    const int frames = readAndClose(clean);
    const auto dropped = [](Reading& r) {
        return r.h.countLog(" - TRAMA DESCARTADA, COPIA", true) +
               r.h.countLog(" - TRAMA DESCARTADA, NO RESPONDE", true);
    };
    for (const int lost : {5, 6, 10, 43, 46, 47, 51}) {
        SCOPED_TRACE("reply " + std::to_string(lost) + " lost");
        Reading r({.loseReply = lost});
        EXPECT_EQ(readAndClose(r), frames + 1);
        EXPECT_EQ(dropped(r), 0);
    }
    // The session's echo (its copy would stand in for step 10's "no data"), the
    // last daily closure; held past the retry, to come while a later request
    // waits: a "no data" (before the daily closure's confirmation), a record.
    for (const auto& [late, ms] : {std::pair{9, 1300}, {46, 1300}, {11, 1950}, {18, 1950}}) {
        SCOPED_TRACE("reply " + std::to_string(late) + " late by " + std::to_string(ms));
        Reading r({.lateReply = late, .lateReplyMs = ms});
        EXPECT_EQ(readAndClose(r), frames + 1);
        EXPECT_LE(dropped(r), 1);
    }
}

// A meter that repeats its last record (once, twice, or without end, on a
// 24- or 23-hour day): the first record that does not follow the one before is
// not stored, is named in red, and fails the reading; nothing lands past the
// day's records. A frozen meter: the request left unanswered is named once; one
// whose last record is lost: the record it came after is named; a closure reply
// refused: what was wrong with it. The profile's red line counts the records
// taken before the refused one.
TEST(Closures, RecordsOutOfOrderAndAFrozenMeterFailTheReading) {
    const auto outOfOrder = [](const char* record) {
        return " - CIERRE " + std::string(record) + " - FUERA DE ORDEN, NO ALMACENADO";
    };
    const std::string lost =
        " - CIERRE HORARIO 05/03/26 - 22:00 (Invierno) - RESPUESTA PERDIDA, "
        "FALTAN LOS CIERRES SIGUIENTES";
    const std::string frozen =
        " - SIN RESPUESTA A PETICION DE DATOS DE CLASE 2 TRAS 2 INTENTOS DE 1 S";
    const struct {
        bool quarter;
        unsigned march;  // the day
        sim::SimFaults faults;
        std::string line;
        int read = -1;  // records the profile's red line counts; -1: no such line
    } rows[] = {
        {false, 5, {.extraRecords = 1000}, outOfOrder("HORARIO 05/03/26 - 23:00 (Invierno)"), 24},
        {true, 5, {.extraRecords = 1}, outOfOrder("CUARTIHORARIO 05/03/26 - 23:45 (Invierno)"), 96},
        {false, 29, {.extraRecords = 2}, outOfOrder("HORARIO 29/03/26 - 23:00 (Verano)"), 23},
        {false, 5, {.silence = sim::Silence::Data}, frozen},
        // The last record lost, the repeated poll answered with the end.
        {false, 5, {.loseData = 25, .noRepeat = true}, lost, 23},
        // clang-format off
        // The only record (on the daily closure's own tag), or one in the
        // middle, refused: neither moves the count.
        {true, 5, {.skipFirst = 95, .closureMinute = 23 * 60 + 45}, outOfOrder("CUARTIHORARIO 05/03/26 - 23:45 (Invierno)"), 0},
        {false, 5, {.repeatRecord = 10}, outOfOrder("HORARIO 05/03/26 - 08:00 (Invierno)"), 9},
        // Closure replies refused: each says why.
        {false, 5, {.negativeData = true}, " - ERROR PARSING CIERRE DIARIO 05/03/26 - CAUSA DE TRANSMISION NEGATIVA (5)"},
        {false, 5, {.negativeConfirmation = true}, " - CONF. NEGATIVA DE LA PETICION DE CIERRES DIARIOS (CAUSA 7)"},
        {false, 5, {.objectCount = 5}, " - ERROR PARSING CIERRE DIARIO 05/03/26 - 5 OBJETOS EN 50 BYTES, SE ESPERAN 6 Y UNA ETIQUETA DE TIEMPO"},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        Reading r(row.faults);
        const Day day = 2026y / March / std::chrono::day(row.march);
        const Tdevice& d = r.read(row.quarter ? IntervalQuarterHour : IntervalHourly, day, day);
        EXPECT_EQ(r.h.countLog(row.line), 1);
        if (row.read >= 0) {
            EXPECT_EQ(r.h.countLog(std::string(" - ERROR CIERRES ") +
                                       (row.quarter ? "CUARTIHORARIOS" : "HORARIOS") +
                                       " INCOMPLETOS - ( " + std::to_string(row.read) +
                                       " CIERRES LEIDOS )",
                                   true),
                      1);
        }
        EXPECT_EQ(d.DayCount(), 1u);  // the walk ends there
        for (int q = 0; q < 4; ++q) EXPECT_EQ(label(d.Labels[0](24, q)), "  W");
        EXPECT_LT(r.sim.framesReceived(), 140u);
        EXPECT_EQ(r.h.lastGrid(1), "(5) ERROR DE LECTURA");
    }
}

TEST(Closures, MissingRegisterIsStoredAsNoDataNotAsAReading) {
    Reading r({.missingRegister = 3});  // sent under address 0, which is skipped
    const Tdevice& d = r.read(IntervalHourly, 2026y / March / 5, 2026y / March / 5);
    EXPECT_EQ(d.Quality[0](3, 0, 0), TDayQuality::NoData);  // the daily closure lacks it
    for (int hour = 1; hour <= 23; ++hour) {
        EXPECT_EQ(d.Values[0](3, hour, 0), 0u);
        EXPECT_EQ(d.Quality[0](3, hour, 0), TDayQuality::NoData) << "hour " << hour;
        EXPECT_EQ(d.Quality[0](2, hour, 0), 0) << "hour " << hour;
    }
    EXPECT_EQ(r.h.lastGrid(1), "(6) LECTURA CORRECTA");
}

// A meter's frames built with the simulator's codec, apart from the code under
// test.
std::string ack() {
    return sim::iec::fixedFrame(0x00, kLink);
}
std::string noData() {
    return sim::iec::fixedFrame(0x09, kLink);
}
// The confirmation (cause 7) of a load-profile request or the end of its
// transfer (cause 10).
std::string profileEcho(char cause) {
    const std::string asdu = {'\x7B', '\x01', cause, '\x09', '\0', '\x0B', '\x01', '\x06'};
    return sim::iec::variableFrame(0x08, kLink, asdu + std::string(10, '\0'));
}
// One hourly record: registers 1..6 hold hour * 100 + register.
std::string hourlyRecord(int hour, int minute) {
    std::string asdu = {'\x0B', '\x06', '\x05', '\x09', '\0', '\x0B'};
    for (int reg = 1; reg <= 6; ++reg) {
        const uint32_t v = uint32_t(hour * 100 + reg);
        asdu += {char(reg), char(v & 0xFF), char(v >> 8), '\0', '\0', '\0'};
    }
    asdu += {char(minute), char(hour), '\x05', '\x03', '\x1A'};  // 05/03/26 hh:mm, winter
    return sim::iec::variableFrame(0x08, kLink, asdu);
}

// A profile against a scripted meter: the poll, the request's acknowledgement
// and its confirmation, the records (tag hour, minute), the end of the
// transfer; later polls find no data.
struct ScriptedReading {
    test::LoopbackPeer meter;
    Harness h;
    explicit ScriptedReading(const std::vector<std::pair<int, int>>& records)
        : meter(test::LoopbackPeer::Scripted(script(records), noData())) {
        h.useTcp(meter.port());
        h.addMeter(kLink, 9, 1);
        h.thread->AsduRetries = 1;
        EXPECT_TRUE(h.thread->ConnectTcp());
        h.thread->Devices[0].Device->AddDay();  // the daily closure's element
    }
    static std::vector<std::string> script(const std::vector<std::pair<int, int>>& records) {
        std::vector<std::string> replies = {noData(), ack(), profileEcho(7)};
        for (auto [hour, minute] : records) replies.push_back(hourlyRecord(hour, minute));
        replies.push_back(profileEcho(10));
        return replies;
    }
    const Tdevice& device() { return *h.thread->Devices[0].Device; }
};

TEST(ScriptedProfiles, FirstHourlyRecordsMissingStoreAtTheirTagHourNeverHourZero) {
    ScriptedReading r({{3, 0}, {4, 0}});
    EXPECT_TRUE(r.h.thread->ReadHourlyClosures(0, 2026y / March / 5));
    const Tdevice& d = r.device();
    EXPECT_EQ(d.Values[0](1, 0, 0), 0u);  // the daily closure's slot is left alone
    EXPECT_EQ(d.Quality[0](1, 2, 0), TDayQuality::NoData);
    EXPECT_EQ(label(d.Labels[0](3, 0)), "05/03/26 03:00 W");
    EXPECT_EQ(d.Values[0](6, 3, 0), 306u);
    EXPECT_EQ(d.Values[0](2, 4, 0), 402u);
    EXPECT_EQ(d.Quality[0](1, 5, 0), TDayQuality::NoData);
}

// The meter ends the transfer right after the 00:00 record, which closes the
// day before: nothing of the day was stored, so the profile is not read (the
// red line counts that record). One record of the day after it reads it.
TEST(ScriptedProfiles, TheRecordClosingTheDayBeforeAloneReadsNothingOfTheDay) {
    for (const bool quarter : {false, true}) {
        for (const bool dayRecord : {false, true}) {
            SCOPED_TRACE(std::to_string(quarter) + std::to_string(dayRecord));
            std::vector<std::pair<int, int>> records = {{0, 0}};
            if (dayRecord) records.push_back({quarter ? 0 : 1, quarter ? 15 : 0});
            ScriptedReading r(records);
            const Day day = 2026y / March / 5;
            EXPECT_EQ(quarter ? r.h.thread->ReadQuarterHourClosures(0, day)
                              : r.h.thread->ReadHourlyClosures(0, day),
                      dayRecord);
            const std::string kind = quarter ? "CUARTIHORARIOS" : "HORARIOS";
            EXPECT_EQ(r.h.countLog(" - ERROR CIERRES " + kind +
                                   " INCOMPLETOS - ( 1 CIERRES LEIDOS ) - SIN CIERRES DEL DIA"),
                      dayRecord ? 0 : 1);
            EXPECT_EQ(r.h.countLog(" - CIERRES " + kind + " OK - ( 2 CIERRES LEIDOS )"),
                      dayRecord ? 1 : 0);
        }
    }
}

// A record whose tag is no time of the day, or that does not come after the
// record before it, is not stored: the transfer ends there and the profile
// fails, keeping what came before.
TEST(ScriptedProfiles, RecordsOutOfTheDayOrOutOfOrderFailTheProfile) {
    const struct {
        bool quarter;
        std::vector<std::pair<int, int>> records;
        const char *tag, *refused;
        int hour, q;
        const char* kept;
    } rows[] = {
        {false, {{31, 0}, {3, 0}}, "31:00", "FUERA DEL DIA", 3, 0, "  W"},
        {false, {{3, 0}, {2, 0}}, "02:00", "FUERA DE ORDEN", 3, 0, "05/03/26 03:00 W"},
        {true, {{0, 15}, {0, 15}, {0, 30}}, "00:15", "FUERA DE ORDEN", 0, 1, "05/03/26 00:15 W"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.tag);
        ScriptedReading r(row.records);
        const Day day = 2026y / March / 5;
        EXPECT_FALSE(row.quarter ? r.h.thread->ReadQuarterHourClosures(0, day)
                                 : r.h.thread->ReadHourlyClosures(0, day));
        EXPECT_EQ(r.h.countLog(std::string(" - CIERRE ") + (row.quarter ? "CUARTI" : "") +
                               "HORARIO 05/03/26 - " + row.tag + " (Invierno) - " + row.refused +
                               ", NO ALMACENADO"),
                  1);
        EXPECT_EQ(label(r.device().Labels[0](row.hour, row.q)), row.kept);
        EXPECT_EQ(label(r.device().Labels[0](row.hour, row.q + 1)), "  W");
    }
}

}  // namespace
}  // namespace qv

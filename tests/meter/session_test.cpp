// Opening and closing meter sessions, the meter simulator at the far end over
// TCP (and over a pseudo-terminal through the serial component).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bytes.h"
#include "harness.h"
#include "meter/frames.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::Harness;
using test::hex;
using test::SimLink;
using test::simMeter;
using test::simMeters;

TEST(Session, OpensReadsAndCloses) {
    SimLink l(simMeters({5}));
    Harness& h = l.h;
    h.thread->Interval = IntervalDaily;
    h.thread->DateFrom = h.thread->DateTo = Day(2026y / March / 6);
    ASSERT_TRUE(h.thread->OpenSession(0));
    h.thread->ReadMeter(0);
    h.thread->CloseSession(0);
    // Not connected yet: a TCP opening reconnects first.
    EXPECT_EQ(h.countLogPrefix(" - TRY TO RECONNECT TO: 127.0.0.1:"), 1);
    EXPECT_EQ(h.countLog(" - TRY TO OPEN SESSION TO: 5  PM  : 50  PASS: 500"), 1);
    EXPECT_EQ(h.countLog(" - SESSION OPENED"), 1);
    // The open-session request carries point and password, low bytes first.
    EXPECT_EQ(h.traced("68 0D 0D 68 53 05 00 B7 01 06 32 00 00 F4 01 00 00 ").size(), 1u);
    EXPECT_EQ(h.countLog(" 10 49 05 00 4E 16 "), 1);
    EXPECT_EQ(h.countLog(" 0B 05 00 10 16 "), 1);

    EXPECT_EQ(h.devices.size(), 1u);  // its values: in the reading-run and closure tests
    EXPECT_EQ(h.gridTexts(1),
              (std::vector<std::string>{"BUSCANDO CONTADOR...", "CONTADOR ENCONTRADO...",
                                        "(6) LECTURA CORRECTA"}));
    EXPECT_EQ(h.countLog(" - TRY TO CLOSE SESSION : 5"), 1);
    EXPECT_EQ(h.countLog(" - SESSION CLOSED!"), 1);
    EXPECT_EQ(h.traced("68 09 09 68 53 05 00 BB").size(), 2u);  // step 4 and the close
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
        EXPECT_EQ(l.h.countLog(" - STEP #1 (SOLICITUD DE ESTADO DE ENLACE)"), 4);
        EXPECT_EQ(l.h.countLogPrefix(" - STEP #2"), 0);
        EXPECT_EQ(l.sim.framesReceived(), tries);
        EXPECT_EQ(l.h.lastGrid(1), "(4) ERROR DE ENLACE");
    }
}

// Refused by the negative bit, or, as meters from elsewhere do, by a cause that
// says the measuring point is unknown (16) with the bit clear.
TEST(Session, WrongPasswordIsRefusedFourTimesWithTheFrameCountBitAlternating) {
    for (const auto& [serial, cause] : {std::pair{false, 0}, {true, 0}, {false, 16}}) {
        SCOPED_TRACE(std::string(serial ? "serial line" : "TCP") + " cause " +
                     std::to_string(cause));
        sim::SimFaults f;
        f.noiseBytes = 3;  // and a noisy line, replies in pieces
        f.splitChunk = 2;
        f.sessionCause = cause;
        sim::SimConfig c = simMeter(5, f);
        c.meters[0].password = 999;
        SimLink l(c, serial);
        bool opened = true;
        l.run([&] { opened = l.h.thread->OpenSession(0); });
        EXPECT_FALSE(opened);
        EXPECT_EQ(l.h.countLog(" - CONF. NEGATIVA  - PARAMETROS PTO.MEDIDA/PASS ERRONEOS"), 4);
        EXPECT_EQ(l.h.countLog(" - SESSION OPENED"), 0);
        EXPECT_EQ(l.h.lastGrid(1), "(5) ERROR DE LECTURA");
        // Step 4's end-session frames: C $53, $53, $73, $73.
        std::vector<std::string> controls;
        for (const auto& t : l.h.traced("68 09 09 68 ")) controls.push_back(t.substr(12, 2));
        EXPECT_EQ(controls, (std::vector<std::string>{"53", "53", "73", "73"}));
    }
}

// A time-out typed on the command line is not clamped; ten polls a second of
// it must not wrap into "already timed out".
TEST(Session, HugeReplyTimeoutStillWaitsForTheReply) {
    SimLink l(simMeters({5}));
    l.h.thread->AsduTimeout = 300000000;
    l.h.thread->AsduRetries = 1;
    ASSERT_TRUE(l.h.thread->TcpClient->connect());
    EXPECT_TRUE(l.h.thread->Transact(FixedFrame(0x49, 5)));
    EXPECT_EQ(l.h.thread->LastFrame, hex("0B 05 00 10 16"));
}

TEST(Session, HugePauseUnitWaitsUntilStoppedWithoutOverflow) {
    SimLink l(simMeters({5}));
    l.h.thread->InterAsdu = 2147483647;  // taken as given; every pause is then endless
    std::atomic<bool> done{false};
    bool opened = true;
    std::thread worker([&] {
        opened = l.h.thread->OpenSession(0);
        done = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(done.load());  // still in its first pause
    l.h.thread->Terminate();
    worker.join();
    EXPECT_FALSE(opened);
    // The modem's pause after connecting is the unit times 5000: past what
    // the clock can add, and still a plain (here already stopped) sleep.
    l.h.thread->SleepMs(l.h.thread->PauseMs(5000));
}

TEST(Session, RefusedOrUnansweredOpeningIsLoggedEachTime) {
    sim::SimFaults f;
    f.nackOpenSession = true;
    {
        SimLink l(simMeter(5, f));
        EXPECT_FALSE(l.h.thread->OpenSession(0));
        EXPECT_EQ(l.h.countLog(" - CONF. NEGATIVA (SESION ABIERTA ?)"), 4);
        EXPECT_EQ(l.h.lastGrid(1), "(5) ERROR DE LECTURA");
    }
    f = {};
    f.silence = sim::Silence::OpenSession;  // silence after the opening: try to close it
    SimLink l(simMeter(5, f));
    l.h.thread->AsduRetries = 1;
    EXPECT_FALSE(l.h.thread->OpenSession(0));
    EXPECT_EQ(l.h.countLog(" - SIN RESPUESTA...(SESION ABIERTA ?)"), 4);
    EXPECT_EQ(l.h.countLog(" - TRY TO CLOSE SESSION : 5"), 4);
    EXPECT_EQ(l.h.countLog(" - SESSION CLOSED!"), 4);
}

TEST(Session, LinkThatIsDownGivesCommunicationError) {
    uint16_t port;
    {
        sim::MeterSim gone(simMeters({5}));
        port = gone.listenTcp();
    }
    Harness h;
    h.useTcp(port);
    h.addMeter(5, 50, 500);
    const auto t0 = steady_clock::now();
    EXPECT_FALSE(h.thread->OpenSession(0));
    EXPECT_GE(steady_clock::now() - t0, milliseconds(1000));  // the fixed reconnect wait
    EXPECT_EQ(h.lastGrid(1), "(3) ERROR DE COMUNICACION");
    EXPECT_EQ(h.countLogPrefix(" - STEP"), 0);
    // Closing over a link that is down sends nothing.
    h.thread->CloseSession(0);
    EXPECT_EQ(h.countLogPrefix(" - TRY TO CLOSE SESSION"), 0);

    Harness closedPort;  // a serial link whose port is not open
    closedPort.thread->IsSerial = true;
    closedPort.addMeter(2, 20, 1);
    EXPECT_FALSE(closedPort.thread->LinkUp());
    EXPECT_FALSE(closedPort.thread->SendFrame(FixedFrame(0x49, 2)));
    EXPECT_FALSE(closedPort.thread->Transact(FixedFrame(0x49, 2)));
    EXPECT_FALSE(closedPort.thread->OpenSession(0));
    EXPECT_EQ(closedPort.lastGrid(1), "(3) ERROR DE COMUNICACION");
}

TEST(Session, TerminationEndsATwelveSecondWaitWithinATenthOfASecond) {
    SimLink l(simMeters({5}, {5}));
    l.h.thread->AsduTimeout = 12;
    ASSERT_TRUE(l.h.thread->ConnectTcp());
    steady_clock::time_point stopAt;
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(400));
        stopAt = steady_clock::now();
        l.h.thread->Terminate();
    });
    EXPECT_FALSE(l.h.thread->OpenSession(0));
    const auto end = steady_clock::now();
    stopper.join();
    EXPECT_LT(end - stopAt, milliseconds(250));
    EXPECT_EQ(l.h.countLog(" - STEP #1 (SOLICITUD DE ESTADO DE ENLACE)"), 1);
    EXPECT_EQ(l.h.lastGrid(1), "(4) ERROR DE ENLACE");
    // Stopped: nothing more goes out, and a wait returns at once.
    EXPECT_FALSE(l.h.thread->Transact(FixedFrame(0x49, 5)));
    const auto t0 = steady_clock::now();
    l.h.thread->WaitMs(12000);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(100));
}

}  // namespace
}  // namespace qv

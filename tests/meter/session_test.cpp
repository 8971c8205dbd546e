// Frame exchanges and meter sessions of the reading thread: the meter
// simulator at the far end over TCP (and over a pseudo-terminal through the
// serial component), or a hand-made peer where the simulator would not
// misbehave the way a test needs.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "harness.h"
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
    std::atomic<bool> done{false};
    bool result = true;
    const auto t0 = steady_clock::now();
    std::thread worker([&] {
        result = h.thread->Transact(FixedFrame(0x49, 1));
        done = true;
    });
    while (!done && steady_clock::now() - t0 < seconds(20)) std::this_thread::sleep_for(10ms);
    const bool ended = done.load();
    if (!ended) h.thread->Terminate();  // let the test end either way
    worker.join();
    EXPECT_TRUE(ended) << "the try never ended";
    EXPECT_FALSE(result);
}

// A meter that answers at once, over many exchanges and a time-out of 0 (one
// poll): every reply is taken as it arrives and none is lost, on either link.
// The second try only covers a machine too busy to deliver within the poll.
TEST(Transport, InstantRepliesAreNeverLost) {
    for (bool serial : {false, true}) {
        SCOPED_TRACE(serial ? "serial line" : "TCP");
        sim::SimConfig c = simMeters({1});
        c.replyDelayMs = 0;
        SimLink l(c, serial);
        auto& t = *l.h.thread;
        t.AsduTimeout = 0;
        t.AsduRetries = 2;
        t.TraceFrames = false;
        int answered = 0;
        l.h.runOnWorker([&] {
            if (!serial && !t.ConnectTcp()) return;
            for (int i = 0; i < 150; ++i) answered += t.Transact(FixedFrame(0x49, 1));
        });
        EXPECT_EQ(answered, 150);
    }
}

TEST(Transport, PeerClosingMidTransactionFailsTheRestAndReconnectWorks) {
    sim::SimConfig c = simMeters({1});
    c.dropAfterFrames = 1;  // the second request drops the connection
    SimLink l(c);
    auto& t = *l.h.thread;
    t.AsduRetries = 3;
    ASSERT_TRUE(t.TcpClient->connect());
    ASSERT_TRUE(t.Transact(FixedFrame(0x49, 1)));
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

TEST(Transport, ReceiveBufferIsSharedSafelyWithAnotherThread) {
    Harness h;
    const std::string frame = FixedFrame(0x0B, 1);
    // Another thread appends whole frames byte by byte while this one extracts.
    std::thread feeder([&] {
        for (int i = 0; i < 2000; ++i)
            for (char c : frame) h.thread->AppendRx(std::string(1, c));
    });
    int found = 0;
    while (found < 2000) {
        h.thread->LastFrame.clear();
        h.thread->ExtractFrame();
        if (!h.thread->LastFrame.empty()) {
            EXPECT_EQ(h.thread->LastFrame, frame.substr(1));
            if (h.thread->LastFrame != frame.substr(1)) break;
            ++found;
        } else if (!h.thread->RxWaiting()) {
            std::this_thread::yield();
        }
    }
    feeder.join();
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

// Refused by the negative bit, or, as meters from elsewhere do, by a cause that
// says the measuring point is unknown (16) with the bit clear.
TEST(Session, WrongPasswordIsRefusedFourTimesWithTheFrameCountBitAlternating) {
    for (const auto& [serial, cause] : {std::pair{true, 0}, {false, 16}}) {
        SCOPED_TRACE(std::string(serial ? "serial line" : "TCP") + " cause " +
                     std::to_string(cause));
        // And a noisy line, replies in pieces.
        sim::SimConfig c = simMeter(5, {.noiseBytes = 3, .splitChunk = 2, .sessionCause = cause});
        c.meters[0].password = 999;
        SimLink l(c, serial);
        bool opened = true;
        l.h.runOnWorker([&] { opened = l.h.thread->OpenSession(0); });
        EXPECT_FALSE(opened);
        EXPECT_EQ(l.h.countLog(" - CONF. NEGATIVA  - PARAMETROS PTO.MEDIDA/PASS ERRONEOS"), 4);
        EXPECT_EQ(l.h.lastGrid(1), "(5) ERROR DE LECTURA");
        // Step 4's end-session frames: C $53, $53, $73, $73.
        std::vector<std::string> controls;
        for (const auto& t : l.h.logs())
            if (const auto at = t.find("68 09 09 68 "); at < 2)
                controls.push_back(t.substr(at + 12, 2));
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
    {
        SimLink l(simMeter(5, {.nackOpenSession = true}));
        EXPECT_FALSE(l.h.thread->OpenSession(0));
        EXPECT_EQ(l.h.countLog(" - CONF. NEGATIVA (SESION ABIERTA ?)"), 4);
        EXPECT_EQ(l.h.lastGrid(1), "(5) ERROR DE LECTURA");
    }
    // Silence after the opening: try to close it.
    SimLink l(simMeter(5, {.silence = sim::Silence::OpenSession}));
    l.h.thread->AsduRetries = 1;
    EXPECT_FALSE(l.h.thread->OpenSession(0));
    EXPECT_EQ(l.h.countLog(" - SIN RESPUESTA...(SESION ABIERTA ?)"), 4);
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
    // Closing over a link that is down sends nothing.
    h.thread->CloseSession(0);
    EXPECT_EQ(h.countLog(" - TRY TO CLOSE SESSION", true), 0);

    Harness closedPort;  // a serial link without a port
    closedPort.thread->IsSerial = true;
    closedPort.addMeter(2, 20, 1);
    EXPECT_FALSE(closedPort.thread->OpenSession(0));
    EXPECT_EQ(closedPort.lastGrid(1), "(3) ERROR DE COMUNICACION");
}

}  // namespace
}  // namespace qv

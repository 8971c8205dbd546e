// Frame exchanges: the simulator, or a hand-made peer where the simulator
// would not misbehave the way a test needs.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bytes.h"
#include "harness.h"
#include "meter/frames.h"
#include "support/loopback_peer.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::Harness;
using test::hex;
using test::LoopbackPeer;
using test::SimLink;
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
        l.run([&] {
            if (!serial && !t.ConnectTcp()) return;
            for (int i = 0; i < 150; ++i) answered += t.Transact(FixedFrame(0x49, 1));
        });
        EXPECT_EQ(answered, 150);
        EXPECT_EQ(t.LastFrame, hex("0B 01 00 0C 16"));
        EXPECT_EQ(t.TxHead, hex("10 49"));
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
    EXPECT_FALSE(t.TcpClient->connected());
    EXPECT_EQ(l.h.countLog(" except!"), 1);
    // The tries after the drop could not send anything.
    EXPECT_EQ(t.FramesSent - sentBefore, 1);
    EXPECT_FALSE(t.SendFrame(FixedFrame(0x49, 1)));
    EXPECT_FALSE(t.LinkUp());
    // The operator learns why, once.
    EXPECT_EQ(l.h.countLog(" - CONEXION PERDIDA - connection closed by the peer"), 1);
    EXPECT_EQ(l.h.countLogPrefix(" - ERROR DE ENVIO"), 0);

    ASSERT_TRUE(t.ConnectTcp());
    EXPECT_TRUE(t.Transact(FixedFrame(0x49, 1)));
    EXPECT_EQ(l.sim.connectionsAccepted(), 2u);
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

}  // namespace
}  // namespace qv

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bytes.h"
#include "harness.h"
#include "meter/frames.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::Harness;
using test::hex;

sim::SimConfig oneMeter(sim::SimFaults faults = {}) {
    sim::SimConfig c;
    sim::SimMeter m;
    m.linkAddress = 1;
    m.measurePoint = 1;
    m.password = 1;
    m.faults = faults;
    c.meters.push_back(m);
    return c;
}

// A peer that answers every request with fixed bytes.
class CannedPeer {
  public:
    explicit CannedPeer(std::string reply) : reply_(std::move(reply)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 1);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        worker_ = std::thread([this] {
            const int peer = ::accept(fd_, nullptr, nullptr);
            if (peer < 0) return;
            char buf[256];
            while (::recv(peer, buf, sizeof buf, 0) > 0) {
                std::this_thread::sleep_for(milliseconds(20));
                ::send(peer, reply_.data(), reply_.size(), MSG_NOSIGNAL);
            }
            ::close(peer);
        });
    }
    ~CannedPeer() {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        worker_.join();
    }
    uint16_t port() const { return port_; }

  private:
    std::string reply_;
    int fd_;
    uint16_t port_ = 0;
    std::thread worker_;
};

// A peer that, once asked, streams bytes that never form a frame.
class StreamingPeer {
  public:
    StreamingPeer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 1);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        worker_ = std::thread([this] {
            const int peer = ::accept(fd_, nullptr, nullptr);
            if (peer < 0) return;
            char buf[256];
            if (::recv(peer, buf, sizeof buf, 0) > 0) {
                const std::string noise(64, '\0');
                // As fast as the line takes it: some bytes always wait.
                while (!stop_ && ::send(peer, noise.data(), noise.size(), MSG_NOSIGNAL) > 0) {
                }
            }
            ::close(peer);
        });
    }
    ~StreamingPeer() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        worker_.join();
    }
    uint16_t port() const { return port_; }

  private:
    int fd_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

TEST(Transport, PeerStreamingNoiseCannotHoldATryPastItsTime) {
    StreamingPeer peer;
    Harness h;
    h.useTcp(peer.port());
    h.thread->AsduRetries = 1;
    h.thread->AsduTimeout = 1;
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

TEST(Transport, TcpExchangeStoresTheReplyAndTracesWithALeadingBlank) {
    sim::MeterSim sim(oneMeter());
    Harness h;
    h.useTcp(sim.listenTcp());
    ASSERT_TRUE(h.thread->TcpClient->connect());
    ASSERT_TRUE(h.thread->Transact(FixedFrame(0x49, 1)));
    EXPECT_EQ(h.thread->LastFrame, hex("0B 01 00 0C 16"));
    EXPECT_EQ(h.thread->TxHead, hex("10 49"));
    auto logs = h.logs();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0], " 10 49 01 00 4A 16 ");
    EXPECT_EQ(logs[1], " 0B 01 00 0C 16 ");
    EXPECT_EQ(h.messages[0].value, colour::Red);
}

TEST(Transport, HugeReplyTimeoutStillWaitsForTheReply) {
    // A time-out typed on the command line is not clamped; ten polls a second
    // of it must not wrap into "already timed out".
    sim::MeterSim sim(oneMeter());
    Harness h;
    h.useTcp(sim.listenTcp());
    h.thread->AsduTimeout = 300000000;
    h.thread->AsduRetries = 1;
    ASSERT_TRUE(h.thread->TcpClient->connect());
    ASSERT_TRUE(h.thread->Transact(FixedFrame(0x49, 1)));
    EXPECT_EQ(h.thread->LastFrame, hex("0B 01 00 0C 16"));
}

TEST(Transport, NoiseAndRepliesInPiecesStillGiveTheFrame) {
    sim::SimFaults f;
    f.noiseBytes = 5;
    f.splitChunk = 2;
    sim::MeterSim sim(oneMeter(f));
    Harness h;
    h.useTcp(sim.listenTcp());
    ASSERT_TRUE(h.thread->TcpClient->connect());
    ASSERT_TRUE(h.thread->Transact(FixedFrame(0x49, 1)));
    EXPECT_EQ(h.thread->LastFrame, hex("0B 01 00 0C 16"));
    EXPECT_EQ(sim.framesReceived(), 1u);
}

TEST(Transport, SilentMeterCostsEveryTryAndZeroRetriesMeansOne) {
    sim::SimFaults f;
    f.silence = sim::Silence::All;
    sim::MeterSim sim(oneMeter(f));
    Harness h;
    h.useTcp(sim.listenTcp());
    h.thread->AsduTimeout = 0;  // one poll per try, then the 500-ms wait
    ASSERT_TRUE(h.thread->TcpClient->connect());

    h.thread->AsduRetries = 3;
    auto t0 = steady_clock::now();
    EXPECT_FALSE(h.thread->Transact(FixedFrame(0x49, 1)));
    const auto took = steady_clock::now() - t0;
    EXPECT_GE(took, milliseconds(3 * 600));
    EXPECT_EQ(h.thread->FramesSent.load(), 3);
    EXPECT_TRUE(h.thread->LastFrame.empty());

    h.thread->AsduRetries = 0;
    EXPECT_FALSE(h.thread->Transact(FixedFrame(0x49, 1)));
    EXPECT_EQ(h.thread->FramesSent.load(), 4);
}

TEST(Transport, SingleCharacterAcknowledgementIsNoReply) {
    CannedPeer peer(hex("E5"));
    Harness h;
    h.useTcp(peer.port());
    h.thread->AsduRetries = 1;
    ASSERT_TRUE(h.thread->TcpClient->connect());
    EXPECT_FALSE(h.thread->Transact(FixedFrame(0x49, 1)));
    // The peer did answer; its single character stays unrecognised.
    EXPECT_FALSE(h.thread->RxSnapshot().empty());
    EXPECT_TRUE(h.thread->LastFrame.empty());
}

TEST(Transport, FrameForAnotherAddressIsStillTheReplyOfTheExchange) {
    // The exchange only cuts frames out; judging them is the caller's task.
    CannedPeer peer(FixedFrame(0x0B, 7));
    Harness h;
    h.useTcp(peer.port());
    ASSERT_TRUE(h.thread->TcpClient->connect());
    ASSERT_TRUE(h.thread->Transact(FixedFrame(0x49, 1)));
    EXPECT_EQ(FrameByte(h.thread->LastFrame, 1), 7);
}

TEST(Transport, TerminationEndsALongWaitQuickly) {
    sim::SimFaults f;
    f.silence = sim::Silence::All;
    sim::MeterSim sim(oneMeter(f));
    Harness h;
    h.useTcp(sim.listenTcp());
    h.thread->AsduTimeout = 12;
    ASSERT_TRUE(h.thread->TcpClient->connect());
    std::atomic<bool> done{false};
    steady_clock::time_point stopAt;
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(300));
        stopAt = steady_clock::now();
        h.thread->Terminate();
    });
    EXPECT_FALSE(h.thread->Transact(FixedFrame(0x49, 1)));
    const auto end = steady_clock::now();
    stopper.join();
    EXPECT_LT(end - stopAt, milliseconds(250));
    // Stopped: nothing more goes out, and a wait returns at once.
    EXPECT_FALSE(h.thread->Transact(FixedFrame(0x49, 1)));
    auto t0 = steady_clock::now();
    h.thread->WaitMs(12000);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(100));
}

TEST(Transport, WaitTakesItsTenMillisecondSteps) {
    Harness h;
    auto t0 = steady_clock::now();
    h.thread->WaitMs(0);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(10));
    t0 = steady_clock::now();
    h.thread->WaitMs(200);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(210));
}

TEST(Transport, PeerClosingMidTransactionFailsTheRestAndReconnectWorks) {
    sim::SimConfig c = oneMeter();
    c.dropAfterFrames = 1;  // the second request drops the connection
    sim::MeterSim sim(c);
    Harness h;
    h.useTcp(sim.listenTcp());
    h.thread->AsduRetries = 3;
    ASSERT_TRUE(h.thread->TcpClient->connect());
    ASSERT_TRUE(h.thread->Transact(FixedFrame(0x49, 1)));
    const int sentBefore = h.thread->FramesSent;
    EXPECT_FALSE(h.thread->Transact(FixedFrame(0x49, 1)));
    EXPECT_FALSE(h.thread->TcpClient->connected());
    EXPECT_EQ(h.countLog(" except!"), 1);
    // The tries after the drop could not send anything.
    EXPECT_EQ(h.thread->FramesSent - sentBefore, 1);
    EXPECT_FALSE(h.thread->SendFrame(FixedFrame(0x49, 1)));
    EXPECT_FALSE(h.thread->LinkUp());

    ASSERT_TRUE(h.thread->TcpClient->connect());
    EXPECT_TRUE(h.thread->Transact(FixedFrame(0x49, 1)));
    EXPECT_EQ(sim.connectionsAccepted(), 2u);
}

TEST(Transport, ReceiveBufferIsSharedSafelyWithAnotherThread) {
    Harness h;
    const std::string frame = FixedFrame(0x0B, 1);
    std::atomic<bool> stop{false};
    // Another thread appends whole frames byte by byte while this one extracts.
    std::thread feeder([&] {
        for (int i = 0; i < 2000 && !stop; ++i)
            for (char c : frame) h.thread->AppendRx(std::string(1, c));
    });
    int found = 0;
    while (found < 2000) {
        h.thread->LastFrame.clear();
        h.thread->ExtractFrame();
        if (!h.thread->LastFrame.empty()) {
            ASSERT_EQ(h.thread->LastFrame, frame.substr(1));
            ++found;
        } else if (!h.thread->RxWaiting()) {
            std::this_thread::yield();
        }
    }
    stop = true;
    feeder.join();
    EXPECT_EQ(found, 2000);
}

}  // namespace
}  // namespace qv

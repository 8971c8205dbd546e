#include "platform/tcp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/loopback_peer.h"
#include "support/pty_pair.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::LoopbackListener;

// A client connected to a listener, the peer's descriptor at hand.
struct Connected {
    Connected() {
        c.Port = l.port();
        EXPECT_TRUE(c.connect()) << c.lastError();
        peer = l.accept();
        EXPECT_GE(peer, 0);
    }
    LoopbackListener l;
    TcpClient c;
    int peer = -1;
};

// Whole blocks out and in: the FTP uploads' data connections (compared byte for
// byte) and every meter exchange.
TEST(TcpClient, ReadWaitsEndOnDataOrAfterTheTimeOut) {
    Connected k;
    // A read wait ends on data, not on the full time-out.
    std::thread later([&] {
        std::this_thread::sleep_for(50ms);
        test::writeAllFd(k.peer, "x", 2s);
    });
    const auto t0 = Clock::now();
    EXPECT_TRUE(k.c.checkForDataOnSource(5000));
    EXPECT_LT(Clock::now() - t0, 2000ms);
    later.join();
    EXPECT_EQ(k.c.readInput(), "x");
    // Nothing waiting: the wait lasts about the time-out and keeps the link.
    const auto t1 = Clock::now();
    EXPECT_TRUE(k.c.checkForDataOnSource(100));
    EXPECT_GE(Clock::now() - t1, 90ms);
    EXPECT_TRUE(k.c.connected());
}

TEST(TcpClient, PeerClosingOrResettingDisconnects) {
    {
        Connected k;  // a graceful close: data before it is kept
        EXPECT_FALSE(k.c.checkForGracefulDisconnect());
        ASSERT_TRUE(test::writeAllFd(k.peer, "last words", 2s));
        k.l.closePeer();
        std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(k.c.checkForGracefulDisconnect());
        EXPECT_FALSE(k.c.connected());
        EXPECT_EQ(k.c.readInput(), "last words");
        EXPECT_EQ(k.c.write("more"), 0u);
        EXPECT_FALSE(k.c.checkForDataOnSource(0));
    }
    Connected k;
    k.l.closePeer(true);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(k.c.checkForDataOnSource(0));
    EXPECT_FALSE(k.c.connected());
    EXPECT_FALSE(k.c.lastError().empty());  // reconnecting: the meter transport tests
}

TEST(TcpClient, ConnectFailuresAreReportedNotThrown) {
    TcpClient c;
    c.Port = LoopbackListener().port();  // nothing listens there any more
    c.ConnectTimeoutMs = 2000;
    const auto t0 = Clock::now();
    EXPECT_FALSE(c.connect());
    EXPECT_LT(Clock::now() - t0, 1500ms);  // refused at once
    EXPECT_NE(c.lastError().find("connect"), std::string::npos);
    EXPECT_FALSE(c.connected());

    c.Host = "no.such.host.invalid";
    EXPECT_FALSE(c.connect());
    EXPECT_FALSE(c.lastError().empty());
    c.disconnect();  // harmless when closed
}

}  // namespace
}  // namespace qv

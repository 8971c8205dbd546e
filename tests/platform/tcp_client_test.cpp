#include "platform/tcp_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "support/condition_wait.h"
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
        sockaddr_in a{};
        socklen_t n = sizeof a;
        EXPECT_EQ(::getpeername(peer, reinterpret_cast<sockaddr*>(&a), &n), 0);
        clientPort = ntohs(a.sin_port);
    }
    // Waits until the client's end of the connection has seen the peer's close
    // or reset, in the kernel's own table.
    bool peerEndSeen() const {
        return test::WaitFor([&] { return !test::Established(clientPort, l.port()); });
    }
    LoopbackListener l;
    TcpClient c;
    int peer = -1;
    int clientPort = 0;
};

// Whole blocks out and in: the FTP uploads' data connections (compared byte for
// byte) and every meter exchange.
TEST(TcpClient, ReadWaitsEndOnDataOrAfterTheTimeOut) {
    Connected k;
    // A read wait ends on data, not on the full time-out: far sooner than it
    // on the slowest build.
    std::thread later([&] {
        std::this_thread::sleep_for(50ms);
        test::writeAllFd(k.peer, "x", 2s);
    });
    const auto t0 = Clock::now();
    EXPECT_TRUE(k.c.checkForDataOnSource(60000));
    EXPECT_LT(Clock::now() - t0, 30s);
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
        ASSERT_TRUE(k.peerEndSeen());
        EXPECT_TRUE(k.c.checkForGracefulDisconnect());
        EXPECT_FALSE(k.c.connected());
        EXPECT_EQ(k.c.readInput(), "last words");
        EXPECT_EQ(k.c.write("more"), 0u);
        EXPECT_FALSE(k.c.checkForDataOnSource(0));
    }
    Connected k;
    k.l.closePeer(true);
    ASSERT_TRUE(k.peerEndSeen());
    EXPECT_FALSE(k.c.checkForDataOnSource(0));
    EXPECT_FALSE(k.c.connected());
    EXPECT_FALSE(k.c.lastError().empty());  // reconnecting: the meter transport tests
}

TEST(TcpClient, ConnectFailuresAreReportedNotThrown) {
    TcpClient c;
    c.Port = LoopbackListener().port();  // nothing listens there any more
    c.ConnectTimeoutMs = 60000;
    const auto t0 = Clock::now();
    EXPECT_FALSE(c.connect());
    EXPECT_LT(Clock::now() - t0, 30s);  // refused, not waited out
    EXPECT_NE(c.lastError().find("connect"), std::string::npos);
    EXPECT_FALSE(c.connected());

    c.Host = "no.such.host.invalid";
    EXPECT_FALSE(c.connect());
    EXPECT_FALSE(c.lastError().empty());
    c.disconnect();  // harmless when closed
}

}  // namespace
}  // namespace qv

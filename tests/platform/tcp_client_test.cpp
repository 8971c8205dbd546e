#include "platform/tcp_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

// A loopback listener that accepts one peer.
class Listener {
  public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 4);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() {
        if (peer_ >= 0) ::close(peer_);
        ::close(fd_);
    }
    uint16_t port() const { return port_; }
    int accept() {
        peer_ = ::accept(fd_, nullptr, nullptr);
        return peer_;
    }
    void send(const std::string& s) {
        ASSERT_EQ(::send(peer_, s.data(), s.size(), 0), ssize_t(s.size()));
    }
    std::string recv(std::size_t n) {
        std::string out;
        char buf[65536];
        while (out.size() < n) {
            const ssize_t r = ::recv(peer_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) break;
            out.append(buf, static_cast<std::size_t>(r));
        }
        return out;
    }
    void closePeer() {
        ::close(peer_);
        peer_ = -1;
    }
    void resetPeer() {
        linger l{1, 0};  // close with RST
        ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        closePeer();
    }

  private:
    int fd_ = -1;
    int peer_ = -1;
    uint16_t port_ = 0;
};

TEST(TcpClient, ExchangesBytesBothWays) {
    Listener l;
    TcpClient c;
    c.Port = l.port();
    ASSERT_TRUE(c.connect()) << c.lastError();
    ASSERT_GE(l.accept(), 0);
    EXPECT_TRUE(c.connected());

    const std::string block(100000, '\x68');  // larger than one socket buffer
    std::thread reader([&] { EXPECT_EQ(l.recv(block.size()), block); });
    EXPECT_EQ(c.write(block), block.size());
    reader.join();

    EXPECT_TRUE(c.checkForDataOnSource(0));
    EXPECT_EQ(c.inputSize(), 0u);
    l.send(std::string("\x10\x0B\x01\x00\x0C\x16", 6));
    EXPECT_TRUE(c.checkForDataOnSource(2000));
    EXPECT_EQ(c.inputSize(), 6u);
    uint8_t b = 0;
    ASSERT_TRUE(c.readByte(b));
    EXPECT_EQ(b, 0x10);
    EXPECT_EQ(c.readInput(2), std::string("\x0B\x01", 2));
    c.discardInput();
    EXPECT_EQ(c.inputSize(), 0u);
    EXPECT_FALSE(c.readByte(b));
}

TEST(TcpClient, ReadWaitEndsOnDataNotOnTheFullTimeout) {
    Listener l;
    TcpClient c;
    c.Port = l.port();
    ASSERT_TRUE(c.connect());
    l.accept();
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        l.send("x");
    });
    const auto t0 = Clock::now();
    EXPECT_TRUE(c.checkForDataOnSource(5000));
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(2000));
    later.join();
    EXPECT_EQ(c.readInput(), "x");
    // Nothing waiting: the wait lasts about the time-out and keeps the link.
    const auto t1 = Clock::now();
    EXPECT_TRUE(c.checkForDataOnSource(100));
    EXPECT_GE(Clock::now() - t1, std::chrono::milliseconds(90));
    EXPECT_TRUE(c.connected());
}

TEST(TcpClient, GracefulCloseIsDetectedAndDataBeforeItKept) {
    Listener l;
    TcpClient c;
    c.Port = l.port();
    ASSERT_TRUE(c.connect());
    l.accept();
    EXPECT_FALSE(c.checkForGracefulDisconnect());
    l.send("last words");
    l.closePeer();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(c.checkForGracefulDisconnect());
    EXPECT_FALSE(c.connected());
    EXPECT_EQ(c.readInput(), "last words");
    EXPECT_EQ(c.write("more"), 0u);
    EXPECT_FALSE(c.checkForDataOnSource(0));
}

TEST(TcpClient, ResetByThePeerFailsTheWriteOrReadAndDisconnects) {
    Listener l;
    TcpClient c;
    c.Port = l.port();
    ASSERT_TRUE(c.connect());
    l.accept();
    l.resetPeer();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(c.checkForDataOnSource(0));
    EXPECT_FALSE(c.connected());
    EXPECT_FALSE(c.lastError().empty());
    // And it can connect again afterwards.
    ASSERT_TRUE(c.connect());
    EXPECT_GE(l.accept(), 0);
    EXPECT_TRUE(c.connected());
}

TEST(TcpClient, ConnectFailuresAreReportedNotThrown) {
    uint16_t freePort;
    {
        Listener gone;
        freePort = gone.port();
    }
    TcpClient c;
    c.Port = freePort;
    c.ConnectTimeoutMs = 2000;
    const auto t0 = Clock::now();
    EXPECT_FALSE(c.connect());
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1500));  // refused at once
    EXPECT_NE(c.lastError().find("connect"), std::string::npos);
    EXPECT_FALSE(c.connected());

    c.Host = "no.such.host.invalid";
    EXPECT_FALSE(c.connect());
    EXPECT_FALSE(c.lastError().empty());
    c.disconnect();  // harmless when closed
    EXPECT_EQ(c.write("x"), 0u);
}

}  // namespace
}  // namespace qv

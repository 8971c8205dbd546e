#include "platform/tcp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace qv {

namespace {

using Clock = std::chrono::steady_clock;

// Polls one descriptor until an event, the deadline, or a stop request, looking
// at the stop request at least every 100 ms. poll's result; 0 with errno
// ETIMEDOUT or ECANCELED when nothing happened.
int pollUntil(pollfd& p, Clock::time_point deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        if (cancel && cancel->load()) {
            errno = ECANCELED;
            return 0;
        }
        const int left = RemainingMs(deadline);
        if (left == 0) {
            errno = ETIMEDOUT;
            return 0;
        }
        const int r = ::poll(&p, 1, cancel && left > 100 ? 100 : left);
        if (r < 0 && errno == EINTR) continue;
        if (r != 0) return r;
    }
}

// Connects one resolved address with a deadline; the socket or -1 (errno set).
int connectOne(const addrinfo* ai, Clock::time_point deadline, const std::atomic<bool>* cancel) {
    int fd =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) return -1;
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
    if (errno != EINPROGRESS) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    if (pollUntil(p, deadline, cancel) <= 0) {
        err = errno;
    } else {
        socklen_t len = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

}  // namespace

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

TcpClient::~TcpClient() {
    disconnect();
}

bool TcpClient::fail(const std::string& what, int err) {
    reason_ = std::strerror(err);
    error_ = what + ": " + reason_;
    return false;
}

bool TcpClient::connect() {
    disconnect();
    error_.clear();
    reason_.clear();
    const auto deadline = Clock::now() + std::chrono::milliseconds(ConnectTimeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(Port);
    const int gai = ::getaddrinfo(Host.c_str(), port.c_str(), &hints, &list);
    if (gai != 0) {
        reason_ = ::gai_strerror(gai);
        error_ = "cannot resolve " + Host + ": " + reason_;
        return false;
    }
    int err = ETIMEDOUT;
    for (const addrinfo* ai = list; ai && fd_ < 0; ai = ai->ai_next) {
        if (RemainingMs(deadline) == 0) break;
        const int fd = connectOne(ai, deadline, Cancel);
        if (fd >= 0)
            fd_ = fd;
        else
            err = errno;
    }
    ::freeaddrinfo(list);
    if (fd_ < 0) return fail("connect " + Host + ":" + port, err);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

void TcpClient::disconnect() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    discardInput();
}

std::size_t TcpClient::write(std::string_view block) {
    if (fd_ < 0) {
        error_ = "not connected";
        return 0;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(ReadTimeoutMs);
    std::size_t done = 0;
    while (done < block.size()) {
        const ssize_t n = ::send(fd_, block.data() + done, block.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            if (pollUntil(p, deadline, Cancel) <= 0) {
                fail("write", errno);
                disconnect();
                return done;
            }
            continue;
        }
        fail("write", n < 0 ? errno : EPIPE);
        disconnect();
        return done;
    }
    return done;
}

bool TcpClient::checkForDataOnSource(int timeoutMs) {
    if (fd_ < 0) {
        error_ = "not connected";
        return false;
    }
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        fail("poll", errno);
        disconnect();
        return false;
    }
    if (r == 0) return true;
    // Compact the buffer now and then rather than on every read.
    if (inputPos_ > 4096 && inputPos_ * 2 > input_.size()) {
        input_.erase(0, inputPos_);
        inputPos_ = 0;
    }
    char buf[4096];
    // Bounded, so that a peer that never stops sending cannot hold us here.
    for (std::size_t total = 0; total < (1u << 20);) {
        const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            // Read on until the socket is empty, so that a close right behind
            // the data is seen now.
            input_.append(buf, static_cast<std::size_t>(n));
            total += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        // Closed by the peer (0) or reset: what was read stays readable.
        if (n == 0)
            error_ = "connection closed by the peer";
        else
            fail("read", errno);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool TcpClient::checkForGracefulDisconnect() {
    if (fd_ < 0) return true;
    return !checkForDataOnSource(0);
}

std::string TcpClient::readInput(std::size_t max) {
    const std::size_t n = std::min(max, inputSize());
    std::string out = input_.substr(inputPos_, n);
    inputPos_ += n;
    if (inputPos_ == input_.size()) discardInput();
    return out;
}

bool TcpClient::readByte(uint8_t& b) {
    if (inputSize() == 0) return false;
    b = static_cast<uint8_t>(input_[inputPos_++]);
    if (inputPos_ == input_.size()) discardInput();
    return true;
}

void TcpClient::discardInput() {
    input_.clear();
    inputPos_ = 0;
}

}  // namespace qv

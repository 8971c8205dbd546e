#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace qv::test {

namespace {
using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}
}  // namespace

bool makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool writeAllFd(int fd, std::string_view data, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd p{fd, POLLOUT, 0};
        int ms = remainingMs(deadline);
        if (ms == 0) return false;
        if (::poll(&p, 1, ms) < 0 && errno != EINTR) return false;
    }
    return true;
}

std::string readFd(int fd, std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string out;
    char buf[4096];
    while (out.size() < count) {
        pollfd p{fd, POLLIN, 0};
        int ms = remainingMs(deadline);
        int r = ::poll(&p, 1, ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        std::size_t want = count - out.size();
        if (want > sizeof buf) want = sizeof buf;
        ssize_t n = ::read(fd, buf, want);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

PtyPair::PtyPair() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    slaveName_ = name;
    for (int fd : {master_, slave_}) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        makeRaw(fd);
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    hangUp();
}

void PtyPair::hangUp() {
    for (int* fd : {&slave_, &master_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

bool PtyPair::writeMaster(std::string_view data, std::chrono::milliseconds timeout) {
    return writeAllFd(master_, data, timeout);
}

std::string PtyPair::readMaster(std::size_t count, std::chrono::milliseconds timeout) {
    return readFd(master_, count, timeout);
}

}  // namespace qv::test

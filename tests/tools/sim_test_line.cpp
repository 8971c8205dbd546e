#include "sim_test_line.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace qv::sim::test {

std::string bytes(const std::string& hexText) {
    std::istringstream in(hexText);
    std::string out, tok;
    while (in >> tok) out += static_cast<char>(std::stoi(tok, nullptr, 16));
    return out;
}

std::string hexOf(const std::string& b) {
    std::string s;
    char buf[4];
    for (char c : b) {
        std::snprintf(buf, sizeof buf, "%02X ", static_cast<uint8_t>(c));
        s += buf;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

uint8_t sum8(const std::string& b) {
    uint8_t s = 0;
    for (char c : b) s = static_cast<uint8_t>(s + static_cast<uint8_t>(c));
    return s;
}

std::string fixed(uint8_t c, uint16_t a) {
    std::string body{static_cast<char>(c), static_cast<char>(a & 0xFF), static_cast<char>(a >> 8)};
    return "\x10" + body + static_cast<char>(sum8(body)) + "\x16";
}

std::string variable(uint8_t c, uint16_t a, const std::string& asdu) {
    std::string body{static_cast<char>(c), static_cast<char>(a & 0xFF), static_cast<char>(a >> 8)};
    body += asdu;
    char l = static_cast<char>(body.size());
    return std::string("\x68") + l + l + "\x68" + body + static_cast<char>(sum8(body)) + "\x16";
}

TestLine TestLine::tcp(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        ::close(fd);
        throw std::runtime_error("connect failed");
    }
    return TestLine(fd);
}

TestLine TestLine::pty(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    return TestLine(fd);
}

TestLine::~TestLine() {
    if (fd_ >= 0) ::close(fd_);
}

void TestLine::send(const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = ::write(fd_, data.data() + off, data.size() - off);
        if (n <= 0) throw std::runtime_error("write failed");
        off += static_cast<size_t>(n);
    }
}

namespace {
using Clock = std::chrono::steady_clock;
int left(Clock::time_point end) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}
}  // namespace

int TestLine::fill(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    char buf[1024];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) return 0;
    pending_.append(buf, static_cast<size_t>(n));
    return static_cast<int>(n);
}

std::string TestLine::read(size_t n, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pending_.size() < n)
        if (fill(left(end)) <= 0) break;
    std::string out = pending_.substr(0, n);
    pending_.erase(0, out.size());
    return out;
}

std::string TestLine::readQuiet(int quietMs, int maxMs) {
    auto end = Clock::now() + std::chrono::milliseconds(maxMs);
    while (Clock::now() < end)
        if (fill(std::min(quietMs, left(end))) <= 0) break;
    return std::exchange(pending_, std::string());
}

std::string TestLine::readUntil(const std::string& text, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pending_.find(text) == std::string::npos)
        if (fill(left(end)) <= 0) break;
    size_t at = pending_.find(text);
    size_t n = at == std::string::npos ? pending_.size() : at + text.size();
    std::string out = pending_.substr(0, n);
    pending_.erase(0, n);
    return out;
}

std::string TestLine::exchange(const std::string& data, size_t n, int timeoutMs) {
    send(data);
    return read(n, timeoutMs);
}

bool TestLine::closedWithin(int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        int r = fill(left(end));
        if (r == 0) return true;
        if (r < 0) return false;
    }
    return false;
}

}  // namespace qv::sim::test

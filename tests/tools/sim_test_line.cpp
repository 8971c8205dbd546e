#include "sim_test_line.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "sim_options.h"
#include "support/pty_pair.h"

namespace qv::sim::test {

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

SimConfig configOf(const std::string& options) {
    CliOptions o;
    std::string error;
    if (!parseCommandLine(words("--tcp :0 " + options), o, error))
        throw std::invalid_argument(error);
    return o.config;
}

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
    TestLine line(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(line.fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
        throw std::runtime_error("connect failed");
    return line;
}

TestLine TestLine::pty(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    qv::test::makeRaw(fd);
    return TestLine(fd);
}

TestLine::~TestLine() {
    if (fd_ >= 0) ::close(fd_);
}

void TestLine::send(const std::string& data) {
    if (!qv::test::writeAllFd(fd_, data, std::chrono::seconds(5)))
        throw std::runtime_error("write failed");
}

namespace {
using Clock = std::chrono::steady_clock;
Clock::time_point after(int ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}
int left(Clock::time_point end) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}
}  // namespace

int TestLine::fill(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    char buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) return 0;
    pending_.append(buf, static_cast<size_t>(n));
    return static_cast<int>(n);
}

std::string TestLine::take(size_t n) {
    std::string out = pending_.substr(0, n);
    pending_.erase(0, out.size());
    return out;
}

std::string TestLine::read(size_t n, int timeoutMs) {
    auto end = after(timeoutMs);
    while (pending_.size() < n && fill(left(end)) > 0) {
    }
    return take(n);
}

std::string TestLine::readQuiet(int quietMs, int maxMs) {
    auto end = after(maxMs);
    while (Clock::now() < end && fill(std::min(quietMs, left(end))) > 0) {
    }
    return take(pending_.size());
}

std::string TestLine::readUntil(const std::string& text, int timeoutMs) {
    auto end = after(timeoutMs);
    while (pending_.find(text) == std::string::npos && fill(left(end)) > 0) {
    }
    size_t at = pending_.find(text);
    return take(at == std::string::npos ? pending_.size() : at + text.size());
}

std::string TestLine::frame(int timeoutMs) {
    std::string f = read(1, timeoutMs);
    if (f == "\x10") return f + read(5, timeoutMs);
    if (f != "\x68") return f;
    f += read(3, timeoutMs);
    return f.size() < 4 ? f : f + read(static_cast<uint8_t>(f[1]) + 2, timeoutMs);
}

bool TestLine::closedWithin(int timeoutMs) {
    auto end = after(timeoutMs);
    for (int r = 1; r > 0 && Clock::now() < end;) {
        r = fill(left(end));
        if (r == 0) return true;
    }
    return false;
}

}  // namespace qv::sim::test

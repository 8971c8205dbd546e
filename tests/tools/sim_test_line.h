#pragma once
// Test side of a simulator line: a TCP connection or a pipe, with reads bounded by
// deadlines. Frames are written out by hand in the tests.

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sim_options.h"
#include "support/pty_pair.h"
#include "support/test_env.h"

namespace qv::sim::test {

// "--meter 1:1:1 -v" -> {"--meter", "1:1:1", "-v"}
inline std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// "10 49 01 00 4A 16" -> bytes, and back.
using qv::test::hex;
inline std::string hexOf(const std::string& b) {
    std::string s;
    char two[4];
    for (unsigned char c : b) {
        std::snprintf(two, sizeof two, "%02X", c);
        s += (s.empty() ? "" : " ") + std::string(two);
    }
    return s;
}

// Link frames built independently of the simulator's own code: a fixed frame when there
// is no user data.
inline std::string linkFrame(uint8_t c, uint16_t a, const std::string& asdu = "") {
    std::string body = std::string{char(c), char(a & 0xFF), char(a >> 8)} + asdu;
    char sum = 0;
    for (char ch : body) sum = char(sum + ch);
    char l = char(body.size());
    return asdu.empty() ? "\x10" + body + sum + "\x16"
                        : std::string{'\x68', l, l, '\x68'} + body + sum + "\x16";
}

class TestLine {
  public:
    explicit TestLine(int fd) : fd_(fd) {}  // takes the descriptor over
    TestLine(TestLine&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    ~TestLine() {
        if (fd_ >= 0) ::close(fd_);
    }

    static TestLine tcp(uint16_t port) {  // throws std::runtime_error when refused
        TestLine line(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(line.fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
            throw std::runtime_error("connect failed");
        return line;
    }

    void send(const std::string& data) {
        if (!qv::test::writeAllFd(fd_, data, std::chrono::seconds(5)))
            throw std::runtime_error("write failed");
    }
    // Until n bytes arrived, the peer closed or the deadline passed.
    std::string read(size_t n, int timeoutMs = 2000) {
        return qv::test::readFd(fd_, n, std::chrono::milliseconds(timeoutMs));
    }
    // Until the text arrived (everything up to its end; no text: never), the peer closed
    // or no byte came for timeoutMs.
    std::string readUntil(const std::string& text, int timeoutMs = 3000) {
        std::string s;
        for (std::string c;
             (text.empty() || !s.ends_with(text)) && !(c = read(1, timeoutMs)).empty();)
            s += c;
        return s;
    }
    std::string readQuiet(int quietMs = 150) { return readUntil("", quietMs); }
    // One link frame by its own length bytes; empty when nothing came in time.
    std::string frame(int timeoutMs = 2000) {
        std::string f = read(1, timeoutMs);
        if (f == "\x10") return f + read(5, timeoutMs);
        if (f != "\x68") return f;
        f += read(3, timeoutMs);
        return f.size() < 4 ? f : f + read(static_cast<uint8_t>(f[1]) + 2, timeoutMs);
    }
    // Sends a frame and returns the reply frame in hex.
    std::string ask(const std::string& request) {
        send(request);
        return hexOf(frame());
    }
    // True when the peer closed the line, and sent nothing first, within the time.
    bool closedWithin(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        char c;
        return ::poll(&p, 1, timeoutMs) == 1 && ::read(fd_, &c, 1) <= 0;
    }

  private:
    int fd_ = -1;
};

}  // namespace qv::sim::test

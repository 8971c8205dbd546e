#include "sim_test_line.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <stdexcept>

#include "sim_options.h"
#include "support/pty_pair.h"

namespace qv::sim::test {

std::string bytes(const std::string& hexText) {
    std::string out;
    for (const std::string& tok : words(hexText))
        out += static_cast<char>(std::stoi(tok, nullptr, 16));
    return out;
}

std::string hexOf(const std::string& b) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char c : b) {
        if (!s.empty()) s += ' ';
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

std::string variable(uint8_t c, uint16_t a, const std::string& asdu) {
    std::string body = std::string{char(c), char(a & 0xFF), char(a >> 8)} + asdu;
    char sum = 0;
    for (char ch : body) sum = char(sum + ch);
    char l = char(body.size());
    return asdu.empty() ? "\x10" + body + sum + "\x16"
                        : std::string{'\x68', l, l, '\x68'} + body + sum + "\x16";
}

// A fixed frame is the one without user data.
std::string fixed(uint8_t c, uint16_t address) {
    return variable(c, address, "");
}

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
    TestLine line(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (line.fd_ < 0 || !qv::test::makeRaw(line.fd_))
        throw std::runtime_error("cannot open " + path);
    return line;
}

TestLine::~TestLine() {
    if (fd_ >= 0) ::close(fd_);
}

void TestLine::send(const std::string& data) {
    if (!qv::test::writeAllFd(fd_, data, std::chrono::seconds(5)))
        throw std::runtime_error("write failed");
}

bool TestLine::fillUntil(const std::function<bool()>& done, int timeoutMs, int stepMs) {
    using Clock = std::chrono::steady_clock;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() < 0 || ::poll(&p, 1, std::min<int>(stepMs, left.count())) <= 0)
            return true;
        char buf[4096];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) return false;
        pending_.append(buf, static_cast<size_t>(n));
    }
    return true;
}

std::string TestLine::take(size_t n) {
    std::string out = pending_.substr(0, n);
    pending_.erase(0, out.size());
    return out;
}

std::string TestLine::read(size_t n, int timeoutMs) {
    fillUntil([&] { return pending_.size() >= n; }, timeoutMs);
    return take(n);
}

std::string TestLine::readQuiet(int quietMs, int maxMs) {
    fillUntil([] { return false; }, maxMs, quietMs);
    return take(pending_.size());
}

std::string TestLine::readUntil(const std::string& text, int timeoutMs) {
    fillUntil([&] { return pending_.find(text) != std::string::npos; }, timeoutMs);
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
    return !fillUntil([] { return false; }, timeoutMs);
}

}  // namespace qv::sim::test

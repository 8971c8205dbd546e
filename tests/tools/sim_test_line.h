#pragma once
// Test side of a simulator line: a TCP connection, an opened pseudo-terminal slave or a
// pipe, with reads bounded by deadlines. Frames are written out by hand in the tests.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "meter_sim.h"

namespace qv::sim::test {

// "10 49 01 00 4A 16" -> bytes, and back.
std::string bytes(const std::string& hexText);
std::string hexOf(const std::string& bytes);
// Link frames built independently of the simulator's own code.
std::string fixed(uint8_t c, uint16_t address);
std::string variable(uint8_t c, uint16_t address, const std::string& asdu);
// "--meter 1:1:1 -v" -> {"--meter", "1:1:1", "-v"}
std::vector<std::string> words(const std::string& text);
// The simulator configured by command-line options (a --tcp is added); throws
// std::invalid_argument with the parser's reason when they are refused.
SimConfig configOf(const std::string& options);

class TestLine {
  public:
    static TestLine tcp(uint16_t port);  // throws std::runtime_error when refused
    static TestLine pty(const std::string& path);
    explicit TestLine(int fd) : fd_(fd) {}  // takes the descriptor over
    TestLine(TestLine&& o) noexcept : fd_(o.fd_), pending_(std::move(o.pending_)) { o.fd_ = -1; }
    TestLine& operator=(TestLine&&) = delete;
    ~TestLine();

    void send(const std::string& data);
    // Until n bytes arrived or the deadline passed.
    std::string read(size_t n, int timeoutMs = 2000);
    // Until no byte arrived for quietMs, the peer closed, or maxMs passed.
    std::string readQuiet(int quietMs = 150, int maxMs = 3000);
    // Until the text arrived (everything up to its end) or the deadline passed.
    std::string readUntil(const std::string& text, int timeoutMs = 3000);
    // One link frame by its own length bytes; empty when nothing came in time.
    std::string frame(int timeoutMs = 2000);
    // Sends a frame and returns the reply frame in hex.
    std::string ask(const std::string& request) {
        send(request);
        return hexOf(frame());
    }
    // True when the peer closed the line in time (what it sent stays readable).
    bool closedWithin(int timeoutMs);

  private:
    // Reads until `done` holds, the peer closed or the time ran out (each wait at most
    // stepMs); false when closed.
    bool fillUntil(const std::function<bool()>& done, int timeoutMs, int stepMs = 1 << 30);
    std::string take(size_t n);
    int fd_ = -1;
    std::string pending_;
};

}  // namespace qv::sim::test

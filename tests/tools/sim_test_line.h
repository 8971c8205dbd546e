#pragma once
// Test side of a simulator line: a TCP connection or an opened pseudo-terminal slave,
// with reads bounded by deadlines. Frames are written out by hand in the tests.

#include <cstdint>
#include <string>

namespace qv::sim::test {

// "10 49 01 00 4A 16" -> bytes
std::string bytes(const std::string& hexText);
// bytes -> "10 49 01 00 4A 16"
std::string hexOf(const std::string& bytes);
// Sum of the bytes modulo 256, written independently of the simulator's own.
uint8_t sum8(const std::string& bytes);
// A fixed frame / variable frame built for tests.
std::string fixed(uint8_t c, uint16_t address);
std::string variable(uint8_t c, uint16_t address, const std::string& asdu);

class TestLine {
  public:
    static TestLine tcp(uint16_t port);
    static TestLine pty(const std::string& path);
    TestLine(TestLine&& o) noexcept : fd_(o.fd_), pending_(std::move(o.pending_)) { o.fd_ = -1; }
    TestLine& operator=(TestLine&&) = delete;
    ~TestLine();

    void send(const std::string& data);
    // Reads until n bytes have arrived or the deadline passed.
    std::string read(size_t n, int timeoutMs = 2000);
    // Reads until no byte has arrived for quietMs (or maxMs passed).
    std::string readQuiet(int quietMs = 150, int maxMs = 3000);
    // Reads until the text appears (returns everything read) or the deadline passed.
    std::string readUntil(const std::string& text, int timeoutMs = 3000);
    // Sends and reads n bytes.
    std::string exchange(const std::string& data, size_t n, int timeoutMs = 2000);
    // True when the peer closed the connection within the time.
    bool closedWithin(int timeoutMs);
    int fd() const { return fd_; }

  private:
    explicit TestLine(int fd) : fd_(fd) {}
    // One read with a time limit into pending_: >0 bytes, 0 closed, -1 nothing in time.
    int fill(int timeoutMs);
    int fd_ = -1;
    std::string pending_;  // read from the line, not yet handed out
};

}  // namespace qv::sim::test

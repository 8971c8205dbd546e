#pragma once
// A pseudo-terminal pair for serial tests: the slave side stands in for the
// serial device (open it by slaveName()), the master side is the far end of the
// line. Both sides are put in raw mode so every byte 0..255 passes unchanged.

#include <chrono>
#include <string>
#include <string_view>

namespace qv::test {

class PtyPair {
  public:
    PtyPair();  // throws std::runtime_error when no pty can be had
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    // The helper keeps its own slave descriptor open until hangUp(), so the
    // master never sees a hang-up between two opens of the slave by the code under test.
    int slave() const { return slave_; }
    const std::string& slaveName() const { return slaveName_; }

    // Closes both descriptors: the slave side hangs up (poll HUP, read/write EIO).
    void hangUp();

    // Writes every byte to the master (waits with poll while the line is full);
    // false when the time-out ran out or the write failed.
    bool writeMaster(std::string_view data,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads from the master until `count` bytes arrived or the time-out ran out.
    std::string readMaster(std::size_t count,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5));

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
};

// Helpers on any descriptor (non-blocking or not), bounded by a time-out.
bool writeAllFd(int fd, std::string_view data, std::chrono::milliseconds timeout);
std::string readFd(int fd, std::size_t count, std::chrono::milliseconds timeout);
// Puts a terminal descriptor into raw 8-bit mode; false when it is no terminal.
bool makeRaw(int fd);

}  // namespace qv::test

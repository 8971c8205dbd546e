#pragma once
// A TCP listener on 127.0.0.1 (any free port) for tests that need a peer the
// simulator cannot play: canned or scripted replies, streams of noise, a
// jammed accept queue, or a peer the test drives by hand.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qv::test {

class LoopbackListener {
  public:
    explicit LoopbackListener(int backlog = 4);  // throws std::runtime_error
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    uint16_t port() const { return port_; }
    // Waits for the next connection; the descriptor is closed with the listener
    // (or by closePeer). -1 once the listener is shut.
    int accept();
    // Closes the last accepted peer; `reset` closes it with a RST.
    void closePeer(bool reset = false);
    // Stops listening: a pending accept() returns -1.
    void shut();

  private:
    int fd_ = -1;
    int peer_ = -1;
    uint16_t port_ = 0;
};

// Serves the first connection on a thread of its own until the test ends.
class LoopbackPeer {
  public:
    using Serve = std::function<void(int fd, const std::atomic<bool>& stop)>;
    explicit LoopbackPeer(Serve serve);
    ~LoopbackPeer();

    uint16_t port() const { return listener_.port(); }

    // Answers the n-th request with replies[n], and with `rest` once they are
    // used up; each answer goes out 20 ms after the request, later than the
    // reader's first look at the socket.
    static Serve Scripted(std::vector<std::string> replies, std::string rest);

  private:
    LoopbackListener listener_;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

}  // namespace qv::test

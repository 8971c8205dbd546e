#pragma once
// A small TCP client on POSIX sockets for meters and gateways on TCP/IP:
// connect with a deadline, one-block writes, an input buffer filled from the
// socket with or without waiting, graceful-close detection, disconnect.
// One thread uses a client at a time.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

// Milliseconds left until a deadline, 0 once it has passed.
int RemainingMs(std::chrono::steady_clock::time_point deadline);

class TcpClient {
  public:
    TcpClient() = default;
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    std::string Host = "127.0.0.1";
    uint16_t Port = 0;
    int ConnectTimeoutMs = 6000;
    int ReadTimeoutMs = 6000;  // also bounds a write that cannot go out
    // The owner's stop request: a connect or a blocked write notices it within
    // 100 ms and fails with ECANCELED. Null: never cancelled.
    const std::atomic<bool>* Cancel = nullptr;

    // Connects to Host:Port within ConnectTimeoutMs; false with lastError() set.
    // An already connected client is disconnected first.
    bool connect();
    bool connected() const { return fd_ >= 0; }
    // Closes the socket and drops what was buffered; harmless when closed.
    void disconnect();

    // Writes the block whole; returns the bytes that went out (all of them on
    // success). A failure disconnects the client.
    std::size_t write(std::string_view block);

    // Moves what the socket holds into the input buffer, waiting up to
    // timeoutMs for the first byte (0: no wait). False when the peer has closed
    // or the connection failed; the client is then disconnected.
    bool checkForDataOnSource(int timeoutMs = 0);
    // True when the peer has closed the connection (the client is then
    // disconnected); data that arrived before the close stays readable.
    bool checkForGracefulDisconnect();

    std::size_t inputSize() const { return input_.size() - inputPos_; }
    // Takes up to max bytes from the input buffer.
    std::string readInput(std::size_t max = SIZE_MAX);
    // Takes one byte; false when the input buffer is empty.
    bool readByte(uint8_t& b);
    void discardInput();

    const std::string& lastError() const { return error_; }
    // The system's reason alone ("Connection refused", "Name or service not
    // known", "Connection timed out"), for lines that name the peer already.
    const std::string& lastReason() const { return reason_; }

  private:
    bool fail(const std::string& what, int err);
    int fd_ = -1;
    std::string input_;
    std::size_t inputPos_ = 0;
    std::string error_;
    std::string reason_;
};

}  // namespace qv

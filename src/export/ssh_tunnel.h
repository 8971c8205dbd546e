#pragma once
// A local SSH tunnel on libssh: listens on 127.0.0.1 only and forwards every
// accepted client over its own direct-tcpip channel to the destination host
// and port as the SSH server sees them. The server's host key must already be
// in the known_hosts file; an unknown or changed key is refused.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qv {

class SshTunnel {
  public:
    SshTunnel() = default;
    ~SshTunnel();
    SshTunnel(const SshTunnel&) = delete;
    SshTunnel& operator=(const SshTunnel&) = delete;

    int DestPort = 3306;
    std::string DestHostname;
    std::string SshHostname;
    int SshPort = 22;
    std::string SshLogin;
    std::string SshPassword;
    // Empty: the user's ~/.ssh/known_hosts.
    std::string KnownHostsFile;
    int ConnectTimeoutSeconds = 10;
    // Called in the tunnel's thread with the reason when the SSH server does
    // not open a client's channel, or when the session ends while listening.
    std::function<void(const std::string& reason)> OnFailure;

    // The description of the last failure.
    std::string ErrorText() const;
    // Binds the local port, connects, checks the host key, logs in and starts
    // forwarding; 1 on success.
    int StartListen(int localPort);
    // Stops accepting and closes the forwarded connections; 1 on success.
    int StopListen();
    // Closes the SSH session; 1 on success. The argument is not used.
    int ShutdownTunnel(int timeoutMs);
    // Accepting and forwarding clients: not once the SSH session has ended.
    bool Listening() const { return thread_.joinable() && !ended_; }
    int ListenPort() const { return listenPort_; }

  private:
    void SetError(const std::string& text);
    void Fail(const std::string& text);  // SetError, then OnFailure
    bool Connect();
    void Pump();

    mutable std::mutex errorMutex_;
    std::string error_;
    int listenFd_ = -1;
    int listenPort_ = 0;
    void* session_ = nullptr;  // ssh_session
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};  // the session ended while listening
    std::thread thread_;
};

}  // namespace qv

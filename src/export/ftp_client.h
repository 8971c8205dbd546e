#pragma once
// A small FTP client for exactly what the upload needs: log in, change to a
// folder, store one file in binary mode over a passive data connection, quit.
// Every wait has a deadline and notices the owner's stop request within
// 100 ms; a failure throws FtpError with the server's reply or the reason.
// One thread uses a client at a time.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/tcp_client.h"

namespace qv {

class FtpError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct FtpReply {
    int Code = 0;
    std::string Text;  // the reply's last line, code included
};

class FtpClient {
  public:
    explicit FtpClient(const std::atomic<bool>* stop = nullptr) : stop_(stop) {}

    // Connecting and logging in together must finish within this time.
    int ConnectTimeoutMs = 10000;
    // Any later wait for a reply, or for a blocked data write, gives up after this.
    int ReplyTimeoutMs = 30000;

    // Connects to `host` (a name or address; a trailing ":<port>" or "[v6]:<port>"
    // gives the port, 21 otherwise) and logs in with USER and PASS.
    void Connect(const std::string& host, const std::string& user, const std::string& password);
    // CWD exactly as given (a bare CWD for an empty folder).
    void ChangeDir(const std::string& folder);
    // Sends `localPath` under `remoteName` (TYPE I, EPSV then PASV, STOR); returns
    // once the server has confirmed the transfer. `progress` gets the bytes sent so far.
    void Store(const std::string& localPath, const std::string& remoteName,
               const std::function<void(uint64_t)>& progress);
    // Whether the server has a file of that name in the current folder (SIZE, in
    // binary mode); a server that cannot tell throws.
    bool Exists(const std::string& remoteName);
    // QUIT and close; never throws.
    void Disconnect();
    bool Connected() const { return control_.connected(); }

    // Splits "host", "host:port", "[v6]" or "[v6]:port"; port 21 when none is given.
    static void SplitHostPort(const std::string& text, std::string& host, uint16_t& port);

  private:
    FtpReply Command(const std::string& line, int timeoutMs);
    FtpReply ReadReply(int timeoutMs);
    std::string ReadLine(std::chrono::steady_clock::time_point deadline);
    uint16_t OpenPassive();
    [[noreturn]] void Fail(const std::string& what);
    [[noreturn]] void Unexpected(const FtpReply& reply);

    const std::atomic<bool>* stop_;
    TcpClient control_;
    std::string host_;
    std::string pending_;  // control bytes read but not yet taken as lines
};

}  // namespace qv

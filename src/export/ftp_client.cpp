#include "export/ftp_client.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <vector>

#include "platform/text.h"

namespace qv {

namespace {

using Clock = std::chrono::steady_clock;

bool isReplyStart(const std::string& line) {
    return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) &&
           std::isdigit(static_cast<unsigned char>(line[2]));
}

// "229 Entering Extended Passive Mode (|||6446|)": the port between the
// delimiters; 0 when the text does not hold one.
uint16_t parseEpsv(const std::string& text) {
    const auto open = text.find('(');
    if (open == std::string::npos || open + 4 >= text.size()) return 0;
    const char d = text[open + 1];
    if (text[open + 2] != d || text[open + 3] != d) return 0;
    unsigned long port = 0;
    std::size_t i = open + 4;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        port = port * 10 + static_cast<unsigned long>(text[i] - '0');
    if (i >= text.size() || text[i] != d || port == 0 || port > 65535) return 0;
    return static_cast<uint16_t>(port);
}

// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": the port; 0 when malformed.
uint16_t parsePasv(const std::string& text) {
    std::vector<unsigned long> n;
    std::size_t i = 3;
    while (i < text.size() && !std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    while (i < text.size() && n.size() < 6) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) break;
        unsigned long v = 0;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
            v = std::min(v * 10 + static_cast<unsigned long>(text[i] - '0'), 1000ul);
        n.push_back(v);
        if (i < text.size() && text[i] == ',') ++i;
    }
    if (n.size() != 6 || n[4] > 255 || n[5] > 255) return 0;
    const unsigned long port = n[4] * 256 + n[5];
    return port == 0 ? 0 : static_cast<uint16_t>(port);
}

}  // namespace

void FtpClient::SplitHostPort(const std::string& text, std::string& host, uint16_t& port) {
    host = text;
    port = 21;
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close != std::string::npos) {
            host = text.substr(1, close - 1);
            if (close + 1 < text.size() && text[close + 1] == ':')
                portText = text.substr(close + 2);
        }
    } else if (const auto colon = text.rfind(':');
               colon != std::string::npos && text.find(':') == colon) {
        portText = text.substr(colon + 1);
        if (!portText.empty() && std::all_of(portText.begin(), portText.end(),
                                             [](unsigned char c) { return std::isdigit(c); }))
            host = text.substr(0, colon);
        else
            portText.clear();
    }
    if (!portText.empty() && portText.size() <= 5) {
        const unsigned long p = std::stoul(portText);
        if (p >= 1 && p <= 65535) port = static_cast<uint16_t>(p);
    }
}

void FtpClient::Fail(const std::string& what) {
    throw FtpError(what);
}

void FtpClient::Unexpected(const FtpReply& reply) {
    throw FtpError(reply.Text);
}

std::string FtpClient::ReadLine(Clock::time_point deadline) {
    for (;;) {
        if (const auto nl = pending_.find('\n'); nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (stop_ && stop_->load()) Fail("transfer stopped");
        if (pending_.size() > 65536) Fail("reply line too long");
        const int left = RemainingMs(deadline);
        if (left == 0) Fail("timed out waiting for the server's reply");
        const bool alive = control_.checkForDataOnSource(std::min(left, 100));
        pending_ += control_.readInput();
        if (!alive && pending_.find('\n') == std::string::npos)
            Fail("connection closed by the server");
    }
}

FtpReply FtpClient::ReadReply(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line = ReadLine(deadline);
    if (!isReplyStart(line)) Fail("unexpected server reply: " + line.substr(0, 200));
    FtpReply reply{std::stoi(line.substr(0, 3)), line};
    if (line.size() > 3 && line[3] == '-') {
        // A multi-line reply ends with a line that starts with the same code and a blank.
        const std::string end = line.substr(0, 3) + ' ';
        do {
            line = ReadLine(deadline);
        } while (line.compare(0, 4, end) != 0);
        reply.Text = line;
    }
    return reply;
}

FtpReply FtpClient::Command(const std::string& line, int timeoutMs) {
    // A line break would send the rest as a command of its own. The line is not
    // shown: it may be the password's.
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        Fail("a line break or NUL in the " + line.substr(0, line.find(' ')) + " command, not sent");
    const std::string out = line + "\r\n";
    if (control_.write(out) != out.size()) Fail("sending to the server: " + control_.lastError());
    return ReadReply(timeoutMs);
}

void FtpClient::Connect(const std::string& host, const std::string& user,
                        const std::string& password) {
    Disconnect();
    uint16_t port = 21;
    SplitHostPort(host, host_, port);
    const auto deadline = Clock::now() + std::chrono::milliseconds(ConnectTimeoutMs);
    control_.Host = host_;
    control_.Port = port;
    control_.ConnectTimeoutMs = ConnectTimeoutMs;
    control_.ReadTimeoutMs = ReplyTimeoutMs;
    control_.Cancel = stop_;
    if (!control_.connect())
        Fail("cannot connect to " + ShownWithControls(host) + ": " + control_.lastError());
    FtpReply r = ReadReply(RemainingMs(deadline));
    while (r.Code == 120) r = ReadReply(RemainingMs(deadline));
    if (r.Code != 220) Unexpected(r);
    r = Command("USER " + user, RemainingMs(deadline));
    if (r.Code == 331) r = Command("PASS " + password, RemainingMs(deadline));
    if (r.Code != 230 && r.Code != 202) Unexpected(r);
}

void FtpClient::ChangeDir(const std::string& folder) {
    const FtpReply r = Command(folder.empty() ? "CWD" : "CWD " + folder, ReplyTimeoutMs);
    if (r.Code / 100 != 2) Unexpected(r);
}

uint16_t FtpClient::OpenPassive() {
    FtpReply r = Command("EPSV", ReplyTimeoutMs);
    if (r.Code == 229) {
        if (const uint16_t port = parseEpsv(r.Text)) return port;
        Fail("unreadable passive reply: " + r.Text);
    }
    r = Command("PASV", ReplyTimeoutMs);
    if (r.Code != 227) Unexpected(r);
    // The data connection goes to the control connection's host: an address in
    // the reply is often a private one behind NAT, and trusting it would let a
    // server point us at any host.
    if (const uint16_t port = parsePasv(r.Text)) return port;
    Fail("unreadable passive reply: " + r.Text);
}

void FtpClient::Store(const std::string& localPath, const std::string& remoteName,
                      const std::function<void(uint64_t)>& progress) {
    std::ifstream in(localPath, std::ios::binary);
    if (!in) Fail("cannot read " + ShownWithControls(localPath));
    FtpReply r = Command("TYPE I", ReplyTimeoutMs);
    if (r.Code / 100 != 2) Unexpected(r);
    TcpClient data;
    data.Host = host_;
    data.Port = OpenPassive();
    data.ConnectTimeoutMs = ReplyTimeoutMs;
    data.ReadTimeoutMs = ReplyTimeoutMs;
    data.Cancel = stop_;
    if (!data.connect()) Fail("cannot open the data connection: " + data.lastError());
    r = Command("STOR " + remoteName, ReplyTimeoutMs);
    if (r.Code / 100 != 1) Unexpected(r);
    std::vector<char> block(64 * 1024);
    uint64_t sent = 0;
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto n = static_cast<std::size_t>(in.gcount());
        if (n == 0) break;
        if (data.write(std::string_view(block.data(), n)) != n)
            Fail("data connection: " + data.lastError());
        sent += n;
        if (progress) progress(sent);
    }
    if (in.bad()) Fail("reading " + ShownWithControls(localPath) + " failed");
    data.disconnect();
    r = ReadReply(ReplyTimeoutMs);
    if (r.Code != 226 && r.Code != 250) Unexpected(r);
}

bool FtpClient::Exists(const std::string& remoteName) {
    FtpReply r = Command("TYPE I", ReplyTimeoutMs);
    if (r.Code / 100 != 2) Unexpected(r);
    r = Command("SIZE " + remoteName, ReplyTimeoutMs);
    if (r.Code == 213) return true;
    if (r.Code == 550) return false;
    Unexpected(r);
}

void FtpClient::Disconnect() {
    if (control_.connected()) {
        try {
            const std::string quit = "QUIT\r\n";
            if (control_.write(quit) == quit.size()) ReadReply(std::min(ReplyTimeoutMs, 2000));
        } catch (const std::exception&) {
        }
    }
    control_.disconnect();
    pending_.clear();
}

}  // namespace qv

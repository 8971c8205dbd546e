#include "support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace qv::test {

LoopbackListener::LoopbackListener(int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(fd_, backlog) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("no loopback listener");
    }
    port_ = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() {
    closePeer();
    ::close(fd_);
}

int LoopbackListener::accept() {
    closePeer();
    peer_ = ::accept(fd_, nullptr, nullptr);
    return peer_;
}

void LoopbackListener::closePeer(bool reset) {
    if (peer_ < 0) return;
    if (reset) {
        linger l{1, 0};
        ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(peer_);
    peer_ = -1;
}

void LoopbackListener::shut() {
    ::shutdown(fd_, SHUT_RDWR);
}

LoopbackPeer::LoopbackPeer(Serve serve)
    : worker_([this, serve = std::move(serve)] {
          const int peer = listener_.accept();
          if (peer >= 0) serve(peer, stop_);
          listener_.closePeer();
      }) {}

LoopbackPeer::~LoopbackPeer() {
    stop_ = true;
    listener_.shut();
    worker_.join();
}

LoopbackPeer::Serve LoopbackPeer::Scripted(std::vector<std::string> replies, std::string rest) {
    return
        [replies = std::move(replies), rest = std::move(rest)](int fd, const std::atomic<bool>&) {
            char buf[256];
            for (std::size_t i = 0; ::recv(fd, buf, sizeof buf, 0) > 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                const std::string& r = i < replies.size() ? replies[i] : rest;
                ::send(fd, r.data(), r.size(), MSG_NOSIGNAL);
            }
        };
}

}  // namespace qv::test

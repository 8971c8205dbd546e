#include "meter_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "sim_channel.h"

namespace qv::sim {

namespace {

// A file descriptor that closes itself.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

std::runtime_error sysError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

void setNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

struct MeterSim::Impl {
    struct Line {
        Fd fd;
        std::unique_ptr<SimChannel> channel;
        std::string pendingOut;
        SimChannel::Kind kind = SimChannel::Kind::Tcp;
        Fd ptySlave;  // held open so the master never sees a hang-up
    };

    SimConfig config;
    SimCounters counters;
    std::mutex mutex;  // guards the hand-over lists below and `links`
    std::vector<Fd> newListeners;
    std::vector<Line> newPtys;
    std::vector<std::string> links;
    Fd wake;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool stopped = false;
    uint32_t nextChannelId = 1;

    void post() {
        uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(wake.get(), &one, sizeof one);
    }

    std::unique_ptr<SimChannel> makeChannel(SimChannel::Kind kind) {
        bool modem = config.modem.kind != ModemKind::None &&
                     (kind == SimChannel::Kind::Pty || config.modem.onTcp);
        bool dropArmed = config.dropEveryConnection || counters.connectionsDropped == 0;
        return std::make_unique<SimChannel>(config, kind, modem, dropArmed, counters,
                                            nextChannelId++);
    }

    void run();
};

void MeterSim::Impl::run() {
    std::vector<Fd> listeners;
    std::list<Line> lines;
    std::vector<pollfd> fds;
    char buf[4096];

    while (!stopping) {
        {
            std::lock_guard lock(mutex);
            for (Fd& l : newListeners) listeners.push_back(std::move(l));
            newListeners.clear();
            for (Line& p : newPtys) {
                p.channel = makeChannel(SimChannel::Kind::Pty);
                lines.push_back(std::move(p));
            }
            newPtys.clear();
        }

        auto now = SimClock::now();
        int timeout = -1;
        for (Line& l : lines) {
            l.channel->tick(now);
            bool close = l.channel->collect(now, l.pendingOut);
            if (close) {
                l.fd.reset();
                continue;
            }
            if (auto d = l.channel->nextDeadline()) {
                auto left = std::chrono::ceil<std::chrono::milliseconds>(*d - now).count();
                int t = static_cast<int>(std::clamp<int64_t>(left, 0, 60000));
                if (timeout < 0 || t < timeout) timeout = t;
            }
        }
        // Flush what is due; a line that cannot take it all keeps the rest for POLLOUT.
        for (Line& l : lines) {
            while (l.fd.get() >= 0 && !l.pendingOut.empty()) {
                // MSG_NOSIGNAL: a peer that has gone must not raise SIGPIPE in the host process.
                ssize_t n =
                    l.kind == SimChannel::Kind::Tcp
                        ? ::send(l.fd.get(), l.pendingOut.data(), l.pendingOut.size(), MSG_NOSIGNAL)
                        : ::write(l.fd.get(), l.pendingOut.data(), l.pendingOut.size());
                if (n > 0) {
                    l.pendingOut.erase(0, static_cast<size_t>(n));
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) l.fd.reset();
                    break;
                }
            }
        }
        lines.remove_if([](const Line& l) { return l.fd.get() < 0; });

        fds.clear();
        fds.push_back(pollfd{wake.get(), POLLIN, 0});
        for (Fd& l : listeners) fds.push_back(pollfd{l.get(), POLLIN, 0});
        for (Line& l : lines) {
            short ev = POLLIN;
            if (!l.pendingOut.empty()) ev |= POLLOUT;
            fds.push_back(pollfd{l.fd.get(), ev, 0});
        }
        int r = ::poll(fds.data(), fds.size(), timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] auto n = ::read(wake.get(), &v, sizeof v);
        }
        size_t i = 1;
        for (Fd& l : listeners) {
            if (fds[i++].revents & POLLIN) {
                int c = ::accept4(l.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (c >= 0) {
                    int one = 1;
                    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    counters.connectionsAccepted++;
                    Line line;
                    line.fd = Fd(c);
                    line.kind = SimChannel::Kind::Tcp;
                    line.channel = makeChannel(SimChannel::Kind::Tcp);
                    if (config.trace) config.trace("connection accepted");
                    lines.push_back(std::move(line));
                }
            }
        }
        now = SimClock::now();
        auto it = lines.begin();
        for (size_t k = 0; k < fds.size() - i && it != lines.end(); ++k, ++it) {
            const pollfd& p = fds[i + k];
            if (p.fd != it->fd.get()) break;  // lines accepted above are not polled yet
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(it->fd.get(), buf, sizeof buf);
            if (n > 0) {
                it->channel->receive(std::string_view(buf, static_cast<size_t>(n)), now);
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                if (it->kind == SimChannel::Kind::Tcp) {
                    if (config.trace) config.trace("connection closed by the peer");
                    it->fd.reset();
                }
            }
        }
        lines.remove_if([](const Line& l) { return l.fd.get() < 0; });
    }
}

MeterSim::MeterSim(SimConfig config) : impl_(std::make_unique<Impl>()) {
    impl_->config = std::move(config);
    impl_->wake = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (impl_->wake.get() < 0) throw sysError("eventfd");
    impl_->thread = std::thread([this] { impl_->run(); });
}

MeterSim::~MeterSim() {
    stop();
}

void MeterSim::stop() {
    if (impl_->stopped) return;
    impl_->stopped = true;
    impl_->stopping = true;
    impl_->post();
    if (impl_->thread.joinable()) impl_->thread.join();
    std::lock_guard lock(impl_->mutex);
    for (const std::string& link : impl_->links) ::unlink(link.c_str());
    impl_->links.clear();
}

uint16_t MeterSim::listenTcp(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &res);
    if (rc != 0) throw std::runtime_error("cannot resolve " + host + ": " + gai_strerror(rc));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(res, ::freeaddrinfo);
    Fd fd(::socket(res->ai_family, res->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) throw sysError("socket");
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), res->ai_addr, res->ai_addrlen) < 0)
        throw sysError("cannot bind " + host + ":" + service);
    if (::listen(fd.get(), 16) < 0) throw sysError("listen");
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
    uint16_t result = bound.ss_family == AF_INET6
                          ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                          : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    {
        std::lock_guard lock(impl_->mutex);
        impl_->newListeners.push_back(std::move(fd));
    }
    impl_->post();
    return result;
}

std::string MeterSim::openPty(const std::string& linkPath) {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) < 0) throw sysError("openpty");
    Impl::Line line;
    line.fd = Fd(master);
    line.ptySlave = Fd(slave);
    line.kind = SimChannel::Kind::Pty;
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios tio{};
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    setNonBlocking(master);
    char name[256] = {};
    if (::ptsname_r(master, name, sizeof name) != 0) throw sysError("ptsname");
    std::string path(name);
    if (!linkPath.empty()) {
        struct stat st {};
        if (::lstat(linkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                throw std::runtime_error(linkPath + " exists and is not a symbolic link");
            ::unlink(linkPath.c_str());
        }
        if (::symlink(path.c_str(), linkPath.c_str()) < 0)
            throw sysError("cannot link " + linkPath);
    }
    {
        std::lock_guard lock(impl_->mutex);
        if (!linkPath.empty()) impl_->links.push_back(linkPath);
        impl_->newPtys.push_back(std::move(line));
    }
    impl_->post();
    return path;
}

uint64_t MeterSim::framesReceived() const {
    return impl_->counters.framesReceived;
}
uint64_t MeterSim::repliesSent() const {
    return impl_->counters.repliesSent;
}
uint64_t MeterSim::connectionsAccepted() const {
    return impl_->counters.connectionsAccepted;
}
uint64_t MeterSim::connectionsDropped() const {
    return impl_->counters.connectionsDropped;
}

}  // namespace qv::sim

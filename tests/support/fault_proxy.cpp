#include "support/fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "meter-sim/iec_link.h"

namespace qv::test {

namespace {

constexpr uint8_t kProfileRequest = 123;
constexpr uint8_t kProfileData = 11;
constexpr uint8_t kCauseTermination = 10;

int connectTo(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

bool sendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

// What passes, frame by frame: the program's profile requests start a count
// of the meter's records, which the fault then acts on.
class Relay {
  public:
    explicit Relay(ProfileFault fault) : fault_(fault) {}

    // The program's bytes go on as they are.
    void fromProgram(const std::string& bytes) {
        program_.append(bytes);
        while (auto f = program_.next()) {
            const std::string_view asdu = f->asdu();
            if (!asdu.empty() && uint8_t(asdu[0]) == kProfileRequest) {
                request_ = std::string(asdu);
                record_ = 0;
                previous_.clear();
            }
        }
    }

    // The meter's frames, a record changed where the fault falls.
    std::string fromMeter(const std::string& bytes) {
        meter_.append(bytes);
        std::string out;
        while (auto f = meter_.next()) {
            const std::string_view asdu = f->asdu();
            if (asdu.size() < 2 || uint8_t(asdu[0]) != kProfileData || request_.empty()) {
                out += f->raw;
                continue;
            }
            if (f->raw != previous_) ++record_;
            previous_ = f->raw;
            std::string changed(asdu);
            if (fault_.endAt > 0 && record_ >= fault_.endAt) {
                changed = request_;
                changed[2] = char(kCauseTermination);
            } else if (record_ == fault_.spoil) {
                changed[1] = char(5);  // objects declared
            }
            out += sim::iec::variableFrame(f->control(), f->address(), changed);
        }
        return out;
    }

  private:
    ProfileFault fault_;
    sim::iec::FrameExtractor program_, meter_;
    std::string request_;   // the last profile request's ASDU
    int record_ = 0;        // records of its transfer so far
    std::string previous_;  // the last record as the meter sent it
};

void relay(int program, uint16_t meterPort, ProfileFault fault, const std::atomic<bool>& stop) {
    const int meter = connectTo(meterPort);
    if (meter < 0) return;
    Relay r(fault);
    pollfd fds[2] = {{program, POLLIN, 0}, {meter, POLLIN, 0}};
    char buf[4096];
    bool open = true;
    while (open && !stop) {
        if (::poll(fds, 2, 100) < 0) break;
        for (int i = 0; i < 2 && open; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
            if (n <= 0) {
                open = false;
                break;
            }
            const std::string bytes(buf, std::size_t(n));
            if (i == 0) {
                r.fromProgram(bytes);
                open = sendAll(meter, bytes);
            } else {
                open = sendAll(program, r.fromMeter(bytes));
            }
        }
    }
    ::close(meter);
}

}  // namespace

FaultProxy::FaultProxy(uint16_t meterPort, ProfileFault fault)
    : peer_([meterPort, fault](int fd, const std::atomic<bool>& stop) {
          relay(fd, meterPort, fault, stop);
      }) {}

}  // namespace qv::test

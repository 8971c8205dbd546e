#include "serial/com_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>
#include <vector>

#include "serial/com_termios.h"
#include "serial/com_types.h"

namespace qv {

namespace {

constexpr int kNoIoctlCmd = 515;  // the kernel's ENOIOCTLCMD, seen from some drivers
constexpr uint32_t kMaxDword = 0xFFFFFFFF;
constexpr int kLinePollMs = 50;
constexpr uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR | EV_BREAK;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::chrono::steady_clock::time_point fromNs(int64_t ns) {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

void signalFd(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    ssize_t r = ::write(fd, &one, sizeof one);
    (void)r;
}

void drainFd(int fd) {
    uint64_t v;
    while (::read(fd, &v, sizeof v) > 0) {
    }
}

}  // namespace

bool IsNoLinesError(int err) {
    return err == ENOTTY || err == EINVAL || err == kNoIoctlCmd;
}

int ComLineSource::GetModemBits(int fd, int& tiocm) {
    return ::ioctl(fd, TIOCMGET, &tiocm) == 0 ? 0 : errno;
}

int ComLineSource::SetModemBits(int fd, int bits, bool on) {
    return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? 0 : errno;
}

int ComLineSource::GetCounts(int fd, ComLineCounts& c) {
    serial_icounter_struct ic{};
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) return errno;
    c.cts = static_cast<uint32_t>(ic.cts);
    c.dsr = static_cast<uint32_t>(ic.dsr);
    c.rng = static_cast<uint32_t>(ic.rng);
    c.dcd = static_cast<uint32_t>(ic.dcd);
    c.frame = static_cast<uint32_t>(ic.frame);
    c.overrun = static_cast<uint32_t>(ic.overrun);
    c.parity = static_cast<uint32_t>(ic.parity);
    c.brk = static_cast<uint32_t>(ic.brk);
    c.buf_overrun = static_cast<uint32_t>(ic.buf_overrun);
    return 0;
}

std::shared_ptr<ComDevice> ComDevice::Open(const std::string& path,
                                           std::shared_ptr<ComLineSource> lines, int& err) {
    err = 0;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return nullptr;
    }
    if (!::isatty(fd)) {
        err = ENOTTY;
        ::close(fd);
        return nullptr;
    }
    // The lock keeps out programs that lock too; the terminal's exclusive mode
    // makes the kernel refuse any further open (except to privileged programs).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = (errno == EWOULDBLOCK) ? EBUSY : errno;
        ::close(fd);
        return nullptr;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        err = errno;
        ::close(fd);
        return nullptr;
    }
    int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int abortFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0 || abortFd < 0) {
        err = errno;
        if (wakeFd >= 0) ::close(wakeFd);
        if (abortFd >= 0) ::close(abortFd);
        ::close(fd);
        return nullptr;
    }
    std::shared_ptr<ComDevice> dev(new ComDevice());
    dev->fd_ = fd;
    dev->wakeFd_ = wakeFd;
    dev->abortFd_ = abortFd;
    dev->lines_ = lines ? std::move(lines) : std::make_shared<ComLineSource>();
    // A pseudo-terminal has neither modem lines nor counters: that is "lines
    // off", and the pump then never polls them.
    int bits = 0;
    dev->modemLines_ = dev->lines_->GetModemBits(fd, bits) == 0;
    dev->lastModem_ = bits;
    dev->lineCounts_ = dev->lines_->GetCounts(fd, dev->lastCounts_) == 0;
    ComDevice* raw = dev.get();
    dev->pump_ = std::thread([raw] { raw->pumpLoop(); });
    return dev;
}

ComDevice::~ComDevice() {
    Close();
}

void ComDevice::wake() {
    signalFd(wakeFd_);
}

void ComDevice::Close() {
    if (pump_.joinable()) {
        stop_ = true;
        wake();
        pump_.join();
    }
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        ++abortGeneration_;
        waitCancelled_ = true;
    }
    cv_.notify_all();
    signalFd(abortFd_);
    std::unique_lock fdLock(fdLock_);
    if (fd_ >= 0) {
        if (rs485Set_) termios_linux::SetRs485(fd_, false);
        // The mode belongs to the terminal, not to this descriptor: a terminal
        // that others still hold open would otherwise stay closed to them.
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);  // releases the flock too
    }
    fd_ = -1;
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (abortFd_ >= 0) ::close(abortFd_);
    wakeFd_ = abortFd_ = -1;
}

// ---- settings ------------------------------------------------------------

int ComDevice::SetupQueues(int inputSize, int outputSize) {
    if (inputSize <= 0 || outputSize <= 0) return EINVAL;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return EBADF;
        capacity_ = static_cast<std::size_t>(inputSize);
        outputSize_ = static_cast<std::size_t>(outputSize);
    }
    wake();
    return 0;
}

int ComDevice::SetState(const DeviceControlBlock& b) {
    if (int err = termios_linux::Validate(b)) return err;
    std::shared_lock fdLock(fdLock_);
    if (fd_ < 0) return EBADF;
    const bool check = (b.Flags & dcb::fParity) != 0;
    // With parity checking on, bad bytes arrive marked (\377 \0 x) so that the
    // pump can pass them on or put the replacement character in their place.
    if (int err = termios_linux::Apply(fd_, b, check)) return err;

    const uint32_t dtr = (b.Flags & dcb::fDtrControlMask) >> dcb::fDtrControlShift;
    const uint32_t rts = (b.Flags & dcb::fRtsControlMask) >> dcb::fRtsControlShift;
    auto setLine = [&](int bit, bool on) -> int {
        int err = lines_->SetModemBits(fd_, bit, on);
        return IsNoLinesError(err) ? 0 : err;
    };
    if (int err = setLine(TIOCM_DTR, dtr != 0)) return err;
    bool manual = false;
    if (rts == 3) {
        if (!rs485Set_) {
            int err = termios_linux::SetRs485(fd_, true);
            rs485Set_ = err == 0;
        }
        manual = !rs485Set_;
        if (manual)
            if (int err = setLine(TIOCM_RTS, false)) return err;
    } else {
        if (rs485Set_) {
            termios_linux::SetRs485(fd_, false);
            rs485Set_ = false;
        }
        if (int err = setLine(TIOCM_RTS, rts == 1 || rts == 2)) return err;
    }
    manualToggle_ = manual;

    {
        std::lock_guard lock(mutex_);
        evtChar_ = b.EvtChar;
        discardNull_ = (b.Flags & dcb::fNull) != 0;
        if (parmrk_ != check) markState_ = 0;
        parmrk_ = check;
        replaceBad_ = check && (b.Flags & dcb::fErrorChar) != 0;
        replaceChar_ = b.ErrorChar;
        rate_ = b.BaudRate;
        bitsPerChar_ = 1 + b.ByteSize + (b.Parity ? 1 : 0) + (b.StopBits ? 2 : 1);
    }
    return 0;
}

int ComDevice::SetTimeouts(const CommTimeouts& t) {
    std::lock_guard lock(mutex_);
    if (closed_) return EBADF;
    timeouts_ = t;
    return 0;
}

int ComDevice::Purge(uint32_t flags) {
    if (flags & (PURGE_TXABORT | PURGE_RXABORT)) {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return EBADF;
            ++abortGeneration_;
        }
        cv_.notify_all();
        signalFd(abortFd_);
    }
    const bool in = flags & PURGE_RXCLEAR;
    const bool out = flags & PURGE_TXCLEAR;
    if (!in && !out) return 0;
    std::shared_lock fdLock(fdLock_);
    if (fd_ < 0) return EBADF;
    // A gone device cannot be cleared; the local queue still is.
    const int err = vanished_ ? EIO : termios_linux::Flush(fd_, in, out);
    if (in) {
        std::lock_guard lock(mutex_);
        queue_.clear();
        markState_ = 0;
        was80Full_ = false;
    }
    if (in) wake();
    return err;
}

int ComDevice::ClearError(uint32_t& errors) {
    std::lock_guard lock(mutex_);
    if (closed_) return EBADF;
    errors = std::exchange(errors_, 0);
    return 0;
}

int ComDevice::InputCount(int& inQueue) {
    std::lock_guard lock(mutex_);
    inQueue = static_cast<int>(queue_.size());
    if (closed_) return EBADF;
    // Bytes that came before the device went are still handed out.
    return vanished_ && queue_.empty() ? EIO : 0;
}

int ComDevice::ModemStatus(uint32_t& ms) {
    ms = 0;
    std::shared_lock fdLock(fdLock_);
    if (fd_ < 0) return EBADF;
    if (vanished_) return EIO;
    if (!modemLines_) return 0;
    int bits = 0;
    int err = lines_->GetModemBits(fd_, bits);
    if (IsNoLinesError(err)) return 0;
    if (err) return err;
    if (bits & TIOCM_CTS) ms |= MS_CTS_ON;
    if (bits & TIOCM_DSR) ms |= MS_DSR_ON;
    if (bits & TIOCM_RNG) ms |= MS_RING_ON;
    if (bits & TIOCM_CAR) ms |= MS_RLSD_ON;
    return 0;
}

// ---- events --------------------------------------------------------------

void ComDevice::SetEventMask(uint32_t mask) {
    {
        std::lock_guard lock(mutex_);
        eventMask_ = mask;
        pendingEvents_ = 0;
        // What arrived before anyone listened is announced now: a queue that
        // filled up meanwhile stops the pump, and no later byte would tell.
        uint32_t ev = errors_ ? EV_ERR : 0;
        if (!queue_.empty()) ev |= EV_RXCHAR;
        if (std::find(queue_.begin(), queue_.end(), evtChar_) != queue_.end()) ev |= EV_RXFLAG;
        if (was80Full_) ev |= EV_RX80FULL;
        recordEvents(ev);
    }
    wake();  // the pump polls the lines only while someone listens
}

uint32_t ComDevice::WaitEvent() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return waitCancelled_ || (pendingEvents_ & eventMask_) != 0; });
    if (waitCancelled_) return 0;
    const uint32_t r = pendingEvents_ & eventMask_;
    pendingEvents_ &= ~r;
    return r;
}

void ComDevice::CancelWait() {
    {
        std::lock_guard lock(mutex_);
        waitCancelled_ = true;
    }
    cv_.notify_all();
}

void ComDevice::ResumeWait() {
    std::lock_guard lock(mutex_);
    if (!closed_) waitCancelled_ = false;
}

void ComDevice::recordEvents(uint32_t ev) {
    const uint32_t masked = ev & eventMask_;
    if (!masked) return;
    pendingEvents_ |= masked;
    cv_.notify_all();
}

void ComDevice::pushBytes(const char* data, std::size_t n) {
    uint32_t ev = 0;
    auto emit = [&](char c) {
        if (discardNull_ && c == 0) return;
        queue_.push_back(c);
        ev |= EV_RXCHAR;
        if (c == evtChar_) ev |= EV_RXFLAG;
    };
    for (std::size_t i = 0; i < n; ++i) {
        const char c = data[i];
        if (!parmrk_) {
            emit(c);
            continue;
        }
        switch (markState_) {
            case 0:
                if (c == '\377')
                    markState_ = 1;
                else
                    emit(c);
                break;
            case 1:
                if (c == '\0') {
                    markState_ = 2;
                } else {
                    // "\377\377" is a plain \377; nothing else may follow \377.
                    if (c != '\377') emit('\377');
                    emit(c);
                    markState_ = 0;
                }
                break;
            default:
                emit(replaceBad_ ? replaceChar_ : c);
                markState_ = 0;
                break;
        }
    }
    if (queue_.size() * 10 >= capacity_ * 8) {
        if (!was80Full_) ev |= EV_RX80FULL;
        was80Full_ = true;
    } else {
        was80Full_ = false;
    }
    if (ev & EV_RXCHAR) cv_.notify_all();  // readers waiting for bytes
    recordEvents(ev);
}

void ComDevice::pollLines() {
    uint32_t ev = 0;
    uint32_t errs = 0;
    if (modemLines_) {
        int bits = 0;
        int err = lines_->GetModemBits(fd_, bits);
        if (err == 0) {
            const int diff = bits ^ lastModem_;
            if (diff & TIOCM_CTS) ev |= EV_CTS;
            if (diff & TIOCM_DSR) ev |= EV_DSR;
            if (diff & TIOCM_CAR) ev |= EV_RLSD;
            if (!lineCounts_ && (diff & bits & TIOCM_RNG)) ev |= EV_RING;
            lastModem_ = bits;
        } else if (IsNoLinesError(err)) {
            modemLines_ = false;
        }
    }
    if (lineCounts_) {
        ComLineCounts c;
        int err = lines_->GetCounts(fd_, c);
        if (err == 0) {
            const ComLineCounts& o = lastCounts_;
            if (c.cts != o.cts) ev |= EV_CTS;
            if (c.dsr != o.dsr) ev |= EV_DSR;
            if (c.dcd != o.dcd) ev |= EV_RLSD;
            if (c.rng != o.rng) ev |= EV_RING;
            if (c.frame != o.frame) errs |= CE_FRAME;
            if (c.parity != o.parity) errs |= CE_RXPARITY;
            if (c.overrun != o.overrun) errs |= CE_OVERRUN;
            if (c.buf_overrun != o.buf_overrun) errs |= CE_RXOVER;
            if (c.brk != o.brk) {
                errs |= CE_BREAK;
                ev |= EV_BREAK;
            }
            lastCounts_ = c;
        } else if (IsNoLinesError(err)) {
            lineCounts_ = false;
        }
    }
    if (!ev && !errs) return;
    std::lock_guard lock(mutex_);
    if (errs) {
        errors_ |= errs;
        ev |= EV_ERR;
    }
    recordEvents(ev);
}

void ComDevice::markVanished() {
    if (vanished_.exchange(true)) return;
    std::lock_guard lock(mutex_);
    errors_ |= CE_IOE;
    recordEvents(EV_ERR);
    cv_.notify_all();  // readers waiting for bytes that will never come
}

void ComDevice::pumpLoop() {
    std::vector<char> buf(65536);
    auto lastLinePoll = std::chrono::steady_clock::now();
    while (!stop_) {
        bool wantData = false;
        bool watchLines = false;
        bool txCheck = false;
        std::size_t space = 0;
        int txWaitMs = -1;
        {
            std::lock_guard lock(mutex_);
            if (!vanished_ && queue_.size() < capacity_) {
                wantData = true;
                space = capacity_ - queue_.size();
            }
            watchLines = !vanished_ && (modemLines_ || lineCounts_) && (eventMask_ & kLineEvents);
            txCheck = txCheck_ && !vanished_;
        }
        if (txCheck) {
            int out = 0;
            if (termios_linux::OutputQueue(fd_, out) != 0 || out == 0) {
                std::lock_guard lock(mutex_);
                txCheck_ = false;
                recordEvents(EV_TXEMPTY);
                continue;
            }
            // Sleep about as long as the queued bytes take on the line.
            const uint64_t ms = uint64_t(out) * unsigned(bitsPerChar_) * 1000 / std::max(rate_, 1u);
            txWaitMs = static_cast<int>(std::clamp<uint64_t>(ms, 1, 100));
        }
        int timeout = -1;
        if (watchLines) {
            const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - lastLinePoll)
                                   .count();
            timeout = static_cast<int>(std::max<int64_t>(0, kLinePollMs - since));
        }
        if (txWaitMs >= 0 && (timeout < 0 || txWaitMs < timeout)) timeout = txWaitMs;

        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {wantData ? fd_ : -1, POLLIN, 0}};
        int r = ::poll(fds, 2, timeout);
        if (r < 0 && errno != EINTR) break;
        if (stop_) break;
        if (fds[0].revents) drainFd(wakeFd_);
        if (wantData && fds[1].revents) {
            const std::size_t want = std::min(space, buf.size());
            ssize_t n = ::read(fd_, buf.data(), want);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                pushBytes(buf.data(), static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // A hung-up line reads as end of file, a pty whose master has
                // gone as EIO, an unplugged adapter as EIO or ENODEV.
                markVanished();
            }
        }
        if (watchLines && std::chrono::steady_clock::now() - lastLinePoll >=
                              std::chrono::milliseconds(kLinePollMs)) {
            lastLinePoll = std::chrono::steady_clock::now();
            pollLines();
        }
    }
}

// ---- reads -----------------------------------------------------------------

bool ComDevice::takeBytes(DeviceIo& io) {
    const std::size_t want = static_cast<std::size_t>(io.count - io.done);
    const std::size_t n = std::min(want, queue_.size());
    if (n == 0) return false;
    const bool wasFull = queue_.size() >= capacity_;
    std::copy_n(queue_.begin(), n, io.readBuf + io.done);
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    io.done += static_cast<int>(n);
    io.lastByteNs = nowNs();
    if (queue_.size() * 10 < capacity_ * 8) was80Full_ = false;
    if (wasFull) wake();
    return true;
}

int ComDevice::StartRead(DeviceIo& io) {
    std::lock_guard lock(mutex_);
    if (closed_) return EBADF;
    io.abortGeneration = abortGeneration_;
    io.startNs = nowNs();
    io.done = 0;
    io.pending = false;
    if (io.count <= 0) return 0;
    takeBytes(io);
    if (io.done == io.count) return 0;
    // Bytes still queued are handed out first; only then does a gone device fail.
    if (vanished_ && io.done == 0) return EIO;
    if (vanished_) return 0;
    const CommTimeouts& t = timeouts_;
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0)
        return 0;  // return at once with what is there
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword && io.done > 0)
        return 0;  // "wait for the first byte" mode, and one came
    io.pending = true;
    return 0;
}

int ComDevice::FinishRead(DeviceIo& io) {
    if (!io.pending) return 0;
    std::unique_lock lock(mutex_);
    const CommTimeouts t = timeouts_;
    const bool firstByteMode =
        t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
    int64_t totalDeadline = 0;
    if (firstByteMode) {
        totalDeadline = io.startNs + int64_t(t.ReadTotalTimeoutConstant) * 1000000;
    } else if (t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant) {
        const uint64_t ms = uint64_t(t.ReadTotalTimeoutMultiplier) * uint64_t(io.count) +
                            t.ReadTotalTimeoutConstant;
        totalDeadline = io.startNs + int64_t(std::min<uint64_t>(ms, uint64_t(1) << 40)) * 1000000;
    }
    const bool useInterval =
        !firstByteMode && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
    io.pending = false;
    for (;;) {
        takeBytes(io);
        if (io.done == io.count) return 0;
        if (firstByteMode && io.done > 0) return 0;
        if (closed_) return EBADF;
        if (io.abortGeneration != abortGeneration_) return ECANCELED;
        if (vanished_) return io.done > 0 ? 0 : EIO;
        int64_t deadline = totalDeadline;
        if (useInterval && io.done > 0) {
            const int64_t d = io.lastByteNs + int64_t(t.ReadIntervalTimeout) * 1000000;
            if (deadline == 0 || d < deadline) deadline = d;
        }
        if (deadline != 0) {
            if (nowNs() >= deadline) return 0;
            cv_.wait_until(lock, fromNs(deadline));
        } else {
            cv_.wait(lock);
        }
    }
}

// ---- writes ----------------------------------------------------------------

void ComDevice::rtsForWrite(bool on) {
    int err = lines_->SetModemBits(fd_, TIOCM_RTS, on);
    if (IsNoLinesError(err)) manualToggle_ = false;
}

int ComDevice::writeSome(DeviceIo& io) {
    while (io.done < io.count) {
        ssize_t n =
            ::write(fd_, io.writeBuf + io.done, static_cast<std::size_t>(io.count - io.done));
        if (n > 0) {
            io.done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return 0;
        return n < 0 ? errno : EIO;
    }
    return 0;
}

int ComDevice::StartWrite(DeviceIo& io) {
    std::shared_lock fdLock(fdLock_);
    {
        std::lock_guard lock(mutex_);
        if (closed_ || fd_ < 0) return EBADF;
        io.abortGeneration = abortGeneration_;
    }
    io.startNs = nowNs();
    io.done = 0;
    io.pending = false;
    if (io.count <= 0) return 0;
    if (vanished_) return EIO;
    if (manualToggle_) rtsForWrite(true);
    int err = writeSome(io);
    if (err) {
        if (err == EIO || err == ENODEV || err == ENXIO) markVanished();
        if (manualToggle_) rtsForWrite(false);
        return err;
    }
    // A write finishes in FinishWrite when bytes are left or RTS has to drop
    // after the line has drained.
    io.pending = io.done < io.count || manualToggle_;
    if (!io.pending) noteWritten();
    return 0;
}

void ComDevice::noteWritten() {
    {
        std::lock_guard lock(mutex_);
        if (!(eventMask_ & EV_TXEMPTY)) return;
        txCheck_ = true;
    }
    wake();
}

bool ComDevice::aborted(uint64_t generation) {
    std::lock_guard lock(mutex_);
    return closed_ || generation != abortGeneration_;
}

int ComDevice::FinishWrite(DeviceIo& io) {
    if (!io.pending) return 0;
    io.pending = false;
    std::shared_lock fdLock(fdLock_);
    if (fd_ < 0) return EBADF;
    const CommTimeouts t = timeouts_;
    int64_t deadline = 0;
    if (t.WriteTotalTimeoutMultiplier || t.WriteTotalTimeoutConstant) {
        const uint64_t ms = uint64_t(t.WriteTotalTimeoutMultiplier) * uint64_t(io.count) +
                            t.WriteTotalTimeoutConstant;
        deadline = io.startNs + int64_t(std::min<uint64_t>(ms, uint64_t(1) << 40)) * 1000000;
    }
    int result = 0;
    while (io.done < io.count) {
        if (aborted(io.abortGeneration)) {
            result = ECANCELED;
            break;
        }
        int waitMs = 100;  // checks the abort at least this often
        if (deadline) {
            const int64_t left = (deadline - nowNs()) / 1000000;
            if (left <= 0) break;  // time-out: the count written so far
            waitMs = static_cast<int>(std::min<int64_t>(left, waitMs));
        }
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {abortFd_, POLLIN, 0}};
        int r = ::poll(fds, 2, waitMs);
        if (r < 0 && errno != EINTR) {
            result = errno;
            break;
        }
        if (fds[1].revents) {
            if (aborted(io.abortGeneration)) {
                result = ECANCELED;
                break;
            }
            drainFd(abortFd_);  // an older abort's signal
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            markVanished();
            result = EIO;
            break;
        }
        if (fds[0].revents & POLLOUT) {
            if (int err = writeSome(io)) {
                if (err == EIO || err == ENODEV || err == ENXIO) markVanished();
                result = err;
                break;
            }
        }
    }
    if (manualToggle_) {
        if (result == 0) waitDrained(io.abortGeneration);
        rtsForWrite(false);
    }
    if (result == 0) noteWritten();
    return result;
}

void ComDevice::waitDrained(uint64_t generation) {
    // Hold RTS until the last bit has left: sleep about as long as the queued
    // bytes take, waking early on an abort.
    for (int rounds = 0; rounds < 1000; ++rounds) {
        int out = 0;
        if (termios_linux::OutputQueue(fd_, out) != 0 || out == 0) break;
        if (aborted(generation)) break;
        const uint64_t ms = uint64_t(out) * unsigned(bitsPerChar_) * 1000 / std::max(rate_, 1u);
        pollfd p{abortFd_, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(std::clamp<uint64_t>(ms, 1, 100)));
    }
    // The shift register still holds the last character.
    const uint64_t lastUs = uint64_t(bitsPerChar_) * 1000000 / std::max(rate_, 1u);
    if (lastUs > 0 && lastUs < 100000) ::usleep(static_cast<useconds_t>(lastUs));
}

}  // namespace qv

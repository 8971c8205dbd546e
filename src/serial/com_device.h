#pragma once
// The device layer under the port: a terminal device opened exclusively, its
// control block and time-outs applied through termios2, and one pump thread
// that moves received bytes into a locked input queue and turns what it sees
// (data, the event character, a filling queue, line errors, modem lines, a
// vanished device) into comm event bits. Nothing here busy-waits: the pump
// sleeps in poll() on the device and a wake-up eventfd, and polls the modem
// lines only on devices that have them.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

namespace qv {

// The device control block as a plain value (the layout of the classic DCB).
struct DeviceControlBlock {
    uint32_t DCBlength = 0;
    uint32_t BaudRate = 0;
    uint32_t Flags = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 0;
    uint8_t Parity = 0;
    uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
};

namespace dcb {
constexpr uint32_t fBinary = 0x0001;
constexpr uint32_t fParity = 0x0002;
constexpr uint32_t fOutxCtsFlow = 0x0004;
constexpr uint32_t fOutxDsrFlow = 0x0008;
constexpr uint32_t fDtrControlMask = 0x0030;
constexpr unsigned fDtrControlShift = 4;
constexpr uint32_t fDsrSensitivity = 0x0040;
constexpr uint32_t fTXContinueOnXoff = 0x0080;
constexpr uint32_t fOutX = 0x0100;
constexpr uint32_t fInX = 0x0200;
constexpr uint32_t fErrorChar = 0x0400;
constexpr uint32_t fNull = 0x0800;
constexpr uint32_t fRtsControlMask = 0x3000;
constexpr unsigned fRtsControlShift = 12;
}  // namespace dcb

// COMMTIMEOUTS; 0xFFFFFFFF is MAXDWORD.
struct CommTimeouts {
    uint32_t ReadIntervalTimeout = 0xFFFFFFFF;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 100;
    uint32_t WriteTotalTimeoutConstant = 1000;
};

// Counters of line events (the TIOCGICOUNT record's fields we use).
struct ComLineCounts {
    uint32_t cts = 0, dsr = 0, rng = 0, dcd = 0;
    uint32_t frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0;
};

// Where modem lines and line-error counters come from. Each call gives 0 or an
// errno; ENOTTY (or EINVAL) means "this device has no such lines" (a
// pseudo-terminal), which is no error. The default reads the device's ioctls;
// tests substitute a fake to show a parity error or a ring.
class ComLineSource {
  public:
    virtual ~ComLineSource() = default;
    virtual int GetModemBits(int fd, int& tiocm);
    virtual int SetModemBits(int fd, int tiocmBits, bool on);
    virtual int GetCounts(int fd, ComLineCounts& counts);
};

bool IsNoLinesError(int err);

// A request in flight on the device (the port's TAsyncRequest carries one).
struct DeviceIo {
    char* readBuf = nullptr;
    const char* writeBuf = nullptr;
    int count = 0;
    int done = 0;
    bool pending = false;
    uint64_t abortGeneration = 0;
    int64_t startNs = 0;
    int64_t lastByteNs = 0;
};

class ComDevice {
  public:
    // Opens `path` for the port; on failure returns null and sets `err` (errno):
    // ENOTTY for a path that is no terminal, EBUSY when another open holds it.
    static std::shared_ptr<ComDevice> Open(const std::string& path,
                                           std::shared_ptr<ComLineSource> lines, int& err);
    ~ComDevice();
    ComDevice(const ComDevice&) = delete;
    ComDevice& operator=(const ComDevice&) = delete;

    int fd() const { return fd_; }

    // Each gives 0 or an errno.
    int SetupQueues(int inputSize, int outputSize);
    int SetState(const DeviceControlBlock& block);
    int SetTimeouts(const CommTimeouts& t);
    int Purge(uint32_t flags);
    // The CE_ bits recorded since the last call, which clears them.
    int ClearError(uint32_t& errors);
    // Bytes in the input queue; EIO once the device has gone and they are read.
    int InputCount(int& inQueue);
    int ModemStatus(uint32_t& ms);

    // Comm event wait: SetEventMask starts recording the masked events (a new
    // mask drops the recorded ones); WaitEvent blocks until one is recorded or
    // CancelWait is called (then it gives 0).
    void SetEventMask(uint32_t mask);
    uint32_t WaitEvent();
    void CancelWait();
    void ResumeWait();

    // Reads: StartRead takes what the time-outs allow at once; FinishRead waits
    // for the rest. Each gives 0 or an errno (a vanished device: EIO).
    int StartRead(DeviceIo& io);
    int FinishRead(DeviceIo& io);
    int StartWrite(DeviceIo& io);
    int FinishWrite(DeviceIo& io);

    // Stops the pump and closes the descriptor; later calls give EBADF.
    void Close();
    bool Vanished() const { return vanished_.load(); }

  private:
    ComDevice() = default;
    void pumpLoop();
    void wake();
    void pollLines();
    void markVanished();
    void recordEvents(uint32_t ev);                   // mutex_ held
    void pushBytes(const char* data, std::size_t n);  // mutex_ held
    bool takeBytes(DeviceIo& io);                     // mutex_ held
    int writeSome(DeviceIo& io);
    void noteWritten();
    bool aborted(uint64_t generation);
    void rtsForWrite(bool on);
    void waitDrained(uint64_t generation);

    int fd_ = -1;
    int wakeFd_ = -1;   // wakes the pump
    int abortFd_ = -1;  // wakes writers waiting for room on an abort
    bool closed_ = false;
    std::shared_ptr<ComLineSource> lines_;
    std::thread pump_;
    std::atomic<bool> stop_{false};
    std::shared_mutex fdLock_;  // shared by users of fd_, exclusive to close it

    std::mutex mutex_;
    std::condition_variable cv_;  // queue, events, aborts
    std::deque<char> queue_;
    std::size_t capacity_ = 1024;
    std::size_t outputSize_ = 1024;
    CommTimeouts timeouts_;
    uint32_t eventMask_ = 0;
    uint32_t pendingEvents_ = 0;
    bool waitCancelled_ = false;
    uint32_t errors_ = 0;
    uint64_t abortGeneration_ = 0;
    std::atomic<bool> vanished_{false};
    bool was80Full_ = false;
    char evtChar_ = 0;
    bool discardNull_ = false;
    bool parmrk_ = false;  // input carries \377 \0 x marks for bad bytes
    bool replaceBad_ = false;
    char replaceChar_ = 0;
    int markState_ = 0;  // PARMRK decoder: 0 plain, 1 after \377, 2 after \377 \0
    bool txCheck_ = false;
    uint32_t rate_ = 9600;
    int bitsPerChar_ = 10;

    // Lines, owned by the pump thread after open.
    std::atomic<bool> modemLines_{false};
    std::atomic<bool> lineCounts_{false};
    int lastModem_ = 0;
    ComLineCounts lastCounts_;
    // RTS toggle without the driver's RS-485 mode.
    std::atomic<bool> manualToggle_{false};
    bool rs485Set_ = false;
};

}  // namespace qv

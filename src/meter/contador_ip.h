#pragma once
// The reading thread of a run: the only code that talks to meters.
//
// Its files: contador_ip.cpp (construction, termination, posting, waits),
// transport.cpp (frame write, receive handler, transactions), session.cpp
// (session opening and closing), closures.cpp (date walk and closure readers).
// The run object, the modem dialogue, the Modbus readers and the thread body
// live in files of their own against this header.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "meter/device.h"
#include "meter/meter_messages.h"
#include "meter/time_tags.h"
#include "platform/worker_message.h"

namespace qv {

class TComPort;
class TCustomComPort;
class TcpClient;

// Run exit codes.
enum RunExitCode : int32_t {
    ExitOk = 0,
    ExitInitFailed = 10,
    ExitSerialFailed = 11,
    ExitTcpFailed = 12,
    ExitNotConnected = 13,
    ExitNoMeterRead = 15,
    // Not the reading thread's: readings were read but their CSV file could
    // not be written or uploaded.
    ExitOutputLost = 16,
};

// The red line that says a stop request cut the reading short; logged once a run.
inline constexpr const char* kStopLine =
    " - LECTURA INTERRUMPIDA - SE HA PEDIDO DETENER LA LECTURA";

// False for the red lines that say no reason of their own: frame traces
// (hexadecimal bytes, parsed objects, a dropped frame's dump, " except!") and
// the run's closing line. Any letter case, leading blanks and dashes ignored.
bool SaysAReason(std::string_view line);
// A red line as a reason: without its leading blanks and dashes and trailing blanks.
std::string ReasonText(std::string_view line);

// One meter of the device list: the grid's column 0 text and its record. The
// record leaves the list (null) when it is posted.
// The identity stays here after the record has gone, for closing the session.
struct DeviceItem {
    DeviceItem(std::string text, std::unique_ptr<Tdevice> device)
        : Text(std::move(text)),
          LinkAddress(device ? device->LinkAddress : 0),
          MeasurePoint(device ? device->MeasurePoint : 0),
          Password(device ? device->Password : 0),
          Device(std::move(device)) {}
    std::string Text;
    // Why the meter is not read at all ("" when it is read): numbers that do
    // not fit their fields of the frame would reach another meter.
    std::string Fault;
    int32_t LinkAddress;
    int32_t MeasurePoint;
    int32_t Password;
    std::unique_ptr<Tdevice> Device;
};

class TContador_IP : public std::enable_shared_from_this<TContador_IP> {
  public:
    TContador_IP();
    ~TContador_IP();
    TContador_IP(const TContador_IP&) = delete;
    TContador_IP& operator=(const TContador_IP&) = delete;

    // ---- Fields filled by the run set-up before the thread starts ----
    std::string TxHead;           // first two bytes of the last request sent
    std::string ModemInitString;  // first line sent to a modem
    std::string LastFrame;        // last frame found, without its first start byte
    MessageTarget MainWindow;     // where every message goes; null posts nothing
    std::string StatusText = "(INIT OBJECTS)";
    std::string DialNumber;  // empty for the direct serial and TCP links
    int32_t ExitCode = ExitInitFailed;
    int32_t AsduTimeout = 12;  // reply time-out, seconds
    int32_t AsduRetries = 2;   // tries per request
    int32_t InterAsdu = 1;     // pause unit, seconds
    int32_t Interval = IntervalQuarterHour;
    int32_t Protocol = 0;  // 0 IEC 60870-5-102, 1 CIRCUITOR Modbus, 2 NRG96
    Day DateFrom{};        // the day after the first day of the range
    Day DateTo{};          // the day after the last day of the range
    bool ModemOnLine = false;
    bool IsSerial = true;
    bool AnalogModem = false;
    bool ModemReset = false;
    bool InitOk = false;
    bool TraceFrames = true;
    std::vector<DeviceItem> Devices;
    // The run's links; the run object builds the one in use and hands it over.
    std::unique_ptr<TComPort> ComPort;
    std::unique_ptr<qv::TcpClient> TcpClient;
    // Run in the main thread after Execute has returned (the run's handler).
    std::function<void()> OnTerminate;
    // The main thread's queue that OnTerminate is posted to; null runs it on
    // the reading thread itself, right after Execute.
    MainExecutor* Executor = nullptr;

    // ---- Thread control ----
    // Runs Execute on a thread of its own; the thread keeps the object alive
    // until its body has ended.
    void Start();
    // Asks the thread to stop; every wait notices within 100 ms. Any thread.
    void Terminate();
    bool IsTerminated() const { return Terminated.load(); }
    std::atomic<bool> Terminated{false};

    // ---- Thread body and run (reading-run files) ----
    void Execute();
    void RunReading();
    void ReadIecMeters();
    static Day MonthStart(Day d);

    // ---- Posting (to MainWindow) ----
    void PostLog(const std::string& line, int32_t colour);
    void PostModemStatus(int state, int signalLevel);
    void PostDataReady(int index);  // hands Devices[index] over
    void PostExitCode();
    void PostGridStatus(int row, const std::string& text);

    // ---- Link transport ----
    bool SendFrame(const std::string& frame);
    // Receive handler of the serial port; runs in the main thread.
    void ComPortRxChar(TCustomComPort* sender, int count);
    // Carrier-detect handler of the serial port; runs in the main thread.
    void ComPortRLSDChange(bool on);
    // While a modem call carries the reading: the modem's "NO CARRIER", or the
    // carrier-detect line going down where the port reports it, ends the call.
    std::atomic<bool> WatchCarrier{false};
    std::atomic<bool> CarrierLost{false};
    bool Transact(const std::string& frame);
    // Tries the last Transact used: above 1 when a reply was lost and the
    // request went out again with the same frame count bit.
    int TriesUsed = 0;
    void WaitMs(int64_t ms);
    // The pause unit times n, in milliseconds; 64 bits, as the unit is taken as given.
    int64_t PauseMs(int n) const { return int64_t{InterAsdu} * n; }
    // True when the link is up: serial port open, or TCP client connected.
    bool LinkUp() const;
    // Connects the TCP client; a stop request ends the connect within 100 ms.
    bool ConnectTcp();
    // Connects a TCP link that dropped again; the log says why it could not.
    void ReconnectTcp();
    // Sleep of the reading thread that a stop request cuts short; counted in
    // SleepRequestedMs. Any length: the wait is clamped where it would overflow.
    void SleepMs(int64_t ms);

    // The receive buffer, shared with the receive handler: each call is one
    // critical section.
    void AppendRx(const std::string& bytes);
    void ClearRx();
    std::string RxSnapshot() const;
    bool RxWaiting() const;
    // Runs fn on the buffer under its lock (for the modem dialogue's rewrites).
    template <class F>
    auto WithRxBuffer(F&& fn) {
        std::lock_guard lock(RxMutex);
        return fn(RxBuffer);
    }
    // One extraction pass under the lock, by protocol selector.
    void ExtractFrame();

    // ---- Session ----
    bool OpenSession(int index);
    // One attempt at the steps that open a session; false at the first that
    // fails. `found` turns true once the meter has answered its link status.
    bool TrySession(int index, bool fcbChanged, bool& found);
    void CloseSession(int index);

    // ---- Closure reading ----
    // True when every closure and profile of the range was read.
    bool ReadMeter(int index);
    bool ReadDailyClosure(int index, Day day);
    bool ReadHourlyClosures(int index, Day day);
    bool ReadQuarterHourClosures(int index, Day day);

    // ---- Modem dialogue (modem file) ----
    void SendAT(const std::string& command, const std::string& expected);
    bool InitModem();
    void HangUpModem();
    // The modem's first line and wake-up: true when it answered "OK".
    bool wakeModem();
    // Asks who the modem is and dials; true when the call connected.
    bool dialModem(int& state, int& signal);
    // Starts watching a connected call for its carrier.
    void WatchCall();

    // ---- Modbus readers (Modbus file) ----
    static std::string ModbusCrc(const std::string& data);
    void ReadCircuitorMeter();
    void ReadNrg96();
    void StopSession(int index);
    // The extraction for selectors 1 and 2, set by the Modbus readers: works on
    // the receive buffer (lock held) and the last frame.
    std::function<void(std::string& rxBuffer, std::string& lastFrame)> ModbusExtract;

    // Counters for diagnostics, tests and benchmarks: frames written, and the
    // milliseconds of the pauses the thread asked for (the waits for a reply
    // are not pauses and are not counted).
    std::atomic<int> FramesSent{0};
    std::atomic<int64_t> SleepRequestedMs{0};

    // The last red line with a reason that the thread logged (see SaysAReason).
    std::string LastReason;
    // Logs the stop line unless it was logged already.
    void ReportStop();

    // The time tag of the meter's last record stored, in minutes on one
    // scale; -1 before the first. A record must come after it.
    int64_t LastTag = -1;

  private:
    DeviceItem& item(int index) { return Devices.at(static_cast<std::size_t>(index)); }
    // The steps of a load profile: preset its slots, request it, take its
    // records (the last control field sent), each record into its slot.
    struct ProfileWalk;
    bool readProfile(int index, Day day, bool quarterHour);
    void presetProfile(ProfileWalk& walk);
    bool requestProfile(ProfileWalk& walk);
    uint8_t readProfileRecords(ProfileWalk& walk);
    bool takeProfileRecord(ProfileWalk& walk);
    // True when f confirms a closure request of this type; else a red line
    // says what it was.
    bool confirmed(const std::string& f, uint8_t type);
    // The objects and time tag of a daily closure frame into element n.
    bool takeDailyClosure(Tdevice& dev, std::size_t n, Day day);

    // Drops what arrived before a request goes out.
    void dropStaleInput();
    // Waits for the reply of one try, in polls of 100 ms; a poll ends early when
    // bytes arrive. True when the try timed out; the reply lands in LastFrame.
    bool awaitReply(int64_t maxPolls, const std::string& request);
    // Cuts what arrived into frames until one can answer the request (true,
    // in LastFrame); the others are dropped with a trace line.
    bool takeReply(const std::string& request);
    // Replies taken for a request that had to be sent again, one for each
    // further copy that may still come (the late answer of an earlier try, or
    // the meter's repeat), until it does or the tries' time is over.
    struct RetriedReply {
        std::string request;
        uint64_t exchange;  // the number of the exchange it was taken in
        std::string frame;
        std::chrono::steady_clock::time_point until;
    };
    uint64_t exchanges_ = 0;  // exchanges begun
    static constexpr std::size_t kRetriedRepliesKept = 8;
    std::deque<RetriedReply> retriedReplies_;
    enum class Copy { No, Sure, Maybe };
    // Whether frame, come while `request` waits, is a copy of a reply taken
    // for a request sent again. Maybe: it answers the request, whose own
    // answer may be the same bytes.
    Copy copyOf(const std::string& frame, const std::string& request);
    // Uses up the entry of one copy of frame.
    void useCopy(const std::string& frame);
    // A frame that may be a copy waits (until heldUntil_) for an answer
    // behind it: a copy comes ahead of the request's own answer. With none it
    // is the answer.
    std::string held_;
    std::chrono::steady_clock::time_point heldUntil_;
    void takeHeld();
    // The longest wait for a reply taken, which sets how long a frame is held.
    int64_t slowestReplyMs_ = 0;
    // Logs a frame dropped, with the reason.
    void dropFrame(const char* why, const std::string& frame);
    // The time-out of a request is logged once until a reply arrives.
    bool noAnswerLogged_ = false;
    // Sleeps until `until`, a stop request, or bytes arriving after the
    // receive buffer had seen `seenAppends` appends.
    void waitForBytes(std::chrono::steady_clock::time_point until, uint64_t seenAppends);
    // Logs a failed send or a lost link, once until the link is up again.
    void reportLinkFailure(const std::string& what, const std::string& reason);
    std::atomic<bool> linkFailureLogged_{false};
    // Serial port operations (the serial component is used only through these).
    bool serialOpen() const;
    std::size_t serialWrite(const std::string& bytes);
    void serialClearBuffers();

    // Says once that the modem call lost its carrier (any thread).
    void reportCarrierLost(const char* how);
    bool stopLogged_ = false;
    std::string carrierTail_;             // the last bytes received, main thread only
    std::atomic<bool> carrierOn_{false};  // the port's carrier-detect line

    std::string RxBuffer;
    mutable std::mutex RxMutex;
    std::atomic<uint64_t> RxAppends{0};  // wakes a reply wait on the serial link

    std::mutex StopMutex;
    std::condition_variable StopCv;
};

}  // namespace qv

#pragma once
// The serial port component. A port holds the line settings of one device,
// opens it, applies its settings, runs an event thread that hands received
// characters and line events to the program, and reads, writes and clears.
//
// Events reach the main thread through the MainExecutor the program gives the
// port: pass it to the constructor, call SetMainExecutor, or set a process-wide
// default with SetDefaultMainExecutor (the program does this once at start-up).
// A port that has no executor at all delivers smThreadSync and smWindowSync
// events in its event thread, as smNone does.
//
// Port names: "COMn" maps through the alias table (com_names.h); a name that
// begins with "/" is a device path used as is.

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/main_executor.h"
#include "serial/com_device.h"
#include "serial/com_types.h"

namespace qv {

class IniFile;
class KeyStore;
class TComThread;
struct ComPortLife;

using TNotifyEvent = std::function<void(TCustomComPort* Sender)>;
using TRxCharEvent = std::function<void(TCustomComPort* Sender, int Count)>;
using TRxBufEvent = std::function<void(TCustomComPort* Sender, const char* Buffer, int Count)>;
using TComErrorEvent = std::function<void(TCustomComPort* Sender, TComErrors Errors)>;
using TComSignalEvent = std::function<void(TCustomComPort* Sender, bool OnOff)>;

enum TAsyncKind : uint8_t { akWrite, akRead };

// One read or write in flight; made by InitAsync, released by DoneAsync. The
// operation that starts one waits for it before returning.
struct TAsyncRequest {
    TAsyncKind Kind = akWrite;
    DeviceIo Io;
    std::shared_ptr<ComDevice> Device;  // the device the request was started on
};
using PAsync = std::unique_ptr<TAsyncRequest>;

class TCustomComPort {
  public:
    explicit TCustomComPort(MainExecutor* executor = nullptr);
    virtual ~TCustomComPort();  // closes the port if still open; never throws
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // The component's name (the INI section of StoreIniFile/LoadIniFile).
    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }

    void SetMainExecutor(MainExecutor* executor) { executor_ = executor; }
    MainExecutor* GetMainExecutor() const;
    static void SetDefaultMainExecutor(MainExecutor* executor);

    // --- state and settings -------------------------------------------------
    bool Connected() const { return connected_.load(); }
    void SetConnected(bool value);
    void Open() { SetConnected(true); }
    void Close() { SetConnected(false); }

    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate v);
    int CustomBaudRate() const { return customBaudRate_; }
    void SetCustomBaudRate(int v);
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& v);
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits v);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits v);
    bool DiscardNull() const { return discardNull_; }
    void SetDiscardNull(bool v);
    char EventChar() const { return eventChar_; }
    void SetEventChar(char v);

    TComParity& Parity() { return parity_; }
    const TComParity& Parity() const { return parity_; }
    void SetParity(const TComParity& v);
    TComFlowControl& FlowControl() { return flowControl_; }
    const TComFlowControl& FlowControl() const { return flowControl_; }
    void SetFlowControl(const TComFlowControl& v);
    TComTimeouts& Timeouts() { return timeouts_; }
    const TComTimeouts& Timeouts() const { return timeouts_; }
    void SetTimeouts(const TComTimeouts& v);
    TComBuffer& Buffer() { return buffer_; }
    const TComBuffer& Buffer() const { return buffer_; }
    void SetBuffer(const TComBuffer& v);

    TSyncMethod SyncMethod() const { return syncMethod_; }
    void SetSyncMethod(TSyncMethod v);  // code 14 while open

    // Written directly; a change reaches the event thread at the next open.
    TComEvents Events = AllComEvents;
    TStoreGroups StoreGroups{stBasic};

    int ReadErrorCount() const { return readErrorCount_.load(); }
    int LastReadError() const { return lastReadError_.load(); }
    // The device descriptor; -1 while closed.
    int Handle() const;
    bool ThreadCreated() const { return threadCreated_; }
    // The device path the port name maps to (what the last open used).
    const std::string& DevicePath() const { return devicePath_; }

    // --- loading from a saved form --------------------------------------------
    // Between BeginLoading and Loaded, Connected only records the wish to be open
    // and the setters only store; Loaded then opens when asked to, sending a
    // failure to ExceptionHandler.
    void BeginLoading() { loading_ = true; }
    virtual void Loaded();
    bool Loading() const { return loading_; }

    // --- settings store --------------------------------------------------------
    virtual void StoreRegistry(KeyStore& registry);
    virtual void StoreIniFile(IniFile& iniFile);
    virtual void LoadRegistry(KeyStore& registry);
    virtual void LoadIniFile(IniFile& iniFile);

    // --- data and line operations (open port) -----------------------------------
    int WriteStr(const std::string& Str);
    int Write(const void* Buffer, int Count);
    int ReadStr(std::string& Str, int Count);
    int Read(void* Buffer, int Count);
    PAsync InitAsync();
    void DoneAsync(PAsync& AsyncPtr);
    int WriteAsync(const void* Buffer, int Count, TAsyncRequest* AsyncPtr);
    int WriteStrAsync(const std::string& Str, TAsyncRequest* AsyncPtr);
    int ReadAsync(void* Buffer, int Count, TAsyncRequest* AsyncPtr);
    int WaitForAsync(TAsyncRequest* AsyncPtr);
    // Bytes waiting in the input queue. Unlike LastErrors it leaves the
    // recorded line errors in place for OnError.
    int InputCount();
    void ClearBuffer(bool Input, bool Output);
    void AbortAllAsync();
    TComErrors LastErrors();
    TModemLines ModemSignals();

    // --- events ----------------------------------------------------------------
    TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TNotifyEvent OnTxEmpty, OnBreak, OnRing;
    TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
    TNotifyEvent OnRxFlag;
    TComErrorEvent OnError;
    TNotifyEvent OnRx80Full;

    // Where an exception from an event handler (or from an open in Loaded) ends;
    // the default writes its message to standard error. Delivery goes on.
    std::function<void(TCustomComPort* Sender, std::exception_ptr error)> ExceptionHandler;
    // Hands `error` to ExceptionHandler (or standard error); never throws.
    void ReportException(std::exception_ptr error);

    // Components bound to the port hear of its destruction here (main thread).
    int AddFreeNotification(std::function<void(TCustomComPort*)> fn);
    void RemoveFreeNotification(int id);

    // Where modem lines and line-error counters come from; null (the default)
    // reads the device itself. Takes effect at the next open.
    void SetLineSource(std::shared_ptr<ComLineSource> source);

  protected:
    // Closes the port, swallowing failures. The event thread calls the
    // overridable event operations, so the port must be closed before any part
    // of the object is destroyed: the most derived class calls this first in its
    // destructor (TComPort does; so must a class that derives further).
    void CloseForDestruction() noexcept;

    virtual void CreateHandle();
    virtual void DestroyHandle();
    virtual void SetupComPort();

    virtual void DoAfterClose();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoRxChar(int Count);
    virtual void DoRxBuf(const char* Buffer, int Count);
    virtual void DoTxEmpty();
    virtual void DoBreak();
    virtual void DoRing();
    virtual void DoRxFlag();
    virtual void DoCTSChange(bool OnOff);
    virtual void DoDSRChange(bool OnOff);
    virtual void DoError(TComErrors Errors);
    virtual void DoRLSDChange(bool OnOff);
    virtual void DoRx80Full();
    virtual void ApplyDCB();
    virtual void ApplyTimeouts();
    virtual void ApplyBuffer();

    // Event routines the event thread runs for one batch.
    void CallRxChar();
    void CallTxEmpty();
    void CallRxFlag();
    void CallRing();
    void CallBreak();
    void CallCTSChange();
    void CallDSRChange();
    void CallRLSDChange();
    void CallError();
    void CallRx80Full();

  private:
    friend class TComTimeouts;
    friend class TComFlowControl;
    friend class TComParity;
    friend class TComBuffer;
    friend class TComThread;

    void DoOpen();
    void DoClose();
    bool applying() const;
    void DoEvents(uint32_t mask);
    void WindowMethod(uint32_t ev);
    void DispatchEvent(uint32_t ev);
    std::shared_ptr<ComDevice> device() const;
    [[noreturn]] void RaiseExt(int err, uint8_t code) const;

    std::string name_;
    MainExecutor* executor_ = nullptr;

    std::unique_ptr<TComThread> eventThread_;
    std::unique_ptr<TComThread> lingeringThread_;  // stopped from inside its own dispatch
    bool threadCreated_ = false;
    mutable std::mutex deviceMutex_;
    std::shared_ptr<ComDevice> device_;
    std::shared_ptr<ComPortLife> life_;  // what posted window-sync calls check
    std::atomic<bool> connected_{false};
    bool connectedStored_ = false;                   // the wish recorded while loading
    std::atomic<std::thread::id> dispatchThread_{};  // who runs an event batch now
    bool loading_ = false;

    TBaudRate baudRate_ = br9600;
    int customBaudRate_ = 9600;
    std::string port_ = "COM1";
    std::string devicePath_;
    TStopBits stopBits_ = sbOneStopBit;
    TDataBits dataBits_ = dbEight;
    bool discardNull_ = false;
    char eventChar_ = 0;
    TComParity parity_;
    TComFlowControl flowControl_;
    TComTimeouts timeouts_;
    TComBuffer buffer_;
    TSyncMethod syncMethod_ = smThreadSync;
    std::shared_ptr<ComLineSource> lineSource_;

    std::atomic<int> readErrorCount_{0};
    std::atomic<int> lastReadError_{0};

    std::map<int, std::function<void(TCustomComPort*)>> freeNotifications_;
    int nextNotificationId_ = 1;
};

// The port as a form holds it; no behaviour of its own.
class TComPort : public TCustomComPort {
  public:
    using TCustomComPort::TCustomComPort;
    ~TComPort() override { CloseForDestruction(); }
};

// Where the port's trace texts go ("CreateFile <path>", "TCustomComPort.WriteStr").
// None by default; QV_SERIAL_DEBUG=1 in the environment sends them to stderr.
// The control block the port's settings make (what ApplyDCB hands the device).
DeviceControlBlock BuildDeviceControlBlock(const TCustomComPort& port);
CommTimeouts BuildCommTimeouts(const TComTimeouts& timeouts);

void SetComDebugOutput(std::function<void(const std::string&)> sink);
void ComDebugOutput(const std::string& text);

}  // namespace qv

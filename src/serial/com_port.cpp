#include "serial/com_port.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "serial/com_names.h"

namespace qv {

// ---- trace output ------------------------------------------------------------

namespace {

std::mutex& debugMutex() {
    static std::mutex m;
    return m;
}

std::function<void(const std::string&)>& debugSink() {
    static std::function<void(const std::string&)> sink = [] {
        std::function<void(const std::string&)> f;
        const char* env = std::getenv("QV_SERIAL_DEBUG");
        if (env && *env && std::string(env) != "0")
            f = [](const std::string& t) { std::fprintf(stderr, "%s\n", t.c_str()); };
        return f;
    }();
    return sink;
}

std::atomic<MainExecutor*> gDefaultExecutor{nullptr};

}  // namespace

void SetComDebugOutput(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(debugMutex());
    debugSink() = std::move(sink);
}

void ComDebugOutput(const std::string& text) {
    std::lock_guard lock(debugMutex());
    if (debugSink()) debugSink()(text);
}

// ---- control block -------------------------------------------------------------

DeviceControlBlock BuildDeviceControlBlock(const TCustomComPort& port) {
    DeviceControlBlock b;
    b.DCBlength = 28;
    b.BaudRate = port.BaudRate() == brCustom
                     ? static_cast<uint32_t>(port.CustomBaudRate())
                     : static_cast<uint32_t>(BaudRateValue(port.BaudRate()));
    b.ByteSize = static_cast<uint8_t>(5 + port.DataBits());
    b.Parity = port.Parity().Bits();
    b.StopBits = port.StopBits();
    const int lim = port.Buffer().InputSize() / 4;
    b.XonLim = b.XoffLim = static_cast<uint16_t>(lim < 0 ? 0 : lim > 0xFFFF ? 0xFFFF : lim);
    const TComFlowControl& fc = port.FlowControl();
    b.XonChar = fc.XonChar();
    b.XoffChar = fc.XoffChar();
    b.EvtChar = port.EventChar();
    uint32_t f = dcb::fBinary;
    if (port.DiscardNull()) f |= dcb::fNull;
    if (fc.OutCTSFlow()) f |= dcb::fOutxCtsFlow;
    if (fc.OutDSRFlow()) f |= dcb::fOutxDsrFlow;
    f |= (static_cast<uint32_t>(fc.ControlDTR()) << dcb::fDtrControlShift) & dcb::fDtrControlMask;
    f |= (static_cast<uint32_t>(fc.ControlRTS()) << dcb::fRtsControlShift) & dcb::fRtsControlMask;
    if (fc.XonXoffOut()) f |= dcb::fOutX;
    if (fc.XonXoffIn()) f |= dcb::fInX;
    if (fc.DSRSensitivity()) f |= dcb::fDsrSensitivity;
    if (fc.TxContinueOnXoff()) f |= dcb::fTXContinueOnXoff;
    if (port.Parity().Check()) {
        f |= dcb::fParity;
        if (port.Parity().Replace()) {
            f |= dcb::fErrorChar;
            b.ErrorChar = port.Parity().ReplaceChar();
        }
    }
    b.Flags = f;
    return b;
}

CommTimeouts BuildCommTimeouts(const TComTimeouts& t) {
    CommTimeouts c;
    c.ReadIntervalTimeout = static_cast<uint32_t>(t.ReadInterval());
    c.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(t.ReadTotalMultiplier());
    c.ReadTotalTimeoutConstant = static_cast<uint32_t>(t.ReadTotalConstant());
    c.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(t.WriteTotalMultiplier());
    c.WriteTotalTimeoutConstant = static_cast<uint32_t>(t.WriteTotalConstant());
    return c;
}

// ---- event thread ----------------------------------------------------------------

// What posted window-sync calls check before they touch the port: the port may
// have been closed (or reopened, or destroyed) since the call was posted.
struct ComPortLife {
    std::recursive_mutex mutex;
    TCustomComPort* port = nullptr;
    uint64_t generation = 0;
};

class TComThread {
  public:
    TComThread(TCustomComPort* port, std::shared_ptr<ComDevice> dev, TSyncMethod sync,
               MainExecutor* executor, std::shared_ptr<ComPortLife> life, uint64_t generation)
        : st_(std::make_shared<State>()) {
        st_->port = port;
        st_->dev = std::move(dev);
        st_->sync = sync;
        st_->executor = executor;
        st_->life = std::move(life);
        st_->generation = generation;
        st_->dev->SetEventMask(EventsToMask(port->Events));
        auto st = st_;
        thread_ = std::thread([st] { Execute(st); });
    }
    ~TComThread() {
        Stop();
        Join();
        if (thread_.joinable()) thread_.detach();
    }
    void Stop() {
        st_->stop = true;
        st_->dev->CancelWait();
        st_->gate.cancel();  // releases a batch waiting for a main thread that is not pumping
        Release();
    }
    // Lets batches be delivered; until then the thread holds its first one.
    void Release() {
        st_->released = true;
        st_->released.notify_all();
    }
    void Join() {
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }
    void Detach() {
        if (thread_.joinable()) thread_.detach();
    }
    std::thread::id Id() const { return thread_.get_id(); }
    TSyncMethod Sync() const { return st_->sync; }

  private:
    struct State {
        TCustomComPort* port = nullptr;
        std::shared_ptr<ComDevice> dev;
        TSyncMethod sync = smThreadSync;
        MainExecutor* executor = nullptr;
        std::shared_ptr<ComPortLife> life;
        uint64_t generation = 0;
        InvokeGate gate;
        std::atomic<bool> stop{false};
        std::atomic<bool> released{false};
    };

    static void RunBatch(const std::shared_ptr<State>& st, uint32_t mask) {
        if (st->stop) return;
        try {
            st->port->DoEvents(mask);
        } catch (...) {
            st->port->ReportException(std::current_exception());
        }
    }

    static void Execute(std::shared_ptr<State> st) {
        for (;;) {
            const uint32_t mask = st->dev->WaitEvent();
            if (mask != 0) st->released.wait(false);
            if (st->stop || mask == 0) break;
            try {
                Dispatch(st, mask);
            } catch (...) {
                // Nothing may end delivery for the rest of the port's life.
            }
        }
        st->dev->SetEventMask(0);
        st->dev->Purge(PURGE_TXCLEAR | PURGE_RXCLEAR);
    }

    static void Dispatch(const std::shared_ptr<State>& st, uint32_t mask) {
        switch (st->sync) {
            case smThreadSync:
                if (st->executor)
                    st->gate.invokeAndWait(*st->executor, [st, mask] { RunBatch(st, mask); });
                else
                    RunBatch(st, mask);
                break;
            case smWindowSync:
                if (!st->executor) {
                    RunBatch(st, mask);
                    break;
                }
                for (uint32_t ev : kOrder) {
                    if (!(mask & ev)) continue;
                    st->executor->post([life = st->life, gen = st->generation, ev] {
                        std::lock_guard lock(life->mutex);
                        if (!life->port || life->generation != gen || !life->port->Connected())
                            return;
                        life->port->WindowMethod(ev);
                    });
                }
                break;
            case smNone:
                RunBatch(st, mask);
                break;
            default:
                break;
        }
    }

  public:
    // Line errors come before the data of the same batch.
    static constexpr uint32_t kOrder[] = {EV_ERR, EV_RXCHAR, EV_TXEMPTY, EV_BREAK, EV_RING,
                                          EV_CTS, EV_DSR,    EV_RXFLAG,  EV_RLSD,  EV_RX80FULL};

  private:
    std::shared_ptr<State> st_;
    std::thread thread_;
};

// ---- the port ----------------------------------------------------------------------

TCustomComPort::TCustomComPort(MainExecutor* executor)
    : executor_(executor), life_(std::make_shared<ComPortLife>()) {
    life_->port = this;
    parity_.comPort_ = this;
    flowControl_.comPort_ = this;
    timeouts_.comPort_ = this;
    buffer_.comPort_ = this;
}

void TCustomComPort::CloseForDestruction() noexcept {
    try {
        if (connected_) DoClose();
    } catch (...) {
    }
    // A handler that closed the port may still be finishing its close (the port
    // reads closed before its after-close event has run): it must be done before
    // any part of the object goes. Destroyed from inside that handler, the
    // thread is let go instead.
    if (lingeringThread_) {
        if (dispatchThread_.load() == std::this_thread::get_id())
            lingeringThread_->Detach();
        else
            lingeringThread_->Join();
        lingeringThread_.reset();
    }
}

TCustomComPort::~TCustomComPort() {
    CloseForDestruction();
    {
        std::lock_guard lock(life_->mutex);
        life_->port = nullptr;
    }
    auto notes = std::move(freeNotifications_);
    for (auto& [id, fn] : notes) {
        try {
            if (fn) fn(this);
        } catch (...) {
        }
    }
}

MainExecutor* TCustomComPort::GetMainExecutor() const {
    return executor_ ? executor_ : gDefaultExecutor.load();
}

void TCustomComPort::SetDefaultMainExecutor(MainExecutor* executor) {
    gDefaultExecutor = executor;
}

int TCustomComPort::Handle() const {
    auto dev = device();
    return dev ? dev->fd() : -1;
}

std::shared_ptr<ComDevice> TCustomComPort::device() const {
    std::lock_guard lock(deviceMutex_);
    return device_;
}

bool TCustomComPort::applying() const {
    return connected_ && !loading_;
}

void TCustomComPort::RaiseExt(int err, uint8_t code) const {
    throw EComPortExt(port_, err, code);
}

void TCustomComPort::SetConnected(bool value) {
    if (loading_) {
        connectedStored_ = value;
        return;
    }
    if (value == connected_) return;
    if (value)
        DoOpen();
    else
        DoClose();
}

void TCustomComPort::Loaded() {
    loading_ = false;
    if (!connectedStored_) return;
    connectedStored_ = false;
    try {
        DoOpen();
    } catch (...) {
        ReportException(std::current_exception());
    }
}

void TCustomComPort::DoOpen() {
    if (lingeringThread_) {
        // Reopened from inside the old thread's batch (a port change in a
        // handler): that thread waits for this very call, so it is let go to
        // end on its own instead of being waited for.
        const auto me = std::this_thread::get_id();
        if (lingeringThread_->Id() == me ||
            (lingeringThread_->Sync() == smThreadSync && dispatchThread_.load() == me))
            lingeringThread_->Detach();
        else
            lingeringThread_->Join();
        lingeringThread_.reset();
    }
    // The new event thread holds its batches until the open has finished, so a
    // handler run in that thread (smNone) never closes a half-opened port.
    struct ReleaseEvents {
        TCustomComPort* port;
        ~ReleaseEvents() {
            if (port->eventThread_) port->eventThread_->Release();
        }
    } releaseEvents{this};
    DoBeforeOpen();
    CreateHandle();
    connected_ = true;
    try {
        SetupComPort();
    } catch (...) {
        DestroyHandle();
        connected_ = false;
        throw;
    }
    if (Events.Empty()) {
        threadCreated_ = false;
    } else {
        uint64_t gen;
        {
            std::lock_guard lock(life_->mutex);
            gen = ++life_->generation;
        }
        eventThread_ = std::make_unique<TComThread>(this, device(), syncMethod_, GetMainExecutor(),
                                                    life_, gen);
        threadCreated_ = true;
    }
    DoAfterOpen();
    DoCTSChange(ModemSignals().Contains(mlCTS));
    DoDSRChange(ModemSignals().Contains(mlDSR));
    DoRLSDChange(ModemSignals().Contains(mlRLSD));
}

void TCustomComPort::DoClose() {
    // Every step runs even when one before it failed: the port ends closed, and
    // the first failure is raised at the end.
    std::exception_ptr first;
    auto step = [&](auto&& fn) {
        try {
            fn();
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    };
    step([&] { DoCTSChange(false); });
    step([&] { DoDSRChange(false); });
    step([&] { DoRLSDChange(false); });
    step([&] { DoBeforeClose(); });
    step([&] { AbortAllAsync(); });
    if (threadCreated_) {
        step([&] {
            std::unique_ptr<TComThread> t = std::move(eventThread_);
            if (!t) return;
            t->Stop();
            const auto me = std::this_thread::get_id();
            // Closed from one of its own handlers: the thread cannot be waited
            // for here (it waits for this very call); it ends on its own and is
            // joined at the next open or at destruction.
            const bool inside =
                t->Id() == me || (t->Sync() == smThreadSync && dispatchThread_.load() == me);
            if (inside) {
                if (lingeringThread_) lingeringThread_->Detach();
                lingeringThread_ = std::move(t);
            } else {
                t->Join();
            }
        });
        threadCreated_ = false;
    }
    {
        std::lock_guard lock(life_->mutex);
        ++life_->generation;  // drops window-sync calls still queued
    }
    step([&] { DestroyHandle(); });
    connected_ = false;
    step([&] { DoAfterClose(); });
    if (first) std::rethrow_exception(first);
}

void TCustomComPort::CreateHandle() {
    devicePath_ = ComDevicePath(port_);
    int err = ENOENT;
    std::shared_ptr<ComDevice> dev;
    if (!devicePath_.empty()) dev = ComDevice::Open(devicePath_, lineSource_, err);
    if (!dev) {
        ComDebugOutput("CreateFile " + devicePath_);
        RaiseExt(err, CError_OpenFailed);
    }
    std::lock_guard lock(deviceMutex_);
    device_ = std::move(dev);
}

void TCustomComPort::DestroyHandle() {
    std::shared_ptr<ComDevice> dev;
    {
        std::lock_guard lock(deviceMutex_);
        dev.swap(device_);
    }
    if (dev) dev->Close();
}

void TCustomComPort::SetupComPort() {
    ApplyBuffer();
    ApplyDCB();
    ApplyTimeouts();
}

void TCustomComPort::ApplyDCB() {
    if (!applying()) return;
    auto dev = device();
    int err = dev ? dev->SetState(BuildDeviceControlBlock(*this)) : EBADF;
    if (err) RaiseExt(err, CError_SetStateFailed);
}

void TCustomComPort::ApplyTimeouts() {
    if (!applying()) return;
    auto dev = device();
    int err = dev ? dev->SetTimeouts(BuildCommTimeouts(timeouts_)) : EBADF;
    if (err) RaiseExt(err, CError_TimeoutsFailed);
}

void TCustomComPort::ApplyBuffer() {
    if (!applying()) return;
    auto dev = device();
    int err = dev ? dev->SetupQueues(buffer_.InputSize(), buffer_.OutputSize()) : EBADF;
    if (err) RaiseExt(err, CError_SetupComFailed);
}

// ---- setters ---------------------------------------------------------------------

namespace {
// Stores a line setting; true when it changed (the control block is then re-applied).
template <class T>
bool Store(T& field, const T& v) {
    if (v == field) return false;
    field = v;
    return true;
}
}  // namespace

void TCustomComPort::SetBaudRate(TBaudRate v) {
    if (Store(baudRate_, v)) ApplyDCB();
}
void TCustomComPort::SetCustomBaudRate(int v) {
    if (Store(customBaudRate_, v)) ApplyDCB();
}
void TCustomComPort::SetStopBits(TStopBits v) {
    if (Store(stopBits_, v)) ApplyDCB();
}
void TCustomComPort::SetDataBits(TDataBits v) {
    if (Store(dataBits_, v)) ApplyDCB();
}
void TCustomComPort::SetDiscardNull(bool v) {
    if (Store(discardNull_, v)) ApplyDCB();
}
void TCustomComPort::SetEventChar(char v) {
    if (Store(eventChar_, v)) ApplyDCB();
}

void TCustomComPort::SetPort(const std::string& v) {
    if (v == port_) return;
    port_ = v;
    if (connected_ && !loading_) {
        DoClose();
        DoOpen();
    }
}

void TCustomComPort::SetSyncMethod(TSyncMethod v) {
    if (v == syncMethod_) return;
    if (connected_ && !loading_) throw EComPort(port_, CError_ConnChangeProp);
    syncMethod_ = v;
}

void TCustomComPort::SetParity(const TComParity& v) {
    v.AssignTo(parity_);
    ApplyDCB();
}
void TCustomComPort::SetFlowControl(const TComFlowControl& v) {
    v.AssignTo(flowControl_);
    ApplyDCB();
}
void TCustomComPort::SetTimeouts(const TComTimeouts& v) {
    v.AssignTo(timeouts_);
    ApplyTimeouts();
}
void TCustomComPort::SetBuffer(const TComBuffer& v) {
    v.AssignTo(buffer_);
    ApplyBuffer();
}

void TCustomComPort::SetLineSource(std::shared_ptr<ComLineSource> source) {
    lineSource_ = std::move(source);
}

int TCustomComPort::AddFreeNotification(std::function<void(TCustomComPort*)> fn) {
    const int id = nextNotificationId_++;
    freeNotifications_[id] = std::move(fn);
    return id;
}

void TCustomComPort::RemoveFreeNotification(int id) {
    freeNotifications_.erase(id);
}

// ---- event operations -------------------------------------------------------------

void TCustomComPort::DoAfterClose() {
    if (OnAfterClose) OnAfterClose(this);
}
void TCustomComPort::DoAfterOpen() {
    if (OnAfterOpen) OnAfterOpen(this);
}
void TCustomComPort::DoBeforeClose() {
    if (OnBeforeClose) OnBeforeClose(this);
}
void TCustomComPort::DoBeforeOpen() {
    if (OnBeforeOpen) OnBeforeOpen(this);
}
void TCustomComPort::DoRxChar(int Count) {
    if (OnRxChar) OnRxChar(this, Count);
}
void TCustomComPort::DoRxBuf(const char* Buffer, int Count) {
    if (OnRxBuf) OnRxBuf(this, Buffer, Count);
}
void TCustomComPort::DoTxEmpty() {
    if (OnTxEmpty) OnTxEmpty(this);
}
void TCustomComPort::DoBreak() {
    if (OnBreak) OnBreak(this);
}
void TCustomComPort::DoRing() {
    if (OnRing) OnRing(this);
}
void TCustomComPort::DoRxFlag() {
    if (OnRxFlag) OnRxFlag(this);
}
void TCustomComPort::DoCTSChange(bool OnOff) {
    if (OnCTSChange) OnCTSChange(this, OnOff);
}
void TCustomComPort::DoDSRChange(bool OnOff) {
    if (OnDSRChange) OnDSRChange(this, OnOff);
}
void TCustomComPort::DoError(TComErrors Errors) {
    if (OnError) OnError(this, Errors);
}
void TCustomComPort::DoRLSDChange(bool OnOff) {
    if (OnRLSDChange) OnRLSDChange(this, OnOff);
}
void TCustomComPort::DoRx80Full() {
    if (OnRx80Full) OnRx80Full(this);
}

void TCustomComPort::CallRxChar() {
    const int count = InputCount();
    if (count > 0) DoRxChar(count);
}
void TCustomComPort::CallTxEmpty() {
    DoTxEmpty();
}
void TCustomComPort::CallRxFlag() {
    DoRxFlag();
}
void TCustomComPort::CallRing() {
    DoRing();
}
void TCustomComPort::CallBreak() {
    DoBreak();
}
void TCustomComPort::CallCTSChange() {
    DoCTSChange(ModemSignals().Contains(mlCTS));
}
void TCustomComPort::CallDSRChange() {
    DoDSRChange(ModemSignals().Contains(mlDSR));
}
void TCustomComPort::CallRLSDChange() {
    DoRLSDChange(ModemSignals().Contains(mlRLSD));
}
void TCustomComPort::CallError() {
    const TComErrors errors = LastErrors();
    if (!errors.Empty()) DoError(errors);
}
void TCustomComPort::CallRx80Full() {
    DoRx80Full();
}

namespace {
struct DispatchMark {
    std::atomic<std::thread::id>& slot;
    std::thread::id previous;
    explicit DispatchMark(std::atomic<std::thread::id>& s)
        : slot(s), previous(s.exchange(std::this_thread::get_id())) {}
    ~DispatchMark() { slot = previous; }
};
}  // namespace

void TCustomComPort::DispatchEvent(uint32_t ev) {
    switch (ev) {
        case EV_RXCHAR:
            CallRxChar();
            break;
        case EV_RXFLAG:
            CallRxFlag();
            break;
        case EV_TXEMPTY:
            CallTxEmpty();
            break;
        case EV_CTS:
            CallCTSChange();
            break;
        case EV_DSR:
            CallDSRChange();
            break;
        case EV_RLSD:
            CallRLSDChange();
            break;
        case EV_BREAK:
            CallBreak();
            break;
        case EV_ERR:
            CallError();
            break;
        case EV_RING:
            CallRing();
            break;
        case EV_RX80FULL:
            CallRx80Full();
            break;
        default:
            break;
    }
}

void TCustomComPort::DoEvents(uint32_t mask) {
    DispatchMark mark(dispatchThread_);
    for (uint32_t ev : TComThread::kOrder) {
        // A handler may have closed the port: the rest of the batch is moot.
        if (!connected_) return;
        if (mask & ev) DispatchEvent(ev);
    }
}

void TCustomComPort::WindowMethod(uint32_t ev) {
    DispatchMark mark(dispatchThread_);
    try {
        DispatchEvent(ev);
    } catch (...) {
        ReportException(std::current_exception());
    }
}

void TCustomComPort::ReportException(std::exception_ptr error) {
    try {
        if (ExceptionHandler) {
            ExceptionHandler(this, error);
            return;
        }
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quorvanta: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "quorvanta: serial port %s: unknown error\n", port_.c_str());
        }
    } catch (...) {
    }
}

// ---- reading, writing, line state ---------------------------------------------------

PAsync TCustomComPort::InitAsync() {
    return std::make_unique<TAsyncRequest>();
}

void TCustomComPort::DoneAsync(PAsync& AsyncPtr) {
    AsyncPtr.reset();
}

int TCustomComPort::WriteAsync(const void* Buffer, int Count, TAsyncRequest* AsyncPtr) {
    if (!AsyncPtr) throw EComPort(port_, CError_InvalidAsync);
    AsyncPtr->Kind = akWrite;
    AsyncPtr->Io = DeviceIo{};
    AsyncPtr->Io.writeBuf = static_cast<const char*>(Buffer);
    AsyncPtr->Io.count = Count < 0 ? 0 : Count;
    AsyncPtr->Device = device();
    int err = AsyncPtr->Device ? AsyncPtr->Device->StartWrite(AsyncPtr->Io) : EBADF;
    if (err) {
        AsyncPtr->Io.pending = false;
        RaiseExt(err, CError_WriteFailed);
    }
    return AsyncPtr->Io.pending ? 0 : AsyncPtr->Io.done;
}

int TCustomComPort::WriteStrAsync(const std::string& Str, TAsyncRequest* AsyncPtr) {
    if (Str.empty()) return 0;
    return WriteAsync(Str.data(), static_cast<int>(Str.size()), AsyncPtr);
}

int TCustomComPort::ReadAsync(void* Buffer, int Count, TAsyncRequest* AsyncPtr) {
    if (!AsyncPtr) throw EComPort(port_, CError_InvalidAsync);
    AsyncPtr->Kind = akRead;
    AsyncPtr->Io = DeviceIo{};
    AsyncPtr->Io.readBuf = static_cast<char*>(Buffer);
    AsyncPtr->Io.count = Count < 0 ? 0 : Count;
    if (Count > 0) static_cast<char*>(Buffer)[0] = '\xFF';
    AsyncPtr->Device = device();
    int err = AsyncPtr->Device ? AsyncPtr->Device->StartRead(AsyncPtr->Io) : EBADF;
    if (err) {
        // Counted, not raised: the read gives nothing and does not wait.
        ++readErrorCount_;
        lastReadError_ = err;
        AsyncPtr->Io.pending = false;
        AsyncPtr->Io.done = 0;
        return 0;
    }
    return AsyncPtr->Io.done;
}

int TCustomComPort::WaitForAsync(TAsyncRequest* AsyncPtr) {
    if (!AsyncPtr) throw EComPort(port_, CError_InvalidAsync);
    DeviceIo& io = AsyncPtr->Io;
    if (!io.pending) return io.done;
    const bool write = AsyncPtr->Kind == akWrite;
    int err = EBADF;
    if (AsyncPtr->Device)
        err = write ? AsyncPtr->Device->FinishWrite(io) : AsyncPtr->Device->FinishRead(io);
    if (err) RaiseExt(err, write ? CError_WriteFailed : CError_ReadFailed);
    return io.done;
}

int TCustomComPort::Write(const void* Buffer, int Count) {
    if (Count < 1) return 0;
    PAsync req = InitAsync();
    try {
        WriteAsync(Buffer, Count, req.get());
        const int n = WaitForAsync(req.get());
        DoneAsync(req);
        return n;
    } catch (...) {
        DoneAsync(req);
        throw;
    }
}

int TCustomComPort::WriteStr(const std::string& Str) {
    ComDebugOutput("TCustomComPort.WriteStr");
    PAsync req = InitAsync();
    try {
        WriteStrAsync(Str, req.get());
        const int n = WaitForAsync(req.get());
        DoneAsync(req);
        return n;
    } catch (...) {
        DoneAsync(req);
        throw;
    }
}

int TCustomComPort::Read(void* Buffer, int Count) {
    if (Count < 1) return 0;
    PAsync req = InitAsync();
    try {
        ReadAsync(Buffer, Count, req.get());
        const int n = WaitForAsync(req.get());
        DoneAsync(req);
        return n;
    } catch (...) {
        DoneAsync(req);
        throw;
    }
}

int TCustomComPort::ReadStr(std::string& Str, int Count) {
    Str.clear();
    if (Count < 1) return 0;
    std::string buffer(static_cast<std::size_t>(Count), '\0');
    const int n = Read(buffer.data(), Count);
    buffer.resize(static_cast<std::size_t>(n));
    Str = std::move(buffer);
    return n;
}

int TCustomComPort::InputCount() {
    auto dev = device();
    int inQueue = 0;
    int err = dev ? dev->InputCount(inQueue) : EBADF;
    if (err) RaiseExt(err, CError_ClearComFailed);
    return inQueue;
}

void TCustomComPort::ClearBuffer(bool Input, bool Output) {
    uint32_t flags = 0;
    if (Input) flags |= PURGE_RXCLEAR;
    if (Output) flags |= PURGE_TXCLEAR;
    auto dev = device();
    int err = dev ? dev->Purge(flags) : EBADF;
    if (err) RaiseExt(err, CError_PurgeFailed);
}

void TCustomComPort::AbortAllAsync() {
    auto dev = device();
    int err = dev ? dev->Purge(PURGE_TXABORT | PURGE_RXABORT) : EBADF;
    if (err) RaiseExt(err, CError_PurgeFailed);
}

TComErrors TCustomComPort::LastErrors() {
    auto dev = device();
    uint32_t e = 0;
    int err = dev ? dev->ClearError(e) : EBADF;
    if (err) RaiseExt(err, CError_ClearComFailed);
    TComErrors r;
    if (e & CE_FRAME) r.Include(ceFrame);
    if ((e & CE_RXPARITY) && parity_.Check()) r.Include(ceRxParity);
    if (e & CE_OVERRUN) r.Include(ceOverrun);
    if (e & CE_BREAK) r.Include(ceBreak);
    if (e & CE_IOE) r.Include(ceIO);
    if (e & CE_MODE) r.Include(ceMode);
    if (e & CE_RXOVER) r.Include(ceRxOver);
    if (e & CE_TXFULL) r.Include(ceTxFull);
    return r;
}

TModemLines TCustomComPort::ModemSignals() {
    auto dev = device();
    uint32_t ms = 0;
    int err = dev ? dev->ModemStatus(ms) : EBADF;
    if (err) RaiseExt(err, CError_ModemStatFailed);
    TModemLines r;
    if (ms & MS_CTS_ON) r.Include(mlCTS);
    if (ms & MS_DSR_ON) r.Include(mlDSR);
    if (ms & MS_RING_ON) r.Include(mlRing);
    if (ms & MS_RLSD_ON) r.Include(mlRLSD);
    return r;
}

}  // namespace qv

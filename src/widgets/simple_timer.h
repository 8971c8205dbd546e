#pragma once
// Light timers: plain objects (no owner, no window of their own) that share one
// process-wide handler. They tick from the main thread's event loop.

#include <cstdint>
#include <functional>
#include <memory>

namespace qv {

class TSimpleTimer;
using TTimerEvent = std::function<void(TSimpleTimer* sender)>;

// Where the handler's timers really run: Qt timers in the program, a hand-driven
// clock in tests.
class TimerBackend {
  public:
    virtual ~TimerBackend() = default;
    // (Re)starts the timer `id` with `interval` ms; false when it cannot run.
    virtual bool start(TSimpleTimer* id, std::uint32_t interval) = 0;
    // Stops it; false when no such timer runs.
    virtual bool stop(TSimpleTimer* id) = 0;
    virtual bool running(TSimpleTimer* id) const = 0;
};

class TSimpleTimerHandler {
  public:
    using BackendFactory = std::function<std::unique_ptr<TimerBackend>(TSimpleTimerHandler&)>;

    // The one handler, or null while no light timer exists.
    static TSimpleTimerHandler* Instance();
    static void AddRef();
    static void Release();
    // Makes the backend of handlers created from now on (empty: Qt timers).
    static void SetBackendFactory(BackendFactory factory);

    int RefCount() const { return refCount_; }
    int RunningCount() const { return runningCount_; }
    TimerBackend& Backend() { return *backend_; }

    // A tick of timer `id`: calls its OnTimer. The timer keeps running.
    void Dispatch(TSimpleTimer* id);

    explicit TSimpleTimerHandler(const BackendFactory& factory);

  private:
    friend class TSimpleTimer;
    int refCount_ = 0;
    int runningCount_ = 0;
    std::unique_ptr<TimerBackend> backend_;
};

class TSimpleTimer {
  public:
    TSimpleTimer();
    TSimpleTimer(std::uint32_t interval, TTimerEvent onTimer);
    ~TSimpleTimer();
    TSimpleTimer(const TSimpleTimer&) = delete;
    TSimpleTimer& operator=(const TSimpleTimer&) = delete;

    bool Start();
    bool Stop(bool clearActive);

    TSimpleTimer* Id() { return this; }
    bool Active() const { return active_; }
    void SetActive(bool value);
    std::uint32_t Interval() const { return interval_; }
    void SetInterval(std::uint32_t value);
    const TTimerEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TTimerEvent value);
    // Whether a backend timer really runs (Active may hold while none does).
    bool Running() const;

  private:
    bool active_ = false;
    std::uint32_t interval_ = 1000;
    TTimerEvent onTimer_;
};

}  // namespace qv

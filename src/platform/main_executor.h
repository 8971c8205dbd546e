#pragma once
// The main thread's work queue: worker threads never touch the user interface,
// they post calls that the main thread runs in order.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qv {

class MainExecutor {
  public:
    using Task = std::function<void()>;
    virtual ~MainExecutor() = default;

    // Queues a call for the main thread (FIFO). Safe from any thread.
    virtual void post(Task task) = 0;
    // Runs what is queued now ("let the application handle its messages").
    // Main thread only.
    virtual void processPending() = 0;
    // Waits up to `timeout` for a call to be queued, then runs what is queued.
    // Main thread only. Returns true when at least one call ran.
    virtual bool processFor(std::chrono::milliseconds timeout) = 0;
    virtual bool inMainThread() const = 0;

    // Runs one queued call; a failing call is reported on stderr and must not
    // take the rest of the queue with it.
    static void runGuarded(const Task& task);
};

// A plain queue for tests and headless use: the thread that creates it is the
// main thread; calls run only inside processPending/processFor/runUntil.
class LoopExecutor final : public MainExecutor {
  public:
    LoopExecutor();
    ~LoopExecutor() override;

    void post(Task task) override;
    void processPending() override;
    bool processFor(std::chrono::milliseconds timeout) override;
    bool inMainThread() const override;

    // Handles calls until `done()` holds or `timeout` passes; returns done().
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    std::size_t pendingCount() const;

  private:
    bool runQueued();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Task> queue_;
    std::thread::id mainThread_;
};

// Runs `fn` in the main thread and waits for it; cancel() (from any thread)
// releases a waiting caller and keeps a call that has not started from running,
// so a worker never deadlocks on a main thread that has stopped handling calls.
class InvokeGate {
  public:
    InvokeGate();
    ~InvokeGate();
    InvokeGate(const InvokeGate&) = delete;
    InvokeGate& operator=(const InvokeGate&) = delete;

    // True when fn ran to its end (its exception, if any, is rethrown here);
    // false when the gate was cancelled before fn started.
    bool invokeAndWait(MainExecutor& executor, std::function<void()> fn);
    void cancel();
    void reset();
    bool cancelled() const;

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace qv

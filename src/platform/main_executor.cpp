#include "platform/main_executor.h"

#include <cstdio>
#include <exception>

namespace qv {

void MainExecutor::runGuarded(const Task& task) {
    try {
        task();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "main executor: call failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "main executor: call failed\n");
    }
}

LoopExecutor::LoopExecutor() : mainThread_(std::this_thread::get_id()) {}

LoopExecutor::~LoopExecutor() = default;

void LoopExecutor::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
    }
    cv_.notify_all();
}

bool LoopExecutor::runQueued() {
    std::deque<Task> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(queue_);
    }
    for (auto& task : batch) runGuarded(task);
    return !batch.empty();
}

void LoopExecutor::processPending() {
    runQueued();
}

bool LoopExecutor::processFor(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
    }
    return runQueued();
}

bool LoopExecutor::inMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

bool LoopExecutor::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return done();
        auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (slice > std::chrono::milliseconds(50)) slice = std::chrono::milliseconds(50);
        processFor(slice);
    }
    return true;
}

std::size_t LoopExecutor::pendingCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

struct InvokeGate::Shared {
    std::mutex mutex;
    std::condition_variable cv;
    bool cancelled = false;
};

namespace {
enum class CallState { Pending, Running, Done, Skipped };
struct Call {
    CallState state = CallState::Pending;
    std::exception_ptr error;
};
}  // namespace

InvokeGate::InvokeGate() : shared_(std::make_shared<Shared>()) {}

InvokeGate::~InvokeGate() {
    cancel();
}

bool InvokeGate::invokeAndWait(MainExecutor& executor, std::function<void()> fn) {
    if (executor.inMainThread()) {
        if (cancelled()) return false;
        fn();
        return true;
    }
    auto shared = shared_;
    auto call = std::make_shared<Call>();
    {
        std::lock_guard lock(shared->mutex);
        if (shared->cancelled) return false;
    }
    executor.post([shared, call, fn = std::move(fn)] {
        {
            std::lock_guard lock(shared->mutex);
            // The caller gave up on this call (cancelled while it waited).
            if (call->state != CallState::Pending || shared->cancelled) {
                call->state = CallState::Skipped;
                shared->cv.notify_all();
                return;
            }
            call->state = CallState::Running;
        }
        try {
            fn();
        } catch (...) {
            call->error = std::current_exception();
        }
        {
            std::lock_guard lock(shared->mutex);
            call->state = CallState::Done;
        }
        shared->cv.notify_all();
    });
    std::unique_lock lock(shared->mutex);
    // A call already running is waited for: it may be using what the caller owns.
    shared->cv.wait(lock, [&] {
        return call->state == CallState::Done || call->state == CallState::Skipped ||
               (shared->cancelled && call->state == CallState::Pending);
    });
    if (call->state == CallState::Pending) call->state = CallState::Skipped;
    if (call->state != CallState::Done) return false;
    if (call->error) std::rethrow_exception(call->error);
    return true;
}

void InvokeGate::cancel() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->cancelled = true;
    }
    shared_->cv.notify_all();
}

void InvokeGate::reset() {
    std::lock_guard lock(shared_->mutex);
    shared_->cancelled = false;
}

bool InvokeGate::cancelled() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->cancelled;
}

}  // namespace qv

#include "widgets/simple_timer.h"

#include <QCoreApplication>
#include <QObject>
#include <QTimerEvent>
#include <map>

namespace qv {

namespace {

// Qt timers on one hidden object; a tick is mapped back to its light timer.
class QtTimerBackend final : public TimerBackend {
  public:
    explicit QtTimerBackend(TSimpleTimerHandler& handler)
        : target_(std::make_unique<Target>(handler).release()) {}

    bool start(TSimpleTimer* id, std::uint32_t interval) override {
        stop(id);
        int qtId = target_->startTimer(std::chrono::milliseconds(interval));
        if (qtId == 0) return false;
        target_->byQtId[qtId] = id;
        return true;
    }
    bool stop(TSimpleTimer* id) override {
        for (auto it = target_->byQtId.begin(); it != target_->byQtId.end(); ++it) {
            if (it->second == id) {
                target_->killTimer(it->first);
                target_->byQtId.erase(it);
                return true;
            }
        }
        return false;
    }
    bool running(TSimpleTimer* id) const override {
        for (const auto& [qtId, timer] : target_->byQtId)
            if (timer == id) return true;
        return false;
    }

  private:
    struct Target final : QObject {
        explicit Target(TSimpleTimerHandler& h) : handler(h) {}
        void timerEvent(QTimerEvent* event) override {
            auto it = byQtId.find(event->timerId());
            // Nothing after Dispatch: the tick may free the timer, the handler and us.
            if (it != byQtId.end()) handler.Dispatch(it->second);
        }
        TSimpleTimerHandler& handler;
        std::map<int, TSimpleTimer*> byQtId;
    };
    // The hidden object may be inside its own timerEvent when the last timer goes.
    struct LaterDeleter {
        void operator()(QObject* object) const {
            if (QCoreApplication::instance())
                object->deleteLater();
            else
                std::default_delete<QObject>()(object);
        }
    };
    std::unique_ptr<Target, LaterDeleter> target_;
};

std::unique_ptr<TSimpleTimerHandler>& handler_slot() {
    static std::unique_ptr<TSimpleTimerHandler> handler;
    return handler;
}

TSimpleTimerHandler::BackendFactory& factory_slot() {
    static TSimpleTimerHandler::BackendFactory factory;
    return factory;
}

}  // namespace

TSimpleTimerHandler::TSimpleTimerHandler(const BackendFactory& factory)
    : backend_(factory ? factory(*this) : std::make_unique<QtTimerBackend>(*this)) {}

TSimpleTimerHandler* TSimpleTimerHandler::Instance() {
    return handler_slot().get();
}

void TSimpleTimerHandler::AddRef() {
    auto& slot = handler_slot();
    if (!slot) slot = std::make_unique<TSimpleTimerHandler>(factory_slot());
    ++slot->refCount_;
}

void TSimpleTimerHandler::Release() {
    auto& slot = handler_slot();
    if (!slot) return;
    if (slot->refCount_ > 0) --slot->refCount_;
    if (slot->refCount_ == 0) slot.reset();
}

void TSimpleTimerHandler::SetBackendFactory(BackendFactory factory) {
    factory_slot() = std::move(factory);
}

void TSimpleTimerHandler::Dispatch(TSimpleTimer* id) {
    // A copy: the handler may free its own timer (and with it the stored handler).
    TTimerEvent fn = id->OnTimer();
    if (fn) fn(id);
}

TSimpleTimer::TSimpleTimer() {
    TSimpleTimerHandler::AddRef();
}

TSimpleTimer::TSimpleTimer(std::uint32_t interval, TTimerEvent onTimer)
    : interval_(interval), onTimer_(std::move(onTimer)) {
    TSimpleTimerHandler::AddRef();
}

TSimpleTimer::~TSimpleTimer() {
    if (active_) Stop(true);
    TSimpleTimerHandler::Release();
}

bool TSimpleTimer::Start() {
    if (interval_ == 0) return false;
    if (active_) Stop(true);
    auto* handler = TSimpleTimerHandler::Instance();
    if (!handler->Backend().start(this, interval_)) return false;
    active_ = true;
    ++handler->runningCount_;
    return true;
}

bool TSimpleTimer::Stop(bool clearActive) {
    if (clearActive) active_ = false;
    auto* handler = TSimpleTimerHandler::Instance();
    bool killed = handler->Backend().stop(this);
    if (killed && handler->runningCount_ > 0) --handler->runningCount_;
    return killed;
}

bool TSimpleTimer::Running() const {
    return TSimpleTimerHandler::Instance()->Backend().running(const_cast<TSimpleTimer*>(this));
}

void TSimpleTimer::SetActive(bool value) {
    if (value)
        Start();
    else
        Stop(true);
}

void TSimpleTimer::SetInterval(std::uint32_t value) {
    if (value == interval_) return;
    interval_ = value;
    if (!active_) return;
    if (value != 0)
        Start();
    else
        Stop(false);
}

void TSimpleTimer::SetOnTimer(TTimerEvent value) {
    onTimer_ = std::move(value);
    if (!onTimer_ && active_) Stop(false);
}

}  // namespace qv

#include "platform/worker_message.h"

namespace qv {

bool MessageTarget::post(int kind, std::unique_ptr<MessagePayload> payload) const {
    if (!state_) return false;
    try {
        // Held while posting so that the receiver (and its executor) cannot go
        // away between the check and the post.
        std::lock_guard lock(state_->mutex);
        if (!state_->handler) return false;
        // std::function needs a copyable call: the payload travels in a shared box
        // and is moved out exactly once, by the delivery.
        auto box = std::make_shared<std::unique_ptr<MessagePayload>>(std::move(payload));
        std::weak_ptr<State> weak = state_;
        state_->executor->post([weak, kind, box] {
            auto state = weak.lock();
            if (!state) return;
            MessageHandler handler;
            {
                std::lock_guard guard(state->mutex);
                handler = state->handler;
            }
            if (handler) handler(kind, std::move(*box));
        });
        return true;
    } catch (...) {
        return false;
    }
}

MessageReceiver::MessageReceiver(MainExecutor& executor, MessageHandler handler)
    : state_(std::make_shared<MessageTarget::State>()) {
    state_->executor = &executor;
    state_->handler = std::move(handler);
}

MessageReceiver::~MessageReceiver() {
    std::lock_guard lock(state_->mutex);
    state_->handler = nullptr;
}

}  // namespace qv

#pragma once
// The private message from worker threads to the main window, and its payloads.
// The sender gives a payload up when it posts; the receiver owns it from then on.
// A message whose receiver has gone is dropped and its payload freed.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/main_executor.h"

namespace qv {

constexpr unsigned WM_C_MSG = 0x7990;

enum MessageKind : int {
    MSG_LOG = 0,
    MSG_MODEM = 1,
    MSG_DATA = 2,
    MSG_PROGRESSINIT = 3,
    MSG_PROGRESSPOS = 4,
    MSG_EXITCODE = 9,
    MSG_GRIDSTATUS = 10,
};

// Colours in the platform's colour-reference layout ($00BBGGRR).
namespace colour {
constexpr int32_t White = 0xFFFFFF;
constexpr int32_t Yellow = 0x00FFFF;
constexpr int32_t Green = 0x00FF00;
constexpr int32_t Red = 0x0000FF;
constexpr int32_t Grey = 0x808080;
constexpr int32_t Black = 0;
}  // namespace colour

struct MessagePayload {
    virtual ~MessagePayload() = default;
};

// The payload of every kind but MSG_DATA.
struct Tmensaje_TXT final : MessagePayload {
    Tmensaje_TXT() = default;
    Tmensaje_TXT(std::string text, int32_t value) : Text(std::move(text)), Value(value) {}
    std::string Text;
    int32_t Value = 0;
};

// The payload of MSG_DATA: one object handed over whole.
template <class T>
struct ObjectPayload final : MessagePayload {
    explicit ObjectPayload(std::unique_ptr<T> o) : object(std::move(o)) {}
    std::unique_ptr<T> object;
};

using MessageHandler = std::function<void(int kind, std::unique_ptr<MessagePayload> payload)>;

class MessageReceiver;

// What a worker keeps of the main window: where to post. A default-constructed
// target is the null handle: posting to it does nothing.
class MessageTarget {
  public:
    MessageTarget() = default;

    explicit operator bool() const { return static_cast<bool>(state_); }
    // Posts one message; false when nothing was posted (null target, receiver
    // gone, or the queue refused it). The payload is freed in every case.
    bool post(int kind, std::unique_ptr<MessagePayload> payload) const;

  private:
    friend class MessageReceiver;
    struct State;
    explicit MessageTarget(std::shared_ptr<State> s) : state_(std::move(s)) {}
    std::shared_ptr<State> state_;
};

// The main window's side: delivers each message to its handler in the main
// thread, in posting order. Destroying it (main thread) drops later deliveries.
class MessageReceiver {
  public:
    MessageReceiver(MainExecutor& executor, MessageHandler handler);
    ~MessageReceiver();
    MessageReceiver(const MessageReceiver&) = delete;
    MessageReceiver& operator=(const MessageReceiver&) = delete;

    MessageTarget target() const { return MessageTarget(state_); }

  private:
    std::shared_ptr<MessageTarget::State> state_;
};

struct MessageTarget::State {
    MainExecutor* executor = nullptr;
    std::mutex mutex;  // guards handler against the receiver's destruction
    MessageHandler handler;
};

}  // namespace qv

// A stand-in for the optional OPC library: it keeps its signals in memory and
// calls an item back from a thread of its own when the test says so. It leaves
// out SignalGetUpdateSuspended on purpose.
#include "opc_test_library.h"

#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {
struct Signal {
    QvOpcTestSignal info;
    QvOpcCallback callback;
    QvOpcValue value{};
    uint16_t quality = 0;
};
std::mutex mutex;
std::map<uint64_t, Signal> signals_;
uint64_t next_handle = 1;
std::string last_error;
QvOpcValue last_sent{};
}  // namespace

extern "C" {

uint64_t SignalAdd(const char16_t*, const char16_t* server, const char16_t* item, const char16_t*,
                   int32_t, int32_t, int32_t requestedType, const QvOpcCallback* callback) {
    std::lock_guard lock(mutex);
    if (std::u16string(server) == u"fail") {
        last_error = "Servidor OPC no disponible";
        return 0;
    }
    last_error.clear();
    Signal& s = signals_[next_handle];
    s.info = {item, requestedType};
    s.callback = *callback;
    return next_handle++;
}

void SignalRemove(uint64_t handle) {
    std::lock_guard lock(mutex);
    signals_.erase(handle);
}

int32_t SignalGetActive(uint64_t handle) {
    std::lock_guard lock(mutex);
    return signals_.count(handle);
}

void SignalSendData(uint64_t, const QvOpcValue* value) {
    std::lock_guard lock(mutex);
    last_sent = *value;
}

void SignalGetData(uint64_t handle, QvOpcValue* value) {
    std::lock_guard lock(mutex);
    *value = signals_.at(handle).value;
}

double SignalGetTimeStamp(uint64_t) {
    return 45000.5;
}

uint16_t SignalGetQuality(uint64_t handle) {
    std::lock_guard lock(mutex);
    return signals_.at(handle).quality;
}

const char* GetLastCallErrorString() {
    return last_error.c_str();
}

// What the test drives and reads.
QvOpcTestSignal QvOpcTestInfo(uint64_t handle) {
    std::lock_guard lock(mutex);
    return signals_.count(handle) ? signals_.at(handle).info : QvOpcTestSignal{};
}

double QvOpcTestLastSent() {
    std::lock_guard lock(mutex);
    return last_sent.real;
}

void QvOpcTestPublish(uint64_t handle, QvOpcValue value, uint16_t quality) {
    QvOpcCallback callback;
    {
        std::lock_guard lock(mutex);
        Signal& s = signals_.at(handle);
        s.value = value;
        s.quality = quality;
        callback = s.callback;
    }
    std::thread([callback] { callback.data_arrived(callback.context); }).join();
}
}

#include "meter/contador_ip.h"

#include <algorithm>

#include "platform/tcp_client.h"
#include "serial/com_port.h"

namespace qv {

TContador_IP::TContador_IP() = default;

// Out of line: the link types are complete here.
TContador_IP::~TContador_IP() = default;

void TContador_IP::Terminate() {
    {
        std::lock_guard lock(StopMutex);
        Terminated = true;
    }
    StopCv.notify_all();
}

void TContador_IP::SleepMs(int64_t ms) {
    if (ms <= 0) return;
    // A pause of a huge unit must not overflow the clock's arithmetic: a
    // year is longer than any run and far from the clock's limits.
    constexpr int64_t kLongest = int64_t{366} * 24 * 3600 * 1000;
    ms = std::min(ms, kLongest);
    SleepRequestedMs += ms;
    std::unique_lock lock(StopMutex);
    StopCv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Terminated.load(); });
}

// Steps of 10 ms, the stop request looked at before each: WaitMs(1000) takes
// 101 steps, WaitMs(0) one.
void TContador_IP::WaitMs(int64_t ms) {
    do {
        ms -= 10;
        SleepMs(10);
    } while (ms >= 0 && !Terminated);
}

Day TContador_IP::MonthStart(Day d) {
    return FirstOfMonth(d);
}

void TContador_IP::PostLog(const std::string& line, int32_t colour) {
    if (colour == colour::Red && SaysAReason(line)) {
        LastReason = line;
        if (line == kStopLine) stopLogged_ = true;
    }
    qv::PostLog(MainWindow, line, colour);
}

void TContador_IP::PostModemStatus(int state, int signalLevel) {
    qv::PostModemStatus(MainWindow, state, signalLevel);
}

void TContador_IP::PostDataReady(int index) {
    try {
        auto& it = item(index);
        if (!it.Device) return;  // posted already
        // Gone from the thread either way: a null target frees it here.
        qv::PostDataReady(MainWindow, std::move(it.Device));
    } catch (...) {
    }
}

void TContador_IP::PostExitCode() {
    qv::PostExitCode(MainWindow, ExitCode);
}

void TContador_IP::PostGridStatus(int row, const std::string& text) {
    qv::PostGridStatus(MainWindow, row, text);
}

void TContador_IP::AppendRx(const std::string& bytes) {
    {
        std::lock_guard lock(RxMutex);
        RxBuffer += bytes;
        ++RxAppends;
    }
    // Taking the stop lock orders this with a reply wait's look at the count,
    // so its wake-up cannot be missed.
    { std::lock_guard lock(StopMutex); }
    StopCv.notify_all();
}

void TContador_IP::ClearRx() {
    std::lock_guard lock(RxMutex);
    RxBuffer.clear();
}

bool TContador_IP::RxWaiting() const {
    std::lock_guard lock(RxMutex);
    return !RxBuffer.empty();
}

std::string TContador_IP::RxSnapshot() const {
    std::lock_guard lock(RxMutex);
    return RxBuffer;
}

}  // namespace qv

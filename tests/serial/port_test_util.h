#pragma once
// Small helpers the port suites share.

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "serial/com_port.h"

namespace qv::test {

inline std::string allBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
    return s;
}

// A receive handler that reads what the event reported and appends it to `out`.
inline auto appendTo(std::string& out) {
    return [&out](TCustomComPort* s, int count) {
        std::string chunk;
        s->ReadStr(chunk, count);
        out += chunk;
    };
}

// What a call threw: "<code>/<errno>" for the extended exception, "<code>" for
// the plain one, "none" when nothing was; `what` receives the message.
inline std::string failure(const std::function<void()>& fn, std::string* what = nullptr) {
    try {
        fn();
    } catch (const EComPortExt& e) {
        if (what) *what = e.what();
        return std::to_string(e.Code()) + "/" + std::to_string(e.WinCode());
    } catch (const EComPort& e) {
        if (what) *what = e.what();
        return std::to_string(e.Code());
    }
    return "none";
}
inline std::string ext(int code, int err) {
    return std::to_string(code) + "/" + std::to_string(err);
}

// Polls from a thread that must not pump the main loop.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace qv::test

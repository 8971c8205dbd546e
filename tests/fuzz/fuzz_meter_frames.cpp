// Frame extraction over arbitrary received bytes, fed in pieces whose sizes
// come from the input itself. Checks: no read outside the buffer (the
// sanitizers), every pass over more than five bytes consumes a byte unless a
// variable frame is still arriving, and every stored frame passes the check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "meter/frames.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// True when the buffer starts with a complete-looking variable header whose
// frame has not fully arrived: the only case in which a pass may wait.
bool waitingForVariableFrame(const std::string& rx) {
    if (rx.size() < 6) return true;
    const auto b = [&rx](std::size_t i) { return static_cast<uint8_t>(rx[i]); };
    return b(0) == 0x68 && b(1) == b(2) && b(3) == 0x68 && b(1) >= 3 && rx.size() < b(1) + 6u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string rx;
    std::string last;
    std::size_t pos = 0;
    while (pos < size) {
        // First byte of each piece: how many of the next bytes arrive at once.
        const std::size_t piece = 1 + data[pos] % 64;
        ++pos;
        const std::size_t n = piece < size - pos ? piece : size - pos;
        rx.append(reinterpret_cast<const char*>(data + pos), n);
        pos += n;
        // Run passes until the buffer waits, as the polls of a try would.
        for (int guard = 0; guard < 10000; ++guard) {
            const std::string before = rx;
            const std::string lastBefore = last;
            const bool stored = qv::ExtractFrame(rx, last);
            check(rx.size() <= before.size());
            // What is left is always the tail of what was there.
            check(before.compare(before.size() - rx.size(), rx.size(), rx) == 0);
            if (stored) {
                check(qv::CheckFrame(last));
                check(last.size() == 5 || last.size() >= 8);
            } else {
                check(last == lastBefore);
            }
            if (rx.size() == before.size()) {
                check(waitingForVariableFrame(rx));
                break;
            }
        }
    }
    return 0;
}

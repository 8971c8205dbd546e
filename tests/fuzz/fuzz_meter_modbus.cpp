// Modbus answer extraction over arbitrary received bytes, both selectors, fed
// in pieces whose sizes come from the input. Checks: no read outside the
// buffer (the sanitizers), every pass either consumes bytes from the front or
// leaves the buffer as it was in a state where waiting is allowed, and every
// frame taken carries a matching CRC.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "meter/modbus.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

uint8_t at(const std::string& s, std::size_t i) {
    return static_cast<uint8_t>(s[i]);
}

bool crcMatches(const std::string& frame, std::size_t n) {
    return n >= 2 && frame.size() >= n &&
           qv::ModbusCrc(frame.substr(0, n - 2)) == frame.substr(n - 2, 2);
}

// The states in which a pass may leave the buffer untouched.
bool mayWait(int selector, const std::string& rx, const std::string& head) {
    if (rx.size() <= 5) return true;
    if (selector == 1) {
        const uint8_t first = at(rx, 0);
        const bool synced = first == 0 || (!head.empty() && first == at(head, 0));
        return synced && at(rx, 1) == qv::kModbusReadInputRegisters &&
               at(rx, 2) == qv::kCircuitorByteCount && rx.size() < qv::kCircuitorAnswerSize;
    }
    if (rx.compare(0, 2, head) != 0) return false;
    const uint8_t function = at(rx, 1);
    return (function != 3 && function != 4) || rx.size() < at(rx, 2) + 5u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    // The first byte picks the selector and whether each piece gets a valid
    // CRC appended (so that answers are taken often); the next two bytes are
    // the request's head.
    const int selector = 1 + (data[0] & 1);
    const bool sealPieces = (data[0] & 2) != 0;
    const std::string head(reinterpret_cast<const char*>(data + 1), 2);
    std::string rx;
    std::string last;
    std::size_t pos = 3;
    while (pos < size) {
        const std::size_t piece = 1 + data[pos];  // 1 to 256 bytes
        ++pos;
        const std::size_t n = piece < size - pos ? piece : size - pos;
        std::string chunk(reinterpret_cast<const char*>(data + pos), n);
        pos += n;
        if (sealPieces) chunk += qv::ModbusCrc(chunk);
        rx += chunk;
        // Passes until the buffer waits, as the polls of a try would.
        for (int guard = 0; guard < 10000; ++guard) {
            const std::string before = rx;
            const std::string lastBefore = last;
            const bool taken = qv::ExtractModbusFrame(selector, head, rx, last);
            check(rx.size() <= before.size());
            if (selector == 2 || !taken) {
                // What is left is always the tail of what was there.
                check(before.compare(before.size() - rx.size(), rx.size(), rx) == 0);
            }
            if (taken) {
                if (selector == 1) {
                    check(last == before.substr(before.size() - last.size()));
                    check(crcMatches(last, qv::kCircuitorAnswerSize));
                    check(rx.empty());
                } else {
                    check(last.size() >= 5 && last.compare(0, 2, head) == 0);
                    check(last.size() == at(last, 2) + 5u);
                    check(crcMatches(last, last.size()));
                }
            } else {
                check(last == lastBefore);
            }
            if (rx.size() == before.size()) {
                check(mayWait(selector, rx, head));
                break;
            }
        }
    }
    return 0;
}

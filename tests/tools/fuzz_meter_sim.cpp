// Feeds arbitrary bytes to a simulator line (meters, modem, Modbus slaves) on a fake
// clock: no input may crash it or make it produce output without bound.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim_channel.h"

using namespace qv::sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint8_t mode = data[0], faults = data[1];
    data += 2;
    size -= 2;

    SimConfig config;
    config.seed = mode;
    config.replyDelayMs = mode & 1 ? 0 : 20;
    config.protocol = static_cast<Protocol>((mode >> 1) % 3);
    config.modem.kind = static_cast<ModemKind>((mode >> 3) % 3);
    config.modem.guardMs = 50;
    config.modem.dialDelayMs = 10;
    config.dropAfterFrames = (mode & 0x40) ? 5 : 0;
    SimMeter a, b;
    b.linkAddress = 300;
    b.faults.objectCount = faults & 7;
    b.faults.missingRegister = (faults >> 3) & 7;
    b.faults.noiseBytes = (faults >> 6) & 3;
    b.faults.splitChunk = (faults >> 6) & 1 ? 3 : 0;
    config.meters = {a, b};
    SimCounters counters;
    SimChannel line(config, SimChannel::Kind::Tcp, config.modem.kind != ModemKind::None, true,
                    counters, 1);

    auto now = SimClock::time_point{};
    std::string out;
    size_t pos = 0;
    while (pos < size) {
        // The byte after each chunk says how long the line stays quiet.
        size_t n = std::min<size_t>(1 + data[pos] % 32, size - pos - 1);
        if (pos + 1 >= size) break;
        line.receive(std::string_view(reinterpret_cast<const char*>(data + pos + 1), n), now);
        pos += 1 + n;
        now += std::chrono::milliseconds(pos < size ? data[pos - 1] * 4 : 0);
        line.tick(now);
        if (line.collect(now, out)) break;
        if (out.size() > (1u << 24)) std::abort();
    }
    // Everything still queued comes out once the timers have run.
    for (int i = 0; i < 64; ++i) {
        auto next = line.nextDeadline();
        if (!next) break;
        now = std::max(now, *next);
        line.tick(now);
        if (line.collect(now, out)) break;
    }
    return 0;
}

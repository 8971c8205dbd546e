// Reads one meter's quarter-hourly load profile over a range of days (31 by
// default; the first argument changes it) from meter-sim over TCP with no
// pause unit and a meter that answers at once, and sets the wall time beside
// the pauses the reading itself asks for (the pause unit's 10-ms steps, the
// 10 ms before each send; the waits for a reply are not pauses), the CPU time
// of the whole process and its peak memory. Target: the wall time within 1.1
// times those pauses plus 1 ms per exchange.
//
// Then one day again, fault-free and with one reply lost at every Nth position
// of the reading (the second argument, default 10; the reply time-out 2 s):
// the extra time of each lost reply against the fault-free reading, as a
// ratio, and in time-outs and retries. Target: one time-out (with the TCP
// link's 500 ms after it) and one retry wherever the reply falls.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "meter-sim/meter_sim.h"
#include "meter/contador_ip.h"
#include "platform/main_executor.h"
#include "platform/tcp_client.h"
#include "platform/worker_message.h"

using namespace qv;
using namespace std::chrono;

namespace {

struct Reading {
    bool read = false;  // the session opened and the readings were handed over
    double wall = 0;    // seconds
    double slept = 0;   // seconds of pauses asked for
    int frames = 0;     // frames sent
    long logLines = 0, dataMessages = 0;
    uint64_t replies = 0;  // replies the meter gave
};

// One meter with these faults, its session, `dayCount` days and the closing.
Reading readMeter(const sim::SimFaults& faults, int dayCount, int timeout) {
    sim::SimConfig config;
    config.seed = 3;
    config.replyDelayMs = 0;
    config.meters.push_back({1, 1, 1, faults});
    sim::MeterSim sim(config);
    const uint16_t port = sim.listenTcp();

    LoopExecutor executor;
    Reading r;
    MessageReceiver receiver(executor, [&](int kind, std::unique_ptr<MessagePayload>) {
        if (kind == MSG_LOG) ++r.logLines;
        if (kind == MSG_DATA) ++r.dataMessages;
    });

    auto t = std::make_shared<TContador_IP>();
    t->MainWindow = receiver.target();
    t->IsSerial = false;
    t->TcpClient = std::make_unique<TcpClient>();
    t->TcpClient->Host = "127.0.0.1";
    t->TcpClient->Port = port;
    t->AsduRetries = 2;
    t->AsduTimeout = timeout;
    t->InterAsdu = 0;
    t->Interval = IntervalQuarterHour;
    const Day first = 2026y / January / 1;
    t->DateFrom = first + days(1);
    t->DateTo = first + days(dayCount);
    t->Devices.emplace_back("1", std::make_unique<Tdevice>("1", "1", "1", ""));

    const auto start = steady_clock::now();
    std::atomic<bool> done{false};
    bool opened = false;
    std::thread reader([&] {
        opened = t->OpenSession(0);
        if (opened) {
            t->ReadMeter(0);
            t->CloseSession(0);
        }
        done = true;
    });
    executor.runUntil([&] { return done.load(); }, hours(2));
    reader.join();
    executor.processPending();
    r.wall = duration<double>(steady_clock::now() - start).count();
    r.slept = double(t->SleepRequestedMs.load()) / 1000.0;
    r.frames = t->FramesSent.load();
    r.read = opened && r.dataMessages == 1;
    r.replies = sim.repliesSent();
    return r;
}

// The day read with one reply lost at every `step`th position; false when a
// reading failed or cost more than one time-out and one retry.
bool loseReplies(int step) {
    constexpr int kTimeout = 2;
    const Reading clean = readMeter({}, 1, kTimeout);
    std::printf("one lost reply, 1 day quarter-hourly, time-out %d s\n", kTimeout);
    std::printf("  fault-free            %.2f s, %d frames, %llu replies\n", clean.wall,
                clean.frames, static_cast<unsigned long long>(clean.replies));
    bool met = clean.read;
    double worst = 0;
    for (int n = 1; n <= int(clean.replies); n += step) {
        const Reading lost = readMeter({.loseReply = n}, 1, kTimeout);
        const double extra = lost.wall - clean.wall;
        const int retries = lost.frames - clean.frames;
        // One time-out and the TCP link's 500 ms after it, with a little slack.
        const bool one = lost.read && retries == 1 && extra < kTimeout + 0.5 + 0.5;
        met = met && one;
        worst = std::max(worst, extra / clean.wall);
        std::printf(
            "  reply %3d lost        %.2f s: extra %.2f s = %.2f x fault-free, "
            "%.2f time-outs, %d retr%s%s\n",
            n, lost.wall, extra, extra / clean.wall, extra / kTimeout, retries,
            retries == 1 ? "y" : "ies", one ? "" : "  MISSED");
    }
    std::printf("  worst extra           %.2f x fault-free: %s\n", worst, met ? "met" : "MISSED");
    return met;
}

}  // namespace

int main(int argc, char** argv) {
    const int dayCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 31;
    const int step = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const Reading r = readMeter({}, dayCount, 2);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    auto secs = [](const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
    const double cpu =
        secs(after.ru_utime) - secs(before.ru_utime) + secs(after.ru_stime) - secs(before.ru_stime);
    const double target = 1.1 * r.slept + 0.001 * r.frames;

    std::printf("read_meter: %d days quarter-hourly, session %s\n", dayCount,
                r.read ? "opened" : "NOT OPENED");
    std::printf("  frames sent           %d\n", r.frames);
    std::printf("  log lines / data msgs %ld / %ld\n", r.logLines, r.dataMessages);
    std::printf("  wall time             %.2f s\n", r.wall);
    std::printf("  prescribed pauses     %.2f s (%.1f%% of wall)\n", r.slept,
                100.0 * r.slept / r.wall);
    std::printf("  beyond them           %.2f s (%.2f ms per exchange)\n", r.wall - r.slept,
                1000.0 * (r.wall - r.slept) / std::max(1, r.frames));
    std::printf("  target                %.2f s (1.1 x pauses + 1 ms per exchange): %s\n", target,
                r.wall <= target ? "met" : "MISSED");
    std::printf("  CPU time (process)    %.2f s = %.2f%% of one core\n", cpu, 100.0 * cpu / r.wall);
    std::printf("  peak memory           %ld KiB\n", after.ru_maxrss);
    const bool lostMet = loseReplies(step);
    return r.read && lostMet ? 0 : 1;
}

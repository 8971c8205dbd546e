// Reads one meter's quarter-hourly load profile over a range of days (31 by
// default; the first argument changes it) from meter-sim over TCP with no
// pause unit and a meter that answers at once, and sets the wall time beside
// the pauses the reading itself asks for (the pause unit's 10-ms steps, the
// 10 ms before each send; the waits for a reply are not pauses), the CPU time
// of the whole process and its peak memory. Target: the wall time within 1.1
// times those pauses plus 1 ms per exchange.
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

int main(int argc, char** argv) {
    const int dayCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 31;

    sim::SimConfig config;
    config.seed = 3;
    config.replyDelayMs = 0;
    sim::SimMeter m;
    m.linkAddress = 1;
    m.measurePoint = 1;
    m.password = 1;
    config.meters.push_back(m);
    sim::MeterSim sim(config);
    const uint16_t port = sim.listenTcp();

    LoopExecutor executor;
    long logLines = 0, dataMessages = 0;
    MessageReceiver receiver(executor, [&](int kind, std::unique_ptr<MessagePayload>) {
        if (kind == MSG_LOG) ++logLines;
        if (kind == MSG_DATA) ++dataMessages;
    });

    auto t = std::make_shared<TContador_IP>();
    t->MainWindow = receiver.target();
    t->IsSerial = false;
    t->TcpClient = std::make_unique<TcpClient>();
    t->TcpClient->Host = "127.0.0.1";
    t->TcpClient->Port = port;
    t->AsduRetries = 2;
    t->AsduTimeout = 2;
    t->InterAsdu = 0;
    t->Interval = IntervalQuarterHour;
    const Day first = 2026y / January / 1;
    t->DateFrom = first + days(1);
    t->DateTo = first + days(dayCount);
    t->Devices.emplace_back("1", std::make_unique<Tdevice>("1", "1", "1", ""));

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
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
    const double wall = duration<double>(steady_clock::now() - start).count();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    auto secs = [](const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
    const double cpu =
        secs(after.ru_utime) - secs(before.ru_utime) + secs(after.ru_stime) - secs(before.ru_stime);
    const double slept = double(t->SleepRequestedMs.load()) / 1000.0;
    const int frames = t->FramesSent.load();
    const double target = 1.1 * slept + 0.001 * frames;

    std::printf("read_meter: %d days quarter-hourly, session %s\n", dayCount,
                opened ? "opened" : "NOT OPENED");
    std::printf("  frames sent           %d\n", t->FramesSent.load());
    std::printf("  log lines / data msgs %ld / %ld\n", logLines, dataMessages);
    std::printf("  wall time             %.2f s\n", wall);
    std::printf("  prescribed pauses     %.2f s (%.1f%% of wall)\n", slept, 100.0 * slept / wall);
    std::printf("  beyond them           %.2f s (%.2f ms per exchange)\n", wall - slept,
                1000.0 * (wall - slept) / std::max(1, frames));
    std::printf("  target                %.2f s (1.1 x pauses + 1 ms per exchange): %s\n", target,
                wall <= target ? "met" : "MISSED");
    std::printf("  CPU time (process)    %.2f s = %.2f%% of one core\n", cpu, 100.0 * cpu / wall);
    std::printf("  peak memory           %ld KiB\n", after.ru_maxrss);
    return opened && dataMessages == 1 ? 0 : 1;
}

// Receive throughput of the serial port: bytes written into the master side of
// a pty pair at full speed arrive through the pump thread, the event thread and
// the main thread's OnRxChar handler, which reads them as a reading run does.
// Also the CPU an open port uses while nothing arrives (target: under 1% of
// one core, that is no busy waiting).
//
// Usage: bench_serial_rx [MiB to send, default 64] [idle seconds, default 10]

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "serial/com_port.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Pty {
    int master = -1, slave = -1;
    std::string name;
    Pty() {
        char buf[256] = {};
        if (openpty(&master, &slave, buf, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        name = buf;
        for (int fd : {master, slave}) {
            termios t{};
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~Pty() {
        close(slave);
        close(master);
    }
};

void writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= size_t(w);
        } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
            return;
        } else {
            pollfd pf{fd, POLLOUT, 0};
            poll(&pf, 1, 100);
        }
    }
}

void throughput(size_t mib, int inputSize, qv::TSyncMethod sync) {
    qv::LoopExecutor loop;
    Pty pty;
    qv::TComPort port(&loop);
    port.SetPort(pty.name);
    port.SetSyncMethod(sync);
    port.Buffer().SetInputSize(inputSize);
    size_t got = 0;
    uint64_t calls = 0;
    bool ordered = true;
    unsigned char expect = 0;
    std::string chunk;
    port.OnRxChar = [&](qv::TCustomComPort* s, int n) {
        s->ReadStr(chunk, n);
        for (char c : chunk) {
            ordered = ordered && static_cast<unsigned char>(c) == expect;
            ++expect;
        }
        got += chunk.size();
        ++calls;
    };
    port.Open();
    const size_t total = mib << 20;
    std::string block(65536, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i);
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    std::thread writer([&] {
        for (size_t sent = 0; sent < total; sent += block.size())
            writeAll(pty.master, block.data(), block.size());
    });
    if (sync == qv::smNone) {
        while (true) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (__atomic_load_n(&got, __ATOMIC_ACQUIRE) >= total) break;
        }
    } else {
        loop.runUntil([&] { return got >= total; }, std::chrono::minutes(5));
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    writer.join();
    port.Close();
    const char* name = sync == qv::smThreadSync ? "smThreadSync" : "smNone";
    std::printf(
        "rx %-12s queue %6d B: %zu MiB in %.2f s = %7.1f MiB/s, %.4f CPU s/MiB, "
        "%.0f B/event, %s\n",
        name, inputSize, mib, secs, double(mib) / secs, cpu / double(mib),
        calls ? double(got) / double(calls) : 0.0, ordered && got == total ? "intact" : "CORRUPT");
}

void idle(int seconds) {
    qv::LoopExecutor loop;
    Pty pty;
    qv::TComPort port(&loop);
    port.SetPort(pty.name);
    port.OnRxChar = [](qv::TCustomComPort* s, int n) {
        std::string c;
        s->ReadStr(c, n);
    };
    port.Open();
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    loop.runUntil([] { return false; }, std::chrono::seconds(seconds));
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    port.Close();
    std::printf("idle open port: %.3f CPU s over %.1f s = %.3f%% of one core (target < 1%%)\n", cpu,
                secs, 100.0 * cpu / secs);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    throughput(mib, 1024, qv::smThreadSync);
    throughput(mib, 65536, qv::smThreadSync);
    throughput(mib, 65536, qv::smNone);
    idle(idleSeconds);
    return 0;
}

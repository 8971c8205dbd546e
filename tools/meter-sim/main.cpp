// meter-sim: simulated meters and modem for tests and the demo.

#include <signal.h>

#include <cstdio>
#include <iostream>
#include <mutex>

#include "meter_sim.h"
#include "sim_options.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    qv::sim::CliOptions opts;
    std::string error;
    if (!qv::sim::parseCommandLine(args, opts, error)) {
        std::cerr << "meter-sim: " << error << "\n(meter-sim --help lists the options)\n";
        return 2;
    }
    if (opts.help) {
        std::cout << qv::sim::usageText();
        return 0;
    }
    // The signals are taken by sigwait below; block them before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    static std::mutex outMutex;
    if (opts.verbose)
        opts.config.trace = [](const std::string& line) {
            std::lock_guard lock(outMutex);
            std::cout << line << std::endl;
        };
    try {
        qv::sim::MeterSim sim(opts.config);
        for (auto& [host, port] : opts.tcp) {
            uint16_t bound = sim.listenTcp(host, port);
            std::lock_guard lock(outMutex);
            std::cout << "tcp " << host << ":" << bound << std::endl;
        }
        if (opts.pty) {
            std::string path = sim.openPty(opts.ptyLink);
            std::lock_guard lock(outMutex);
            std::cout << "pty " << path << std::endl;
        }
        int sig = 0;
        sigwait(&stopSignals, &sig);
        sim.stop();
    } catch (const std::exception& e) {
        std::cerr << "meter-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

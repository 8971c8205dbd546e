#pragma once
// One line of the simulator (a TCP connection or the pseudo-terminal): the optional
// AT modem in front, the meters or Modbus slaves behind it, and the timed output
// (reply delay, noise, replies split across writes, dropped connections).
// Pure logic driven by the caller's clock; the server does the I/O.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "iec_link.h"
#include "meter_bank.h"
#include "meter_sim.h"
#include "modbus_slave.h"

namespace qv::sim {

using SimClock = std::chrono::steady_clock;

struct SimCounters {
    std::atomic<uint64_t> framesReceived{0};
    std::atomic<uint64_t> repliesSent{0};
    std::atomic<uint64_t> connectionsAccepted{0};
    std::atomic<uint64_t> connectionsDropped{0};
};

class SimChannel {
  public:
    enum class Kind { Tcp, Pty };
    SimChannel(const SimConfig& config, Kind kind, bool withModem, bool dropArmed,
               SimCounters& counters, uint32_t channelId);

    void receive(std::string_view bytes, SimClock::time_point now);
    // Runs the timers that are due (dial result, escape guard, modem restart).
    void tick(SimClock::time_point now);
    // The earliest time at which tick or collect has something to do.
    std::optional<SimClock::time_point> nextDeadline() const;
    // Appends the output due by now; returns true when the connection is to be closed.
    bool collect(SimClock::time_point now, std::string& out);

  private:
    enum class Mode { Command, Dialling, Data, Restarting };

    void feedProtocol(std::string_view bytes, SimClock::time_point now);
    bool dropNow(SimClock::time_point now);
    void scheduleReply(const std::string& frame, const SimMeter* meter, SimClock::time_point now,
                       int holdMs = 0);
    void send(std::string bytes, SimClock::time_point due);
    void modemByte(char ch, SimClock::time_point now);
    void modemLine(std::string line, SimClock::time_point now);
    void modemSay(const std::string& text, SimClock::time_point now);
    void trace(const std::string& line) const;
    void resetProtocol();

    struct Output {
        SimClock::time_point due;
        std::string bytes;
        bool close = false;
    };

    const SimConfig& config_;
    Kind kind_;
    bool withModem_;
    bool dropArmed_;
    SimCounters& counters_;
    std::mt19937 rng_;

    MeterBank bank_;
    iec::FrameExtractor frames_;
    modbus::RequestExtractor requests_;
    uint64_t frameCount_ = 0;
    bool deaf_ = false;  // a pseudo-terminal line that "dropped": nothing answers any more

    std::deque<Output> out_;
    SimClock::time_point lastDue_{};
    // A reply held back (the late-reply fault) and when it may go out.
    struct LateReply {
        SimClock::time_point due;
        std::string bytes;
    };
    std::optional<LateReply> late_;

    // Modem state.
    Mode mode_ = Mode::Command;
    bool callUp_ = false;
    bool echo_ = true;
    int atzTries_ = 0;
    std::string line_;
    std::optional<SimClock::time_point> dialAt_;
    std::optional<SimClock::time_point> restartEnd_;
    SimClock::time_point lastDataRx_{};
    int pluses_ = 0;
    std::optional<SimClock::time_point> escapeAt_;
};

}  // namespace qv::sim

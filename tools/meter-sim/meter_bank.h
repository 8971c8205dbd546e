#pragma once
// The simulated meters behind one line: each frame addressed to a known link address
// is answered as an IEC 60870-5-102 meter does; class-2 polls hand out the queued
// answers (session confirmations, closure confirmations, data frames, termination).

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "iec_link.h"
#include "meter_sim.h"

namespace qv::sim {

class MeterBank {
  public:
    explicit MeterBank(const SimConfig& config);

    struct Answer {
        std::string bytes;                // the reply frame; empty: no reply
        const SimMeter* meter = nullptr;  // the meter addressed; null: unknown address
        int holdMs = 0;                   // >0: the reply goes out this much later
    };
    Answer answer(const iec::Frame& frame);

  private:
    struct Job {
        uint8_t dataType = 8;
        uint8_t record = 21;
        uint16_t point = 0;
        int period = 1440;
        bool increments = false;
        std::vector<int> addresses;
        std::vector<SimTime> times;
        size_t next = 0;
    };
    struct State {
        const SimMeter* meter = nullptr;
        std::deque<std::string> queued;  // ASDUs before the data
        std::optional<Job> job;
        std::optional<std::string> termination;
        std::string lastRequest;
        std::optional<std::string> lastReply;
        bool sessionOpen = false;
        int dataFrames = 0;      // data frames handed out so far
        bool loseReply = false;  // the reply being built goes nowhere
        int replies = 0;         // replies handed out so far
    };

    Answer respond(State& s, const iec::Frame& frame);
    std::string handleFixed(State& s, uint8_t c, uint16_t address);
    std::string handleUserData(State& s, uint16_t address, std::string_view asdu);
    // The records a closure or profile request asks for.
    static Job requestedJob(const SimFaults& f, std::string_view asdu, uint16_t point,
                            const SimTime& from, const SimTime& to);
    std::string poll(State& s, uint16_t address);
    std::string dataAsdu(const State& s, const Job& job, const SimTime& t) const;

    uint32_t seed_;
    std::vector<State> states_;
};

}  // namespace qv::sim

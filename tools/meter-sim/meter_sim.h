#pragma once
// meter-sim: a simulated population of IEC 60870-5-102 meters, optionally behind an
// AT modem, reachable over TCP or a pseudo-terminal. A real peer for the tests and
// the demo; not part of the shipped program.
//
// Counters are a pure function of (seed, link address, register, instant), so a test
// can compute every value the simulator reports with counterValue / profileValue.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qv::sim {

// ---------------------------------------------------------------- configuration

// Which requests a silent meter leaves unanswered.
enum class Silence {
    None,
    All,          // nothing at all: the meter is not on the line
    OpenSession,  // the open-session request (the rest is answered)
    Requests,     // closure requests (daily and load profile)
    Data,         // the polls that would deliver a closure data frame
};

// Faults of one meter. Defaults: a well-behaved meter.
struct SimFaults {
    Silence silence = Silence::None;
    bool nackOpenSession = false;       // open-session request answered with a negative ack
    bool nackRequests = false;          // closure requests answered with a negative ack
    bool negativeConfirmation = false;  // closure confirmations carry cause of transmission | $40
    bool negativeData = false;          // data frames carry cause of transmission | $40
    int missingRegister = 0;            // 1..6: that register's object goes out under address 0
    int objectCount = 6;      // objects per data frame: 5 drops register 6, 7 adds object 7
    int declaredCount = -1;   // object count written in the qualifier; -1: objectCount
    int noiseBytes = 0;       // noise bytes written before every reply
    int splitChunk = 0;       // >0: replies written in pieces of this many bytes
    int modbusException = 0;  // >0: Modbus requests answered with this exception code
    int loseData = 0;         // >0: the reply carrying the Nth data frame is lost (once)
    bool noRepeat = false;    // a repeated frame count bit is carried out again, not repeated
    bool loseLast = false;    // a load profile's last record is lost, not kept for a repeat
    int extraRecords = 0;     // closure data goes on with this many records past the range
    int sessionCause = 0;     // >0: a refused session is answered with this cause, bit $40 clear
    int lateReply = 0;        // >0: the Nth reply of the meter (repeats counted) is held back
    int lateReplyMs = 0;      // this many milliseconds, then sent ahead of the next request's reply
    int loseReply = 0;        // >0: the Nth reply (repeats counted) is lost, kept for a repeat
    int skipFirst = 0;        // a load profile lacks its first N records (a power cut at midnight)
    int closureMissing = 0;   // 1..6: as missingRegister, in daily closures only
    int closureMinute = -1;   // >=0: daily closures tagged at this minute of their own day
    int repeatRecord = 0;     // >1: a load profile's Nth record is the one before it again
};

struct SimMeter {
    int linkAddress = 1;    // link address (frames carry its low 16 bits)
    int measurePoint = 1;   // common address of the session and closure requests
    uint32_t password = 1;  // access password the meter accepts
    SimFaults faults;
};

enum class ModemKind { None, Gsm, Analog };

// What the modem answers to ATD.
enum class DialResult { Connect, Busy, NoCarrier, NoDialtone, Silence };

struct ModemOptions {
    ModemKind kind = ModemKind::None;  // None: meters directly on the line
    bool onTcp = false;                // also put the modem in front of TCP connections
    bool echo = true;                  // echo command characters (ATE0 / ATE1)
    int atzOkFrom = 1;                 // ATZ answered "OK" from this try on; earlier tries silent
    std::string identification;        // ATI text; empty: a default by kind
    int cregStat = 1;                  // AT+CREG? answers "+CREG: 0,<stat>" (1 registered)
    int csq = 20;                      // AT+CSQ answers "+CSQ: <csq>,99"
    DialResult dial = DialResult::Connect;
    std::string connectText = "CONNECT 9600";
    int dialDelayMs = 300;  // from ATD to its result
    int guardMs = 1000;     // escape guard time before and after "+++"
    int restartMs = 1000;   // AT+CFUN=1,1: the modem is deaf for this long
};

enum class Protocol {
    Iec = 0,             // IEC 60870-5-102
    CircutorModbus = 1,  // Modbus RTU, read-input-registers answers (193-byte answer)
    Nrg96Modbus = 2,     // Modbus RTU, read-input-registers answers (85-byte answer)
};

struct SimConfig {
    std::vector<SimMeter> meters;
    uint32_t seed = 1;
    Protocol protocol = Protocol::Iec;
    int replyDelayMs = 20;             // time from a complete request to the first reply byte
    int splitGapMs = 30;               // pause between the pieces of a split reply
    int dropAfterFrames = 0;           // >0: the connection drops when frame N+1 arrives
    bool dropEveryConnection = false;  // drop on every connection, not only the first
    int modbusReplyAddress = -1;       // -1: Modbus answers carry the request's slave address
    ModemOptions modem;
    // Trace lines (frames in and out, modem lines). Called from the simulator's thread.
    // Empty: the library logs nothing.
    std::function<void(const std::string&)> trace;
};

// ---------------------------------------------------------------- the simulator

class MeterSim {
  public:
    explicit MeterSim(SimConfig config);
    ~MeterSim();  // stops
    MeterSim(const MeterSim&) = delete;
    MeterSim& operator=(const MeterSim&) = delete;

    // Listens on host:port (0 = any free port); returns the bound port. Throws
    // std::runtime_error when the address cannot be bound. May be called more than once.
    uint16_t listenTcp(const std::string& host = "127.0.0.1", uint16_t port = 0);

    // Creates a pseudo-terminal in raw mode and serves it; when linkPath is given, a
    // symbolic link of that name points to the slave (an existing symbolic link is
    // replaced, any other file is refused). Returns the slave path.
    std::string openPty(const std::string& linkPath = "");

    // Stops serving, closes every socket and pseudo-terminal, removes the links.
    // Idempotent.
    void stop();

    // Counters for tests: complete frames (or Modbus requests) received, replies sent,
    // connections accepted, connections dropped on purpose.
    uint64_t framesReceived() const;
    uint64_t repliesSent() const;
    uint64_t connectionsAccepted() const;
    uint64_t connectionsDropped() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------- time and counters

// A local (Central European) wall-clock time as a time tag carries it. `summer` only
// decides between the two readings of the repeated hour on the October change day;
// everywhere else the season follows from the date and time.
struct SimTime {
    int year = 2000;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    bool summer = false;
};

// True on the last Sunday of March (23-hour day) and of October (25-hour day).
bool isSummerTimeChangeDay(int year, int month, int day);

// 23, 24 or 25.
int dayLengthHours(int year, int month, int day);

// Whether the local time lies in summer time (for the repeated hour: t.summer).
bool isSummerTime(const SimTime& t);

// The absolute counter of register 1..6 of the meter with this link address at the
// local time t. Monotonic in time for every register; changes every quarter hour.
// The daily closure of a day D is counterValue(..., D+1 00:00).
uint32_t counterValue(uint32_t seed, int linkAddress, int reg, const SimTime& t);

// The energy of the period (15 or 60 minutes) that ends at the local time t:
// counterValue at t minus counterValue one period earlier (modulo 2^32).
// This is what a load-profile record tagged t carries.
uint32_t profileValue(uint32_t seed, int linkAddress, int reg, const SimTime& t, int periodMinutes);

// The time tags, in order, of the records a meter returns for a closure request
// between two local wall-clock times (both inclusive, season flags ignored).
// periodMinutes 15 or 60 for the load profiles, 1440 for daily closures (00:00).
// The October change day yields both readings of the repeated hour.
std::vector<SimTime> recordTimes(const SimTime& from, const SimTime& to, int periodMinutes);

}  // namespace qv::sim

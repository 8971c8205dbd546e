// The simulated meters over TCP and a pseudo-terminal: link, session, closures,
// several meters on one line, change days and faults, checked byte by byte.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "meter_sim.h"
#include "sim_test_line.h"
#include "support/test_env.h"

namespace qv::sim {
namespace {

using test::bytes;
using test::fixed;
using test::hexOf;
using test::TestLine;
using test::variable;

const std::string kLinkStatus = "10 49 01 00 4A 16";
const std::string kReset = "10 40 01 00 41 16";
const std::string kPoll7B = "10 7B 01 00 7C 16";
const std::string kPoll5B = "10 5B 01 00 5C 16";
const std::string kAck = "10 00 01 00 01 16";
const std::string kNoData = "10 09 01 00 0A 16";
const std::string kOpenSession = "68 0D 0D 68 53 01 00 B7 01 06 01 00 00 01 00 00 00 14 16";
const std::string kSessionOpened = "68 0D 0D 68 08 01 00 B7 01 07 01 00 00 01 00 00 00 CA 16";
const std::string kEndSession = "68 09 09 68 53 01 00 BB 00 06 01 00 00 16 16";
const std::string kSessionEnded = "68 09 09 68 08 01 00 BB 00 07 01 00 00 CC 16";
// Daily closure of 4 March 2026 (23:00 .. 5 March 00:00), link 1, measuring point 1.
const std::string kDailyRequest =
    "68 15 15 68 53 01 00 7A 01 06 01 00 15 01 06 00 17 64 03 1A 00 00 85 03 1A 2C 16";
const std::string kDailyConfirmed =
    "68 15 15 68 08 01 00 7A 01 07 01 00 15 01 06 00 17 64 03 1A 00 00 85 03 1A E2 16";
const std::string kDailyTerminated =
    "68 15 15 68 08 01 00 7A 01 0A 01 00 15 01 06 00 17 64 03 1A 00 00 85 03 1A E5 16";

// Reads one frame by its own length bytes; empty when nothing came in time.
std::string readFrame(TestLine& line, int timeoutMs = 2000) {
    std::string f = line.read(1, timeoutMs);
    if (f.empty()) return f;
    if (f[0] == '\x10') return f + line.read(5, timeoutMs);
    if (f[0] != '\x68') return f;
    f += line.read(3, timeoutMs);
    if (f.size() < 4) return f;
    return f + line.read(static_cast<uint8_t>(f[1]) + 2, timeoutMs);
}

std::string ask(TestLine& line, const std::string& frame) {
    line.send(frame);
    return hexOf(readFrame(line));
}

std::string askHex(TestLine& line, const std::string& hexFrame) {
    return ask(line, bytes(hexFrame));
}

SimConfig config(std::vector<SimMeter> meters = {SimMeter{}}) {
    SimConfig c;
    c.meters = std::move(meters);
    c.seed = 42;
    c.replyDelayMs = 0;
    return c;
}

SimMeter meter(int link, int point, uint32_t password, SimFaults faults = {}) {
    SimMeter m;
    m.linkAddress = link;
    m.measurePoint = point;
    m.password = password;
    m.faults = faults;
    return m;
}

void openSession(TestLine& line) {
    ASSERT_EQ(askHex(line, kOpenSession), kAck);
    ASSERT_EQ(askHex(line, "10 7B 01 00 7C 16"), kSessionOpened);
}

uint32_t le32(const std::string& f, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(static_cast<uint8_t>(f[at + i])) << (8 * i);
    return v;
}

// A closure request as the reading engine builds it.
std::string request(uint16_t link, uint16_t point, uint8_t type, uint8_t record, SimTime from,
                    SimTime to) {
    auto tag = [](const SimTime& t) {
        // The weekday bits are left 0: the meter must ignore them.
        return std::string{static_cast<char>(t.minute), static_cast<char>(t.hour),
                           static_cast<char>(t.day), static_cast<char>(t.month),
                           static_cast<char>(t.year - 2000)};
    };
    std::string asdu{static_cast<char>(type),
                     1,
                     6,
                     static_cast<char>(point & 0xFF),
                     static_cast<char>(point >> 8),
                     static_cast<char>(record),
                     1,
                     6};
    return variable(0x53, link, asdu + tag(from) + tag(to));
}

// Drives a profile request and returns every data frame up to the termination.
std::vector<std::string> readProfile(TestLine& line, uint16_t link, uint16_t point, uint8_t record,
                                     SimTime from, SimTime to) {
    std::vector<std::string> frames;
    EXPECT_EQ(ask(line, request(link, point, 123, record, from, to)), hexOf(fixed(0x00, link)));
    std::string conf = readFrame(line, 0);  // nothing more may be waiting
    EXPECT_TRUE(conf.empty());
    line.send(fixed(0x7B, link));
    conf = readFrame(line);
    EXPECT_EQ(conf.size(), 27u);
    EXPECT_EQ(static_cast<uint8_t>(conf[9]), 7);  // confirmation of activation
    uint8_t c = 0x5B;
    for (int guard = 0; guard < 200; ++guard) {
        line.send(fixed(c, link));
        c = c == 0x5B ? 0x7B : 0x5B;
        std::string f = readFrame(line);
        if (f.size() != 56) {
            EXPECT_EQ(f.size(), 27u);  // termination
            EXPECT_EQ(static_cast<uint8_t>(f[9]), 10);
            break;
        }
        frames.push_back(f);
    }
    return frames;
}

class MeterSessionTest : public ::testing::Test {
  protected:
    void start(SimConfig c) {
        sim_ = std::make_unique<MeterSim>(std::move(c));
        port_ = sim_->listenTcp();
    }
    TestLine connect() { return TestLine::tcp(port_); }
    std::unique_ptr<MeterSim> sim_;
    uint16_t port_ = 0;
};

TEST_F(MeterSessionTest, LinkSessionAndDailyClosureByteByByte) {
    start(config());
    auto line = connect();
    EXPECT_EQ(askHex(line, kLinkStatus), "10 0B 01 00 0C 16");
    EXPECT_EQ(askHex(line, kReset), kAck);
    EXPECT_EQ(askHex(line, kPoll7B), kNoData);
    EXPECT_EQ(askHex(line, kEndSession), kAck);
    EXPECT_EQ(askHex(line, kPoll7B), kSessionEnded);
    EXPECT_EQ(askHex(line, kPoll5B), kNoData);
    EXPECT_EQ(askHex(line, kPoll7B), kNoData);
    openSession(line);
    EXPECT_EQ(askHex(line, kPoll5B), kNoData);

    EXPECT_EQ(askHex(line, kDailyRequest), kAck);
    EXPECT_EQ(askHex(line, kPoll7B), kDailyConfirmed);
    line.send(bytes(kPoll5B));
    std::string data = readFrame(line);
    ASSERT_EQ(data.size(), 56u);
    EXPECT_EQ(hexOf(data.substr(0, 13)), "68 32 32 68 08 01 00 08 06 05 01 00 15");
    EXPECT_EQ(hexOf(data.substr(49, 5)), "00 00 85 03 1A");  // 5 March 2026 00:00, winter
    SimTime closure{2026, 3, 5, 0, 0, false};
    for (int reg = 1; reg <= 6; ++reg) {
        size_t at = 13 + 6 * (reg - 1);
        EXPECT_EQ(data[at], static_cast<char>(reg));
        EXPECT_EQ(le32(data, at + 1), counterValue(42, 1, reg, closure)) << "register " << reg;
        EXPECT_EQ(data[at + 5], 0);
    }
    EXPECT_EQ(static_cast<uint8_t>(data[54]), test::sum8(data.substr(4, 50)));
    EXPECT_EQ(data[55], '\x16');
    EXPECT_EQ(askHex(line, kPoll7B), kDailyTerminated);
    EXPECT_EQ(askHex(line, kPoll5B), kNoData);
    EXPECT_EQ(askHex(line, kEndSession), kAck);
    EXPECT_EQ(askHex(line, kPoll7B), kSessionEnded);
}

TEST_F(MeterSessionTest, WrongPasswordOrPointGivesNegativeConfirmation) {
    start(config({meter(1, 1, 2)}));
    auto line = connect();
    EXPECT_EQ(askHex(line, kOpenSession), kAck);
    EXPECT_EQ(askHex(line, kPoll7B), "68 0D 0D 68 08 01 00 B7 01 47 01 00 00 01 00 00 00 0A 16");
    // Without a session closure requests are refused.
    EXPECT_EQ(askHex(line, kDailyRequest), kAck);
    EXPECT_EQ(askHex(line, kPoll7B),
              "68 15 15 68 08 01 00 7A 01 47 01 00 15 01 06 00 17 64 03 1A 00 00 85 03 1A 22 16");
    EXPECT_EQ(askHex(line, kPoll5B), kNoData);
    // The right password, but measuring point 2.
    EXPECT_EQ(askHex(line, "68 0D 0D 68 53 01 00 B7 01 06 02 00 00 02 00 00 00 16 16"), kAck);
    EXPECT_EQ(askHex(line, kPoll7B), "68 0D 0D 68 08 01 00 B7 01 47 02 00 00 02 00 00 00 0C 16");
    // The right pair opens it.
    EXPECT_EQ(askHex(line, "68 0D 0D 68 53 01 00 B7 01 06 01 00 00 02 00 00 00 15 16"), kAck);
    EXPECT_EQ(askHex(line, kPoll5B), "68 0D 0D 68 08 01 00 B7 01 07 01 00 00 02 00 00 00 CB 16");
}

TEST_F(MeterSessionTest, RetriedPollGetsTheSameFrameAgain) {
    start(config());
    auto line = connect();
    openSession(line);
    EXPECT_EQ(askHex(line, kDailyRequest), kAck);
    EXPECT_EQ(askHex(line, kPoll5B), kDailyConfirmed);
    std::string first = askHex(line, kPoll7B);
    ASSERT_EQ(first.size(), 56u * 3 - 1);
    EXPECT_EQ(askHex(line, kPoll7B), first);  // same frame count bit: a retry
    EXPECT_EQ(askHex(line, kPoll5B), kDailyTerminated);
}

TEST_F(MeterSessionTest, SeveralMetersOnOneLineSelectedByLinkAddress) {
    start(config({meter(1, 1, 1), meter(300, 5, 12345678), meter(70000, 9, 3)}));
    auto line = connect();
    EXPECT_EQ(askHex(line, "10 49 2C 01 76 16"), "10 0B 2C 01 38 16");
    // Unknown link address 7: ignored, and the line goes on working.
    line.send(fixed(0x49, 7));
    EXPECT_EQ(readFrame(line, 300), "");
    EXPECT_EQ(askHex(line, kLinkStatus), "10 0B 01 00 0C 16");
    // 70000 answers on its low 16 bits (4464 = $1170).
    EXPECT_EQ(ask(line, fixed(0x49, 0x1170)), hexOf(fixed(0x0B, 0x1170)));

    // Meter 300: measuring point 5, password 12345678 = $00BC614E.
    std::string open = variable(0x53, 300, bytes("B7 01 06 05 00 00 4E 61 BC 00"));
    EXPECT_EQ(ask(line, open), "10 00 2C 01 2D 16");
    EXPECT_EQ(ask(line, fixed(0x7B, 300)),
              hexOf(variable(0x08, 300, bytes("B7 01 07 05 00 00 4E 61 BC 00"))));
    // Meter 1 keeps its own state: no session there yet.
    EXPECT_EQ(askHex(line, kDailyRequest), kAck);
    EXPECT_EQ(askHex(line, kPoll7B),
              "68 15 15 68 08 01 00 7A 01 47 01 00 15 01 06 00 17 64 03 1A 00 00 85 03 1A 22 16");
    // Meter 300's daily closure carries its own counters.
    EXPECT_EQ(ask(line, request(300, 5, 122, 21, {2026, 6, 9, 23}, {2026, 6, 10})),
              "10 00 2C 01 2D 16");
    line.send(fixed(0x5B, 300));
    EXPECT_EQ(readFrame(line).size(), 27u);
    line.send(fixed(0x7B, 300));
    std::string data = readFrame(line);
    ASSERT_EQ(data.size(), 56u);
    EXPECT_EQ(hexOf(data.substr(49, 5)), "00 80 6A 06 1A");  // 10 June 00:00, summer, Wednesday
    EXPECT_EQ(le32(data, 14), counterValue(42, 300, 1, {2026, 6, 10, 0, 0, true}));
    EXPECT_NE(le32(data, 14), counterValue(42, 1, 1, {2026, 6, 10, 0, 0, true}));
}

TEST_F(MeterSessionTest, HourlyProfileOnTheAutumnChangeDay) {
    start(config());
    auto line = connect();
    openSession(line);
    auto frames = readProfile(line, 1, 1, 11, {2026, 10, 25, 0, 0}, {2026, 10, 25, 23, 0});
    ASSERT_EQ(frames.size(), 25u);
    // Hour bytes with the summer bit: 00S 01S 02S 02W 03W ... 23W.
    std::vector<int> hours;
    for (auto& f : frames) {
        EXPECT_EQ(f[7], 11);  // load-profile data
        EXPECT_EQ(f[12], 11);
        hours.push_back(static_cast<uint8_t>(f[50]));
    }
    EXPECT_EQ(hours[0], 0x80);
    EXPECT_EQ(hours[2], 0x82);
    EXPECT_EQ(hours[3], 0x02);
    EXPECT_EQ(hours[24], 0x17);
    EXPECT_EQ(static_cast<uint8_t>(frames[3][51]), 0xF9);  // day 25, Sunday
    SimTime repeated{2026, 10, 25, 2, 0, false};
    EXPECT_EQ(le32(frames[3], 14), profileValue(42, 1, 1, repeated, 60));
    EXPECT_EQ(le32(frames[3], 44), profileValue(42, 1, 6, repeated, 60));
}

TEST_F(MeterSessionTest, QuarterHourProfileOfSpringChangeDayAndNormalDay) {
    start(config());
    auto line = connect();
    openSession(line);
    auto spring = readProfile(line, 1, 1, 12, {2026, 3, 29, 0, 0}, {2026, 3, 29, 23, 59});
    ASSERT_EQ(spring.size(), 92u);
    EXPECT_EQ(hexOf(spring[4].substr(49, 5)), "00 01 FD 03 1A");  // 01:00 winter
    EXPECT_EQ(hexOf(spring[8].substr(49, 5)), "00 83 FD 03 1A");  // then 03:00 summer
    EXPECT_EQ(hexOf(spring[9].substr(49, 5)), "0F 83 FD 03 1A");
    auto normal = readProfile(line, 1, 1, 12, {2026, 3, 4, 0, 0}, {2026, 3, 4, 23, 59});
    ASSERT_EQ(normal.size(), 96u);
    EXPECT_EQ(hexOf(normal[95].substr(49, 5)), "2D 17 64 03 1A");  // 23:45
    EXPECT_EQ(le32(normal[1], 14), profileValue(42, 1, 1, {2026, 3, 4, 0, 15}, 15));
}

TEST_F(MeterSessionTest, SilentMeters) {
    SimFaults all, session, data;
    all.silence = Silence::All;
    session.silence = Silence::OpenSession;
    data.silence = Silence::Data;
    start(config({meter(1, 1, 1, all), meter(2, 1, 1, session), meter(3, 1, 1, data)}));
    auto line = connect();
    line.send(bytes(kLinkStatus));
    EXPECT_EQ(readFrame(line, 300), "");
    EXPECT_EQ(ask(line, fixed(0x49, 2)), hexOf(fixed(0x0B, 2)));
    line.send(variable(0x53, 2, bytes("B7 01 06 01 00 00 01 00 00 00")));
    EXPECT_EQ(readFrame(line, 300), "");
    line.send(variable(0x53, 3, bytes("B7 01 06 01 00 00 01 00 00 00")));
    EXPECT_EQ(hexOf(readFrame(line)), hexOf(fixed(0, 3)));
    EXPECT_EQ(ask(line, fixed(0x7B, 3)).size(), 19u * 3 - 1);
    EXPECT_EQ(ask(line, request(3, 1, 122, 21, {2026, 3, 4, 23}, {2026, 3, 5})),
              hexOf(fixed(0, 3)));
    EXPECT_EQ(ask(line, fixed(0x5B, 3)).size(), 27u * 3 - 1);
    line.send(fixed(0x7B, 3));
    EXPECT_EQ(readFrame(line, 300), "");
    line.send(fixed(0x7B, 3));  // the retry is not answered either
    EXPECT_EQ(readFrame(line, 300), "");
}

TEST_F(MeterSessionTest, NegativeAnswersAndMalformedDataFrames) {
    SimFaults nack, negConf, negData, missing, five, seven, declared;
    nack.nackRequests = true;
    negConf.negativeConfirmation = true;
    negData.negativeData = true;
    missing.missingRegister = 4;
    five.objectCount = 5;
    seven.objectCount = 7;
    declared.declaredCount = 5;
    start(config({meter(1, 1, 1, nack), meter(2, 1, 1, negConf), meter(3, 1, 1, negData),
                  meter(4, 1, 1, missing), meter(5, 1, 1, five), meter(6, 1, 1, seven),
                  meter(8, 1, 1, declared)}));
    auto line = connect();
    auto open = [&](uint16_t link) {
        line.send(variable(0x53, link, bytes("B7 01 06 01 00 00 01 00 00 00")));
        ASSERT_EQ(hexOf(readFrame(line)), hexOf(fixed(0, link)));
        line.send(fixed(0x7B, link));
        ASSERT_EQ(readFrame(line).size(), 19u);
    };
    auto daily = [&](uint16_t link) {
        return ask(line, request(link, 1, 122, 21, {2026, 3, 4, 23}, {2026, 3, 5}));
    };
    open(1);
    EXPECT_EQ(daily(1), "10 01 01 00 02 16");

    open(2);
    EXPECT_EQ(daily(2), hexOf(fixed(0, 2)));
    line.send(fixed(0x5B, 2));
    std::string conf = readFrame(line);
    ASSERT_EQ(conf.size(), 27u);
    EXPECT_EQ(static_cast<uint8_t>(conf[9]), 0x47);
    EXPECT_EQ(ask(line, fixed(0x7B, 2)), hexOf(fixed(0x09, 2)));  // and no data behind it

    auto dataOf = [&](uint16_t link) {
        open(link);
        EXPECT_EQ(daily(link), hexOf(fixed(0, link)));
        line.send(fixed(0x5B, link));
        EXPECT_EQ(readFrame(line).size(), 27u);
        line.send(fixed(0x7B, link));
        return readFrame(line);
    };
    EXPECT_EQ(static_cast<uint8_t>(dataOf(3)[9]), 0x45);

    std::string f = dataOf(4);
    ASSERT_EQ(f.size(), 56u);
    EXPECT_EQ(f[13 + 18], 0);  // register 4's object under address 0
    EXPECT_EQ(f[13 + 24], 5);

    f = dataOf(5);
    ASSERT_EQ(f.size(), 50u);
    EXPECT_EQ(f[8], 5);
    EXPECT_EQ(hexOf(f.substr(43, 5)), "00 00 85 03 1A");

    f = dataOf(6);
    ASSERT_EQ(f.size(), 62u);
    EXPECT_EQ(f[8], 7);
    EXPECT_EQ(f[49], 7);  // the seventh object stands where the time tag would be
    EXPECT_EQ(hexOf(f.substr(55, 5)), "00 00 85 03 1A");

    f = dataOf(8);
    ASSERT_EQ(f.size(), 56u);
    EXPECT_EQ(f[8], 5);  // qualifier says 5, six objects follow
}

TEST_F(MeterSessionTest, NoiseAndSplitReplies) {
    SimFaults noisy, split;
    noisy.noiseBytes = 4;
    split.splitChunk = 4;
    SimConfig c = config({meter(1, 1, 1, noisy), meter(2, 1, 1, split)});
    c.splitGapMs = 250;
    start(c);
    auto line = connect();
    line.send(bytes(kLinkStatus));
    std::string r = line.read(10);
    ASSERT_EQ(r.size(), 10u);
    EXPECT_EQ(hexOf(r.substr(4)), "10 0B 01 00 0C 16");
    for (char ch : r.substr(0, 4)) {
        EXPECT_NE(ch, '\x10');
        EXPECT_NE(ch, '\x68');
    }
    line.send(fixed(0x49, 2));
    std::string first = line.readQuiet(120, 1000);
    EXPECT_EQ(first.size(), 4u);  // the rest comes a split gap later
    std::string whole = first + line.read(2);
    EXPECT_EQ(hexOf(whole), hexOf(fixed(0x0B, 2)));
}

TEST_F(MeterSessionTest, ConnectionDropsAfterFramesOnceOrEveryTime) {
    SimConfig c = config();
    c.dropAfterFrames = 2;
    start(c);
    {
        auto line = connect();
        EXPECT_EQ(askHex(line, kLinkStatus), "10 0B 01 00 0C 16");
        EXPECT_EQ(askHex(line, kReset), kAck);
        line.send(bytes(kPoll7B));
        EXPECT_TRUE(line.closedWithin(2000));
    }
    EXPECT_EQ(sim_->connectionsDropped(), 1u);
    auto again = connect();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(askHex(again, kLinkStatus), "10 0B 01 00 0C 16");
    sim_->stop();

    c.dropEveryConnection = true;
    start(c);
    for (int round = 0; round < 2; ++round) {
        auto line = connect();
        EXPECT_EQ(askHex(line, kLinkStatus), "10 0B 01 00 0C 16");
        EXPECT_EQ(askHex(line, kLinkStatus), "10 0B 01 00 0C 16");
        line.send(bytes(kLinkStatus));
        EXPECT_TRUE(line.closedWithin(2000));
    }
}

TEST_F(MeterSessionTest, StopClosesConnectionsAndIsIdempotent) {
    start(config());
    auto line = connect();
    EXPECT_EQ(askHex(line, kLinkStatus), "10 0B 01 00 0C 16");
    sim_->stop();
    EXPECT_TRUE(line.closedWithin(1000));
    sim_->stop();
    EXPECT_THROW(TestLine::tcp(port_), std::runtime_error);
}

TEST(MeterSimPty, SessionOverAPseudoTerminalWithLink) {
    std::string dir = qv::test::makeTempDir("meter_sim_pty");
    std::string link = dir + "/meter0";
    {
        MeterSim sim(config());
        std::string slave = sim.openPty(link);
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), slave);
        auto line = TestLine::pty(link);
        // A request in two writes is answered once it is complete.
        line.send(bytes("68 15 15 68 53 01 00 7A 01 06 01"));
        EXPECT_EQ(readFrame(line, 200), "");
        line.send(bytes("00 15 01 06 00 17 64 03 1A 00 00 85 03 1A 2C 16"));
        EXPECT_EQ(hexOf(readFrame(line)), kAck);
        EXPECT_EQ(
            askHex(line, kPoll7B),
            "68 15 15 68 08 01 00 7A 01 47 01 00 15 01 06 00 17 64 03 1A 00 00 85 03 1A 22 16");
        openSession(line);
        EXPECT_EQ(askHex(line, kDailyRequest), kAck);
        EXPECT_EQ(askHex(line, kPoll5B), kDailyConfirmed);
        EXPECT_EQ(ask(line, bytes(kPoll7B)).size(), 56u * 3 - 1);
        sim.stop();
        EXPECT_FALSE(std::filesystem::is_symlink(link));
    }
    // A regular file of the link's name is not replaced.
    { std::ofstream(link) << "keep"; }
    MeterSim sim(config());
    EXPECT_THROW(sim.openPty(link), std::runtime_error);
    std::ifstream in(link);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "keep");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qv::sim

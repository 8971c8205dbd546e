// The simulator's line checked byte by byte where the reading tests, which check its
// sessions and values, cannot: several meters on one line, the fault options, the AT
// modem in front of them, the Modbus RTU slaves.

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "meter_sim.h"
#include "sim_test_line.h"
#include "support/test_env.h"

namespace qv::sim {
namespace {

using test::bytes;
using test::configOf;
using test::fixed;
using test::hexOf;
using test::TestLine;
using test::variable;

const std::string kLinkStatus = "10 49 01 00 4A 16";
const std::string kLinkStatusReply = "10 0B 01 00 0C 16";
const std::string kPoll7B = "10 7B 01 00 7C 16";
const std::string kAck = "10 00 01 00 01 16";
// Daily closure of 4 March 2026 (23:00 .. 5 March 00:00), link 1, measuring point 1.
const std::string kDailyRequest =
    "68 15 15 68 53 01 00 7A 01 06 01 00 15 01 06 00 17 64 03 1A 00 00 85 03 1A 2C 16";
const std::string kDailyRefused =
    "68 15 15 68 08 01 00 7A 01 47 01 00 15 01 06 00 17 64 03 1A 00 00 85 03 1A 22 16";

std::string askHex(TestLine& line, const std::string& hexFrame) {
    return line.ask(bytes(hexFrame));
}

// A closure request as the reading engine builds it; the weekday bits stay 0.
std::string request(uint16_t link, uint16_t point, uint8_t type, uint8_t record, SimTime from,
                    SimTime to) {
    auto tag = [](const SimTime& t) {
        return std::string{char(t.minute), char(t.hour), char(t.day), char(t.month),
                           char(t.year - 2000)};
    };
    std::string asdu{char(type), 1, 6, char(point & 0xFF), char(point >> 8), char(record), 1, 6};
    return variable(0x53, link, asdu + tag(from) + tag(to));
}

class SimLineTest : public ::testing::Test {
  protected:
    TestLine start(const std::string& options, std::vector<SimMeter> more = {}) {
        SimConfig c = configOf("--seed 42 --reply-delay 0 " + options);
        c.meters.insert(c.meters.end(), more.begin(), more.end());
        sim_ = std::make_unique<MeterSim>(std::move(c));
        port_ = sim_->listenTcp();
        return TestLine::tcp(port_);
    }
    std::unique_ptr<MeterSim> sim_;
    uint16_t port_ = 0;
};

TEST_F(SimLineTest, SeveralMetersOnOneLineSelectedByLinkAddress) {
    auto line = start("--meter 1:1:1 --meter 300:5:12345678", {SimMeter{70000, 9, 3, {}}});
    EXPECT_EQ(askHex(line, "10 49 2C 01 76 16"), "10 0B 2C 01 38 16");
    // Unknown link address 7: ignored, and the line goes on working.
    line.send(fixed(0x49, 7));
    EXPECT_EQ(line.frame(300), "");
    EXPECT_EQ(askHex(line, kLinkStatus), kLinkStatusReply);
    // 70000 answers on its low 16 bits (4464 = $1170).
    EXPECT_EQ(line.ask(fixed(0x49, 0x1170)), hexOf(fixed(0x0B, 0x1170)));

    // Meter 300: measuring point 5, password 12345678 = $00BC614E.
    EXPECT_EQ(line.ask(variable(0x53, 300, bytes("B7 01 06 05 00 00 4E 61 BC 00"))),
              "10 00 2C 01 2D 16");
    EXPECT_EQ(line.ask(fixed(0x7B, 300)),
              hexOf(variable(0x08, 300, bytes("B7 01 07 05 00 00 4E 61 BC 00"))));
    // Meter 1 keeps its own state: no session there. A request in two writes is
    // answered once it is complete.
    line.send(bytes(kDailyRequest.substr(0, 32)));
    EXPECT_EQ(line.frame(200), "");
    EXPECT_EQ(askHex(line, kDailyRequest.substr(33)), kAck);
    EXPECT_EQ(askHex(line, kPoll7B), kDailyRefused);
    // Meter 300's daily closure (closure values are checked by the reading tests).
    EXPECT_EQ(line.ask(request(300, 5, 122, 21, {2026, 6, 9, 23}, {2026, 6, 10})),
              "10 00 2C 01 2D 16");
    EXPECT_EQ(line.ask(fixed(0x5B, 300)).size(), 27u * 3 - 1);
    line.send(fixed(0x7B, 300));
    std::string data = line.frame();
    ASSERT_EQ(data.size(), 56u);
    EXPECT_EQ(hexOf(data.substr(49, 5)), "00 80 6A 06 1A");  // 10 June 00:00, summer, Wednesday
}

// One meter per fault option, each driven through link status, session and a daily
// closure: answered as by a sound meter up to the step where the fault shows. The
// options the reading tests drive (silence, refusals, a missing register, a wrong
// object count) show their effects there.
TEST_F(SimLineTest, EachFaultOptionHasItsEffect) {
    using Replies = std::vector<std::string>;
    auto describe = [](const std::string& f) {
        return f.size() < 10 ? hexOf(f)
                             : std::to_string(f.size()) + " bytes, cause " + hexOf(f.substr(9, 1));
    };
    enum Step { Status, Open, OpenConf, Request, Conf, Data, Retry, End, Steps };
    auto dataOf = [](size_t size, int declared) {
        return [=](const Replies& r, uint16_t) {
            ASSERT_EQ(r[Data].size(), size);
            EXPECT_EQ(r[Data][8], declared);  // the qualifier's object count
            EXPECT_EQ(hexOf(r[Data].substr(size - 7, 5)), "00 00 85 03 1A");
        };
    };
    const struct {
        const char* fault;
        int at;           // first step that differs from a sound meter
        int steps;        // the exchange stops there
        unsigned silent;  // bit per step left unanswered
        std::function<void(const Replies&, uint16_t)> check;
    } rows[] = {
        {"", Steps, Steps, 0, {}},
        {"silent=requests", Request, 4, 1 << Request, {}},
        {"silent=data", Data, 7, 1 << Data | 1 << Retry, {}},
        {"negative-confirmation", Conf, 6, 0,
         [](const Replies& r, uint16_t l) {
             ASSERT_EQ(r[Conf].size(), 27u);
             EXPECT_EQ(r[Conf][9], 0x47);
             EXPECT_EQ(hexOf(r[Data]), hexOf(fixed(0x09, l)));  // and no data behind it
         }},
        {"negative-data", Data, 6, 0,
         [](const Replies& r, uint16_t) { EXPECT_EQ(r[Data][9], 0x45); }},
        {"objects=5", Data, 6, 0, dataOf(50, 5)},
        {"objects=7", Data, 6, 0,
         [&](const Replies& r, uint16_t l) {
             dataOf(62, 7)(r, l);
             EXPECT_EQ(r[Data][49], 7);  // the seventh object where the time tag would be
         }},
    };
    std::string options;
    for (size_t i = 1; i <= std::size(rows); ++i) {
        options += " --meter " + std::to_string(i) + ":1:1";
        if (*rows[i - 1].fault)
            options += " --fault " + std::to_string(i) + ":" + rows[i - 1].fault;
    }
    auto line = start(options);
    uint16_t link = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        ++link;
        const std::string sends[Steps] = {
            fixed(0x49, link), variable(0x53, link, bytes("B7 01 06 01 00 00 01 00 00 00")),
            fixed(0x7B, link), request(link, 1, 122, 21, {2026, 3, 4, 23}, {2026, 3, 5}),
            fixed(0x5B, link), fixed(0x7B, link),
            fixed(0x7B, link), fixed(0x5B, link)};
        const std::string sound[Steps] = {hexOf(fixed(0x0B, link)), hexOf(fixed(0, link)),
                                          "19 bytes, cause 07",     hexOf(fixed(0, link)),
                                          "27 bytes, cause 07",     "56 bytes, cause 05",
                                          "56 bytes, cause 05",     "27 bytes, cause 0A"};
        Replies r;
        for (int s = 0; s < row.steps; ++s) {
            bool silent = row.silent >> s & 1;
            line.send(sends[s]);
            r.push_back(line.frame(silent ? 300 : 2000));
            if (!silent && s >= row.at) continue;
            EXPECT_EQ(describe(r[s]), silent ? "" : sound[s]) << "step " << s;
        }
        if (row.steps == Steps) {
            EXPECT_EQ(r[Retry], r[Data]);  // same frame count bit: the same frame
        }
        if (row.check) row.check(r, link);
    }
}

TEST_F(SimLineTest, NoiseAndSplitReplies) {
    auto line = start(
        "--meter 1:1:1 --meter 2:1:1 --fault 1:noise=4 --fault 2:split=4 "
        "--split-gap 250");
    line.send(bytes(kLinkStatus));
    std::string r = line.read(10);
    ASSERT_EQ(r.size(), 10u);
    EXPECT_EQ(hexOf(r.substr(4)), kLinkStatusReply);
    for (char ch : r.substr(0, 4)) {
        EXPECT_NE(ch, '\x10');
        EXPECT_NE(ch, '\x68');
    }
    line.send(fixed(0x49, 2));
    std::string first = line.readQuiet(120, 1000);
    EXPECT_EQ(first.size(), 4u);  // the rest comes a split gap later
    EXPECT_EQ(hexOf(first + line.read(2)), hexOf(fixed(0x0B, 2)));
}

TEST_F(SimLineTest, ConnectionDropsOnceOrEveryTimeAndStopClosesAll) {
    for (std::string every : {"", "--drop-every"}) {
        SCOPED_TRACE(every);
        auto first = start("--drop-after 2 " + every);
        for (unsigned round = 0; round < 2; ++round) {
            auto line = round == 0 ? std::move(first) : TestLine::tcp(port_);
            EXPECT_EQ(askHex(line, kLinkStatus), kLinkStatusReply);
            EXPECT_EQ(askHex(line, kLinkStatus), kLinkStatusReply);
            if (round == 1 && every.empty()) {
                EXPECT_EQ(askHex(line, kLinkStatus), kLinkStatusReply);
                EXPECT_EQ(askHex(line, kLinkStatus), kLinkStatusReply);
                continue;
            }
            line.send(bytes(kLinkStatus));
            EXPECT_TRUE(line.closedWithin(2000));
            EXPECT_EQ(sim_->connectionsDropped(), round + 1);
        }
    }
    auto line = TestLine::tcp(port_);
    EXPECT_EQ(askHex(line, kLinkStatus), kLinkStatusReply);
    sim_->stop();
    EXPECT_TRUE(line.closedWithin(1000));
    sim_->stop();
    EXPECT_THROW(TestLine::tcp(port_), std::runtime_error);
}

TEST(MeterSimPty, ARegularFileOfTheLinksNameIsNotReplaced) {
    std::string dir = qv::test::makeTempDir("meter_sim_pty");
    std::string link = dir + "/meter0";
    { std::ofstream(link) << "keep"; }
    MeterSim sim(configOf(""));
    EXPECT_THROW(sim.openPty(link), std::runtime_error);
    std::ifstream in(link);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "keep");
    std::filesystem::remove_all(dir);
}

// The modem in front of the meters, quick to dial, escape and restart.
const std::string kModem = "--modem-on-tcp --dial-delay 50 --guard 200 --restart 300 ";

// Sends a command line and reads until its final result code.
std::string at(TestLine& line, const std::string& cmd, const std::string& until = "OK\r\n") {
    line.send(cmd + "\r");
    return line.readUntil(until, 2000);
}

std::string linkStatus(TestLine& line) {
    line.send(bytes(kLinkStatus));
    return hexOf(line.read(6));
}

TEST_F(SimLineTest, CommandAnswersOfGsmAndAnalogModems) {
    using Rows = std::vector<std::pair<std::string, std::string>>;  // command, answer
    const std::pair<std::string, Rows> cases[] = {
        {"--modem gsm --atz-ok-from 3 --csq 7 --ati SIM800-R14.18",
         {{"ATZ", ""},  // ATZ is answered only from the third try
          {"ATZ", ""},
          {"ATZ", "ATZ\r\r\nOK\r\n"},
          {"ATI", "ATI\r\r\nSIM800-R14.18\r\n\r\nOK\r\n"},
          {"AT+CSQ", "AT+CSQ\r\r\n+CSQ: 7,99\r\n\r\nOK\r\n"},
          {"ate0", "ate0\r\r\nOK\r\n"},
          {"AT&FV1S0=0", "\r\nOK\r\n"}}},  // initialisation accepted, no echo now
        {"--modem gsm --creg 5 --csq 99 --no-echo",
         {{"AT+CREG?", "\r\n+CREG: 0,5\r\n\r\nOK\r\n"},
          {"AT+CSQ", "\r\n+CSQ: 99,99\r\n\r\nOK\r\n"}}},
        {"--modem analog",
         {{"AT+CREG?", "AT+CREG?\r\r\nERROR\r\n"}, {"AT+CFUN=1,1", "AT+CFUN=1,1\r\r\nERROR\r\n"}}},
        {"--modem analog --dial busy", {{"ATD0", "ATD0\r\r\nBUSY\r\n"}, {"", ""}}},
        {"--modem analog --dial no-carrier", {{"ATD0", "ATD0\r\r\nNO CARRIER\r\n"}, {"", ""}}},
        {"--modem analog --dial no-dialtone", {{"ATD0", "ATD0\r\r\nNO DIALTONE\r\n"}, {"", ""}}},
    };
    for (const auto& [options, rows] : cases) {
        SCOPED_TRACE(options);
        auto line = start(kModem + options);
        for (const auto& [command, answer] : rows) {
            SCOPED_TRACE(command);
            if (command.empty()) {
                // Still in command mode: a frame is not answered by a meter.
                line.send(bytes(kLinkStatus));
                EXPECT_EQ(line.readQuiet(150).find('\x0B'), std::string::npos);
            } else if (answer.empty()) {
                line.send(command + "\r");
                EXPECT_EQ(line.readQuiet(150), command + "\r");
            } else {
                size_t last = answer.rfind("\r\n", answer.size() - 3);
                EXPECT_EQ(at(line, command, answer.substr(last + 2)), answer);
            }
        }
    }
}

TEST_F(SimLineTest, CallCarriesFramesUntilEscapeHangUpOrDrop) {
    auto line = start(kModem + "--modem gsm --drop-after 2");
    EXPECT_EQ(at(line, "AT+CFUN=1,1"), "AT+CFUN=1,1\r\r\nOK\r\n");
    // Restarting: deaf, and a frame is just characters for the command parser later.
    line.send("ATZ\r");
    EXPECT_EQ(line.readQuiet(150), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    line.send(bytes(kLinkStatus));
    EXPECT_EQ(hexOf(line.readQuiet(150)), kLinkStatus);  // echo only
    EXPECT_EQ(at(line, "\rATZ"), "\rATZ\r\r\nOK\r\n");
    EXPECT_EQ(at(line, "ATD5551234", "CONNECT 9600\r\n"), "ATD5551234\r\r\nCONNECT 9600\r\n");
    EXPECT_EQ(linkStatus(line), kLinkStatusReply);
    // Pluses inside the data stream do not escape.
    line.send("+++");
    EXPECT_EQ(linkStatus(line), kLinkStatusReply);
    // With the guard time around them they do.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    line.send("+++");
    EXPECT_EQ(line.readQuiet(100), "");  // not before the guard time after them
    EXPECT_EQ(line.readUntil("OK\r\n", 1000), "\r\nOK\r\n");
    // In command mode again: a second dial while the call is up is refused; ATH ends it.
    EXPECT_EQ(at(line, "ATD123", "ERROR\r\n"), "ATD123\r\r\nERROR\r\n");
    EXPECT_EQ(at(line, "ATH"), "ATH\r\r\nOK\r\n");
    EXPECT_EQ(at(line, "ATO", "NO CARRIER\r\n"), "ATO\r\r\nNO CARRIER\r\n");
    // Called again, the third frame drops the line: NO CARRIER, back in command mode.
    EXPECT_EQ(at(line, "ATD1", "CONNECT 9600\r\n"), "ATD1\r\r\nCONNECT 9600\r\n");
    line.send(bytes(kLinkStatus));
    EXPECT_EQ(line.readUntil("NO CARRIER\r\n"), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(at(line, "AT"), "AT\r\r\nOK\r\n");
}

bool crcHolds(const std::string& frame) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i + 2 < frame.size(); ++i) {
        crc ^= static_cast<uint8_t>(frame[i]);
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return frame.size() > 2 && static_cast<uint8_t>(frame[frame.size() - 2]) == (crc & 0xFF) &&
           static_cast<uint8_t>(frame.back()) == (crc >> 8);
}

TEST(ModbusSlaves, ExceptionFixedReplyAddressAndIgnoredRequests) {
    // Slave address 1 is the low byte of link address 257.
    MeterSim sim(
        configOf("--reply-delay 0 --protocol circutor --meter 257:1:1 "
                 "--fault 257:exception=2 --modbus-address 0"));
    auto line = TestLine::tcp(sim.listenTcp());
    // A request with a broken CRC and one to another slave get nothing.
    EXPECT_FALSE(crcHolds(bytes("01 04 07 00 00 5E 70 87")));
    EXPECT_TRUE(crcHolds(bytes("02 04 07 00 00 5E 70 B5")));
    line.send(bytes("01 04 07 00 00 5E 70 87 02 04 07 00 00 5E 70 B5"));
    EXPECT_EQ(line.readQuiet(200), "");
    line.send(bytes("01 04 07 00 00 5E 70 86"));
    std::string r = line.read(5);
    EXPECT_EQ(hexOf(r.substr(0, 3)), "00 84 02");
    EXPECT_TRUE(crcHolds(r)) << hexOf(r);
}

TEST(ModbusSlaves, IndependentMasterReadsThroughThePseudoTerminal) {
    MeterSim sim(configOf("--reply-delay 0 --protocol nrg96 --meter 17:1:1"));
    std::string path = sim.openPty();
    std::unique_ptr<modbus_t, void (*)(modbus_t*)> ctx(
        modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1), modbus_free);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(modbus_set_slave(ctx.get(), 17), 0);
    ASSERT_EQ(modbus_connect(ctx.get()), 0);
    // Both readers' blocks: 40 registers (an 85-byte answer) and 94 (193 bytes).
    uint16_t first[40] = {}, again[40] = {}, big[94] = {};
    EXPECT_EQ(modbus_read_input_registers(ctx.get(), 0, 40, first), 40);
    EXPECT_EQ(modbus_read_input_registers(ctx.get(), 0, 40, again), 40);
    EXPECT_EQ(std::vector<uint16_t>(first, first + 40), std::vector<uint16_t>(again, again + 40));
    EXPECT_EQ(modbus_read_input_registers(ctx.get(), 0x700, 94, big), 94);
    modbus_close(ctx.get());
}

}  // namespace
}  // namespace qv::sim

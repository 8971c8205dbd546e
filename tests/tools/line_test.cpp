// The simulator's line checked byte by byte where the reading tests, which check its
// sessions and values, cannot: link addresses no meter has, the fault options, the AT
// modem in front of the meters, the Modbus RTU slaves.

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "meter_sim.h"
#include "modbus_slave.h"
#include "sim_test_line.h"
#include "support/condition_wait.h"
#include "support/test_env.h"

namespace qv::sim {
namespace {

using namespace test;

const std::string kLinkStatus = hex("10 49 01 00 4A 16");
const std::string kLinkStatusReply = "10 0B 01 00 0C 16";

class SimLineTest : public ::testing::Test {
  protected:
    TestLine start(const std::string& options) {
        CliOptions o;
        std::string error;
        EXPECT_TRUE(
            parseCommandLine(words("--tcp :0 --seed 42 --reply-delay 0 " + options), o, error))
            << error;
        o.config.trace = [this](const std::string& line) {
            std::lock_guard lock(traceMutex_);
            trace_.push_back(line);
        };
        sim_ = std::make_unique<MeterSim>(o.config);
        port_ = sim_->listenTcp();
        return TestLine::tcp(port_);
    }
    // Waits until the simulator has traced the line.
    bool traced(const std::string& line) {
        return qv::test::WaitFor([&] {
            std::lock_guard lock(traceMutex_);
            return std::find(trace_.begin(), trace_.end(), line) != trace_.end();
        });
    }
    std::mutex traceMutex_;
    std::vector<std::string> trace_;
    std::unique_ptr<MeterSim> sim_;
    uint16_t port_ = 0;
};

// One meter per fault option on one line, each driven through link status, session and
// the daily closure of 4 March 2026 up to the step where its fault shows (a fault that
// broke an earlier step shows there too). Frames of 10 bytes and more are told by their
// size, cause of transmission and, for data, the declared count, the objects' addresses
// and the time tag behind them; shorter ones by start and control byte.
TEST_F(SimLineTest, EachFaultOptionShowsAtItsStep) {
    enum Step { Status, Open, OpenConf, Request, Conf, Data };
    using Shows = std::vector<std::pair<Step, std::string>>;
    const std::string tag = ", tag 00 00 85 03 1A";
    const std::pair<std::string, Shows> rows[] = {
        {"silent", {{Status, ""}}},
        {"silent=session", {{Status, "10 0B"}, {Open, ""}}},
        {"nack-session", {{Open, "10 01"}}},
        {"silent=requests", {{Open, "10 00"}, {Request, ""}}},
        {"nack-requests", {{Request, "10 01"}}},
        {"negative-confirmation", {{Conf, "27 bytes, cause 47"}, {Data, "10 09"}}},
        {"silent=data", {{Conf, "27 bytes, cause 07"}, {Data, ""}}},
        {"negative-data", {{Data, "56 bytes, cause 45, 6 declared, objects 1 2 3 4 5 6" + tag}}},
        {"objects=5", {{Data, "50 bytes, cause 05, 5 declared, objects 1 2 3 4 5" + tag}}},
        {"objects=7", {{Data, "62 bytes, cause 05, 7 declared, objects 1 2 3 4 5 6 7" + tag}}},
        {"declared=5", {{Data, "56 bytes, cause 05, 5 declared, objects 1 2 3 4 5 6" + tag}}},
        {"missing=4", {{Data, "56 bytes, cause 05, 6 declared, objects 1 2 3 0 5 6" + tag}}},
        {"closure-time=23:45",
         {{Data, "56 bytes, cause 05, 6 declared, objects 1 2 3 4 5 6, tag 2D 17 85 03 1A"}}},
    };
    auto describe = [](const std::string& f) {
        if (f.size() < 10) return hexOf(f.substr(0, 2));
        std::string s = std::to_string(f.size()) + " bytes, cause " + hexOf(f.substr(9, 1));
        if (f.size() < 50) return s;
        s += ", " + std::to_string(f[8] & 0x7F) + " declared, objects";
        for (size_t at = 13; at + 12 < f.size(); at += 6) s += " " + std::to_string(f[at]);
        return s + ", tag " + hexOf(f.substr(f.size() - 7, 5));
    };
    std::string options;
    for (size_t i = 1; i <= std::size(rows); ++i) {
        options += " --meter " + std::to_string(i) + ":1:1";
        if (!rows[i - 1].first.empty())
            options += " --fault " + std::to_string(i) + ":" + rows[i - 1].first;
    }
    auto line = start(options);
    uint16_t link = 0;
    for (const auto& [fault, shows] : rows) {
        SCOPED_TRACE(fault);
        ++link;
        const std::string sends[] = {
            linkFrame(0x49, link),
            linkFrame(0x53, link, hex("B7 01 06 01 00 00 01 00 00 00")),
            linkFrame(0x7B, link),
            linkFrame(0x53, link, hex("7A 01 06 01 00 15 01 06 00 17 04 03 1A 00 00 05 03 1A")),
            linkFrame(0x5B, link),
            linkFrame(0x7B, link)};
        for (int s = 0, next = 0; next < int(shows.size()); ++s) {
            const bool checked = shows[next].first == s;
            const bool silent = checked && shows[next].second.empty();
            line.send(sends[s]);
            std::string reply = line.frame(silent ? 300 : 2000);
            if (checked) {
                EXPECT_EQ(describe(reply), shows[next++].second) << "step " << s;
            }
        }
    }
}

// Noise before every reply of meter 1, every meter's replies in pieces; a link address no
// meter has is ignored, a request may come in two writes.
TEST_F(SimLineTest, NoiseSplitRepliesUnknownLinkAndARequestInTwoWrites) {
    auto line =
        start("--meter 1:1:1 --meter 2:1:1 --fault *:split=4 --fault 1:noise=4 --split-gap 250");
    line.send(linkFrame(0x49, 7));
    EXPECT_EQ(line.frame(300), "");
    const std::string open = linkFrame(0x53, 2, hex("B7 01 06 01 00 00 01 00 00 00"));
    line.send(open.substr(0, 7));
    EXPECT_EQ(line.frame(200), "");
    line.send(open.substr(7));
    EXPECT_EQ(hexOf(line.read(6)), "10 00 02 00 02 16");
    line.send(kLinkStatus);
    std::string r = line.read(10);
    EXPECT_EQ(hexOf(r.substr(4)), kLinkStatusReply);
    EXPECT_EQ(r.substr(0, 4).find_first_of("\x10\x68"), std::string::npos) << hexOf(r);
    line.send(linkFrame(0x49, 2));
    std::string first = line.readQuiet(120);
    EXPECT_EQ(first.size(), 4u);  // the rest comes a split gap later
    EXPECT_EQ(hexOf(first + line.read(2)), hexOf(linkFrame(0x0B, 2)));
}

// The third frame drops the first connection, or every one.
TEST_F(SimLineTest, ConnectionDropsOnceOrEveryTimeAndStopClosesAll) {
    for (bool every : {false, true}) {
        SCOPED_TRACE(every);
        auto first = start(every ? "--drop-after 2 --drop-every" : "--drop-after 2");
        for (unsigned round = 0; round < 2; ++round) {
            auto line = round == 0 ? std::move(first) : TestLine::tcp(port_);
            EXPECT_EQ(line.ask(kLinkStatus), kLinkStatusReply);
            EXPECT_EQ(line.ask(kLinkStatus), kLinkStatusReply);
            line.send(kLinkStatus);
            EXPECT_EQ(line.closedWithin(2000), round == 0 || every);
            EXPECT_EQ(sim_->connectionsDropped(), every ? round + 1 : 1u);
        }
    }
    auto line = TestLine::tcp(port_);
    sim_->stop();
    EXPECT_TRUE(line.closedWithin(1000));
    EXPECT_THROW(TestLine::tcp(port_), std::runtime_error);
}

// The modem in front of the meters, quick to dial, escape and restart.
const std::string kModem = "--modem-on-tcp --dial-delay 50 --guard 200 --restart 300 ";

// Sends a command line and reads until its final result code.
std::string at(TestLine& line, const std::string& cmd, const std::string& until = "OK\r\n") {
    line.send(cmd + "\r");
    return line.readUntil(until, 2000);
}

// The dialogue of the reading runs (a late ATZ, registration, signal, identification,
// a failed dial, escape and hang-up) is traced in the modem tests; here what those runs
// cannot see: deafness while restarting, pluses in the data, the guard times, a dropped
// call, echo switched off.
TEST_F(SimLineTest, GsmCallCarriesFramesUntilEscapeHangUpOrDrop) {
    // A restart long enough for the ATZ behind it to land in it on any build.
    auto line = start(kModem + "--modem gsm --drop-after 2 --restart 2000");
    EXPECT_EQ(at(line, "AT+CFUN=1,1"), "AT+CFUN=1,1\r\r\nOK\r\n");
    // Restarting: deaf, and a frame is just characters for the command parser later.
    line.send("ATZ\r");
    EXPECT_EQ(line.readQuiet(), "");
    ASSERT_TRUE(traced("modem restarted"));
    line.send(kLinkStatus);
    EXPECT_EQ(line.readQuiet(), kLinkStatus);  // echo only
    EXPECT_EQ(at(line, "\rATZ"), "\rATZ\r\r\nOK\r\n");
    EXPECT_EQ(at(line, "ATD5551234", "CONNECT 9600\r\n"), "ATD5551234\r\r\nCONNECT 9600\r\n");
    EXPECT_EQ(line.ask(kLinkStatus), kLinkStatusReply);
    // Pluses inside the data stream do not escape: the frame comes with them,
    // within any guard time.
    EXPECT_EQ(line.ask("+++" + kLinkStatus), kLinkStatusReply);
    // With the guard time around them they do.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const auto sent = std::chrono::steady_clock::now();
    line.send("+++");
    EXPECT_EQ(line.readUntil("OK\r\n", 10000), "\r\nOK\r\n");
    // Not before the guard time after them.
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(200));
    // In command mode again; ATH ends the call (a dial during a call is refused).
    EXPECT_EQ(at(line, "ATH"), "ATH\r\r\nOK\r\n");
    // Called again, the third frame drops the line: NO CARRIER, back in command mode.
    EXPECT_EQ(at(line, "ATD1", "CONNECT 9600\r\n"), "ATD1\r\r\nCONNECT 9600\r\n");
    line.send(kLinkStatus);
    EXPECT_EQ(line.readUntil("NO CARRIER\r\n"), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(at(line, "ate0"), "ate0\r\r\nOK\r\n");
    EXPECT_EQ(at(line, "AT&FV1S0=0"), "\r\nOK\r\n");  // no echo now
}

// A request with a broken CRC and one to another slave get nothing; the meter's own
// gets the exception, from slave address 0. (Slave address 1 is the low byte of link
// address 257.)
TEST_F(SimLineTest, ModbusExceptionFixedReplyAddressAndIgnoredRequests) {
    auto line =
        start("--protocol circutor --meter 257:1:1 --fault 257:exception=2 --modbus-address 0");
    line.send(hex("01 04 07 00 00 5E 70 87") + modbus::appendCrc(hex("02 04 07 00 00 5E")));
    EXPECT_EQ(line.readQuiet(200), "");
    line.send(modbus::appendCrc(hex("01 04 07 00 00 5E")));
    EXPECT_EQ(hexOf(line.read(5)), hexOf(modbus::appendCrc(hex("00 84 02"))));
}

// libmodbus checks the slave's CRC and the answers' lengths. A regular file where the
// pseudo-terminal's link should go is left alone.
TEST_F(SimLineTest, ModbusMasterReadsThroughThePseudoTerminal) {
    start("--protocol nrg96 --meter 17:1:1");
    const std::string dir = qv::test::makeTempDir("meter_sim_pty");
    { std::ofstream(dir + "/meter0") << "keep"; }
    EXPECT_THROW(sim_->openPty(dir + "/meter0"), std::runtime_error);
    EXPECT_EQ((std::stringstream() << std::ifstream(dir + "/meter0").rdbuf()).str(), "keep");
    std::filesystem::remove_all(dir);
    std::string path = sim_->openPty();
    std::unique_ptr<modbus_t, void (*)(modbus_t*)> ctx(
        modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1), modbus_free);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(modbus_set_slave(ctx.get(), 17), 0);
    ASSERT_EQ(modbus_connect(ctx.get()), 0);
    // Both readers' blocks: 40 registers (an 85-byte answer) and 94 (193 bytes).
    uint16_t small[40] = {}, big[94] = {};
    EXPECT_EQ(modbus_read_input_registers(ctx.get(), 0, 40, small), 40);
    EXPECT_EQ(modbus_read_input_registers(ctx.get(), 0x700, 94, big), 94);
    modbus_close(ctx.get());
}

}  // namespace
}  // namespace qv::sim

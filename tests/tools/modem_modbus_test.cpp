// The AT modem in front of the meters and the Modbus RTU slaves.

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <thread>

#include "meter_sim.h"
#include "sim_test_line.h"

namespace qv::sim {
namespace {

using test::bytes;
using test::configOf;
using test::hexOf;
using test::TestLine;

const std::string kLinkStatus = "10 49 01 00 4A 16";
const std::string kLinkStatusReply = "10 0B 01 00 0C 16";

class ModemTest : public ::testing::Test {
  protected:
    TestLine start(const std::string& options) {
        sim_ = std::make_unique<MeterSim>(configOf(
            "--reply-delay 0 --modem-on-tcp --dial-delay 50 --guard 200 --restart 300 " + options));
        return TestLine::tcp(sim_->listenTcp());
    }
    std::unique_ptr<MeterSim> sim_;
};

// Sends a command line and reads until its final result code.
std::string at(TestLine& line, const std::string& cmd, const std::string& until = "OK\r\n") {
    line.send(cmd + "\r");
    return line.readUntil(until, 2000);
}

std::string linkStatus(TestLine& line) {
    line.send(bytes(kLinkStatus));
    return hexOf(line.read(6));
}

TEST_F(ModemTest, CommandAnswersOfGsmAndAnalogModems) {
    using Rows = std::vector<std::pair<std::string, std::string>>;  // command, answer
    const std::pair<std::string, Rows> cases[] = {
        {"--modem gsm --atz-ok-from 3 --csq 7 --ati SIM800-R14.18",
         {{"+++", ""},  // the GSM wake-up line: echoed, otherwise ignored
          {"ATZ", ""},  // ATZ is answered only from the third try
          {"ATZ", ""},
          {"ATZ", "ATZ\r\r\nOK\r\n"},
          {"ATI", "ATI\r\r\nSIM800-R14.18\r\n\r\nOK\r\n"},
          {"AT+CREG?", "AT+CREG?\r\r\n+CREG: 0,1\r\n\r\nOK\r\n"},
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
        auto line = start(options);
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
    auto analog = start("--modem analog");
    EXPECT_NE(at(analog, "ATI").find("MODEM"), std::string::npos);
}

TEST_F(ModemTest, CallCarriesFramesUntilEscapeHangUpOrDrop) {
    auto line = start("--modem gsm --drop-after 2");
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

TEST_F(ModemTest, SilentDialIsAbortedByAnyCharacter) {
    auto line = start("--modem gsm --dial silence");
    line.send("ATD0\r");
    EXPECT_EQ(line.readQuiet(300), "ATD0\r");  // the echo, and no result
    line.send("+");
    EXPECT_EQ(line.readUntil("NO CARRIER\r\n", 1000), "\r\nNO CARRIER\r\n");
}

// ---------------------------------------------------------------- Modbus

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

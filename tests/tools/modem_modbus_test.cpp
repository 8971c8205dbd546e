// The AT modem in front of the meters and the Modbus RTU slaves.

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <thread>

#include "meter_sim.h"
#include "sim_test_line.h"

namespace qv::sim {
namespace {

using test::bytes;
using test::hexOf;
using test::TestLine;

SimConfig modemConfig(ModemKind kind) {
    SimConfig c;
    c.meters = {SimMeter{}};
    c.replyDelayMs = 0;
    c.modem.kind = kind;
    c.modem.onTcp = true;
    c.modem.guardMs = 200;
    c.modem.dialDelayMs = 50;
    c.modem.restartMs = 300;
    return c;
}

class ModemTest : public ::testing::Test {
  protected:
    TestLine start(SimConfig c) {
        sim_ = std::make_unique<MeterSim>(std::move(c));
        return TestLine::tcp(sim_->listenTcp());
    }
    std::unique_ptr<MeterSim> sim_;
};

// Sends a command line and reads until its final result code.
std::string at(TestLine& line, const std::string& cmd, const std::string& until = "OK\r\n") {
    line.send(cmd + "\r");
    return line.readUntil(until, 2000);
}

void connectCall(TestLine& line) {
    ASSERT_NE(at(line, "ATZ").find("OK"), std::string::npos);
    std::string r = at(line, "ATD5551234", "CONNECT 9600\r\n");
    ASSERT_NE(r.find("\r\nCONNECT 9600\r\n"), std::string::npos) << r;
}

TEST_F(ModemTest, GsmDialogueAnswersAsTheReaderExpects) {
    SimConfig c = modemConfig(ModemKind::Gsm);
    c.modem.atzOkFrom = 3;
    c.modem.csq = 7;
    c.modem.identification = "SIM800 R14.18";
    auto line = start(c);
    // The GSM wake-up line is not a command: echoed, otherwise ignored.
    line.send("+++\r");
    EXPECT_EQ(line.readQuiet(150), "+++\r");
    // ATZ is answered only from the third try; the earlier ones get their echo only.
    line.send("ATZ\r");
    EXPECT_EQ(line.readQuiet(150), "ATZ\r");
    line.send("ATZ\r");
    EXPECT_EQ(line.readQuiet(150), "ATZ\r");
    EXPECT_EQ(at(line, "ATZ"), "ATZ\r\r\nOK\r\n");
    EXPECT_EQ(at(line, "ATI"), "ATI\r\r\nSIM800 R14.18\r\n\r\nOK\r\n");
    EXPECT_EQ(at(line, "AT+CREG?"), "AT+CREG?\r\r\n+CREG: 0,1\r\n\r\nOK\r\n");
    EXPECT_EQ(at(line, "AT+CSQ"), "AT+CSQ\r\r\n+CSQ: 7,99\r\n\r\nOK\r\n");
    EXPECT_EQ(at(line, "ate0"), "ate0\r\r\nOK\r\n");
    EXPECT_EQ(at(line, "AT&FV1S0=0"), "\r\nOK\r\n");  // initialisation commands accepted
}

TEST_F(ModemTest, UnregisteredAndUnknownSignal) {
    SimConfig c = modemConfig(ModemKind::Gsm);
    c.modem.cregStat = 5;
    c.modem.csq = 99;
    c.modem.echo = false;
    auto line = start(c);
    EXPECT_EQ(at(line, "AT+CREG?"), "\r\n+CREG: 0,5\r\n\r\nOK\r\n");
    EXPECT_EQ(at(line, "AT+CSQ"), "\r\n+CSQ: 99,99\r\n\r\nOK\r\n");
}

TEST_F(ModemTest, AnalogModemHasNoGsmCommands) {
    auto line = start(modemConfig(ModemKind::Analog));
    EXPECT_NE(at(line, "ATI").find("MODEM"), std::string::npos);
    EXPECT_EQ(at(line, "AT+CREG?", "ERROR\r\n"), "AT+CREG?\r\r\nERROR\r\n");
    EXPECT_EQ(at(line, "AT+CFUN=1,1", "ERROR\r\n"), "AT+CFUN=1,1\r\r\nERROR\r\n");
}

TEST_F(ModemTest, CallCarriesFramesUntilEscapeAndHangUp) {
    auto line = start(modemConfig(ModemKind::Gsm));
    // Before the call, a frame is just characters for the command parser.
    line.send(bytes("10 49 01 00 4A 16"));
    EXPECT_EQ(hexOf(line.readQuiet(150)), "10 49 01 00 4A 16");  // echo only
    line.send("\r");
    line.readQuiet(100);
    connectCall(line);
    EXPECT_EQ(hexOf(line.exchange(bytes("10 49 01 00 4A 16"), 6)), "10 0B 01 00 0C 16");
    // Pluses inside the data stream do not escape.
    line.send("+++" + bytes("10 49 01 00 4A 16"));
    EXPECT_EQ(hexOf(line.read(6)), "10 0B 01 00 0C 16");
    // With the guard time around them they do.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    line.send("+++");
    EXPECT_EQ(line.readQuiet(100), "");  // not before the guard time after them
    EXPECT_EQ(line.readUntil("OK\r\n", 1000), "\r\nOK\r\n");
    // In command mode again: a second dial while the call is up is refused; ATH ends it.
    EXPECT_EQ(at(line, "ATD123", "ERROR\r\n"), "ATD123\r\r\nERROR\r\n");
    EXPECT_EQ(at(line, "\rATH"), "\rATH\r\r\nOK\r\n");
    EXPECT_EQ(at(line, "ATO", "NO CARRIER\r\n"), "ATO\r\r\nNO CARRIER\r\n");
}

TEST_F(ModemTest, DialResults) {
    for (auto [result, text] :
         {std::pair{DialResult::Busy, "BUSY"}, std::pair{DialResult::NoCarrier, "NO CARRIER"},
          std::pair{DialResult::NoDialtone, "NO DIALTONE"}}) {
        SimConfig c = modemConfig(ModemKind::Analog);
        c.modem.dial = result;
        auto line = start(c);
        std::string r = at(line, "ATD0", std::string(text) + "\r\n");
        EXPECT_EQ(r, "ATD0\r\r\n" + std::string(text) + "\r\n");
        // Still in command mode: a frame is not answered by a meter.
        line.send(bytes("10 49 01 00 4A 16"));
        EXPECT_EQ(line.readQuiet(150).find('\x0B'), std::string::npos);
    }
    SimConfig c = modemConfig(ModemKind::Gsm);
    c.modem.dial = DialResult::Silence;
    auto line = start(c);
    EXPECT_EQ(at(line, "ATD0", "\n"), "ATD0\r");
    EXPECT_EQ(line.readQuiet(300), "");
    // A character aborts the call being set up.
    line.send("+");
    EXPECT_EQ(line.readUntil("NO CARRIER\r\n", 1000), "\r\nNO CARRIER\r\n");
}

TEST_F(ModemTest, RestartMakesTheModemDeafForAWhile) {
    auto line = start(modemConfig(ModemKind::Gsm));
    EXPECT_EQ(at(line, "AT+CFUN=1,1"), "AT+CFUN=1,1\r\r\nOK\r\n");
    line.send("ATZ\r");
    EXPECT_EQ(line.readQuiet(150), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(at(line, "ATZ"), "ATZ\r\r\nOK\r\n");
}

TEST_F(ModemTest, DroppedLineReportsNoCarrier) {
    SimConfig c = modemConfig(ModemKind::Gsm);
    c.dropAfterFrames = 1;
    auto line = start(c);
    connectCall(line);
    EXPECT_EQ(hexOf(line.exchange(bytes("10 49 01 00 4A 16"), 6)), "10 0B 01 00 0C 16");
    line.send(bytes("10 49 01 00 4A 16"));
    EXPECT_EQ(line.readUntil("NO CARRIER\r\n"), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(at(line, "AT"), "AT\r\r\nOK\r\n");
}

TEST(ModemPty, ModemOnThePseudoTerminalButNotOnTcp) {
    SimConfig c = modemConfig(ModemKind::Gsm);
    c.modem.onTcp = false;
    MeterSim sim(c);
    auto pty = TestLine::pty(sim.openPty());
    auto tcp = TestLine::tcp(sim.listenTcp());
    EXPECT_EQ(hexOf(tcp.exchange(bytes("10 49 01 00 4A 16"), 6)), "10 0B 01 00 0C 16");
    connectCall(pty);
    EXPECT_EQ(hexOf(pty.exchange(bytes("10 49 01 00 4A 16"), 6)), "10 0B 01 00 0C 16");
}

// ---------------------------------------------------------------- Modbus

uint16_t crcOf(const std::string& b) {
    uint16_t crc = 0xFFFF;
    for (char ch : b) {
        crc ^= static_cast<uint8_t>(ch);
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

bool crcHolds(const std::string& frame) {
    if (frame.size() < 3) return false;
    uint16_t crc = crcOf(frame.substr(0, frame.size() - 2));
    return static_cast<uint8_t>(frame[frame.size() - 2]) == (crc & 0xFF) &&
           static_cast<uint8_t>(frame.back()) == (crc >> 8);
}

TEST(ModbusSlaves, ReadAnswersOfBothReaders) {
    EXPECT_EQ(crcOf("123456789"), 0x4B37);
    SimConfig c;
    c.meters = {SimMeter{}};
    c.replyDelayMs = 0;
    c.protocol = Protocol::Nrg96Modbus;
    MeterSim sim(c);
    auto line = TestLine::tcp(sim.listenTcp());
    std::string nrg = line.exchange(bytes("01 04 00 00 00 28 F0 14"), 85);
    ASSERT_EQ(nrg.size(), 85u);
    EXPECT_EQ(hexOf(nrg.substr(0, 3)), "01 04 50");
    EXPECT_TRUE(crcHolds(nrg));
    std::string circutor = line.exchange(bytes("01 04 07 00 00 5E 70 86"), 193);
    ASSERT_EQ(circutor.size(), 193u);
    EXPECT_EQ(hexOf(circutor.substr(0, 3)), "01 04 BC");
    EXPECT_TRUE(crcHolds(circutor));
    // A request with a broken CRC and one to another slave get nothing.
    line.send(bytes("01 04 00 00 00 28 F0 15"));
    line.send(bytes("02 04 00 00 00 28 F0 27"));
    EXPECT_EQ(line.readQuiet(200), "");
}

TEST(ModbusSlaves, ExceptionAnswerAndFixedReplyAddress) {
    SimConfig c;
    c.replyDelayMs = 0;
    c.protocol = Protocol::CircutorModbus;
    SimMeter m;
    m.linkAddress = 0x101;  // slave address 1: the low byte
    m.faults.modbusException = 2;
    c.meters = {m};
    c.modbusReplyAddress = 0;
    MeterSim sim(c);
    auto line = TestLine::tcp(sim.listenTcp());
    std::string r = line.exchange(bytes("01 04 07 00 00 5E 70 86"), 5);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(hexOf(r.substr(0, 3)), "00 84 02");
    EXPECT_TRUE(crcHolds(r));
}

TEST(ModbusSlaves, IndependentMasterReadsThroughThePseudoTerminal) {
    SimConfig c;
    c.meters = {SimMeter{}};
    c.meters[0].linkAddress = 17;
    c.replyDelayMs = 0;
    c.protocol = Protocol::Nrg96Modbus;
    MeterSim sim(c);
    std::string path = sim.openPty();
    modbus_t* ctx = modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(modbus_set_slave(ctx, 17), 0);
    ASSERT_EQ(modbus_connect(ctx), 0);
    uint16_t first[40] = {}, again[40] = {};
    EXPECT_EQ(modbus_read_input_registers(ctx, 0, 40, first), 40);
    EXPECT_EQ(modbus_read_input_registers(ctx, 0, 40, again), 40);
    EXPECT_EQ(std::vector<uint16_t>(first, first + 40), std::vector<uint16_t>(again, again + 40));
    uint16_t big[94] = {};
    EXPECT_EQ(modbus_read_input_registers(ctx, 0x700, 94, big), 94);
    modbus_close(ctx);
    modbus_free(ctx);
}

}  // namespace
}  // namespace qv::sim

// The Modbus RTU readers: the two answer extractions on hand-made buffers,
// whole readings against the meter simulator over TCP, and over a serial line
// with libmodbus as the slave (which also checks the requests' bytes and CRC).
#include "meter/modbus.h"

#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "meter-sim/modbus_slave.h"
#include "meter/contador_ip.h"
#include "modbus_rtu_peer.h"
#include "support/loopback_peer.h"

namespace qv {
namespace {

using test::Harness;
using test::hex;
using test::ModbusRtuPeer;

// An answer built with the simulator's own CRC code, not ours: its head, then
// `count` bytes of `fill`.
std::string answer(const std::string& head, std::size_t count, char fill) {
    return sim::modbus::appendCrc(hex(head) + std::string(count, fill));
}

// Answers in pieces and behind noise, from another slave or from slave 0: the
// simulator's runs; exception answers: libmodbus; taken answers always match
// the request and their CRC: the fuzz target. A bad CRC costs the NRG96 reader
// one byte and the good answer behind it is found next; a complete Circuitor
// answer with a bad CRC empties the buffer.
TEST(ModbusExtraction, BadCrcCostsOneByteOrTheWholeAnswer) {
    std::string bad = answer("01 04 50", 80, 0x11);
    bad[10] ^= 0x01;
    const std::string good = answer("01 04 50", 80, 0x33);
    std::string rx = bad + good, last;
    EXPECT_FALSE(ExtractNrg96Answer(rx, last, hex("01 04")));
    EXPECT_EQ(rx.size(), bad.size() + good.size() - 1);
    EXPECT_TRUE(ExtractNrg96Answer(rx, last, hex("01 04")));
    EXPECT_EQ(last, good);

    last.clear();
    rx = answer("07 04 BC", 188, 0x11);
    rx[100] ^= 0x20;
    EXPECT_FALSE(ExtractCircuitorAnswer(rx, last, CircuitorRequest(7).substr(0, 2)));
    EXPECT_TRUE(rx.empty());
    EXPECT_TRUE(last.empty());
}

// ---- whole readings against the simulator over TCP ----

// Answers behind noise and in pieces. Slave 0 may answer for the meter;
// another slave's answer is never taken, however often it is looked at. The
// end of each read closes the socket. (Answers from the meter itself and
// exception answers: over the serial line.)
TEST(ModbusReadersTcp, CircuitorAnswersFromSlaveZeroButNotFromAnother) {
    for (const auto& [replyAddress, read] : {std::pair{0, true}, {9, false}}) {
        SCOPED_TRACE(replyAddress);
        sim::SimConfig c = test::simMeters({3});
        c.protocol = sim::Protocol::CircutorModbus;
        c.modbusReplyAddress = replyAddress;
        c.meters[0].faults = {.noiseBytes = 2, .splitChunk = 50};
        test::SimLink l(c);
        l.h.thread->AsduRetries = 1;
        l.h.thread->Protocol = 1;
        l.h.thread->ReadCircuitorMeter();
        const unsigned tries = read ? 1 : 2;
        EXPECT_EQ(l.h.countLog(" 03 04 07 00 00 5E ", true), int(tries));
        EXPECT_EQ(l.sim.repliesSent(), tries);  // every attempt was answered...
        EXPECT_EQ(l.h.countLog(" - READ CIRCUITOR MODBUS METER OK"), int(read));  // ...or refused
        EXPECT_EQ(l.h.thread->LastFrame.size(), read ? kCircuitorAnswerSize : 0u);
        EXPECT_FALSE(l.h.thread->TcpClient->connected());
    }
}

TEST(ModbusReadersTcp, UnreachableOrStoppedReadingStillEnds) {
    const uint16_t port = test::LoopbackListener().port();  // nothing listens there any more
    test::Harness h;
    h.useTcp(port);
    h.addMeter(1, 1, 1);
    h.addMeter(2, 1, 1);
    h.thread->Protocol = 2;
    h.thread->ReadNrg96();
    EXPECT_EQ(h.countLog(" - TRY TO RECONNECT TO: 127.0.0.1:" + std::to_string(port) +
                         " - Connection refused"),
              2);
    EXPECT_EQ(h.countLog(" - TRY TO READ", true), 0);
    EXPECT_EQ(h.countLog(" - SESSION STOPPED!"), 2);

    // A stop request ends the reading at once.
    sim::SimConfig c = test::simMeters({1, 2, 3});
    c.protocol = sim::Protocol::Nrg96Modbus;
    test::SimLink l(c);
    l.h.thread->Protocol = 2;
    l.h.thread->Terminate();
    l.h.thread->ReadNrg96();
    EXPECT_EQ(l.h.countLog(" - SESSION STOPPED!"), 0);
    EXPECT_EQ(l.sim.framesReceived(), 0u);
}

// Each reader against libmodbus, asked at the low byte of its link address;
// an exception answer (40 registers are more than the slave has) is never
// taken, and each attempt asks again.
TEST(ModbusReadersSerial, AnswersFromLibmodbus) {
    const struct {
        int protocol, link, registers, first, count;
        const char *ok, *head;
    } rows[] = {{2, 300, 64, 0, 40, " - READ ANALIZADOR CIRCUITOR NRG96 OK", "\x2C\x04\x50"},
                {1, 259, 0x0800, 0x0700, 94, " - READ CIRCUITOR MODBUS METER OK", "\x03\x04\xBC"},
                {2, 1, 10, 0, 0, " - READ ANALIZADOR CIRCUITOR NRG96 OK", nullptr}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.link);
        const bool read = row.head != nullptr;
        ModbusRtuPeer peer(row.link & 0xFF, row.registers);
        Harness h;
        h.useSerial(peer.linePath());
        h.addMeter(row.link, 1, 1);
        h.thread->AsduRetries = 1;
        h.thread->Protocol = row.protocol;
        h.runOnWorker(
            [&] { row.protocol == 2 ? h.thread->ReadNrg96() : h.thread->ReadCircuitorMeter(); });
        EXPECT_EQ(h.countLog(row.ok), int(read));
        // The answer as libmodbus should have sent it.
        std::string want = read ? row.head : "";
        for (int n = row.first; n < row.first + row.count; ++n)
            want += {char(ModbusRtuPeer::RegisterValue(n) >> 8),
                     char(ModbusRtuPeer::RegisterValue(n) & 0xFF)};
        EXPECT_EQ(h.thread->LastFrame, read ? sim::modbus::appendCrc(want) : "");
        EXPECT_EQ(peer.requests(), read ? 1 : 2);
        EXPECT_EQ(h.countLog(" - SESSION STOPPED!"), 1);
        EXPECT_EQ(h.countLog(" - TRY TO CLOSE SOCKET", true), 0);
    }
}

}  // namespace
}  // namespace qv

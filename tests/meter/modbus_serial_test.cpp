// The Modbus readers over a serial line through the serial component, with
// libmodbus as the slave at the far end.
#include <gtest/gtest.h>

#include "harness.h"
#include "meter/modbus.h"
#include "modbus_rtu_peer.h"

namespace qv {
namespace {

using test::Harness;
using test::ModbusRtuPeer;

// The register bytes of an answer as libmodbus should have sent them.
std::string registerBytes(int first, int count) {
    std::string out;
    for (int n = first; n < first + count; ++n) {
        out += static_cast<char>(ModbusRtuPeer::RegisterValue(n) >> 8);
        out += static_cast<char>(ModbusRtuPeer::RegisterValue(n) & 0xFF);
    }
    return out;
}

TEST(ModbusReadersSerial, Nrg96AnswerFromLibmodbus) {
    ModbusRtuPeer peer(1, 64);
    Harness h;
    h.useSerial(peer.linePath());
    h.addMeter(1, 1, 1);
    h.thread->Protocol = 2;
    h.runOnWorker([&] { h.thread->ReadNrg96(); });

    EXPECT_EQ(h.countLog(" - READ ANALIZADOR CIRCUITOR NRG96 OK"), 1);
    EXPECT_EQ(h.countLog("01 04 00 00 00 28 F0 14 "), 1);  // serial traces: no leading blank
    const std::string& last = h.thread->LastFrame;
    ASSERT_EQ(last.size(), kNrg96AnswerSize);
    EXPECT_EQ(last.substr(0, 3), std::string("\x01\x04\x50", 3));
    EXPECT_EQ(last.substr(3, 80), registerBytes(0, 40));
    EXPECT_EQ(peer.requests(), 1);
    EXPECT_EQ(h.countLog(" - SESSION STOPPED!"), 1);
    EXPECT_EQ(h.countLogPrefix(" - TRY TO CLOSE SOCKET"), 0);
}

TEST(ModbusReadersSerial, CircuitorAnswerToTheLowByteOfTheLinkAddress) {
    ModbusRtuPeer peer(300 & 0xFF, 0x0800);
    Harness h;
    h.useSerial(peer.linePath());
    h.addMeter(300, 1, 1);
    h.thread->Protocol = 1;
    h.runOnWorker([&] { h.thread->ReadCircuitorMeter(); });

    EXPECT_EQ(h.countLog(" - TRY TO READ : 300"), 1);
    EXPECT_EQ(h.countLog(" - READ CIRCUITOR MODBUS METER OK"), 1);
    const std::string& last = h.thread->LastFrame;
    ASSERT_EQ(last.size(), kCircuitorAnswerSize);
    EXPECT_EQ(last.substr(0, 3), std::string("\x2C\x04\xBC", 3));
    EXPECT_EQ(last.substr(3, 188), registerBytes(0x0700, 94));
    EXPECT_EQ(h.countLog(" - STEP #1 - Intento 2"), 0);
}

TEST(ModbusReadersSerial, ExceptionAnswerIsNeverTaken) {
    ModbusRtuPeer peer(1, 10);  // 40 registers are more than it has
    Harness h;
    h.useSerial(peer.linePath());
    h.thread->AsduRetries = 1;
    h.addMeter(1, 1, 1);
    h.thread->Protocol = 2;
    h.runOnWorker([&] { h.thread->ReadNrg96(); });

    EXPECT_EQ(peer.requests(), 2);  // one per attempt, each refused by the slave
    EXPECT_EQ(h.countLog(" - STEP #1 - Intento 2"), 1);
    EXPECT_EQ(h.countLog(" - READ ANALIZADOR CIRCUITOR NRG96 OK"), 0);
    EXPECT_TRUE(h.thread->LastFrame.empty());
    EXPECT_EQ(h.countLog(" - SESSION STOPPED!"), 1);
}

}  // namespace
}  // namespace qv

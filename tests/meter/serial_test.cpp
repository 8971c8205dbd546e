// The reading thread over a pseudo-terminal through the serial component, the
// meter simulator at the far end.
#include <gtest/gtest.h>

#include "harness.h"
#include "meter/frames.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::Harness;
using test::simTime;

sim::SimConfig meter(uint32_t password, sim::SimFaults faults = {}) {
    sim::SimConfig c;
    c.seed = 11;
    c.replyDelayMs = 5;
    sim::SimMeter m;
    m.linkAddress = 2;
    m.measurePoint = 20;
    m.password = password;
    m.faults = faults;
    c.meters.push_back(m);
    return c;
}

TEST(SerialLink, ReadsDailyClosuresOverTheSerialComponent) {
    sim::MeterSim sim(meter(55));
    Harness h;
    h.useSerial(sim.openPty());
    h.addMeter(2, 20, 55);
    h.thread->Interval = IntervalDaily;
    h.thread->DateFrom = Day(2026y / March / 6);
    h.thread->DateTo = Day(2026y / March / 6);
    bool opened = false;
    h.runOnWorker([&] {
        opened = h.thread->OpenSession(0);
        if (opened) {
            h.thread->ReadMeter(0);
            h.thread->CloseSession(0);
        }
    });
    ASSERT_TRUE(opened);
    ASSERT_EQ(h.devices.size(), 1u);
    const Tdevice& d = *h.devices[0];
    ASSERT_EQ(d.DayCount(), 2u);  // 00:00 of 5 and of 6 March
    for (int reg = 1; reg <= 6; ++reg)
        EXPECT_EQ(d.Values[1](reg, 0, 0), sim::counterValue(11, 2, reg, simTime(2026, 3, 6)));
    EXPECT_EQ(h.lastGrid(1), "(6) LECTURA CORRECTA");
    EXPECT_EQ(h.countLog(" - SESSION CLOSED!"), 1);
    // Serial traces carry no leading blank.
    EXPECT_EQ(h.countLog("10 49 02 00 4B 16 "), 1);
    EXPECT_EQ(h.countLog("0B 02 00 0D 16 "), 1);
}

TEST(SerialLink, SilentMeterCostsFourTimesTheRetries) {
    sim::SimFaults f;
    f.silence = sim::Silence::All;
    sim::MeterSim sim(meter(1, f));
    Harness h;
    h.useSerial(sim.openPty());
    h.thread->AsduTimeout = 0;  // one 100-ms poll per try on a serial line
    h.thread->AsduRetries = 3;
    h.addMeter(2, 20, 1);
    bool opened = true;
    h.runOnWorker([&] { opened = h.thread->OpenSession(0); });
    EXPECT_FALSE(opened);
    EXPECT_EQ(sim.framesReceived(), 4u * 3u);
    EXPECT_EQ(h.countLog(" - STEP #1 (SOLICITUD DE ESTADO DE ENLACE)"), 4);
    EXPECT_EQ(h.lastGrid(1), "(4) ERROR DE ENLACE");
}

TEST(SerialLink, WrongPasswordEndsInReadingError) {
    sim::SimFaults f;
    f.noiseBytes = 3;  // and a noisy line
    sim::MeterSim sim(meter(7, f));
    Harness h;
    h.useSerial(sim.openPty());
    h.addMeter(2, 20, 8);
    bool opened = true;
    h.runOnWorker([&] { opened = h.thread->OpenSession(0); });
    EXPECT_FALSE(opened);
    EXPECT_EQ(h.countLog(" - CONF. NEGATIVA  - PARAMETROS PTO.MEDIDA/PASS ERRONEOS"), 4);
    EXPECT_EQ(h.lastGrid(1), "(5) ERROR DE LECTURA");
}

TEST(SerialLink, HugeReplyTimeoutStillWaitsForTheReply) {
    sim::MeterSim sim(meter(1));
    Harness h;
    h.useSerial(sim.openPty());
    h.thread->AsduTimeout = 300000000;  // as typed, not clamped
    h.thread->AsduRetries = 1;
    bool ok = false;
    h.runOnWorker([&] { ok = h.thread->Transact(FixedFrame(0x49, 2)); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(h.thread->LastFrame.size(), 5u);
}

TEST(SerialLink, ClosedPortIsALinkDown) {
    Harness h;
    h.thread->IsSerial = true;
    h.addMeter(2, 20, 1);
    EXPECT_FALSE(h.thread->LinkUp());
    EXPECT_FALSE(h.thread->SendFrame(FixedFrame(0x49, 2)));
    EXPECT_FALSE(h.thread->Transact(FixedFrame(0x49, 2)));
    EXPECT_FALSE(h.thread->OpenSession(0));
    EXPECT_EQ(h.lastGrid(1), "(3) ERROR DE COMUNICACION");
}

}  // namespace
}  // namespace qv

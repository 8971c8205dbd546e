#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "harness.h"
#include "meter/frames.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::Harness;

sim::SimConfig meterWith(uint32_t password, sim::SimFaults faults = {}) {
    sim::SimConfig c;
    sim::SimMeter m;
    m.linkAddress = 5;
    m.measurePoint = 77;
    m.password = password;
    m.faults = faults;
    c.meters.push_back(m);
    return c;
}

TEST(Session, OpensAndClosesWithAGoodMeter) {
    sim::MeterSim sim(meterWith(1234));
    Harness h;
    h.useTcp(sim.listenTcp());
    h.addMeter(5, 77, 1234);
    // Not connected yet: the opening reconnects first.
    ASSERT_TRUE(h.thread->OpenSession(0));
    EXPECT_EQ(h.countLogPrefix(" - TRY TO RECONNECT TO: 127.0.0.1:"), 1);
    EXPECT_EQ(h.countLog(" - TRY TO OPEN SESSION TO: 5  PM  : 77  PASS: 1234"), 1);
    EXPECT_EQ(h.countLog(" - SESSION OPENED"), 1);
    for (int s = 1; s <= 11; ++s) EXPECT_GE(h.countLogPrefix(" - STEP #" + std::to_string(s)), 1);
    EXPECT_EQ(h.gridTexts(1),
              (std::vector<std::string>{"BUSCANDO CONTADOR...", "CONTADOR ENCONTRADO..."}));
    // The open-session request carries point and password, low bytes first.
    EXPECT_EQ(h.sentWithPrefix(" 68 0D 0D 68 53 05 00 B7 01 06 4D 00 00 D2 04 00 00 ").size(), 1u);

    h.thread->CloseSession(0);
    EXPECT_EQ(h.countLog(" - TRY TO CLOSE SESSION : 5"), 1);
    EXPECT_EQ(h.countLog(" - SESSION CLOSED!"), 1);
    EXPECT_EQ(h.sentWithPrefix(" 68 09 09 68 53 05 00 BB").size(), 2u);  // step 4 and the close
}

TEST(Session, HugePauseUnitWaitsUntilStoppedWithoutOverflow) {
    sim::MeterSim sim(meterWith(1));
    Harness h;
    h.useTcp(sim.listenTcp());
    h.thread->InterAsdu = 2147483647;  // taken as given; every pause is then endless
    h.addMeter(5, 77, 1);
    std::atomic<bool> done{false};
    bool opened = true;
    std::thread worker([&] {
        opened = h.thread->OpenSession(0);
        done = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(done.load());  // still in its first pause
    h.thread->Terminate();
    worker.join();
    EXPECT_FALSE(opened);
}

TEST(Session, MeterThatNeverAnswersCostsFourTimesTheRetriesOfStepOne) {
    sim::SimFaults f;
    f.silence = sim::Silence::All;
    sim::MeterSim sim(meterWith(1, f));
    Harness h;
    h.useTcp(sim.listenTcp());
    h.thread->AsduTimeout = 0;
    h.addMeter(5, 77, 1);
    EXPECT_FALSE(h.thread->OpenSession(0));
    EXPECT_EQ(h.countLog(" - STEP #1 (SOLICITUD DE ESTADO DE ENLACE)"), 4);
    EXPECT_EQ(h.countLogPrefix(" - STEP #2"), 0);
    EXPECT_EQ(sim.framesReceived(), 4u * 2u);
    EXPECT_EQ(h.lastGrid(1), "(4) ERROR DE ENLACE");
}

TEST(Session, WrongPasswordIsRefusedFourTimesWithTheFrameCountBitAlternating) {
    sim::MeterSim sim(meterWith(999));
    Harness h;
    h.useTcp(sim.listenTcp());
    h.addMeter(5, 77, 1);
    EXPECT_FALSE(h.thread->OpenSession(0));
    EXPECT_EQ(h.countLog(" - CONF. NEGATIVA  - PARAMETROS PTO.MEDIDA/PASS ERRONEOS"), 4);
    EXPECT_EQ(h.countLog(" - SESSION OPENED"), 0);
    EXPECT_EQ(h.lastGrid(1), "(5) ERROR DE LECTURA");
    // Step 4's end-session frames: C $53, $53, $73, $73.
    std::vector<std::string> controls;
    for (const auto& l : h.sentWithPrefix(" 68 09 09 68 ")) controls.push_back(l.substr(13, 2));
    EXPECT_EQ(controls, (std::vector<std::string>{"53", "53", "73", "73"}));
}

TEST(Session, NegativeAcknowledgementOfTheOpeningIsLogged) {
    sim::SimFaults f;
    f.nackOpenSession = true;
    sim::MeterSim sim(meterWith(1, f));
    Harness h;
    h.useTcp(sim.listenTcp());
    h.addMeter(5, 77, 1);
    EXPECT_FALSE(h.thread->OpenSession(0));
    EXPECT_EQ(h.countLog(" - CONF. NEGATIVA (SESION ABIERTA ?)"), 4);
    EXPECT_EQ(h.lastGrid(1), "(5) ERROR DE LECTURA");
}

TEST(Session, SilenceAfterTheOpeningTriesToCloseTheSession) {
    sim::SimFaults f;
    f.silence = sim::Silence::OpenSession;
    sim::MeterSim sim(meterWith(1, f));
    Harness h;
    h.useTcp(sim.listenTcp());
    h.thread->AsduRetries = 1;
    h.addMeter(5, 77, 1);
    EXPECT_FALSE(h.thread->OpenSession(0));
    EXPECT_EQ(h.countLog(" - SIN RESPUESTA...(SESION ABIERTA ?)"), 4);
    EXPECT_EQ(h.countLog(" - TRY TO CLOSE SESSION : 5"), 4);
    EXPECT_EQ(h.countLog(" - SESSION CLOSED!"), 4);
}

TEST(Session, UnreachableLinkGivesCommunicationError) {
    uint16_t port;
    {
        sim::MeterSim gone(meterWith(1));
        port = gone.listenTcp();
    }
    Harness h;
    h.useTcp(port);
    h.addMeter(5, 77, 1);
    const auto t0 = steady_clock::now();
    EXPECT_FALSE(h.thread->OpenSession(0));
    EXPECT_GE(steady_clock::now() - t0, milliseconds(1000));  // the fixed reconnect wait
    EXPECT_EQ(h.lastGrid(1), "(3) ERROR DE COMUNICACION");
    EXPECT_EQ(h.countLogPrefix(" - STEP"), 0);
    // Closing over a link that is down sends nothing.
    h.thread->CloseSession(0);
    EXPECT_EQ(h.countLogPrefix(" - TRY TO CLOSE SESSION"), 0);
}

TEST(Session, TerminationStopsTheAttempts) {
    sim::SimFaults f;
    f.silence = sim::Silence::All;
    sim::MeterSim sim(meterWith(1, f));
    Harness h;
    h.useTcp(sim.listenTcp());
    h.thread->AsduTimeout = 12;
    h.addMeter(5, 77, 1);
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(400));
        h.thread->Terminate();
    });
    const auto t0 = steady_clock::now();
    EXPECT_FALSE(h.thread->OpenSession(0));
    stopper.join();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(1500));
    EXPECT_EQ(h.countLog(" - STEP #1 (SOLICITUD DE ESTADO DE ENLACE)"), 1);
    EXPECT_EQ(h.lastGrid(1), "(4) ERROR DE ENLACE");
}

}  // namespace
}  // namespace qv

// Whole reading runs on a serial line: the simulator's meters on a
// pseudo-terminal, and the set-up failures of the serial and modem links.
#include <gtest/gtest.h>

#include "run_window.h"
#include "serial/com_port.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::InOrder;
using test::Log;
using test::RunWindow;
using test::simMeters;

constexpr int32_t W = colour::White, G = colour::Green, R = colour::Red;

// The run let the port go: another port can open it (ports lock their device).
bool portFree(const std::string& path) {
    TComPort p;
    p.SetPort(path);
    try {
        p.Open();
    } catch (const std::exception&) {
        return false;
    }
    p.Close();
    return true;
}

TEST(ReadingRunSerial, UnreachableMeterThenAReadOneEndsWith0AndReleasesThePort) {
    sim::MeterSim sim(simMeters({2, 5}, {5}));
    const std::string path = sim.openPty();
    RunWindow w;
    RunSettings s = w.settings({{5, 50, 500}, {2, 20, 200}});
    s.LinkType = LinkSerialDirect;
    s.PortName = path;
    s.BaudIndex = 13;  // 115200
    T_Conta run(s, w.callbacks());
    ASSERT_TRUE(w.waitEnd(run));

    EXPECT_TRUE(InOrder(w.stream, {
                                      Log(" - Puerto SERIAL Inicializado en : " + path, G),
                                      Log(" - INICIADO PROTOCOLO DE COMUNICACION IEC", W),
                                      "GRID 1 (1) HARDWARE INICIADO...",
                                      "GRID 2 (1) HARDWARE INICIADO...",
                                      "EXIT 15",
                                      "GRID 1 (4) ERROR DE ENLACE",
                                      "GRID 2 CONTADOR ENCONTRADO...",
                                      "DATA 2",
                                      "GRID 2 (6) LECTURA CORRECTA",
                                      "EXIT 0",
                                      Log(" - STOPING COMMUNICATIONS...", R),
                                      Log(" - TRY TO STOP SERIAL COMM", W),
                                      Log(" - OK !", W),
                                      "SHOW  - EXIT CODE: 0 #16777215",
                                  }));
    // No modem on this link: no modem dialogue, no modem state.
    EXPECT_EQ(w.count(Log(" - INIT MODEM ", G)), 0);
    for (auto& e : w.stream) EXPECT_NE(e.rfind("MODEM ", 0), 0u) << e;
    ASSERT_EQ(w.devices.size(), 1u);
    EXPECT_EQ(w.devices[0]->DayCount(), 2u);
    EXPECT_EQ(w.devices[0]->Values[0](1, 0, 0),
              sim::counterValue(7, 2, 1, test::simTime(2026, 3, 5)));
    EXPECT_TRUE(portFree(path));
}

TEST(ReadingRunSerial, PortThatCannotBeOpenedGives11) {
    RunWindow w;
    RunSettings s = w.settings({{1, 1, 1}, {2, 2, 2}});
    s.PortName = "/nonexistent/ttyQV0";
    T_Conta run(s, w.callbacks());
    ASSERT_TRUE(w.waitEnd(run));
    EXPECT_TRUE(
        InOrder(w.stream, {
                              "GRID 1 INICIANDO HARDWARE...",
                              Log(" - ERROR AL ABRIR EL PUERTO SERIAL  /nonexistent/ttyQV0", R),
                              "GRID 1 (2) ERROR INICIANDO - (SERIAL PORT INIT)",
                              "GRID 2 (2) ERROR INICIANDO - (SERIAL PORT INIT)",
                              "EXIT 11",
                              Log(" - STOPING COMMUNICATIONS...", R),
                              "SHOW  - EXIT CODE: 11 #16777215",
                          }));
    EXPECT_EQ(w.count(Log(" - TRY TO STOP SERIAL COMM", W)), 0);
    EXPECT_EQ(w.count(Log(" - INICIADO PROTOCOLO DE COMUNICACION IEC", W)), 0);
    EXPECT_NE(w.readStatusFile().find("2;2;2;OPC2;(2) ERROR INICIANDO - (SERIAL PORT INIT)\r\n"),
              std::string::npos);
}

TEST(ReadingRunSerial, SettingsIndexOutsideItsListFailsTheSerialSetUp) {
    sim::MeterSim sim(simMeters({2}));
    const std::string path = sim.openPty();
    RunWindow w;
    RunSettings s = w.settings({{2, 20, 200}});
    s.PortName = path;
    s.ParityIndex = 9;
    T_Conta run(s, w.callbacks());
    ASSERT_TRUE(w.waitEnd(run));
    EXPECT_EQ(w.exitCode, 11);
    EXPECT_EQ(w.count("GRID 1 (2) ERROR INICIANDO - (SERIAL PORT INIT)"), 1);
    EXPECT_TRUE(portFree(path));
}

TEST(ReadingRunSerial, ModemLinkWithoutDialNumberGives10AndOpensNothing) {
    sim::MeterSim sim(simMeters({2}));
    const std::string path = sim.openPty();
    for (int link : {LinkGsmModem, LinkAnalogModem}) {
        RunWindow w;
        RunSettings s = w.settings({{2, 20, 200}});
        s.LinkType = link;
        s.PortName = path;
        s.DialNumber = "   ";
        T_Conta run(s, w.callbacks());
        ASSERT_TRUE(w.waitEnd(run));
        EXPECT_TRUE(
            InOrder(w.stream,
                    {
                        Log(" - EL NUMERO DE DISCADO DEL MODEM NO PUEDE ESTAR EN BLANCO...", R),
                        "GRID 1 (2) ERROR INICIANDO - (BAD NUMBER)",
                        "EXIT 10",
                    }))
            << "link type " << link;
        EXPECT_EQ(w.count(Log(" - Puerto SERIAL Inicializado en : " + path, G)), 0);
        EXPECT_EQ(w.count(Log(" - INIT MODEM ", G)), 0);
        EXPECT_EQ(w.exitCode, 10);
    }
    EXPECT_EQ(sim.framesReceived(), 0u);
}

}  // namespace
}  // namespace qv

// Whole reading runs on a serial line: the simulator's meters on a
// pseudo-terminal, and the set-up failures of the serial and modem links.
#include <gtest/gtest.h>

#include <functional>

#include "run_window.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::InOrder;
using test::Log;
using test::portFree;
using test::RunWindow;
using test::simMeters;

constexpr int32_t W = colour::White, G = colour::Green, R = colour::Red;

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

TEST(ReadingRunSetUp, FailedSetUpsEndWithTheirCodeAndReadNothing) {
    sim::MeterSim sim(simMeters({2}));
    const std::string path = sim.openPty();
    const std::string noPort = "/nonexistent/ttyQV0";
    const std::string serialInit = "(2) ERROR INICIANDO - (SERIAL PORT INIT)";
    struct Row {
        std::string name;
        std::function<void(RunSettings&)> set;
        int code;
        std::vector<std::string> stream;  // in this order
        std::vector<std::string> absent;
    };
    const Row rows[] = {
        {"port that cannot be opened",
         [&](RunSettings& s) { s.PortName = noPort; },
         11,
         {"GRID 1 INICIANDO HARDWARE...", Log(" - ERROR AL ABRIR EL PUERTO SERIAL  " + noPort, R),
          "GRID 1 " + serialInit, "GRID 2 " + serialInit, "EXIT 11",
          Log(" - STOPING COMMUNICATIONS...", R), "SHOW  - EXIT CODE: 11 #16777215"},
         {Log(" - TRY TO STOP SERIAL COMM", W)}},
        {"settings index outside its list",
         [&](RunSettings& s) {
             s.PortName = path;
             s.ParityIndex = 9;
         },
         11,
         {"GRID 1 " + serialInit, "EXIT 11"},
         {}},
        {"modem without dial number",
         [&](RunSettings& s) {
             s.LinkType = LinkGsmModem;
             s.PortName = path;
             s.DialNumber = "   ";
         },
         10,
         {Log(" - EL NUMERO DE DISCADO DEL MODEM NO PUEDE ESTAR EN BLANCO...", R),
          "GRID 1 (2) ERROR INICIANDO - (BAD NUMBER)", "EXIT 10"},
         {Log(" - Puerto SERIAL Inicializado en : " + path, G), Log(" - INIT MODEM ", G)}},
        {"TCP port out of range",
         [&](RunSettings& s) {
             s.LinkType = LinkTcp;
             s.Host = "127.0.0.1";
             s.TcpPortText = "70000";
         },
         12,
         {Log(" - ERROR AL CONFIGURAR PUERTO IP 127.0.0.1:70000  - PUERTO IP FUERA DE RANGO", R),
          "GRID 1 (2) ERROR INICIANDO - (PUERTO IP FUERA DE RANGO)", "EXIT 12",
          Log(" - STOPING COMMUNICATIONS...", R)},
         {Log(" - INICIANDO CONEXION IP...", colour::Yellow)}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RunWindow w;
        RunSettings s = w.settings({{2, 20, 200}, {3, 30, 300}});
        row.set(s);
        T_Conta run(s, w.callbacks());
        ASSERT_TRUE(w.waitEnd(run));
        EXPECT_TRUE(InOrder(w.stream, row.stream));
        EXPECT_EQ(w.count(Log(" - INICIADO PROTOCOLO DE COMUNICACION IEC", W)), 0);
        for (const auto& line : row.absent) EXPECT_EQ(w.count(line), 0) << line;
        EXPECT_EQ(w.exitCode, row.code);
        EXPECT_EQ(w.readStatusFile().substr(w.readStatusFile().find("\r\n3;") + 2),
                  "3;30;300;OPC3;" + w.grid[2][4] + "\r\n");
        EXPECT_NE(w.grid[2][4].find("(2) ERROR INICIANDO"), std::string::npos);
        EXPECT_TRUE(portFree(path));
    }
    EXPECT_EQ(sim.framesReceived(), 0u);
}

}  // namespace
}  // namespace qv

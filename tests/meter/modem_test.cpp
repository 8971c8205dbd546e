// The AT modem dialogue: reading the modem's answers, and whole runs through
// the simulator's GSM and analog modems on a pseudo-terminal.
#include "meter/modem.h"

#include <gtest/gtest.h>

#include <mutex>

#include "run_window.h"

namespace qv {
namespace {

using namespace std::chrono;
using namespace test;

std::string modem(int state, int level) {
    return "MODEM " + std::to_string(ModemStateColour(state)) + " " + std::to_string(level);
}

TEST(ModemAnswers, SignalLevel) {
    const std::pair<const char*, int> rows[] = {
        {"\r\n+CSQ: 7,99\r\n", 7},
        {"+CSQ: 45,0\r\n", 31},
        // 99 is "not known": no signal, never a full bar.
        {"AT+CSQ\r\r\n+CSQ: 99,99\r\n\r\nOK\r\n", 0},
        // Only the echo arrived, or no number stands before the comma.
        {"AT+CSQ\r", 0},
        {"+CSQ: X1,99", 0},
        {",+CSQ: 20,99", 0}};
    for (auto [answer, level] : rows) EXPECT_EQ(ModemSignalLevel(answer), level) << answer;
}

TEST(ModemAnswers, IdentificationAndDialResults) {
    // Only the first echo goes; control and high characters are dropped.
    EXPECT_EQ(ModemIdentification("ATI\r\nATI-9\x01\xE9 X \r\nOK"), "ATI-9 X");
    EXPECT_EQ(ModemIdentification("\r\nOK\r\n"), "");
    EXPECT_EQ(UpperAscii("connect 9600\xE9"), "CONNECT 9600\xE9");

    for (const char* refused : {"NO CARRIER", "NO DIALTONE", "ERROR", "BUSY"})
        EXPECT_TRUE(DialRefused(std::string("\r\n") + refused + "\r\n")) << refused;
    EXPECT_FALSE(DialRefused("ATD123\r\r\nCONNECT 9600\r\n"));
    EXPECT_TRUE(DialConnected("\r\nOK\r\n"));
    EXPECT_FALSE(DialConnected("ATD123\r"));
}

// The end of every modem run: the call hung up, the port closed, the code shown.
std::vector<std::string> thenHungUp(std::vector<std::string> stream, int code) {
    for (std::string e : {modem(ModemDisconnected, 0), Log(" - COLGANDO MODEM...", W),
                          Log(" - TRY TO STOP SERIAL COMM", W),
                          "SHOW  - EXIT CODE: " + std::to_string(code) + " #16777215"})
        stream.push_back(e);
    return stream;
}

sim::SimConfig modemSim(sim::ModemKind kind, std::vector<int> links = {2}) {
    sim::SimConfig c = simMeters(links);
    c.modem.kind = kind;
    c.modem.dialDelayMs = 200;
    c.modem.guardMs = 1000;
    return c;
}

// The simulator's modem on a pseudo-terminal, its side of the line traced, and
// a run window to dial it from.
struct ModemLine {
    explicit ModemLine(sim::SimConfig c) : sim(traced(std::move(c))), path(sim.openPty()) {}
    sim::SimConfig traced(sim::SimConfig c) {
        c.trace = [this](const std::string& l) {
            std::lock_guard lock(mutex);
            lines.push_back(l);
        };
        return c;
    }
    int trace(const std::string& line) {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    RunSettings settings(int link, const std::vector<std::array<int, 3>>& meters = {{2, 20, 200}}) {
        RunSettings s = w.settings(meters);
        s.LinkType = link;
        s.PortName = path;
        s.DialNumber = " 600123456 ";
        return s;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
    sim::MeterSim sim;
    std::string path;
    RunWindow w;
};

// A modem silent to its first two ATZ and not registered ("+CREG: 0,5"): red
// state, no signal asked, dialled all the same. (A call not connected: the
// program's run tests.)
TEST(ModemRun, LateUnregisteredGsmModemDialsReadsAndHangsUp) {
    sim::SimConfig c = modemSim(sim::ModemKind::Gsm);
    c.modem.atzOkFrom = 3;
    c.modem.cregStat = 5;
    ModemLine m(c);
    RunWindow& w = m.w;
    T_Conta run(m.settings(LinkGsmModem), w.callbacks());
    ASSERT_TRUE(w.waitEnd(run));

    EXPECT_TRUE(InOrder(w.stream, thenHungUp({modem(ModemNotRegistered, 0),
                                              Log(" - DIALING... (600123456) PLEASE WAIT...", Y),
                                              Log(" - CONECTADO !", G), "DATA 2",
                                              "GRID 1 (6) LECTURA CORRECTA", "EXIT 0"},
                                             0)));
    EXPECT_EQ(m.trace("modem >> ATZ"), 3);
    EXPECT_EQ(m.trace("modem >> AT+CSQ"), 0);
    // The GSM link wakes the modem with "+++" and skips the analog lines.
    EXPECT_EQ(m.trace("modem ignores +++"), 1);
    EXPECT_EQ(m.trace("modem >> AT+CFUN=1,1"), 0);
    // The escape left data mode (guard times kept) and the line was hung up.
    EXPECT_EQ(m.trace("modem escape"), 1);
    EXPECT_EQ(m.trace("modem >> ATH"), 1);
    EXPECT_TRUE(portFree(m.path));
}

TEST(ModemRun, AnalogModemWithResetStoppedOnLineStillEscapesAndHangsUp) {
    ModemLine m(modemSim(sim::ModemKind::Analog, {2, 3}));
    RunWindow& w = m.w;
    RunSettings s = m.settings(LinkAnalogModem, {{2, 20, 200}, {3, 30, 300}});
    s.ModemInitString = "AT&F";
    s.ModemReset = true;
    auto run = std::make_unique<T_Conta>(s, w.callbacks());
    ASSERT_TRUE(w.waitFor("GRID 1 CONTADOR ENCONTRADO..."));

    // Stopped in the middle of the first meter's session, the call up.
    const auto t0 = steady_clock::now();
    run->Destroy();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(4500));
    EXPECT_TRUE(run->Finished());
    run.reset();

    EXPECT_TRUE(InOrder(w.stream, thenHungUp({Log(" - >> (AT&F)", G), modem(ModemAnalog, 0),
                                              "GRID 2 (3) ERROR DE COMUNICACION", "EXIT 15"},
                                             15)));
    // The reset goes out to an analog modem too; no GSM question does.
    EXPECT_EQ(m.trace("modem >> AT+CFUN=1,1"), 1);
    EXPECT_EQ(m.trace("modem >> AT+CREG?"), 0);
    // The escape, with its guard times, took the modem off line before the
    // hang-up line, even though the run was stopping.
    EXPECT_EQ(m.trace("modem escape"), 1);
    EXPECT_EQ(m.trace("modem >> ATH"), 1);
    EXPECT_TRUE(portFree(m.path));
}

// Stopped while waking a modem silent to every ATZ, or while dialling a call
// that is never answered: no modem is blamed, the run ends within the escape's
// guard times (2 x 1.5 s; the wait for its "OK" ends at the first poll), a
// call being set up is hung up, and the port is let go.
TEST(ModemRun, StopWhileWakingOrDialling) {
    for (bool dialling : {false, true}) {
        SCOPED_TRACE(dialling ? "dialling" : "waking");
        sim::SimConfig c = modemSim(sim::ModemKind::Gsm);
        if (dialling)
            c.modem.dial = sim::DialResult::Silence;
        else
            c.modem.atzOkFrom = 1000;
        ModemLine m(c);
        RunWindow& w = m.w;
        auto run = std::make_unique<T_Conta>(m.settings(LinkGsmModem), w.callbacks());
        ASSERT_TRUE(w.executor.runUntil(
            [&] { return m.trace(dialling ? "modem dials 600123456" : "modem >> ATZ") > 0; },
            seconds(10)));
        w.executor.runUntil([] { return false; }, milliseconds(300));

        const auto t0 = steady_clock::now();
        run->Destroy();
        EXPECT_LT(steady_clock::now() - t0, milliseconds(4500));
        EXPECT_TRUE(run->Finished());
        run.reset();
        const std::vector<std::string> end = {"GRID 1 (3) ERROR DE COMUNICACION", "EXIT 13"};
        EXPECT_TRUE(InOrder(w.stream, dialling ? thenHungUp(end, 13) : end));
        EXPECT_EQ(w.count(Log(" - THERE IS NO MODEM IN THE SERIAL LINE.", R)), 0);
        if (dialling) {
            // "+++" broke the call being set up; the hang-up line followed.
            EXPECT_GE(m.trace("modem << NO CARRIER"), 1);
            EXPECT_EQ(m.trace("modem >> ATH"), 1);
        }
        EXPECT_TRUE(portFree(m.path));
    }
}

}  // namespace
}  // namespace qv

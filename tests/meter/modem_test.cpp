// The AT modem dialogue: reading the modem's answers, and whole runs through
// the simulator's GSM and analog modems on a pseudo-terminal.
#include "meter/modem.h"

#include <gtest/gtest.h>

#include "run_window.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::InOrder;
using test::Log;
using test::portFree;
using test::RunWindow;
using test::simMeters;

constexpr int32_t W = colour::White, Y = colour::Yellow, G = colour::Green, R = colour::Red;

std::string modem(int state, int level) {
    return "MODEM " + std::to_string(ModemStateColour(state)) + " " + std::to_string(level);
}

TEST(ModemAnswers, SignalLevel) {
    const std::pair<const char*, int> rows[] = {
        {"AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n", 20},
        {"\r\n+CSQ: 7,99\r\n", 7},
        {"+CSQ: 0,0\r\n", 0},
        {"+CSQ: 31,0\r\n", 31},
        {"+CSQ: 45,0\r\n", 31},
        // 99 is "not known": no signal, never a full bar.
        {"AT+CSQ\r\r\n+CSQ: 99,99\r\n\r\nOK\r\n", 0},
        // Only the echo arrived, or no number stands before the comma.
        {"AT+CSQ\r", 0},
        {"+CSQ: ,99", 0},
        {"+CSQ: X1,99", 0},
        {",+CSQ: 20,99", 0},
        {"\r\nOK\r\n", 0}};
    for (auto [answer, level] : rows) EXPECT_EQ(ModemSignalLevel(answer), level) << answer;
}

TEST(ModemAnswers, IdentificationAndDialResults) {
    EXPECT_EQ(ModemIdentification("ATI\r\r\nMETER-SIM GSM MODEM 1.0\r\n\r\nOK\r\n"),
              "METER-SIM GSM MODEM 1.0");
    // Only the first echo goes; control and high characters are dropped.
    EXPECT_EQ(ModemIdentification("ATI\r\nATI-9\x01\xE9 X \r\nOK"), "ATI-9 X");
    EXPECT_EQ(ModemIdentification("\r\nOK\r\n"), "");
    EXPECT_EQ(UpperAscii("connect 9600\xE9"), "CONNECT 9600\xE9");

    for (const char* refused : {"NO CARRIER", "NO DIALTONE", "BUSY", "ERROR"})
        EXPECT_TRUE(DialRefused(std::string("\r\n") + refused + "\r\n")) << refused;
    EXPECT_FALSE(DialRefused("ATD123\r\r\nCONNECT 9600\r\n"));
    EXPECT_TRUE(DialConnected("ATD123\r\r\nCONNECT 9600\r\n"));
    EXPECT_TRUE(DialConnected("\r\nOK\r\n"));
    EXPECT_FALSE(DialConnected("ATD123\r"));
}

// The modem's side of the line, from the simulator's trace.
class SimTrace {
  public:
    std::function<void(const std::string&)> sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        };
    }
    int count(const std::string& line) {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The end of every modem run: the call hung up, the port closed, the code shown.
std::vector<std::string> thenHungUp(std::vector<std::string> stream, int code) {
    for (std::string e : {modem(ModemDisconnected, 0), Log(" - COLGANDO MODEM...", W),
                          Log(" - TRY TO STOP SERIAL COMM", W), Log(" - OK !", W),
                          "SHOW  - EXIT CODE: " + std::to_string(code) + " #16777215"})
        stream.push_back(e);
    return stream;
}

sim::SimConfig modemSim(SimTrace& trace, sim::ModemKind kind, std::vector<int> links = {2}) {
    sim::SimConfig c = simMeters(links);
    c.modem.kind = kind;
    c.modem.dialDelayMs = 200;
    c.modem.guardMs = 1000;
    c.trace = trace.sink();
    return c;
}

RunSettings modemSettings(RunWindow& w, const std::string& path, int link,
                          const std::vector<std::array<int, 3>>& meters = {{2, 20, 200}}) {
    RunSettings s = w.settings(meters);
    s.LinkType = link;
    s.PortName = path;
    s.DialNumber = " 600123456 ";
    return s;
}

TEST(ModemRun, GsmModemCallsReadsAndHangsUp) {
    SimTrace trace;
    sim::MeterSim sim(modemSim(trace, sim::ModemKind::Gsm));
    const std::string path = sim.openPty();
    RunWindow w;
    T_Conta run(modemSettings(w, path, LinkGsmModem), w.callbacks());
    ASSERT_TRUE(w.waitEnd(run));

    EXPECT_TRUE(InOrder(
        w.stream,
        thenHungUp({Log(" - INIT MODEM ", G), Log(" - GSM MODEM : METER-SIM GSM MODEM 1.0", G),
                    modem(ModemRegistered, 20), Log(" - DIALING... (600123456) PLEASE WAIT...", Y),
                    Log(" - CONECTADO !", G), "DATA 2", "GRID 1 (6) LECTURA CORRECTA", "EXIT 0"},
                   0)));
    EXPECT_EQ(w.count(Log(" - THERE IS NO MODEM IN THE SERIAL LINE.", R)), 0);
    // The GSM link wakes the modem with "+++" and skips the analog lines.
    EXPECT_EQ(trace.count("modem ignores +++"), 1);
    EXPECT_EQ(w.count(Log(" - >> (+++)", G)), 0);
    EXPECT_EQ(trace.count("modem >> ATZ"), 1);
    EXPECT_EQ(trace.count("modem >> AT+CREG?"), 1);
    EXPECT_EQ(trace.count("modem >> AT+CSQ"), 1);
    EXPECT_EQ(trace.count("modem dials 600123456"), 1);
    EXPECT_EQ(trace.count("modem >> AT+CFUN=1,1"), 0);
    // The escape left data mode (guard times kept) and the line was hung up.
    EXPECT_EQ(trace.count("modem escape"), 1);
    EXPECT_EQ(trace.count("modem >> ATH"), 1);
    ASSERT_EQ(w.devices.size(), 1u);
    EXPECT_TRUE(portFree(path));
}

TEST(ModemRun, AnalogModemWithResetStoppedOnLineStillEscapesAndHangsUp) {
    SimTrace trace;
    sim::MeterSim sim(modemSim(trace, sim::ModemKind::Analog, {2, 3}));
    const std::string path = sim.openPty();
    RunWindow w;
    RunSettings s = modemSettings(w, path, LinkAnalogModem, {{2, 20, 200}, {3, 30, 300}});
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

    EXPECT_TRUE(InOrder(
        w.stream,
        thenHungUp({Log(" - >> (AT&F)", G), Log(" - << (AT&F\r\r\nOK\r\n)", G),
                    Log(" - ANALOG DIALUP MODEM : METER-SIM V.34 MODEM 1.0", G),
                    modem(ModemAnalog, 0), Log(" - CONECTADO !", G),
                    "GRID 1 CONTADOR ENCONTRADO...", "GRID 2 (3) ERROR DE COMUNICACION", "EXIT 15"},
                   15)));
    // The reset goes out to an analog modem too; no GSM question does.
    EXPECT_EQ(trace.count("modem >> AT+CFUN=1,1"), 1);
    EXPECT_EQ(trace.count("modem >> AT+CREG?"), 0);
    EXPECT_EQ(trace.count("modem >> AT+CSQ"), 0);
    // The escape, with its guard times, took the modem off line before the
    // hang-up line, even though the run was stopping.
    EXPECT_EQ(trace.count("modem escape"), 1);
    EXPECT_EQ(trace.count("modem >> ATH"), 1);
    EXPECT_TRUE(w.devices.empty());
    EXPECT_TRUE(portFree(path));
}

TEST(ModemRun, LateModemNotRegisteredDialsAnywayAndFindsTheLineBusy) {
    SimTrace trace;
    sim::SimConfig c = modemSim(trace, sim::ModemKind::Gsm);
    c.modem.atzOkFrom = 3;
    c.modem.cregStat = 5;
    c.modem.dial = sim::DialResult::Busy;
    sim::MeterSim sim(c);
    const std::string path = sim.openPty();
    RunWindow w;
    T_Conta run(modemSettings(w, path, LinkGsmModem), w.callbacks());
    ASSERT_TRUE(w.waitEnd(run));

    // Two silent tries, then the modem is used; "+CREG: 0,5" is not
    // registered: red state, no signal asked, dialled all the same.
    EXPECT_EQ(trace.count("modem >> ATZ"), 3);
    EXPECT_EQ(trace.count("modem >> AT+CSQ"), 0);
    EXPECT_EQ(w.count(Log(" - GSM MODEM : METER-SIM GSM MODEM 1.0", G)), 0);
    EXPECT_TRUE(InOrder(
        w.stream,
        thenHungUp(
            {modem(ModemNotRegistered, 0), Log(" - DIALING... (600123456) PLEASE WAIT...", Y),
             Log(" - No se pudo iniciar la llamada - ATD600123456\r\r\nBUSY\r\n", R),
             "GRID 1 (3) ERROR DE COMUNICACION", "EXIT 13"},
            13)));
    EXPECT_EQ(trace.count("modem >> ATH"), 1);
}

// Stopped while waking a modem silent to every ATZ, or while dialling a call
// that is never answered: no modem is blamed, the run ends within the escape's
// guard times (2 x 1.5 s; the wait for its "OK" ends at the first poll), a
// call being set up is hung up, and the port is let go.
TEST(ModemRun, StopWhileWakingOrDialling) {
    for (bool dialling : {false, true}) {
        SCOPED_TRACE(dialling ? "dialling" : "waking");
        SimTrace trace;
        sim::SimConfig c = modemSim(trace, sim::ModemKind::Gsm);
        if (dialling)
            c.modem.dial = sim::DialResult::Silence;
        else
            c.modem.atzOkFrom = 1000;
        sim::MeterSim sim(c);
        const std::string path = sim.openPty();
        RunWindow w;
        auto run = std::make_unique<T_Conta>(modemSettings(w, path, LinkGsmModem), w.callbacks());
        ASSERT_TRUE(w.executor.runUntil(
            [&] { return trace.count(dialling ? "modem dials 600123456" : "modem >> ATZ") > 0; },
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
        EXPECT_EQ(w.count(Log(" - CONECTADO !", G)), 0);
        if (dialling) {
            // "+++" broke the call being set up; the hang-up line followed.
            EXPECT_GE(trace.count("modem << NO CARRIER"), 1);
            EXPECT_EQ(trace.count("modem >> ATH"), 1);
        }
        EXPECT_TRUE(portFree(path));
    }
}

}  // namespace
}  // namespace qv

// Whole reading runs through the run object, as the main window starts and
// stops them: over TCP, on a serial line and through the simulator's GSM and
// analog modems on a pseudo-terminal, and the set-up failures of every link;
// the AT modem dialogue's answers.
#include <gtest/gtest.h>

#include <mutex>

#include "harness.h"
#include "meter/modem.h"
#include "platform/tcp_client.h"
#include "support/loopback_peer.h"

namespace qv {
namespace {

using namespace std::chrono;
using namespace test;

// Stops a run as the main window does: it has ended within `limit`, and not by
// the stop's own 5 s wait running out (Finished() tells that, whatever the pace).
void stop(std::unique_ptr<T_Conta>& run, milliseconds limit) {
    const auto t0 = steady_clock::now();
    run->Destroy();
    EXPECT_LT(steady_clock::now() - t0, limit);
    EXPECT_TRUE(run->Finished());
    run.reset();
}

RunSettings tcpSettings(RunWindow& w, uint16_t port,
                        const std::vector<std::array<int, 3>>& meters) {
    RunSettings s = w.settings(meters);
    s.LinkType = LinkTcp;
    s.Host = "127.0.0.1";
    s.TcpPortText = std::to_string(port);
    return s;
}

// Meters read, silent, and opened but refused every request: the last one's
// failed reading ends the run with 15 (values and exit codes of ordinary runs:
// the program's own run tests). The status file holds the grid as shown,
// beside the executable, trimmed.
TEST(ReadingRunTcp, ReadSilentAndRefusedMetersEndWith15) {
    sim::SimConfig c = simMeters({3, 4, 5}, {4});
    c.meters[2].faults.nackRequests = true;
    sim::MeterSim sim(c);
    RunWindow w;
    RunSettings s = tcpSettings(w, sim.listenTcp(), {{3, 30, 300}, {4, 40, 400}, {5, 50, 500}});
    // A start date after the end date reads the end date only.
    s.DateFrom = Day(2026y / March / 9);
    s.DateTo = Day(2026y / March / 5);
    T_Conta run(s, w.callbacks());
    ASSERT_TRUE(w.waitEnd(run));

    EXPECT_EQ(w.exitCode, 15);
    ASSERT_EQ(w.devices.size(), 2u);
    EXPECT_EQ(w.devices[0]->OpcCode, "OPC3");  // trimmed
    ASSERT_EQ(w.devices[0]->DayCount(), 2u);   // 00:00 of 5 and of 6 March
    EXPECT_EQ(w.devices[0]->Labels[1](0, 0).Date, "06/03/26");
    // The refused meter's walk ends at its first closure: one day without data.
    EXPECT_EQ(w.countLog(" - CONF. NEGATIVA - DATOS NO DISPONIBLES"), 1);
    ASSERT_EQ(w.devices[1]->DayCount(), 1u);
    EXPECT_EQ(w.devices[1]->Quality[0](1, 0, 0), TDayQuality::NoData);
    // The grid's Latin-1 header is written as UTF-8, as the rows are.
    EXPECT_EQ(w.readStatusFile(),
              "DIRECCION DE ENLACE;PUNTO DE MEDIDA;CONTRASE\xC3\x91"
              "A;CODIGO OPC ( OPCIONAL );ESTADO\r\n"
              "3;30;300;OPC3;(6) LECTURA CORRECTA\r\n"
              "4;40;400;OPC4;(4) ERROR DE ENLACE\r\n"
              "5;50;500;OPC5;(5) ERROR DE LECTURA\r\n");
}

TEST(ReadingRunTcp, StopDuringALongReplyWaitReturnsSoonAfterTheThreadEnds) {
    sim::MeterSim sim(simMeters({3, 4}, {3}));
    RunWindow w;
    RunSettings s = tcpSettings(w, sim.listenTcp(), {{3, 30, 300}, {4, 40, 400}});
    s.AsduTimeout = 12;
    auto run = std::make_unique<T_Conta>(s, w.callbacks());
    ASSERT_TRUE(w.waitFor(" - STEP #1 (SOLICITUD DE ESTADO DE ENLACE)"));
    w.executor.runUntil([] { return false; }, milliseconds(300));  // inside the 12-s wait

    const auto t0 = steady_clock::now();
    run->Destroy();
    const auto t1 = steady_clock::now();
    EXPECT_TRUE(run->Finished());
    EXPECT_LT(t1 - t0, milliseconds(2000));
    // The 12-s wait saw the stop within its 100-ms poll; the handler ran inside
    // the run's wait, which ended about 100 ms after it.
    EXPECT_EQ(w.runEnded, 1);
    EXPECT_LT(w.endedAt - t0, milliseconds(500));
    EXPECT_LT(t1 - w.endedAt, milliseconds(600));
    run.reset();

    // The first meter's opening stopped, the second was never tried, the
    // socket was closed.
    EXPECT_TRUE(InOrder(w.stream, {"GRID 1 (4) ERROR DE ENLACE", "GRID 2 (3) ERROR DE COMUNICACION",
                                   "EXIT 15", Log(" - TRY TO CLOSE SOCKET IP TO: 127.0.0.1", W)}));
    EXPECT_EQ(w.countLog(" - STEP #1 (SOLICITUD DE ESTADO DE ENLACE)"), 1);
    EXPECT_EQ(std::ranges::count(w.stream, "GRID 2 BUSCANDO CONTADOR..."), 0);
}

TEST(ReadingRunTcp, StopWhileTheProgramClosesLeavesTheThreadToEndOnItsOwn) {
    sim::MeterSim sim(simMeters({3}, {3}));
    RunWindow w;
    RunCallbacks cb = w.callbacks();
    cb.ApplicationTerminating = [] { return true; };
    auto run = std::make_unique<T_Conta>(tcpSettings(w, sim.listenTcp(), {{3, 30, 300}}), cb);
    ASSERT_TRUE(w.waitFor(" - STEP #1 (SOLICITUD DE ESTADO DE ENLACE)"));

    run->Destroy();
    EXPECT_FALSE(run->Finished());  // no wait for the thread's end
    ASSERT_TRUE(w.executor.runUntil([&] { return run->Finished(); }, milliseconds(5000)));
    EXPECT_EQ(w.runEnded, 0);  // a run left behind does not re-enable the window
}

// The main thread's queue as the run object sees it, holding back what the
// reading thread posts to it (its end handler) until the test runs it: the run
// object's wait then gives up while the thread has already ended.
class HoldingExecutor final : public MainExecutor {
  public:
    explicit HoldingExecutor(LoopExecutor& inner) : inner_(inner) {}
    void post(Task task) override { held.post(std::move(task)); }
    void processPending() override { inner_.processPending(); }
    bool processFor(milliseconds timeout) override { return inner_.processFor(timeout); }
    bool inMainThread() const override { return inner_.inMainThread(); }
    LoopExecutor held;

  private:
    LoopExecutor& inner_;
};

TEST(ReadingRunTcp, ThreadEndingAfterTheRunGaveUpWaitingTouchesNoFreedRun) {
    sim::MeterSim sim(simMeters({3}));
    RunWindow w;
    HoldingExecutor late(w.executor);
    RunSettings s = tcpSettings(w, sim.listenTcp(), {{3, 30, 300}});
    s.Executor = &late;
    auto run = std::make_unique<T_Conta>(s, w.callbacks());
    ASSERT_TRUE(w.executor.runUntil([&] { return late.held.pendingCount() > 0; }, seconds(30)));
    const auto t0 = steady_clock::now();
    run->Destroy();
    const auto waited = steady_clock::now() - t0;
    EXPECT_GE(waited, milliseconds(4900));
    EXPECT_LT(waited, milliseconds(5800));
    EXPECT_FALSE(run->Finished());
    run.reset();  // the run object is gone; its end handler has not run yet

    // The handler still logs and writes the status file, but leaves the
    // window's re-enabling to the stop that already happened.
    late.held.processPending();
    EXPECT_TRUE(w.waitFor("SHOW  - EXIT CODE: 0 #", seconds(10)));
    EXPECT_EQ(w.runEnded, 0);
    EXPECT_NE(w.readStatusFile().find("3;30;300;OPC3;(6) LECTURA CORRECTA\r\n"), std::string::npos);
}

// A listening socket whose queue is full: connects to it hang until their own
// time-out (the kernel drops the SYNs). False when they do not hang here.
bool jam(const LoopbackListener& l, std::vector<std::unique_ptr<TcpClient>>& fillers) {
    auto client = [&] {
        auto c = std::make_unique<TcpClient>();
        c->Port = l.port();
        c->ConnectTimeoutMs = 500;
        return c;
    };
    for (int i = 0; i < 4; ++i) {
        auto c = client();
        if (!c->connect()) break;
        fillers.push_back(std::move(c));
    }
    return !fillers.empty() && !client()->connect();
}

TEST(ReadingRunTcp, StopEndsAHangingConnectAtOnce) {
    LoopbackListener listener(0);
    std::vector<std::unique_ptr<TcpClient>> fillers;
    if (!jam(listener, fillers)) GTEST_SKIP() << "connects to a full queue do not hang here";
    RunWindow w;
    auto run =
        std::make_unique<T_Conta>(tcpSettings(w, listener.port(), {{3, 30, 300}}), w.callbacks());
    ASSERT_TRUE(w.waitFor(" - INICIANDO CONEXION IP..."));
    w.executor.runUntil([] { return false; }, milliseconds(200));  // inside the 6-s connect
    const auto t0 = steady_clock::now();
    run->Destroy();
    const auto waited = steady_clock::now() - t0;
    if (w.countLog(" - Puerto TCP/IP abierto en : ", true))
        GTEST_SKIP() << "the connect did not hang";
    EXPECT_LT(waited, milliseconds(1500));
    EXPECT_TRUE(run->Finished());
}

// The meter read last does not make up for the one that was not read.
TEST(ReadingRunSerial, UnreachableMeterThenAReadOneEndsWith15AndReleasesThePort) {
    sim::MeterSim sim(simMeters({2, 5}, {5}));
    const std::string path = sim.openPty();
    RunWindow w;
    RunSettings s = w.settings({{5, 50, 500}, {2, 20, 200}});  // the serial line by default
    s.PortName = path;
    s.BaudIndex = 13;  // 115200
    T_Conta run(s, w.callbacks());
    ASSERT_TRUE(w.waitEnd(run));

    EXPECT_TRUE(InOrder(w.stream,
                        {"GRID 1 (4) ERROR DE ENLACE", "GRID 2 (6) LECTURA CORRECTA", "EXIT 15"}));
    // No modem on this link: no modem dialogue.
    EXPECT_EQ(w.countLog(" - INIT MODEM "), 0);
    ASSERT_EQ(w.devices.size(), 1u);
    EXPECT_EQ(w.devices[0]->Values[0](1, 0, 0), sim::counterValue(7, 2, 1, simTime(2026, 3, 5)));
    EXPECT_TRUE(portFree(path));
}

TEST(ReadingRunSetUp, FailedSetUpsEndWithTheirCodeAndReadNothing) {
    sim::MeterSim sim(simMeters({2}));
    const std::string path = sim.openPty();
    const std::string portInit = "(2) ERROR INICIANDO - (SERIAL PORT INIT)";
    // Each ends before the protocol starts, with its code and its reason on
    // every row; `absent` shows how far it got.
    const struct {
        std::string name;
        int link, parity;
        std::string port, dial, tcpPort;
        int code;
        std::string grid, absent;
    } rows[] = {
        {"port that cannot be opened", LinkSerialDirect, 0, "/nonexistent/ttyQV0", "", "", 11,
         portInit, " - TRY TO STOP SERIAL COMM"},
        {"parity index outside its list", LinkSerialDirect, 9, path, "", "", 11, portInit, ""},
        {"modem without dial number", LinkGsmModem, 0, path, "   ", "", 10,
         "(2) ERROR INICIANDO - (BAD NUMBER)", " - INIT MODEM "},
        {"TCP port out of range", LinkTcp, 0, "", "", "70000", 12,
         "(2) ERROR INICIANDO - (PUERTO IP FUERA DE RANGO)", " - INICIANDO CONEXION IP..."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RunWindow w;
        RunSettings s = w.settings({{2, 20, 200}, {3, 30, 300}});
        s.LinkType = row.link;
        s.ParityIndex = row.parity;
        s.PortName = row.port;
        s.DialNumber = row.dial;
        s.Host = "127.0.0.1";
        s.TcpPortText = row.tcpPort;
        T_Conta run(s, w.callbacks());
        ASSERT_TRUE(w.waitEnd(run));
        EXPECT_EQ(w.countLog(" - INICIADO PROTOCOLO DE COMUNICACION IEC"), 0);
        EXPECT_EQ(w.countLog(row.absent), 0) << row.absent;
        EXPECT_EQ(w.exitCode, row.code);
        EXPECT_TRUE(w.readStatusFile().ends_with("2;20;200;OPC2;" + row.grid +
                                                 "\r\n3;30;300;OPC3;" + row.grid + "\r\n"));
        EXPECT_TRUE(portFree(path));
    }
    EXPECT_EQ(sim.framesReceived(), 0u);
}

// Numbers that do not fit their fields of the frame would each, cut to fit,
// open a session with meter 101 (link -65435 and point 65537 keep 101 and 1 in
// two bytes, password 7295934592 keeps 3000000000 in four): such a row is not
// read, no frame goes out for it, and its red line names it without its
// password. A password above 2^31 that fits goes out whole.
TEST(ReadingRunSetUp, MeterNumbersThatDoNotFitTheFrameAreNotRead) {
    sim::SimConfig c = simMeters({101});
    c.meters[0].measurePoint = 1;
    c.meters[0].password = 3000000000u;
    sim::MeterSim sim(c);
    RunWindow w;
    RunSettings s = tcpSettings(w, sim.listenTcp(), {});
    const std::string fits = " NO CABE EN LA TRAMA (0 A 65535), NO SE LEE";
    const std::pair<GridRow, std::string> rows[] = {
        {{"65637", "1", "3000000000"}, "65637-1-****: LA DIRECCION DE ENLACE 65637" + fits},
        {{" -65435", "1", "3000000000"}, "-65435-1-****: LA DIRECCION DE ENLACE -65435" + fits},
        {{"101", "65537", "3000000000"}, "101-65537-****: EL PUNTO DE MEDIDA 65537" + fits},
        {{"101", "1", "7295934592"}, "101-1-****: LA CONTRASENA NO CABE EN SUS 4 BYTES, NO SE LEE"},
    };
    s.Grid.resize(1);
    for (const auto& row : rows) s.Grid.push_back(row.first);
    s.Grid.push_back({"101", "1", "3000000000", "", ""});
    T_Conta run(s, w.callbacks());
    ASSERT_TRUE(w.waitEnd(run));

    EXPECT_EQ(w.exitCode, 15);
    EXPECT_EQ(w.countLog(" - TRY TO OPEN SESSION TO: ", true), 1);  // the last row's only
    EXPECT_EQ(w.lastGrid(5), "(6) LECTURA CORRECTA");
    for (int r = 1; r <= 4; ++r) {
        EXPECT_EQ(w.countLog(" - CONTADOR " + rows[r - 1].second), 1) << r;
        EXPECT_EQ(w.lastGrid(r), "(2) ERROR INICIANDO - (CONTADOR NO VALIDO)");
    }
    EXPECT_EQ(w.countLog(" - CONTADORES LEIDOS: 1 DE 5 - EL PRIMERO SIN LEER ES EL 65637: "
                         "CONTADOR " +
                         rows[0].second),
              1);
    for (const auto& e : w.stream) EXPECT_EQ(e.find("7295934592"), std::string::npos) << e;
}

// Beside the executable, a link followed to its target (without a link: every
// run here).
TEST(ReadingRunFiles, StatusFileNameAndContents) {
    const std::string dir = makeTempDir("qv_status_");
    std::filesystem::create_symlink("quorvanta.bin", dir + "/rel");
    EXPECT_EQ(StatusFilePath(dir + "/rel"), dir + "/quorvanta_STATUSLOG.CSV");

    // An old file replaced whole, a path that cannot be created reported
    // without an exception.
    const std::string file = dir + "/s.csv";
    const GridRows row = {{"a", "b", "", "\tc", "d"}};
    ASSERT_TRUE(WriteStatusFile(file, {row[0], {"1", "2", "3", "4", "5"}}));
    ASSERT_TRUE(WriteStatusFile(file, row));
    EXPECT_EQ(readFile(file), "a;b;;c;d\r\n");
    EXPECT_FALSE(WriteStatusFile(dir + "/missing/s.csv", row));

    // One encoding: the grid's Latin-1 header and UTF-8 rows both UTF-8; the
    // empty list's blank row is no meter and gets no line.
    ASSERT_TRUE(WriteStatusFile(file, {{"CONTRASE\xD1"
                                        "A",
                                        "ESTADO"},
                                       {"", " ", "", "", ""}}));
    EXPECT_EQ(readFile(file),
              "CONTRASE\xC3\x91"
              "A;ESTADO;;;\r\n");
    ASSERT_TRUE(WriteStatusFile(file, {{"H"}, {"", "", "", "OPC\xC3\x91", ""}}));
    EXPECT_EQ(readFile(file), "H;;;;\r\n;;;OPC\xC3\x91;\r\n");
    // A code with a line break (a refused run's row) stays on its own line.
    ASSERT_TRUE(WriteStatusFile(file, {{"H"}, {"1", "2", "3", "A\r\nB\x7F", "(10)"}}));
    EXPECT_EQ(readFile(file), "H;;;;\r\n1;2;3;A  B ;(10)\r\n");
    std::filesystem::remove_all(dir);
}

TEST(ReadingRunFiles, TcpPortText) {
    // Text that is no number means the default port; a number out of range is refused.
    const std::pair<const char*, int> rows[] = {
        {" 502 ", 502}, {"", 40000}, {"12a", 40000}, {"65535", 65535}};
    for (auto [text, port] : rows) EXPECT_EQ(TcpPortOf(text), port) << text;
    for (const char* text : {"65536", "0", "-5", "99999999999999999999"})
        EXPECT_THROW(TcpPortOf(text), std::invalid_argument) << text;
}

// ---- modems ----

std::string modem(int state, int level) {
    return "MODEM " + std::to_string(ModemStateColour(state)) + " " + std::to_string(level);
}

TEST(ModemAnswers, SignalIdentificationAndDialResults) {
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

    // Only the first echo goes; control and high characters are dropped.
    EXPECT_EQ(ModemIdentification("ATI\r\nATI-9\x01\xE9 X \r\nOK"), "ATI-9 X");
    EXPECT_EQ(ModemIdentification("\r\nOK\r\n"), "");

    // Connected calls: the modem runs.
    for (const char* refused : {"NO CARRIER", "NO DIALTONE", "ERROR", "BUSY"})
        EXPECT_TRUE(DialRefused(std::string("\r\n") + refused + "\r\n")) << refused;
    EXPECT_FALSE(DialConnected("ATD123\r"));
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
    // The escape left data mode (guard times kept), even when the run was
    // stopping, the line was hung up and the port let go.
    void expectHungUp() {
        EXPECT_EQ(trace("modem escape"), 1);
        EXPECT_EQ(trace("modem >> ATH"), 1);
        EXPECT_TRUE(portFree(path));
    }
    std::mutex mutex;
    std::vector<std::string> lines;
    sim::MeterSim sim;
    std::string path;
    RunWindow w;
};

const std::string kInitNotSent =
    " - LA CADENA DE INICIALIZACION DE MODEM NO SE ENVIA AL MODEM GSM, SOLO AL ANALOGICO";

// A modem silent to its first two ATZ and not registered ("+CREG: 0,5"): red
// state, no signal asked, dialled all the same. (A call not connected: the
// program's run tests.)
TEST(ModemRun, LateUnregisteredGsmModemDialsReadsAndHangsUp) {
    sim::SimConfig c = modemSim(sim::ModemKind::Gsm);
    c.modem.atzOkFrom = 3;
    c.modem.cregStat = 5;
    ModemLine m(c);
    RunSettings s = m.settings(LinkGsmModem);
    s.ModemInitString = "AT+CPIN=1234";  // the analog modem's only; the log says so, once
    T_Conta run(s, m.w.callbacks());
    ASSERT_TRUE(m.w.waitEnd(run));
    EXPECT_EQ(m.w.countLog(kInitNotSent), 1);
    EXPECT_EQ(m.trace("modem >> AT+CPIN=1234"), 0);

    EXPECT_TRUE(InOrder(m.w.stream,
                        {modem(ModemNotRegistered, 0), Log(" - CONECTADO !", G),
                         "GRID 1 (6) LECTURA CORRECTA", "EXIT 0", modem(ModemDisconnected, 0)}));
    EXPECT_EQ(m.trace("modem >> ATZ"), 3);
    EXPECT_EQ(m.trace("modem >> AT+CSQ"), 0);
    // The GSM link wakes the modem with "+++".
    EXPECT_EQ(m.trace("modem ignores +++"), 1);
    m.expectHungUp();
}

TEST(ModemRun, AnalogModemWithResetStoppedOnLineStillEscapesAndHangsUp) {
    ModemLine m(modemSim(sim::ModemKind::Analog, {2, 3}));
    RunSettings s = m.settings(LinkAnalogModem, {{2, 20, 200}, {3, 30, 300}});
    s.ModemInitString = "AT&F";
    s.ModemReset = true;
    auto run = std::make_unique<T_Conta>(s, m.w.callbacks());
    ASSERT_TRUE(m.w.waitFor("GRID 1 CONTADOR ENCONTRADO..."));

    stop(run, milliseconds(5000));  // in the first meter's session, the call up

    EXPECT_EQ(m.w.countLog(kInitNotSent), 0);
    EXPECT_TRUE(InOrder(m.w.stream, {Log(" - >> (AT&F)", G), modem(ModemAnalog, 0),
                                     "GRID 2 (3) ERROR DE COMUNICACION", "EXIT 15"}));
    // The reset goes out to an analog modem too; no GSM question does.
    EXPECT_EQ(m.trace("modem >> AT+CFUN=1,1"), 1);
    EXPECT_EQ(m.trace("modem >> AT+CREG?"), 0);
    m.expectHungUp();
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
        auto run = std::make_unique<T_Conta>(m.settings(LinkGsmModem), m.w.callbacks());
        ASSERT_TRUE(m.w.executor.runUntil(
            [&] { return m.trace(dialling ? "modem dials 600123456" : "modem >> ATZ") > 0; },
            seconds(10)));
        m.w.executor.runUntil([] { return false; }, milliseconds(300));

        stop(run, milliseconds(5000));
        EXPECT_TRUE(InOrder(m.w.stream, {"GRID 1 (3) ERROR DE COMUNICACION", "EXIT 13"}));
        EXPECT_EQ(m.w.countLog(" - THERE IS NO MODEM IN THE SERIAL LINE."), 0);
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

// Whole reading runs over TCP against the meter simulator, through the run
// object, as the main window starts and stops them.
#include <gtest/gtest.h>

#include <mutex>

#include "platform/tcp_client.h"
#include "run_window.h"
#include "support/loopback_peer.h"

namespace qv {
namespace {

using namespace std::chrono;
using test::InOrder;
using test::Log;
using test::RunWindow;
using test::simMeters;

constexpr int32_t W = colour::White, Y = colour::Yellow, G = colour::Green, R = colour::Red;

RunSettings tcpSettings(RunWindow& w, uint16_t port,
                        const std::vector<std::array<int, 3>>& meters) {
    RunSettings s = w.settings(meters);
    s.LinkType = LinkTcp;
    s.Host = "127.0.0.1";
    s.TcpPortText = std::to_string(port);
    return s;
}

TEST(ReadingRunTcp, FirstMeterReadSecondUnreachableEndsWith15) {
    sim::MeterSim sim(simMeters({3, 4}, {4}));
    const uint16_t port = sim.listenTcp();
    RunWindow w;
    RunSettings s = tcpSettings(w, port, {{3, 30, 300}, {4, 40, 400}});
    // A start date after the end date reads the end date only.
    s.DateFrom = Day(2026y / March / 9);
    s.DateTo = Day(2026y / March / 5);
    T_Conta run(s, w.callbacks());
    ASSERT_TRUE(w.waitEnd(run));

    const std::string where = "127.0.0.1:" + std::to_string(port);
    EXPECT_TRUE(InOrder(w.stream, {
                                      Log(" - INIT OBJECTS...", Y),
                                      "GRID 1 INICIANDO HARDWARE...",
                                      "GRID 2 INICIANDO HARDWARE...",
                                      Log(" - INICIANDO PUERTO IP...", W),
                                      Log(" - INICIADO PROTOCOLO DE COMUNICACION IEC", W),
                                      "GRID 1 (1) HARDWARE INICIADO...",
                                      "GRID 2 (1) HARDWARE INICIADO...",
                                      Log(" - INICIANDO CONEXION IP...", Y),
                                      Log(" - Puerto TCP/IP abierto en : " + where, G),
                                      "EXIT 15",
                                      "GRID 1 BUSCANDO CONTADOR...",
                                      Log(" - SESSION OPENED", G),
                                      "DATA 3",
                                      "GRID 1 (6) LECTURA CORRECTA",
                                      Log(" - SESSION CLOSED!", G),
                                      "GRID 2 BUSCANDO CONTADOR...",
                                      "GRID 2 (4) ERROR DE ENLACE",
                                      "EXIT 15",
                                      Log(" - STOPING COMMUNICATIONS...", R),
                                      Log(" - TRY TO CLOSE SOCKET IP TO: 127.0.0.1", W),
                                      Log(" - OK !", W),
                                      "SHOW  - EXIT CODE: 15 #16777215",
                                      "SHOW  " + std::string(49, '-') + " #16777215",
                                  }));
    EXPECT_EQ(w.exitCode, 15);
    EXPECT_EQ(w.runEnded, 1);
    EXPECT_EQ(w.count(Log(" - TRY TO RECONNECT TO: " + where, R)), 0);

    // One record, for the meter whose session opened; the OPC code trimmed.
    ASSERT_EQ(w.devices.size(), 1u);
    const Tdevice& d = *w.devices[0];
    EXPECT_EQ(d.LinkAddress, 3);
    EXPECT_EQ(d.MeasurePoint, 30);
    EXPECT_EQ(d.OpcCode, "OPC3");
    EXPECT_EQ(d.IntervalType, IntervalDaily);
    ASSERT_EQ(d.DayCount(), 2u);  // 00:00 of 5 and of 6 March
    EXPECT_EQ(d.Labels[0](0, 0).Date, "05/03/26");
    EXPECT_EQ(d.Labels[1](0, 0).Date, "06/03/26");
    for (int reg = 1; reg <= 6; ++reg)
        EXPECT_EQ(d.Values[1](reg, 0, 0), sim::counterValue(7, 3, reg, test::simTime(2026, 3, 6)));

    // The status file: the grid as shown at the end, header first, CR LF.
    EXPECT_EQ(w.readStatusFile(),
              "DIRECCION DE ENLACE;PUNTO DE MEDIDA;CONTRASE\xD1"
              "A;CODIGO OPC ( OPCIONAL );ESTADO\r\n"
              "3;30;300;OPC3;(6) LECTURA CORRECTA\r\n"
              "4;40;400;OPC4;(4) ERROR DE ENLACE\r\n");
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
    // The handler ran inside the wait; the wait ended about 100 ms after it.
    EXPECT_EQ(w.runEnded, 1);
    EXPECT_LT(t1 - w.endedAt, milliseconds(600));
    run.reset();

    // The first meter's opening stopped, the second was never tried, the
    // socket was closed.
    EXPECT_TRUE(InOrder(w.stream, {"GRID 1 (4) ERROR DE ENLACE", "GRID 2 (3) ERROR DE COMUNICACION",
                                   "EXIT 15", Log(" - TRY TO CLOSE SOCKET IP TO: 127.0.0.1", W),
                                   "SHOW  - EXIT CODE: 15 #16777215"}));
    EXPECT_EQ(w.count(Log(" - STEP #1 (SOLICITUD DE ESTADO DE ENLACE)", Y)), 1);
    EXPECT_EQ(w.count("GRID 2 BUSCANDO CONTADOR..."), 0);
    EXPECT_TRUE(w.devices.empty());
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
// reading thread posts to it (its end handler) until released: the run object's
// wait then gives up while the thread has already ended.
class HoldingExecutor final : public MainExecutor {
  public:
    explicit HoldingExecutor(LoopExecutor& inner) : inner_(inner) {}
    void post(Task task) override {
        std::lock_guard lock(mutex_);
        if (holding_)
            held_.push_back(std::move(task));
        else
            inner_.post(std::move(task));
    }
    void processPending() override { inner_.processPending(); }
    bool processFor(milliseconds timeout) override { return inner_.processFor(timeout); }
    bool inMainThread() const override { return inner_.inMainThread(); }
    std::size_t heldCount() {
        std::lock_guard lock(mutex_);
        return held_.size();
    }
    void release() {
        std::lock_guard lock(mutex_);
        holding_ = false;
        for (auto& t : held_) inner_.post(std::move(t));
        held_.clear();
    }

  private:
    LoopExecutor& inner_;
    std::mutex mutex_;
    bool holding_ = true;
    std::vector<Task> held_;
};

TEST(ReadingRunTcp, ThreadEndingAfterTheRunGaveUpWaitingTouchesNoFreedRun) {
    sim::MeterSim sim(simMeters({3}));
    RunWindow w;
    HoldingExecutor late(w.executor);
    RunSettings s = tcpSettings(w, sim.listenTcp(), {{3, 30, 300}});
    s.Executor = &late;
    auto run = std::make_unique<T_Conta>(s, w.callbacks());
    ASSERT_TRUE(w.executor.runUntil([&] { return late.heldCount() > 0; }, seconds(30)));
    const auto t0 = steady_clock::now();
    run->Destroy();
    const auto waited = steady_clock::now() - t0;
    EXPECT_GE(waited, milliseconds(4900));
    EXPECT_LT(waited, milliseconds(5800));
    EXPECT_FALSE(run->Finished());
    run.reset();  // the run object is gone; its end handler has not run yet

    // The handler still logs and writes the status file, but leaves the
    // window's re-enabling to the stop that already happened.
    late.release();
    ASSERT_TRUE(w.executor.runUntil([&] { return !w.shown.empty(); }, seconds(10)));
    EXPECT_EQ(w.shown.front(), " - EXIT CODE: 0");
    EXPECT_EQ(w.runEnded, 0);
    EXPECT_NE(w.readStatusFile().find("3;30;300;OPC3;(6) LECTURA CORRECTA\r\n"), std::string::npos);
}

// A listening socket whose queue is full: connects to it hang until their own
// time-out (the kernel drops the SYNs). False when they do not hang here.
bool jam(const test::LoopbackListener& l, std::vector<std::unique_ptr<TcpClient>>& fillers) {
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
    test::LoopbackListener listener(0);
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
    for (const auto& e : w.stream)
        if (e.find(" - Puerto TCP/IP abierto en : ") != std::string::npos)
            GTEST_SKIP() << "the connect did not hang";
    EXPECT_LT(waited, milliseconds(1500));
    EXPECT_TRUE(run->Finished());
}

TEST(ReadingRunFiles, StatusFileNameAndContents) {
    EXPECT_EQ(StatusFilePath("/opt/q/quorvanta.exe"), "/opt/q/quorvanta_STATUSLOG.CSV");
    EXPECT_EQ(StatusFilePath("/opt/q.d/quorvanta"), "/opt/q.d/quorvanta_STATUSLOG.CSV");

    const std::string dir = test::makeTempDir("qv_status_");
    std::filesystem::create_symlink(dir + "/bin/quorvanta", dir + "/link");
    // A link (as /proc/self/exe is) names the file beside its target.
    EXPECT_EQ(StatusFilePath(dir + "/link"), dir + "/bin/quorvanta_STATUSLOG.CSV");
    std::filesystem::create_symlink("quorvanta.bin", dir + "/rel");
    EXPECT_EQ(StatusFilePath(dir + "/rel"), dir + "/quorvanta_STATUSLOG.CSV");
    EXPECT_NE(StatusFilePath("/proc/self/exe").find("_STATUSLOG.CSV"), std::string::npos);
    EXPECT_EQ(StatusFilePath("/proc/self/exe").rfind("/proc/self/", 0), std::string::npos);

    // Texts trimmed, an old file replaced whole, a path that cannot be created
    // reported without an exception.
    const std::string file = dir + "/s.csv";
    ASSERT_TRUE(WriteStatusFile(
        file, {{" a ", "b", "", "\tc", "d  "}, {"1", "2", "3", "4", "5"}, {"x", "", "", "", ""}}));
    ASSERT_TRUE(WriteStatusFile(file, {{" a ", "b", "", "\tc", "d  "}}));
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "a;b;;c;d\r\n");
    EXPECT_FALSE(WriteStatusFile(dir + "/missing/s.csv", {{"a", "", "", "", ""}}));
    EXPECT_FALSE(WriteStatusFile(dir, {{"a", "", "", "", ""}}));
    std::filesystem::remove_all(dir);
}

TEST(ReadingRunFiles, TcpPortText) {
    // Text that is no number means the default port; a number out of range is refused.
    const std::pair<const char*, int> rows[] = {{"40001", 40001}, {" 502 ", 502}, {"abc", 40000},
                                                {"", 40000},      {"12a", 40000}, {"65535", 65535}};
    for (auto [text, port] : rows) EXPECT_EQ(TcpPortOf(text), port) << text;
    for (const char* text : {"65536", "0", "-5", "99999999999999999999"})
        EXPECT_THROW(TcpPortOf(text), std::invalid_argument) << text;
}

}  // namespace
}  // namespace qv

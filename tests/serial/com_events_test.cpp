// Line events that a pseudo-terminal cannot show (line errors, ring, modem
// lines), from a fake line source under a pty carrying the data.

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <mutex>
#include <thread>

#include "port_test_util.h"
#include "serial/com_port.h"
#include "support/pty_pair.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

class FakeLines : public ComLineSource {
  public:
    int GetModemBits(int, int& tiocm) override {
        std::lock_guard lock(m);
        tiocm = bits;
        return 0;
    }
    int SetModemBits(int, int b, bool on) override {
        std::lock_guard lock(m);
        if (b & TIOCM_RTS) rtsHistory.push_back(on);
        raised = on ? (raised | b) : (raised & ~b);
        return 0;
    }
    int GetCounts(int, ComLineCounts& c) override {
        std::lock_guard lock(m);
        c = counts;
        ++polls;
        return 0;
    }
    int pollCount() {
        std::lock_guard lock(m);
        return polls;
    }
    int outputs() {
        std::lock_guard lock(m);
        return raised;
    }
    // Waits until the pump has read the counters twice more, so whatever the
    // first of those reads found has been recorded.
    void waitPolled() {
        const int start = pollCount();
        test::waitFor([&] { return pollCount() >= start + 2; }, 2500ms);
    }
    void update(const std::function<void(int&, ComLineCounts&)>& fn) {
        std::lock_guard lock(m);
        fn(bits, counts);
    }

    std::mutex m;
    int bits = 0, raised = 0, polls = 0;
    std::vector<bool> rtsHistory;
    ComLineCounts counts;
};

class LineEventTest : public ::testing::Test {
  protected:
    LoopExecutor loop;
    test::PtyPair pty;
    std::shared_ptr<FakeLines> lines = std::make_shared<FakeLines>();
    std::vector<std::string> log;  // outlives the port, whose close still reports
    TComPort port{&loop};

    void SetUp() override {
        port.SetPort(pty.slaveName());
        port.SetLineSource(lines);
        port.OnError = [this](TCustomComPort*, TComErrors e) {
            std::string s = "err";
            if (e.Contains(ceRxParity)) s += ":parity";
            if (e.Contains(ceFrame)) s += ":frame";
            if (e.Contains(ceBreak)) s += ":break";
            if (e.Contains(ceOverrun)) s += ":overrun";
            log.push_back(s);
        };
        port.OnRing = [this](TCustomComPort*) { log.push_back("ring"); };
        port.OnBreak = [this](TCustomComPort*) { log.push_back("break"); };
        auto change = [this](std::string line) {
            return
                [this, line](TCustomComPort*, bool on) { log.push_back(line + (on ? "+" : "-")); };
        };
        port.OnCTSChange = change("cts");
        port.OnDSRChange = change("dsr");
        port.OnRLSDChange = change("dcd");
    }
    void logReceived(int perCall) {
        port.OnRxChar = [this, perCall](TCustomComPort* s, int n) {
            std::string c;
            s->ReadStr(c, perCall ? perCall : n);
            log.push_back("rx:" + c);
        };
    }
    bool pumpUntil(const std::function<bool()>& done) { return loop.runUntil(done, 5s); }
    bool logged(const std::string& s) { return std::find(log.begin(), log.end(), s) != log.end(); }
    bool pumpUntilLogged(const std::string& s) {
        return pumpUntil([&] { return logged(s); });
    }
    void idle(std::chrono::milliseconds t) {
        loop.runUntil([] { return false; }, t);
    }
};

TEST_F(LineEventTest, OpenReportsLinesAndSetsDtrAndRts) {
    lines->update([](int& b, ComLineCounts&) { b = TIOCM_CTS | TIOCM_CAR; });
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetControlRTS(rtsEnable);
    port.Open();
    EXPECT_EQ(log, (std::vector<std::string>{"cts+", "dsr-", "dcd+"}));
    EXPECT_EQ(lines->outputs() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(port.ModemSignals(), (TModemLines{mlCTS, mlRLSD}));
    port.FlowControl().SetControlDTR(dtrDisable);
    EXPECT_EQ(lines->outputs() & TIOCM_DTR, 0);
    log.clear();
    port.Close();
    EXPECT_EQ(log, (std::vector<std::string>{"cts-", "dsr-", "dcd-"}));
}

TEST_F(LineEventTest, LineChangesAndRingArriveAsEvents) {
    port.Open();
    log.clear();
    lines->update([](int& b, ComLineCounts& c) {
        b = TIOCM_DSR;
        c.dsr++;
    });
    ASSERT_TRUE(pumpUntilLogged("dsr+"));
    lines->update([](int&, ComLineCounts& c) { c.rng++; });
    ASSERT_TRUE(pumpUntilLogged("ring"));
    lines->update([](int&, ComLineCounts& c) { c.brk++; });
    ASSERT_TRUE(pumpUntilLogged("break"));
    // The break is also a line error, reported before it in the same batch.
    auto err = std::find(log.begin(), log.end(), "err:break");
    ASSERT_NE(err, log.end());
    EXPECT_LT(err, std::find(log.begin(), log.end(), "break"));
}

TEST_F(LineEventTest, LineErrorsComeBeforeTheDataOfTheSameBatch) {
    port.Parity().SetBits(prEven);
    port.Parity().SetCheck(true);
    logReceived(1);  // one byte a call, so the second byte waits for the next batch
    port.Open();
    log.clear();
    ASSERT_TRUE(pty.writeMaster("a"));
    // Batch 1 is handed to the main thread, which is not pumping yet.
    ASSERT_TRUE(test::waitFor([&] { return loop.pendingCount() > 0; }));
    lines->update([](int&, ComLineCounts& c) { c.parity++; });
    ASSERT_TRUE(pty.writeMaster("b"));
    lines->waitPolled();  // both the error and "b" are now recorded
    test::waitFor([&] { return port.InputCount() >= 2; });
    ASSERT_TRUE(pumpUntilLogged("rx:b"));
    EXPECT_EQ(log, (std::vector<std::string>{"rx:a", "err:parity", "rx:b"}));
}

TEST_F(LineEventTest, ParityErrorIsHiddenWithoutParityCheckOthersReportedOnce) {
    port.Open();
    log.clear();
    lines->update([](int&, ComLineCounts& c) { c.parity++; });
    idle(300ms);
    EXPECT_TRUE(log.empty());
    lines->update([](int&, ComLineCounts& c) { c.frame++; });
    ASSERT_TRUE(pumpUntilLogged("err:frame"));
    EXPECT_EQ(log, (std::vector<std::string>{"err:frame"}));
    // Reading the input count leaves an error for OnError.
    lines->update([](int&, ComLineCounts& c) { c.overrun++; });
    lines->waitPolled();  // recorded; the batch waits for the main thread
    EXPECT_EQ(port.InputCount(), 0);
    ASSERT_TRUE(pumpUntilLogged("err:overrun"));
    EXPECT_EQ(port.LastErrors(), TComErrors{});  // reported once, then cleared
}

TEST_F(LineEventTest, RtsToggleRaisesRtsAroundEachWrite) {
    // A pty has no RS-485 mode, so the port toggles RTS itself.
    port.FlowControl().SetControlRTS(rtsToggle);
    port.Open();
    lines->update([&](int&, ComLineCounts&) { lines->rtsHistory.clear(); });
    EXPECT_EQ(port.WriteStr("frame"), 5);
    EXPECT_EQ(pty.readMaster(5), "frame");
    EXPECT_EQ(port.WriteStr("two"), 3);
    std::lock_guard lock(lines->m);
    EXPECT_EQ(lines->rtsHistory, (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(lines->raised & TIOCM_RTS, 0);
}

TEST_F(LineEventTest, OnlyTheChosenEventsAreWatched) {
    port.Events = {evRxChar};
    port.Open();
    log.clear();
    lines->update([](int& b, ComLineCounts& c) {
        b = TIOCM_CTS;
        c.cts++;
        c.parity++;
    });
    logReceived(0);
    ASSERT_TRUE(pty.writeMaster("k"));
    ASSERT_TRUE(pumpUntilLogged("rx:k"));
    idle(200ms);
    EXPECT_EQ(log, (std::vector<std::string>{"rx:k"}));
}

}  // namespace
}  // namespace qv

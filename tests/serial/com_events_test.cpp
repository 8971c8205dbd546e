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
    // Runs fn on the fake's state under its lock (the port's pump reads it).
    template <class F>
    auto with(F&& fn) {
        std::lock_guard lock(m);
        return fn(*this);
    }
    // Waits until the pump has read the counters twice more, so whatever the
    // first of those reads found has been recorded.
    void waitPolled() {
        const int start = with([](FakeLines& l) { return l.polls; });
        test::waitFor([&] { return with([](FakeLines& l) { return l.polls; }) >= start + 2; },
                      2500ms);
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
        // One byte a call, so a second byte waits for the next batch.
        port.OnRxChar = [this](TCustomComPort* s, int) {
            std::string c;
            s->ReadStr(c, 1);
            log.push_back("rx:" + c);
        };
    }
    bool pumpUntilLogged(const std::string& s) {
        return loop.runUntil([&] { return std::find(log.begin(), log.end(), s) != log.end(); }, 5s);
    }
    void idle(std::chrono::milliseconds t) {
        loop.runUntil([] { return false; }, t);
    }
    using Log = std::vector<std::string>;
};

TEST_F(LineEventTest, OpenReportsLinesRaisesDtrAndTogglesRtsAroundEachWrite) {
    lines->with([](FakeLines& l) { l.bits = TIOCM_CTS | TIOCM_CAR; });
    // As a reading run sets the line up; a pty has no RS-485 mode, so the port
    // toggles RTS itself.
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetControlRTS(rtsToggle);
    port.Open();
    EXPECT_EQ(log, (Log{"cts+", "dsr-", "dcd+"}));
    EXPECT_EQ(port.ModemSignals(), (TModemLines{mlCTS, mlRLSD}));
    lines->with([](FakeLines& l) { l.rtsHistory.clear(); });
    EXPECT_EQ(port.WriteStr("frame"), 5);
    EXPECT_EQ(pty.readMaster(5), "frame");
    EXPECT_EQ(port.WriteStr("two"), 3);
    lines->with([](FakeLines& l) {
        EXPECT_EQ(l.rtsHistory, (std::vector<bool>{true, false, true, false}));
        EXPECT_EQ(l.raised & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR);
    });
    port.FlowControl().SetControlDTR(dtrDisable);
    EXPECT_EQ(lines->with([](FakeLines& l) { return l.raised & TIOCM_DTR; }), 0);
    log.clear();
    port.Close();
    EXPECT_EQ(log, (Log{"cts-", "dsr-", "dcd-"}));
}

TEST_F(LineEventTest, OnlyTheChosenEventsAreWatchedThenLineChangesAndRingArrive) {
    port.Events = {evRxChar};
    port.Open();
    lines->with([](FakeLines& l) {
        l.bits = TIOCM_CTS;
        l.counts.cts++;
        l.counts.parity++;
    });
    ASSERT_TRUE(pty.writeMaster("k"));
    ASSERT_TRUE(pumpUntilLogged("rx:k"));
    idle(200ms);
    EXPECT_EQ(log, (Log{"cts-", "dsr-", "dcd-", "rx:k"}));
    port.Close();
    port.Events = AllComEvents;
    port.Open();
    log.clear();
    lines->with([](FakeLines& l) {
        l.bits = TIOCM_DSR;
        l.counts.dsr++;
    });
    ASSERT_TRUE(pumpUntilLogged("dsr+"));
    lines->with([](FakeLines& l) { l.counts.rng++; });
    ASSERT_TRUE(pumpUntilLogged("ring"));
    lines->with([](FakeLines& l) { l.counts.brk++; });
    ASSERT_TRUE(pumpUntilLogged("break"));
    // The break is also a line error, reported before it in the same batch.
    auto err = std::find(log.begin(), log.end(), "err:break");
    ASSERT_NE(err, log.end());
    EXPECT_LT(err, std::find(log.begin(), log.end(), "break"));
}

TEST_F(LineEventTest, LineErrorsAreReportedOnceAndBeforeTheDataOfTheSameBatch) {
    port.Open();
    log.clear();
    // Without parity checking a parity error is no error.
    lines->with([](FakeLines& l) { l.counts.parity++; });
    idle(300ms);
    EXPECT_TRUE(log.empty());
    lines->with([](FakeLines& l) { l.counts.frame++; });
    ASSERT_TRUE(pumpUntilLogged("err:frame"));
    EXPECT_EQ(log, (Log{"err:frame"}));
    // Reading the input count leaves an error for OnError.
    lines->with([](FakeLines& l) { l.counts.overrun++; });
    lines->waitPolled();  // recorded; the batch waits for the main thread
    EXPECT_EQ(port.InputCount(), 0);
    ASSERT_TRUE(pumpUntilLogged("err:overrun"));
    EXPECT_EQ(port.LastErrors(), TComErrors{});  // reported once, then cleared

    port.Close();
    port.Parity().SetBits(prEven);
    port.Parity().SetCheck(true);
    port.Open();
    log.clear();
    ASSERT_TRUE(pty.writeMaster("a"));
    // Batch 1 is handed to the main thread, which is not pumping yet.
    ASSERT_TRUE(test::waitFor([&] { return loop.pendingCount() > 0; }));
    lines->with([](FakeLines& l) { l.counts.parity++; });
    ASSERT_TRUE(pty.writeMaster("b"));
    lines->waitPolled();  // both the error and "b" are now recorded
    test::waitFor([&] { return port.InputCount() >= 2; });
    ASSERT_TRUE(pumpUntilLogged("rx:b"));
    EXPECT_EQ(log, (Log{"rx:a", "err:parity", "rx:b"}));
}

}  // namespace
}  // namespace qv

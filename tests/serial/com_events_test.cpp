// Line events that a pseudo-terminal cannot show (line errors, ring, modem
// lines), from a fake line source under a pty carrying the data.

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <mutex>
#include <thread>

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
        if (on)
            raised |= b;
        else
            raised &= ~b;
        return 0;
    }
    int GetCounts(int, ComLineCounts& c) override {
        std::lock_guard lock(m);
        c = counts;
        ++polls;
        return 0;
    }
    // Waits until the pump has read the counters twice more, so whatever the
    // first of those reads found has been recorded.
    void waitPolled() {
        int start;
        {
            std::lock_guard lock(m);
            start = polls;
        }
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard lock(m);
                if (polls >= start + 2) return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    void update(const std::function<void(int&, ComLineCounts&)>& fn) {
        std::lock_guard lock(m);
        fn(bits, counts);
    }
    int outputs() {
        std::lock_guard lock(m);
        return raised;
    }

    std::mutex m;
    int bits = 0;
    int raised = 0;
    int polls = 0;
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
        port.OnCTSChange = [this](TCustomComPort*, bool on) {
            log.push_back(on ? "cts+" : "cts-");
        };
        port.OnDSRChange = [this](TCustomComPort*, bool on) {
            log.push_back(on ? "dsr+" : "dsr-");
        };
        port.OnRLSDChange = [this](TCustomComPort*, bool on) {
            log.push_back(on ? "dcd+" : "dcd-");
        };
    }
    bool pumpUntil(const std::function<bool()>& done) { return loop.runUntil(done, 5s); }
    bool logged(const std::string& s) { return std::find(log.begin(), log.end(), s) != log.end(); }
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
    ASSERT_TRUE(pumpUntil([&] { return logged("dsr+"); }));
    lines->update([](int&, ComLineCounts& c) { c.rng++; });
    ASSERT_TRUE(pumpUntil([&] { return logged("ring"); }));
    lines->update([](int&, ComLineCounts& c) { c.brk++; });
    ASSERT_TRUE(pumpUntil([&] { return logged("break"); }));
    // The break is also a line error, reported before it in the same batch.
    auto err = std::find(log.begin(), log.end(), "err:break");
    auto brk = std::find(log.begin(), log.end(), "break");
    ASSERT_NE(err, log.end());
    EXPECT_LT(err, brk);
}

TEST_F(LineEventTest, LineErrorsComeBeforeTheDataOfTheSameBatch) {
    port.Parity().SetBits(prEven);
    port.Parity().SetCheck(true);
    port.OnRxChar = [this](TCustomComPort* s, int) {
        std::string c;
        s->ReadStr(c, 1);  // one byte a call, so the second byte waits for the next batch
        log.push_back("rx:" + c);
    };
    port.Open();
    log.clear();
    ASSERT_TRUE(pty.writeMaster("a"));
    // Batch 1 is handed to the main thread, which is not pumping yet.
    for (int i = 0; i < 1000 && loop.pendingCount() == 0; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_GT(loop.pendingCount(), 0u);
    lines->update([](int&, ComLineCounts& c) { c.parity++; });
    ASSERT_TRUE(pty.writeMaster("b"));
    lines->waitPolled();  // both the error and "b" are now recorded
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (port.InputCount() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(pumpUntil([&] { return logged("rx:b"); }));
    EXPECT_EQ(log, (std::vector<std::string>{"rx:a", "err:parity", "rx:b"}));
}

TEST_F(LineEventTest, ParityErrorIsHiddenWithoutParityCheck) {
    port.Open();
    log.clear();
    lines->update([](int&, ComLineCounts& c) { c.parity++; });
    loop.runUntil([] { return false; }, 300ms);
    EXPECT_TRUE(log.empty());
    lines->update([](int&, ComLineCounts& c) { c.frame++; });
    ASSERT_TRUE(pumpUntil([&] { return logged("err:frame"); }));
    EXPECT_EQ(log, (std::vector<std::string>{"err:frame"}));
}

TEST_F(LineEventTest, InputCountLeavesErrorsForOnError) {
    port.Open();
    log.clear();
    lines->update([](int&, ComLineCounts& c) { c.overrun++; });
    lines->waitPolled();  // recorded; the batch waits for the main thread
    EXPECT_EQ(port.InputCount(), 0);
    ASSERT_TRUE(pumpUntil([&] { return logged("err:overrun"); }));
    EXPECT_EQ(port.LastErrors(), TComErrors{});  // reported once, then cleared
}

TEST_F(LineEventTest, RtsToggleRaisesRtsAroundEachWrite) {
    // A pty has no RS-485 mode, so the port toggles RTS itself.
    port.FlowControl().SetControlRTS(rtsToggle);
    port.Open();
    {
        std::lock_guard lock(lines->m);
        lines->rtsHistory.clear();
    }
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
    port.OnRxChar = [this](TCustomComPort* s, int n) {
        std::string c;
        s->ReadStr(c, n);
        log.push_back("rx:" + c);
    };
    ASSERT_TRUE(pty.writeMaster("k"));
    ASSERT_TRUE(pumpUntil([&] { return logged("rx:k"); }));
    loop.runUntil([] { return false; }, 200ms);
    EXPECT_EQ(log, (std::vector<std::string>{"rx:k"}));
}

}  // namespace
}  // namespace qv

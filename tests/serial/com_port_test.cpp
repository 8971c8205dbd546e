// The port on real pseudo-terminals: bytes both ways, event delivery into the
// main thread, open and close, failures of the device and of handlers, and line
// events from a fake line source.

#include "serial/com_port.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "port_test_util.h"
#include "support/pty_pair.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::allBytes;
using test::appendTo;
using test::ext;
using test::failure;

class PortTest : public ::testing::Test {
  protected:
    LoopExecutor loop;
    test::PtyPair pty;
    std::string received;
    using Log = std::vector<std::string>;
    Log log;

    std::unique_ptr<TComPort> makePort(const std::string& path) {
        auto p = std::make_unique<TComPort>(&loop);
        p->SetPort(path);
        return p;
    }
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds t = 5s) {
        return loop.runUntil(done, t);
    }
    std::unique_ptr<TComPort> p = makePort(pty.slaveName());
};

TEST_F(PortTest, MegabyteOfEveryByteArrivesIntactAndGoesBack) {
    p->OnRxChar = appendTo(received);
    // The device starts as a cooked terminal (line editing, echo, CR/LF and
    // flow-control characters): the port itself must make it carry bytes as they are.
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    t.c_iflag |= ICRNL | IXON | ISTRIP;
    t.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &t), 0);
    p->Open();
    // Every byte value, then a megabyte whose period is no power of two, so that
    // a lost, doubled or swapped block shows.
    std::string data = allBytes();
    for (int i = 0; i < (1 << 20); ++i) data += static_cast<char>(i % 251);
    std::thread writer([&] { EXPECT_TRUE(pty.writeMaster(data, 30s)); });
    const bool done = pumpUntil([&] { return received.size() >= data.size(); }, 30s);
    writer.join();
    ASSERT_TRUE(done) << received.size();
    EXPECT_TRUE(received == data);
    EXPECT_EQ(p->WriteStr(allBytes()), 256);
    EXPECT_EQ(pty.readMaster(256), allBytes());
}

// Modem-line ioctls that take their time, as on a real UART, so that the far
// end's bytes fill the input queue while the port is still being set up.
struct SlowLines : ComLineSource {
    int SetModemBits(int fd, int bits, bool on) override {
        std::this_thread::sleep_for(2ms);
        return ComLineSource::SetModemBits(fd, bits, on);
    }
};

TEST_F(PortTest, FarEndTalkingAsPortsOpenAndAreDestroyedByAnotherThread) {
    std::atomic<bool> talking{true};
    std::thread talker([&] {
        while (talking) pty.writeMaster(std::string(512, 'x'), 20ms);
    });
    std::atomic<bool> wrongThread{false};
    for (int i = 0; i < 30 && !HasFailure(); ++i) {
        p = makePort(pty.slaveName());
        const TSyncMethod sync = std::array{smThreadSync, smWindowSync, smNone}[i % 3];
        const bool inMain = sync != smNone;  // smNone runs handlers in the event thread
        p->SetSyncMethod(sync);
        p->SetLineSource(std::make_shared<SlowLines>());
        std::atomic<std::size_t> got{0};
        p->OnRxChar = [&, inMain](TCustomComPort* s, int n) {
            if (loop.inMainThread() != inMain) wrongThread = true;
            std::string chunk;
            got += static_cast<std::size_t>(s->ReadStr(chunk, n));
        };
        p->Open();
        EXPECT_TRUE(pumpUntil([&] { return got > 4096; })) << "open " << i << " went silent";
        // Destroyed while batches arrive; the main thread goes on handling them.
        std::atomic<bool> gone{false};
        std::thread killer([&] {
            p.reset();
            gone = true;
        });
        EXPECT_TRUE(pumpUntil([&] { return gone.load(); }));
        killer.join();
    }
    talking = false;
    talker.join();
    EXPECT_FALSE(wrongThread);
}

TEST_F(PortTest, OpenCloseAndPortChangeRunTheirEventsInOrderAlsoFromItsOwnHandler) {
    test::PtyPair other;
    p->OnRxChar = appendTo(received);
    p->OnBeforeOpen = [&](TCustomComPort*) { log.push_back("BeforeOpen"); };
    p->OnAfterOpen = [&](TCustomComPort* s) {
        log.push_back(s->Connected() ? "AfterOpen" : "AfterOpen-closed");
    };
    p->OnBeforeClose = [&](TCustomComPort*) { log.push_back("BeforeClose"); };
    p->OnAfterClose = [&](TCustomComPort* s) {
        log.push_back(s->Connected() ? "AfterClose-open" : "AfterClose");
    };
    p->SetConnected(true);
    p->SetConnected(true);  // already open: nothing
    EXPECT_EQ(log, (Log{"BeforeOpen", "AfterOpen"}));
    log.clear();
    p->SetPort(other.slaveName());
    EXPECT_TRUE(p->Connected());
    EXPECT_EQ(log, (Log{"BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen"}));
    ASSERT_TRUE(other.writeMaster("new line"));
    ASSERT_TRUE(pumpUntil([&] { return received == "new line"; }));

    // From inside a batch: a reopen (or close) that waited for its own event
    // thread would never come back.
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 1000 && !finished; ++i) std::this_thread::sleep_for(10ms);
        if (!finished) {
            std::fprintf(stderr, "reopen or close from the port's own handler hangs\n");
            std::abort();
        }
    });
    received.clear();
    bool moved = false;
    p->OnRxChar = [&](TCustomComPort* s, int n) {
        appendTo(received)(s, n);
        if (!moved) {
            moved = true;
            s->SetPort(pty.slaveName());
        }
    };
    EXPECT_TRUE(other.writeMaster("old"));
    const bool reopened = pumpUntil([&] { return moved && p->Connected(); });
    EXPECT_TRUE(pty.writeMaster("new"));
    const bool got = pumpUntil([&] { return received == "oldnew"; });
    p->OnRxChar = [&](TCustomComPort* s, int) { s->Close(); };
    EXPECT_TRUE(pty.writeMaster("x"));
    const bool closed = pumpUntil([&] { return !p->Connected(); });
    finished = true;
    watchdog.join();
    EXPECT_TRUE(reopened);
    EXPECT_TRUE(got) << received;
    EXPECT_TRUE(closed);
    EXPECT_NO_THROW(p->Open());  // the old event thread has ended by now
    log.clear();
    p->SetConnected(false);
    p->SetConnected(false);
    EXPECT_EQ(log, (Log{"BeforeClose", "AfterClose"}));
    EXPECT_EQ(p->Handle(), -1);
}

TEST_F(PortTest, OpenFailuresCarryCodeOneAndTheSystemError) {
    std::vector<std::string> traces;
    SetComDebugOutput([&](const std::string& t) { traces.push_back(t); });
    struct SinkReset {
        ~SinkReset() { SetComDebugOutput(nullptr); }
    } sinkReset;
    p->Open();  // holds the pty
    const struct {
        std::string path;
        int err;
    } rows[] = {{"/nonexistent/ttyQV0", ENOENT}, {"/dev/null", ENOTTY}, {pty.slaveName(), EBUSY}};
    std::vector<std::unique_ptr<TComPort>> ports;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        auto& q = ports.emplace_back(makePort(row.path));
        bool beforeOpen = false;
        q->OnBeforeOpen = [&](TCustomComPort*) { beforeOpen = true; };
        std::string what;
        EXPECT_EQ(failure([&] { q->Open(); }, &what), ext(1, row.err));
        EXPECT_EQ(what, "COM Port Error: Unable to open com port on " + row.path);
        EXPECT_TRUE(beforeOpen);
        q->OnBeforeOpen = nullptr;
        EXPECT_FALSE(q->Connected());
        EXPECT_EQ(q->Handle(), -1);
        ASSERT_FALSE(traces.empty());
        EXPECT_EQ(traces.back(), "CreateFile " + row.path);
    }
    // Once the holder lets go, the refused object opens; so does the one that
    // failed on a missing path once it names a real device.
    p->Close();
    EXPECT_NO_THROW(ports.back()->Open());
    ports.back()->Close();
    ports.front()->SetPort(pty.slaveName());
    EXPECT_NO_THROW(ports.front()->Open());
}

// Opens the device from another process as an ordinary user, without any
// lock: 0 when that works, otherwise its errno.
constexpr int kCannotDropRoot = 254;
int openFromAnotherProgram(const std::string& path) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(kCannotDropRoot);
        _exit(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) < 0 ? errno : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(PortTest, OpenPortKeepsOutProgramsThatTakeNoLock) {
    ASSERT_EQ(chmod(pty.slaveName().c_str(), 0666), 0);
    // Root passes the terminal's exclusive mode; an ordinary user is needed, and
    // one who can open the device while the port is closed (not so in every chroot).
    const int before = openFromAnotherProgram(pty.slaveName());
    if (before == kCannotDropRoot) GTEST_SKIP() << "root cannot be dropped here";
    if (before != 0) GTEST_SKIP() << "an ordinary user cannot open the device here: " << before;
    p->Open();
    EXPECT_EQ(openFromAnotherProgram(pty.slaveName()), EBUSY);
    p->Close();  // open to others again, though the pty helper still holds it
    EXPECT_EQ(openFromAnotherProgram(pty.slaveName()), 0);
}

TEST_F(PortTest, ReadsClearAndTimeOutsWithEventsDisabled) {
    p->SetSyncMethod(smDisableEvents);  // nobody reads in between
    int calls = 0;
    p->OnRxChar = [&](TCustomComPort*, int) { ++calls; };
    p->Open();
    ASSERT_TRUE(pty.writeMaster("abcd"));
    ASSERT_TRUE(pumpUntil([&] { return p->InputCount() == 4; }));
    std::string s;
    EXPECT_EQ(p->ReadStr(s, 10), 4);
    EXPECT_EQ(s, "abcd");
    EXPECT_EQ(p->ReadStr(s, 10), 0);
    EXPECT_EQ(s, "");
    // Clearing the input only keeps what goes out.
    ASSERT_TRUE(pty.writeMaster("stale"));
    ASSERT_TRUE(pumpUntil([&] { return p->InputCount() == 5; }));
    p->ClearBuffer(true, false);
    EXPECT_EQ(p->InputCount(), 0);
    EXPECT_EQ(p->WriteStr("out"), 3);
    EXPECT_EQ(pty.readMaster(3), "out");

    // Reads wait as their time-outs say: short of its count, a read waits out
    // its total time-out and ends with what there is.
    p->Timeouts().SetReadInterval(0);
    p->Timeouts().SetReadTotalConstant(300);
    ASSERT_TRUE(pty.writeMaster("xyz"));
    ASSERT_TRUE(pumpUntil([&] { return p->InputCount() == 3; }));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(p->ReadStr(s, 10), 3);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);
    EXPECT_EQ(s, "xyz");
    // Bytes that come while a read waits are taken; it ends once its count is
    // there. The pause only makes them likely to come during the read: before
    // it, the verdict is the same, and the long time-out outlasts any build.
    p->Timeouts().SetReadTotalConstant(60000);
    std::thread late([&] {
        std::this_thread::sleep_for(50ms);
        pty.writeMaster("uvw");
    });
    EXPECT_EQ(p->ReadStr(s, 3), 3);
    late.join();
    EXPECT_EQ(s, "uvw");
    // "Wait for the first byte" mode returns as soon as something is there,
    // long before its total time-out.
    p->Timeouts().SetReadInterval(-1);
    p->Timeouts().SetReadTotalMultiplier(-1);
    p->Timeouts().SetReadTotalConstant(60000);
    std::thread soon([&] {
        std::this_thread::sleep_for(50ms);
        pty.writeMaster("q");
    });
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(p->ReadStr(s, 10), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t1, 30s);
    soon.join();
    EXPECT_EQ(calls, 0);
}

TEST_F(PortTest, LoadedOpensWhatTheFormAskedForAndReportsWhatFails) {
    p->BeginLoading();
    p->SetConnected(true);
    EXPECT_FALSE(p->Connected());
    p->Loaded();
    EXPECT_TRUE(p->Connected());
    auto q = makePort("/nonexistent/port");
    std::string reported;
    q->ExceptionHandler = [&](TCustomComPort*, std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            reported = x.what();
        }
    };
    q->BeginLoading();
    q->SetConnected(true);
    EXPECT_NO_THROW(q->Loaded());
    EXPECT_EQ(reported, "COM Port Error: Unable to open com port on /nonexistent/port");
    EXPECT_FALSE(q->Connected());
}

TEST_F(PortTest, BadOrLockedSettingsAreErrorsNotHangUps) {
    p->SetStopBits(sbOne5StopBits);  // only valid with five data bits
    EXPECT_EQ(failure([&] { p->Open(); }), ext(7, EINVAL));
    EXPECT_FALSE(p->Connected());
    EXPECT_EQ(p->Handle(), -1);
    p->SetDataBits(dbFive);
    EXPECT_NO_THROW(p->Open());
    EXPECT_THROW(p->SetDataBits(dbEight), EComPortExt);  // stored, port stays open
    EXPECT_TRUE(p->Connected());
    p->SetStopBits(sbOneStopBit);
    p->SetBaudRate(brCustom);
    EXPECT_EQ(failure([&] { p->SetCustomBaudRate(0); }), ext(7, EINVAL));
    EXPECT_EQ(failure([&] { p->Buffer().SetInputSize(0); }), ext(9, EINVAL));
    // Rates without a classic constant go through as they are.
    p->Buffer().SetInputSize(1024);
    for (int rate : {14400, 56000, 128000, 256000, 250000})
        EXPECT_NO_THROW(p->SetCustomBaudRate(rate));
    EXPECT_NO_THROW(p->SetBaudRate(br14400));
    EXPECT_TRUE(p->Connected());
    // The sync method is fixed while open.
    std::string what;
    EXPECT_EQ(failure([&] { p->SetSyncMethod(smNone); }, &what), "14");  // the plain exception
    EXPECT_EQ(what, pty.slaveName() + " Error: Cannot set property while connected");
}

TEST_F(PortTest, HangUpIsReportedOnceAndNeverSpins) {
    p->OnRxChar = appendTo(received);
    int errorEvents = 0;
    TComErrors seen;
    p->OnError = [&](TCustomComPort*, TComErrors e) {
        ++errorEvents;
        seen = e;
    };
    p->Open();
    ASSERT_TRUE(pty.writeMaster("before"));
    ASSERT_TRUE(pumpUntil([&] { return received == "before"; }));
    pty.hangUp();
    ASSERT_TRUE(pumpUntil([&] { return errorEvents > 0; }));
    EXPECT_TRUE(seen.Contains(ceIO));
    const std::clock_t cpu0 = std::clock();  // of all the process's threads
    loop.runUntil([] { return false; }, 500ms);
    EXPECT_LT(std::clock() - cpu0, CLOCKS_PER_SEC * 15 / 100)
        << "a gone device must not keep threads busy";
    EXPECT_EQ(errorEvents, 1);
    std::string s;
    EXPECT_EQ(p->ReadStr(s, 10), 0);
    EXPECT_EQ(p->ReadErrorCount(), 1);
    EXPECT_EQ(p->LastReadError(), EIO);
    EXPECT_EQ(failure([&] { p->WriteStr("after"); }), ext(2, EIO));
    EXPECT_EQ(failure([&] { p->ClearBuffer(true, false); }), ext(5, EIO));
    EXPECT_EQ(failure([&] { p->InputCount(); }), ext(10, EIO));
    EXPECT_EQ(failure([&] { p->ModemSignals(); }), ext(11, EIO));
    EXPECT_NO_THROW(p->Close());
    EXPECT_FALSE(p->Connected());
}

TEST_F(PortTest, BatchesPendingAtCloseNeverRunAlsoWhenAWorkerCloses) {
    const struct {
        TSyncMethod sync;
        bool fromWorker;
    } rows[] = {{smThreadSync, false}, {smWindowSync, false}, {smThreadSync, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.sync << (row.fromWorker ? " worker" : " main"));
        p = makePort(pty.slaveName());
        p->SetSyncMethod(row.sync);
        int calls = 0;
        p->OnRxChar = [&](TCustomComPort*, int) { ++calls; };
        p->Open();
        ASSERT_TRUE(pty.writeMaster("left over"));
        ASSERT_TRUE(test::waitFor([&] { return loop.pendingCount() > 0; }));
        if (row.fromWorker) {
            // The main thread is not pumping: the close must not wait for it.
            std::atomic<bool> closed{false};
            std::thread worker([&] {
                p->Close();
                closed = true;
            });
            EXPECT_TRUE(test::waitFor([&] { return closed.load(); }));
            worker.join();
        } else {
            p->Close();
        }
        loop.processPending();
        EXPECT_EQ(calls, 0);
        // Open again: delivery works.
        received.clear();
        p->OnRxChar = appendTo(received);
        p->Open();
        ASSERT_TRUE(pty.writeMaster("def"));
        ASSERT_TRUE(pumpUntil([&] { return received == "def"; })) << received;
    }
}

TEST_F(PortTest, HandlerInTheEventThreadClosesWhileTheMainThreadReopensOrDestroys) {
    // A byte waits before each open, so the handler's close races the rest of the
    // open; every other round the port is destroyed as soon as it reads closed.
    int afterClose = 0;
    p.reset();
    for (int i = 0; i < 300 && !HasFailure(); ++i) {
        if (!p) {
            p = makePort(pty.slaveName());
            p->SetSyncMethod(smNone);
            p->OnRxChar = [](TCustomComPort* s, int) { s->Close(); };
            p->OnAfterClose = [&](TCustomComPort*) { ++afterClose; };
        }
        ASSERT_TRUE(pty.writeMaster("x"));
        ASSERT_NO_THROW(p->Open()) << "round " << i;
        ASSERT_TRUE(test::waitFor([&] { return !p->Connected(); })) << "round " << i;
        if (i % 2) p.reset();
    }
    EXPECT_EQ(afterClose, 300);
}

TEST_F(PortTest, FlagAndFullQueueEventsLoseNothing) {
    p->SetEventChar('\n');
    p->Buffer().SetInputSize(10);
    int flags = 0, full = 0, txEmpty = 0;
    p->OnRxFlag = [&](TCustomComPort*) { ++flags; };
    p->OnRx80Full = [&](TCustomComPort*) { ++full; };
    p->OnTxEmpty = [&](TCustomComPort*) { ++txEmpty; };
    p->OnRxChar = [&](TCustomComPort*, int) {};  // reads nothing: the queue fills
    p->Open();
    ASSERT_TRUE(pty.writeMaster("line\n"));
    ASSERT_TRUE(pumpUntil([&] { return flags == 1; }));
    EXPECT_EQ(full, 0);
    ASSERT_TRUE(pty.writeMaster("abcdefghij"));  // more than the queue holds
    ASSERT_TRUE(pumpUntil([&] { return full == 1 && p->InputCount() == 10; }));
    // Nothing is lost: what did not fit waits in the line and comes on reading.
    std::string s;
    EXPECT_EQ(p->ReadStr(s, 10), 10);
    EXPECT_EQ(s, "line\nabcde");
    ASSERT_TRUE(pumpUntil([&] { return p->InputCount() == 5; }));
    EXPECT_EQ(p->ReadStr(s, 10), 5);
    EXPECT_EQ(s, "fghij");
    EXPECT_EQ(p->WriteStr("ping"), 4);
    ASSERT_TRUE(pumpUntil([&] { return txEmpty >= 1; }));
}

TEST_F(PortTest, DiscardNullParityCheckAndAFailingHandlerKeepTheDataRight) {
    // A handler that throws is reported and delivery goes on.
    int reported = 0;
    p->ExceptionHandler = [&](TCustomComPort*, std::exception_ptr) { ++reported; };
    bool failNext = true;
    p->OnRxChar = [&](TCustomComPort* s, int n) {
        appendTo(received)(s, n);
        if (std::exchange(failNext, false)) throw std::runtime_error("handler failed");
    };
    p->SetDiscardNull(true);
    p->Open();
    ASSERT_TRUE(pty.writeMaster(std::string("a\0b\0", 4)));
    ASSERT_TRUE(pumpUntil([&] { return received == "ab"; }));
    EXPECT_EQ(reported, 1);
    p->SetDiscardNull(false);
    // With parity checking the line marks bad bytes; a plain \377 must still
    // arrive as one byte, and every other byte unchanged.
    p->Parity().SetBits(prEven);
    p->Parity().SetCheck(true);
    received.clear();
    const std::string bytes = allBytes() + "\377\377\0";
    ASSERT_TRUE(pty.writeMaster(bytes));
    ASSERT_TRUE(pumpUntil([&] { return received.size() >= bytes.size(); }));
    EXPECT_EQ(received, bytes);
}

TEST_F(PortTest, CloseAndDestructionFinishWhenHandlersFail) {
    int told = 0;
    p->AddFreeNotification([&](TCustomComPort*) { ++told; });
    bool afterClose = false;
    p->OnBeforeClose = [](TCustomComPort*) { throw std::runtime_error("before close failed"); };
    p->OnAfterClose = [&](TCustomComPort*) {
        afterClose = true;
        throw std::runtime_error("after close failed");
    };
    p->Open();
    EXPECT_THAT([&] { p->Close(); },  // the first failure
                testing::ThrowsMessage<std::runtime_error>(testing::StrEq("before close failed")));
    EXPECT_TRUE(afterClose);
    EXPECT_FALSE(p->Connected());
    EXPECT_EQ(p->Handle(), -1);
    // The device is free again, and destruction with failing handlers is quiet
    // and still tells bound components.
    p->Open();
    EXPECT_NO_THROW(p.reset());
    EXPECT_EQ(told, 1);
    TComPort again(&loop);
    again.SetPort(pty.slaveName());
    EXPECT_NO_THROW(again.Open());
}

TEST_F(PortTest, WriteEndsAtItsTimeOutWhenTheLineIsFull) {
    p->Events = {};
    p->Timeouts().SetWriteTotalMultiplier(0);
    p->Timeouts().SetWriteTotalConstant(200);
    p->Open();
    const std::string big(1 << 20, 'w');  // the far end reads nothing
    const auto t0 = std::chrono::steady_clock::now();
    const int n = p->WriteStr(big);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(big.size()));
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 30s);  // not stuck long past its time-out
    // A write stuck on a full line is released by a close from another thread.
    // On a fresh line, the first byte at the far end shows the write has begun.
    test::PtyPair fresh;
    p->SetPort(fresh.slaveName());
    ASSERT_TRUE(p->Connected());
    p->Timeouts().SetWriteTotalConstant(0);
    std::thread closer([&] {
        pollfd begun{fresh.master(), POLLIN, 0};
        EXPECT_EQ(::poll(&begun, 1, 60000), 1) << "the write never began";
        p->Close();
    });
    EXPECT_EQ(failure([&] { p->WriteStr(big); }), ext(2, ECANCELED))
        << "write on a full line finished";
    closer.join();
    EXPECT_FALSE(p->Connected());
}

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
        ++polls;  // atomic: read without the lock
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
        const int start = polls;
        test::waitFor([&] { return polls >= start + 2; }, 2500ms);
    }

    std::mutex m;
    std::atomic<int> polls{0};
    int bits = 0, raised = 0;
    std::vector<bool> rtsHistory;
    ComLineCounts counts;
};

// Line events that a pseudo-terminal cannot show (line errors, ring, modem
// lines), from a fake line source under a pty carrying the data.
class LineEventTest : public PortTest {
  protected:
    std::shared_ptr<FakeLines> lines = std::make_shared<FakeLines>();
    TComPort& port = *p;

    void SetUp() override {
        port.SetLineSource(lines);
        port.OnError = [this](TCustomComPort*, TComErrors e) {
            std::string s = "err";
            for (auto [kind, name] : {std::pair{ceRxParity, ":parity"},
                                      {ceFrame, ":frame"},
                                      {ceBreak, ":break"},
                                      {ceOverrun, ":overrun"}})
                if (e.Contains(kind)) s += name;
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
};

TEST_F(LineEventTest, LinesAtOpenAndCloseChangesRingAndBreakDtrAndRtsToggle) {
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
    port.FlowControl().SetControlDTR(dtrDisable);  // takes effect on the open line
    lines->with([](FakeLines& l) { EXPECT_EQ(l.raised & TIOCM_DTR, 0); });
    log.clear();
    lines->with([](FakeLines& l) {
        l.bits |= TIOCM_DSR;
        l.counts.dsr++;
    });
    ASSERT_TRUE(pumpUntilLogged("dsr+"));
    lines->with([](FakeLines& l) { l.counts.rng++; });
    ASSERT_TRUE(pumpUntilLogged("ring"));
    lines->with([](FakeLines& l) { l.counts.brk++; });
    ASSERT_TRUE(pumpUntilLogged("break"));
    // The break is also a line error, reported before it in the same batch.
    EXPECT_EQ(log, (Log{"dsr+", "ring", "err:break", "break"}));
    log.clear();
    port.Close();
    EXPECT_EQ(log, (Log{"cts-", "dsr-", "dcd-"}));
}

TEST_F(LineEventTest, OnlyTheChosenEventsAreWatched) {
    port.Events = {evRxChar};
    port.Open();
    log.clear();
    lines->with([](FakeLines& l) {
        l.bits = TIOCM_CTS;
        l.counts.cts++;
        l.counts.frame++;
    });
    ASSERT_TRUE(pty.writeMaster("k"));
    ASSERT_TRUE(pumpUntilLogged("rx:k"));
    loop.runUntil([] { return false; }, 200ms);
    EXPECT_EQ(log, (Log{"rx:k"}));
}

TEST_F(LineEventTest, LineErrorsAreReportedOnceAndBeforeTheDataOfTheSameBatch) {
    port.Open();
    log.clear();
    // Without parity checking a parity error is no error.
    lines->with([](FakeLines& l) { l.counts.parity++; });
    loop.runUntil([] { return false; }, 300ms);
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

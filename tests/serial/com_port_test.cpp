// The port on real pseudo-terminals: bytes both ways, event delivery into the
// main thread, open and close, failures of the device and of handlers.

#include "serial/com_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "support/pty_pair.h"
#include "support/test_env.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

std::string allBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
    return s;
}

class PortTest : public ::testing::Test {
  protected:
    LoopExecutor loop;
    test::PtyPair pty;
    std::string received;
    std::vector<std::string> log;

    std::unique_ptr<TComPort> makePort(const std::string& path) {
        auto p = std::make_unique<TComPort>(&loop);
        p->SetPort(path);
        return p;
    }
    // The receive handler of a reading run: reads what the event reported.
    void collect(TComPort& p) {
        p.OnRxChar = [this](TCustomComPort* s, int count) {
            std::string chunk;
            s->ReadStr(chunk, count);
            received += chunk;
        };
    }
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds t = 5s) {
        return loop.runUntil(done, t);
    }
};

TEST_F(PortTest, EveryByteBothWaysWithTheCountInTheMainThread) {
    auto p = makePort(pty.slaveName());
    std::vector<int> counts;
    bool inMain = true;
    p->OnRxChar = [&](TCustomComPort* s, int count) {
        inMain = inMain && loop.inMainThread();
        counts.push_back(count);
        std::string chunk;
        EXPECT_EQ(s->ReadStr(chunk, count), count);
        received += chunk;
    };
    p->Open();
    ASSERT_TRUE(p->Connected());
    const std::string bytes = allBytes();
    ASSERT_TRUE(pty.writeMaster(bytes));
    ASSERT_TRUE(pumpUntil([&] { return received.size() >= bytes.size(); }));
    EXPECT_EQ(received, bytes);
    EXPECT_TRUE(inMain);
    int total = 0;
    for (int c : counts) total += c;
    EXPECT_EQ(total, 256);

    EXPECT_EQ(p->WriteStr(bytes), 256);
    EXPECT_EQ(pty.readMaster(256), bytes);
    p->Close();
    EXPECT_FALSE(p->Connected());
}

TEST_F(PortTest, MegabyteStreamArrivesIntactAndInOrder) {
    auto p = makePort(pty.slaveName());
    collect(*p);
    p->Open();
    std::string data(1 << 20, '\0');
    uint32_t x = 12345;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
    }
    std::thread writer([&] { EXPECT_TRUE(pty.writeMaster(data, 30s)); });
    const bool done = pumpUntil([&] { return received.size() >= data.size(); }, 30s);
    writer.join();
    ASSERT_TRUE(done) << received.size();
    EXPECT_TRUE(received == data);
}

TEST_F(PortTest, SocatPtyPairCarriesEveryByteBetweenTwoPorts) {
    if (access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "socat not installed";
    const std::string dir = test::makeTempDir("qv_socat");
    const std::string a = dir + "/A", b = dir + "/B";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        execl("/usr/bin/socat", "socat", "-d", "-d", ("pty,raw,echo=0,link=" + a).c_str(),
              ("pty,raw,echo=0,link=" + b).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    struct Reap {
        pid_t pid;
        std::string dir;
        ~Reap() {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            std::filesystem::remove_all(dir);
        }
    } reap{pid, dir};
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!(std::filesystem::exists(a) && std::filesystem::exists(b)) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(std::filesystem::exists(a) && std::filesystem::exists(b));

    auto pa = makePort(a);
    auto pb = makePort(b);
    std::string atA, atB;
    pa->OnRxChar = [&](TCustomComPort* s, int n) {
        std::string c;
        s->ReadStr(c, n);
        atA += c;
    };
    pb->OnRxChar = [&](TCustomComPort* s, int n) {
        std::string c;
        s->ReadStr(c, n);
        atB += c;
    };
    pa->Open();
    pb->Open();
    const std::string bytes = allBytes();
    EXPECT_EQ(pa->WriteStr(bytes), 256);
    std::string back = bytes;
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(pb->WriteStr(back), 256);
    ASSERT_TRUE(pumpUntil([&] { return atA.size() >= 256 && atB.size() >= 256; }));
    EXPECT_EQ(atB, bytes);
    EXPECT_EQ(atA, back);
    pa->Close();
    pb->Close();
}

TEST_F(PortTest, OpenAndCloseRunTheirEventsInOrder) {
    auto p = makePort(pty.slaveName());
    p->OnBeforeOpen = [&](TCustomComPort*) { log.push_back("BeforeOpen"); };
    p->OnAfterOpen = [&](TCustomComPort* s) {
        log.push_back(s->Connected() ? "AfterOpen" : "AfterOpen-closed");
    };
    p->OnBeforeClose = [&](TCustomComPort*) { log.push_back("BeforeClose"); };
    p->OnAfterClose = [&](TCustomComPort* s) {
        log.push_back(s->Connected() ? "AfterClose-open" : "AfterClose");
    };
    p->OnCTSChange = [&](TCustomComPort*, bool on) { log.push_back(on ? "CTS+" : "CTS-"); };
    p->OnDSRChange = [&](TCustomComPort*, bool on) { log.push_back(on ? "DSR+" : "DSR-"); };
    p->OnRLSDChange = [&](TCustomComPort*, bool on) { log.push_back(on ? "RLSD+" : "RLSD-"); };
    p->SetConnected(true);
    p->SetConnected(true);  // already open: nothing
    EXPECT_TRUE(p->ThreadCreated());
    p->SetConnected(false);
    p->SetConnected(false);
    // A pseudo-terminal has no modem lines: they read as off.
    const std::vector<std::string> expected = {"BeforeOpen",  "AfterOpen", "CTS-", "DSR-",
                                               "RLSD-",       "CTS-",      "DSR-", "RLSD-",
                                               "BeforeClose", "AfterClose"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(p->Handle(), -1);
}

TEST_F(PortTest, PortChangeWhileOpenReopensOnTheNewDevice) {
    test::PtyPair other;
    auto p = makePort(pty.slaveName());
    collect(*p);
    p->OnBeforeOpen = [&](TCustomComPort*) { log.push_back("BeforeOpen"); };
    p->OnAfterOpen = [&](TCustomComPort*) { log.push_back("AfterOpen"); };
    p->OnBeforeClose = [&](TCustomComPort*) { log.push_back("BeforeClose"); };
    p->OnAfterClose = [&](TCustomComPort*) { log.push_back("AfterClose"); };
    p->Open();
    log.clear();
    p->SetPort(other.slaveName());
    EXPECT_TRUE(p->Connected());
    EXPECT_EQ(log,
              (std::vector<std::string>{"BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen"}));
    ASSERT_TRUE(other.writeMaster("new line"));
    ASSERT_TRUE(pumpUntil([&] { return received == "new line"; }));
    // The old device is free again.
    TComPort again(&loop);
    again.SetPort(pty.slaveName());
    EXPECT_NO_THROW(again.Open());
}

TEST_F(PortTest, SecondOpenOfTheSameDeviceIsRefused) {
    auto p = makePort(pty.slaveName());
    p->Open();
    auto q = makePort(pty.slaveName());
    try {
        q->Open();
        FAIL() << "second open succeeded";
    } catch (const EComPortExt& e) {
        EXPECT_EQ(e.Code(), 1);
        EXPECT_EQ(e.WinCode(), EBUSY);
    }
    EXPECT_FALSE(q->Connected());
    p->Close();
    EXPECT_NO_THROW(q->Open());
}

TEST_F(PortTest, MissingAndNonTerminalPathsFailWithCodeOne) {
    std::vector<std::string> traces;
    SetComDebugOutput([&](const std::string& t) { traces.push_back(t); });
    struct SinkReset {
        ~SinkReset() { SetComDebugOutput(nullptr); }
    } sinkReset;
    const std::string dir = test::makeTempDir("qv_port");
    const std::string missing = dir + "/nothing";
    auto p = makePort(missing);
    bool beforeOpen = false;
    p->OnBeforeOpen = [&](TCustomComPort*) { beforeOpen = true; };
    try {
        p->Open();
        FAIL();
    } catch (const EComPortExt& e) {
        EXPECT_EQ(e.Code(), 1);
        EXPECT_EQ(e.WinCode(), ENOENT);
        EXPECT_EQ(std::string(e.what()), "COM Port Error: Unable to open com port on " + missing);
    }
    EXPECT_TRUE(beforeOpen);
    EXPECT_FALSE(p->Connected());
    EXPECT_EQ(p->Handle(), -1);
    ASSERT_FALSE(traces.empty());
    EXPECT_EQ(traces.back(), "CreateFile " + missing);

    const std::string file = dir + "/plain";
    {
        FILE* f = fopen(file.c_str(), "w");
        fclose(f);
    }
    for (const std::string& path : {file, std::string("/dev/null")}) {
        auto q = makePort(path);
        try {
            q->Open();
            FAIL() << path;
        } catch (const EComPortExt& e) {
            EXPECT_EQ(e.Code(), 1);
            EXPECT_EQ(e.WinCode(), ENOTTY);
        }
    }
    // A later open of a real device works on the same object.
    p->SetPort(pty.slaveName());
    EXPECT_NO_THROW(p->Open());
    std::filesystem::remove_all(dir);
}

TEST_F(PortTest, SyncMethodCannotChangeWhileOpen) {
    auto p = makePort(pty.slaveName());
    p->Open();
    try {
        p->SetSyncMethod(smNone);
        FAIL();
    } catch (const EComPortExt&) {
        FAIL() << "not the plain exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), 14);
        EXPECT_EQ(std::string(e.what()),
                  pty.slaveName() + " Error: Cannot set property while connected");
    }
    EXPECT_EQ(p->SyncMethod(), smThreadSync);
    EXPECT_NO_THROW(p->SetSyncMethod(smThreadSync));  // the same value is no change
    p->Close();
    p->SetSyncMethod(smNone);
    EXPECT_EQ(p->SyncMethod(), smNone);
}

TEST_F(PortTest, ReadsGiveWhatIsQueuedAndTouchNothingForZero) {
    auto p = makePort(pty.slaveName());
    p->Events = {};  // nobody reads in between
    p->Open();
    EXPECT_FALSE(p->ThreadCreated());
    char buf[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    ASSERT_TRUE(pty.writeMaster("abcd"));
    ASSERT_TRUE(pumpUntil([&] { return p->InputCount() == 4; }));
    EXPECT_EQ(p->Read(buf, 0), 0);
    EXPECT_EQ(buf[0], 'x');
    std::string s = "old";
    EXPECT_EQ(p->ReadStr(s, 0), 0);
    EXPECT_EQ(s, "");
    EXPECT_EQ(p->ReadStr(s, 10), 4);
    EXPECT_EQ(s, "abcd");
    EXPECT_EQ(p->ReadStr(s, 10), 0);
    EXPECT_EQ(s, "");
    EXPECT_EQ(p->WriteStr(""), 0);
    EXPECT_EQ(p->ReadErrorCount(), 0);
}

TEST_F(PortTest, ClearBufferInputOnlyKeepsOutput) {
    auto p = makePort(pty.slaveName());
    p->Events = {};
    p->Open();
    ASSERT_TRUE(pty.writeMaster("stale"));
    ASSERT_TRUE(pumpUntil([&] { return p->InputCount() == 5; }));
    p->ClearBuffer(true, false);
    EXPECT_EQ(p->InputCount(), 0);
    EXPECT_EQ(p->WriteStr("out"), 3);
    EXPECT_EQ(pty.readMaster(3), "out");
}

TEST_F(PortTest, ReadTimeoutsWaitAsConfigured) {
    auto p = makePort(pty.slaveName());
    p->Events = {};
    p->Timeouts().SetReadInterval(0);
    p->Timeouts().SetReadTotalConstant(300);
    p->Open();
    std::thread late([&] {
        std::this_thread::sleep_for(50ms);
        pty.writeMaster("xyz");
    });
    const auto t0 = std::chrono::steady_clock::now();
    std::string s;
    EXPECT_EQ(p->ReadStr(s, 10), 3);  // ends at the total time-out with what came
    const auto took = std::chrono::steady_clock::now() - t0;
    late.join();
    EXPECT_EQ(s, "xyz");
    EXPECT_GE(took, 250ms);
    // "Wait for the first byte" mode returns as soon as something is there.
    p->Timeouts().SetReadInterval(-1);
    p->Timeouts().SetReadTotalMultiplier(-1);
    p->Timeouts().SetReadTotalConstant(5000);
    std::thread soon([&] {
        std::this_thread::sleep_for(50ms);
        pty.writeMaster("q");
    });
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(p->ReadStr(s, 10), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t1, 4s);
    soon.join();
}

TEST_F(PortTest, BadSettingsAreErrorsNotHangUps) {
    auto p = makePort(pty.slaveName());
    p->SetStopBits(sbOne5StopBits);  // only valid with five data bits
    try {
        p->Open();
        FAIL();
    } catch (const EComPortExt& e) {
        EXPECT_EQ(e.Code(), 7);
        EXPECT_EQ(e.WinCode(), EINVAL);
    }
    EXPECT_FALSE(p->Connected());
    EXPECT_EQ(p->Handle(), -1);
    p->SetDataBits(dbFive);
    EXPECT_NO_THROW(p->Open());
    EXPECT_THROW(p->SetDataBits(dbEight), EComPortExt);  // stored, port stays open
    EXPECT_EQ(p->DataBits(), dbEight);
    EXPECT_TRUE(p->Connected());
    p->SetStopBits(sbOneStopBit);
    p->SetBaudRate(brCustom);
    try {
        p->SetCustomBaudRate(0);
        FAIL();
    } catch (const EComPortExt& e) {
        EXPECT_EQ(e.Code(), 7);
    }
    try {
        p->Buffer().SetInputSize(0);
        FAIL();
    } catch (const EComPortExt& e) {
        EXPECT_EQ(e.Code(), 9);
    }
    // Rates without a classic constant go through as they are.
    p->Buffer().SetInputSize(1024);
    for (int rate : {14400, 56000, 128000, 256000, 250000})
        EXPECT_NO_THROW(p->SetCustomBaudRate(rate));
    EXPECT_NO_THROW(p->SetBaudRate(br14400));
    EXPECT_TRUE(p->Connected());
}

TEST_F(PortTest, HangUpIsReportedOnceAndNeverSpins) {
    auto p = makePort(pty.slaveName());
    collect(*p);
    int errorEvents = 0;
    TComErrors seen;
    p->OnError = [&](TCustomComPort*, TComErrors e) {
        ++errorEvents;
        seen = e;
    };
    p->Open();
    ASSERT_TRUE(pty.writeMaster("before"));
    ASSERT_TRUE(pumpUntil([&] { return received == "before"; }));
    pty.closeSlave();
    pty.closeMaster();
    ASSERT_TRUE(pumpUntil([&] { return errorEvents > 0; }));
    EXPECT_TRUE(seen.Contains(ceIO));
    const auto cpu0 = test::processCpuTime();
    loop.runUntil([] { return false; }, 500ms);
    const auto cpu = test::processCpuTime() - cpu0;
    EXPECT_LT(cpu, 150ms) << "a gone device must not keep threads busy";
    EXPECT_EQ(errorEvents, 1);
    std::string s;
    EXPECT_EQ(p->ReadStr(s, 10), 0);
    EXPECT_EQ(s, "");
    EXPECT_EQ(p->ReadErrorCount(), 1);
    EXPECT_EQ(p->LastReadError(), EIO);
    try {
        p->WriteStr("after");
        FAIL();
    } catch (const EComPortExt& e) {
        EXPECT_EQ(e.Code(), 2);
    }
    EXPECT_NO_THROW(p->Close());
    EXPECT_FALSE(p->Connected());
}

TEST_F(PortTest, CloseFromAWorkerReturnsWhileTheMainThreadIsNotPumping) {
    auto p = makePort(pty.slaveName());
    int calls = 0;
    p->OnRxChar = [&](TCustomComPort*, int) { ++calls; };
    p->Open();
    ASSERT_TRUE(pty.writeMaster("pending batch"));
    std::this_thread::sleep_for(100ms);  // the event thread now waits for the main thread
    std::atomic<bool> closed{false};
    std::thread worker([&] {
        p->Close();
        closed = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!closed && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(closed);
    worker.join();
    loop.processPending();  // the cancelled batch runs nothing
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(p->Connected());
}

TEST_F(PortTest, HandlerExceptionDoesNotEndDelivery) {
    auto p = makePort(pty.slaveName());
    int reported = 0;
    p->ExceptionHandler = [&](TCustomComPort*, std::exception_ptr) { ++reported; };
    bool failNext = true;
    p->OnRxChar = [&](TCustomComPort* s, int n) {
        std::string c;
        s->ReadStr(c, n);
        received += c;
        if (failNext) {
            failNext = false;
            throw std::runtime_error("handler failed");
        }
    };
    p->Open();
    ASSERT_TRUE(pty.writeMaster("one"));
    ASSERT_TRUE(pumpUntil([&] { return reported == 1; }));
    ASSERT_TRUE(pty.writeMaster("two"));
    ASSERT_TRUE(pumpUntil([&] { return received == "onetwo"; }));
    EXPECT_EQ(reported, 1);
}

TEST_F(PortTest, CloseFromItsOwnHandlerFinishes) {
    auto p = makePort(pty.slaveName());
    p->OnRxChar = [&](TCustomComPort* s, int) { s->Close(); };
    p->Open();
    ASSERT_TRUE(pty.writeMaster("x"));
    ASSERT_TRUE(pumpUntil([&] { return !p->Connected(); }));
    EXPECT_NO_THROW(p->Open());  // the old event thread has ended by now
    p->Close();
}

TEST_F(PortTest, PortChangeFromItsOwnHandlerReopens) {
    test::PtyPair other;
    auto p = makePort(pty.slaveName());
    bool moved = false;
    p->OnRxChar = [&](TCustomComPort* s, int n) {
        std::string c;
        s->ReadStr(c, n);
        received += c;
        if (!moved) {
            moved = true;
            s->SetPort(other.slaveName());  // closes and reopens inside the batch
        }
    };
    p->Open();
    // A reopen that waited for its own event thread would never come back.
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 1000 && !finished; ++i) std::this_thread::sleep_for(10ms);
        if (!finished) {
            std::fprintf(stderr, "reopen from the port's own handler hangs\n");
            std::abort();
        }
    });
    ASSERT_TRUE(pty.writeMaster("old"));
    const bool reopened = pumpUntil([&] { return moved && p->Connected(); });
    ASSERT_TRUE(other.writeMaster("new"));
    const bool got = pumpUntil([&] { return received == "oldnew"; });
    finished = true;
    watchdog.join();
    EXPECT_TRUE(reopened);
    EXPECT_TRUE(got) << received;
    EXPECT_EQ(p->DevicePath(), other.slaveName());
    p->Close();
}

TEST_F(PortTest, WindowSyncDropsEventsQueuedBeforeClose) {
    auto p = makePort(pty.slaveName());
    p->SetSyncMethod(smWindowSync);
    int calls = 0;
    p->OnRxChar = [&](TCustomComPort*, int) { ++calls; };
    p->Open();
    ASSERT_TRUE(pty.writeMaster("abc"));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (loop.pendingCount() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_GT(loop.pendingCount(), 0u);
    p->Close();
    loop.processPending();
    EXPECT_EQ(calls, 0);
    // Open again: delivery works, and in the main thread.
    p->Open();
    bool inMain = false;
    p->OnRxChar = [&](TCustomComPort* s, int n) {
        inMain = loop.inMainThread();
        std::string c;
        s->ReadStr(c, n);
        received += c;
    };
    ASSERT_TRUE(pty.writeMaster("def"));
    ASSERT_TRUE(pumpUntil([&] { return received == "def"; }));
    EXPECT_TRUE(inMain);
}

TEST_F(PortTest, NoneRunsInTheEventThreadAndDisableRunsNothing) {
    auto p = makePort(pty.slaveName());
    p->SetSyncMethod(smNone);
    std::atomic<bool> got{false};
    std::atomic<bool> inMain{true};
    p->OnRxChar = [&](TCustomComPort* s, int n) {
        inMain = loop.inMainThread();
        std::string c;
        s->ReadStr(c, n);
        got = true;
    };
    p->Open();
    ASSERT_TRUE(pty.writeMaster("n"));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!got && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(got);
    EXPECT_FALSE(inMain);
    p->Close();

    p->SetSyncMethod(smDisableEvents);
    int calls = 0;
    p->OnRxChar = [&](TCustomComPort*, int) { ++calls; };
    p->Open();
    EXPECT_TRUE(p->ThreadCreated());
    ASSERT_TRUE(pty.writeMaster("d"));
    loop.runUntil([] { return false; }, 200ms);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(p->InputCount(), 1);
}

TEST_F(PortTest, BytesWaitingAtCloseAreDiscarded) {
    auto p = makePort(pty.slaveName());
    int calls = 0;
    p->OnRxChar = [&](TCustomComPort*, int) { ++calls; };
    p->Open();
    ASSERT_TRUE(pty.writeMaster("left over"));
    std::this_thread::sleep_for(100ms);
    p->Close();
    loop.runUntil([] { return false; }, 100ms);
    EXPECT_EQ(calls, 0);
}

TEST_F(PortTest, FlagFullQueueAndTransmitEvents) {
    auto p = makePort(pty.slaveName());
    p->SetEventChar('\n');
    p->Buffer().SetInputSize(10);
    int flags = 0, full = 0, txEmpty = 0, rx = 0;
    p->OnRxFlag = [&](TCustomComPort*) { ++flags; };
    p->OnRx80Full = [&](TCustomComPort*) { ++full; };
    p->OnTxEmpty = [&](TCustomComPort*) { ++txEmpty; };
    p->OnRxChar = [&](TCustomComPort*, int) { ++rx; };  // reads nothing: the queue fills
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

TEST_F(PortTest, DiscardNullAndParityCheckKeepTheDataRight) {
    auto p = makePort(pty.slaveName());
    collect(*p);
    p->SetDiscardNull(true);
    p->Open();
    ASSERT_TRUE(pty.writeMaster(std::string("a\0b\0", 4)));
    ASSERT_TRUE(pumpUntil([&] { return received == "ab"; }));
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

TEST_F(PortTest, LoadedOpensWhatTheFormAskedFor) {
    auto p = makePort(pty.slaveName());
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

TEST_F(PortTest, BoundComponentsHearOfDestruction) {
    auto p = makePort(pty.slaveName());
    int told = 0, removed = 0;
    p->AddFreeNotification([&](TCustomComPort*) { ++told; });
    const int id = p->AddFreeNotification([&](TCustomComPort*) { ++removed; });
    p->RemoveFreeNotification(id);
    p->Open();
    p.reset();  // closes on the way
    EXPECT_EQ(told, 1);
    EXPECT_EQ(removed, 0);
}

TEST_F(PortTest, CloseFinishesWhenAHandlerFailsAndRaisesAfterwards) {
    auto p = makePort(pty.slaveName());
    bool afterClose = false;
    p->OnBeforeClose = [](TCustomComPort*) { throw std::runtime_error("before close failed"); };
    p->OnAfterClose = [&](TCustomComPort*) {
        afterClose = true;
        throw std::runtime_error("after close failed");
    };
    p->Open();
    try {
        p->Close();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "before close failed");  // the first failure
    }
    EXPECT_TRUE(afterClose);
    EXPECT_FALSE(p->Connected());
    EXPECT_EQ(p->Handle(), -1);
    // The device is free again, and destruction with failing handlers is quiet.
    p->Open();
    EXPECT_NO_THROW(p.reset());
    TComPort again(&loop);
    again.SetPort(pty.slaveName());
    EXPECT_NO_THROW(again.Open());
}

TEST_F(PortTest, WriteEndsAtItsTimeOutWhenTheLineIsFull) {
    auto p = makePort(pty.slaveName());
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
    EXPECT_LT(took, 3s);
    // A write stuck on a full line is released by a close from another thread.
    p->Timeouts().SetWriteTotalConstant(0);
    std::thread closer([&] {
        std::this_thread::sleep_for(100ms);
        p->Close();
    });
    try {
        p->WriteStr(big);
        ADD_FAILURE() << "write on a full line finished";
    } catch (const EComPortExt& e) {
        EXPECT_EQ(e.Code(), 2);
    }
    closer.join();
    EXPECT_FALSE(p->Connected());
}

}  // namespace
}  // namespace qv

#include "platform/main_executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace qv {
namespace {

TEST(LoopExecutor, RunsPostedCallsInOrderOnlyWhenProcessing) {
    LoopExecutor ex;
    std::vector<int> seen;
    std::thread t([&] {
        for (int i = 0; i < 1000; ++i) ex.post([&seen, i] { seen.push_back(i); });
    });
    t.join();
    EXPECT_TRUE(seen.empty());
    ex.processPending();
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
}

TEST(LoopExecutor, FailingCallDoesNotStopTheQueue) {
    LoopExecutor ex;
    int after = 0;
    ex.post([] { throw std::runtime_error("boom"); });
    ex.post([&] { ++after; });
    ex.processPending();
    EXPECT_EQ(after, 1);
}

TEST(LoopExecutor, KnowsItsMainThread) {
    LoopExecutor ex;
    EXPECT_TRUE(ex.inMainThread());
    bool other = true;
    std::thread([&] { other = ex.inMainThread(); }).join();
    EXPECT_FALSE(other);
}

TEST(LoopExecutor, ProcessForWakesOnPost) {
    LoopExecutor ex;
    std::atomic<bool> ran{false};
    std::thread t([&] {
        std::this_thread::sleep_for(20ms);
        ex.post([&] { ran = true; });
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ex.runUntil([&] { return ran.load(); }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    t.join();
}

TEST(InvokeGate, RunsInMainThreadAndWaits) {
    LoopExecutor ex;
    InvokeGate gate;
    std::atomic<bool> returned{false};
    bool ranInMain = false;
    std::thread worker([&] {
        EXPECT_TRUE(gate.invokeAndWait(ex, [&] { ranInMain = ex.inMainThread(); }));
        returned = true;
    });
    ex.runUntil([&] { return returned.load(); }, 5s);
    worker.join();
    EXPECT_TRUE(ranInMain);
}

TEST(InvokeGate, CancelReleasesAWorkerWhileTheMainThreadIsNotProcessing) {
    LoopExecutor ex;
    InvokeGate gate;
    std::atomic<int> result{-1};
    std::atomic<bool> ran{false};
    std::thread worker([&] { result = gate.invokeAndWait(ex, [&] { ran = true; }) ? 1 : 0; });
    while (ex.pendingCount() == 0) std::this_thread::sleep_for(1ms);
    gate.cancel();
    worker.join();
    EXPECT_EQ(result.load(), 0);
    // The abandoned call stays abandoned even after the gate is reopened.
    gate.reset();
    ex.processPending();
    EXPECT_FALSE(ran.load());
}

TEST(InvokeGate, RethrowsTheCallsExceptionInTheCaller) {
    LoopExecutor ex;
    InvokeGate gate;
    std::atomic<bool> threw{false}, done{false};
    std::thread worker([&] {
        try {
            gate.invokeAndWait(ex, [] { throw std::runtime_error("handler failed"); });
        } catch (const std::runtime_error&) {
            threw = true;
        }
        done = true;
    });
    ex.runUntil([&] { return done.load(); }, 5s);
    worker.join();
    EXPECT_TRUE(threw.load());
}

TEST(InvokeGate, CancelledGateRefusesAtOnce) {
    LoopExecutor ex;
    InvokeGate gate;
    gate.cancel();
    bool ran = false;
    std::thread([&] { EXPECT_FALSE(gate.invokeAndWait(ex, [&] { ran = true; })); }).join();
    ex.processPending();
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace qv

#include "platform/main_executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace qv {
namespace {

// The suites' executor; its waits are exercised by every suite that uses it. A
// failing call is logged and the rest run, as in the program's Qt executor.
TEST(LoopExecutor, RunsPostedCallsInOrderWhenProcessingPastAFailingOne) {
    LoopExecutor ex;
    std::vector<int> seen;
    std::thread t([&] {
        ex.post([] { throw std::runtime_error("boom"); });
        for (int i = 0; i < 1000; ++i) ex.post([&seen, i] { seen.push_back(i); });
    });
    t.join();
    EXPECT_TRUE(seen.empty());
    ex.processPending();
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
}

// Running in the main thread and a cancel releasing a waiting worker: the serial
// port's thread-sync delivery and close tests.
TEST(InvokeGate, RethrowsAndACancelledCallNeverRuns) {
    LoopExecutor ex;
    InvokeGate gate;
    std::atomic<bool> threw{false}, ran{false};
    std::thread worker([&] {
        try {
            gate.invokeAndWait(ex, [] { throw std::runtime_error("handler failed"); });
        } catch (const std::runtime_error&) {
            threw = true;
        }
    });
    ex.runUntil([&] { return threw.load(); }, 5s);
    worker.join();
    EXPECT_TRUE(threw.load());

    worker = std::thread([&] { EXPECT_FALSE(gate.invokeAndWait(ex, [&] { ran = true; })); });
    while (ex.pendingCount() == 0) std::this_thread::sleep_for(1ms);
    gate.cancel();
    worker.join();
    // A cancelled gate refuses at once.
    std::thread([&] { EXPECT_FALSE(gate.invokeAndWait(ex, [&] { ran = true; })); }).join();
    // The abandoned call stays abandoned even after the gate is reopened.
    gate.reset();
    ex.processPending();
    EXPECT_FALSE(ran.load());
}

}  // namespace
}  // namespace qv

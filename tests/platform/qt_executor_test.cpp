#include "platform/qt_executor.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <thread>

#include "platform/worker_message.h"

using namespace std::chrono_literals;

namespace qv {
namespace {

TEST(QtMainExecutor, RunsWorkerCallsInTheApplicationThreadInOrder) {
    int argc = 1;
    char name[] = "qt_executor_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QtMainExecutor ex;

    std::vector<int> order;
    bool allInMain = true;
    InvokeGate gate;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        EXPECT_FALSE(ex.inMainThread());
        for (int i = 0; i < 100; ++i)
            ex.post([&, i] {
                allInMain = allInMain && ex.inMainThread();
                order.push_back(i);
            });
        // A synchronous call from a worker is answered by the Qt loop, after the posts.
        EXPECT_TRUE(gate.invokeAndWait(ex, [&] { order.push_back(100); }));
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done && std::chrono::steady_clock::now() < deadline) ex.processFor(20ms);
    worker.join();
    ASSERT_EQ(order.size(), 101u);
    for (int i = 0; i <= 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_TRUE(allInMain);
}

}  // namespace
}  // namespace qv

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
    EXPECT_TRUE(ex.inMainThread());

    std::vector<int> order;
    std::atomic<bool> posted{false};
    bool allInMain = true;
    std::thread worker([&] {
        EXPECT_FALSE(ex.inMainThread());
        for (int i = 0; i < 100; ++i)
            ex.post([&, i] {
                allInMain = allInMain && ex.inMainThread();
                order.push_back(i);
            });
        posted = true;
    });
    worker.join();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (order.size() < 100 && std::chrono::steady_clock::now() < deadline) ex.processFor(20ms);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_TRUE(allInMain);

    // A synchronous call from a worker is answered by the Qt loop.
    InvokeGate gate;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        EXPECT_TRUE(gate.invokeAndWait(ex, [] {}));
        done = true;
    });
    while (!done && std::chrono::steady_clock::now() < deadline + 5s) ex.processFor(20ms);
    caller.join();
    EXPECT_TRUE(done.load());
}

}  // namespace
}  // namespace qv

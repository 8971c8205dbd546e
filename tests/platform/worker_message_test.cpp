#include "platform/worker_message.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

struct Counted : MessagePayload {
    explicit Counted(int& alive) : alive_(alive) { ++alive_; }
    ~Counted() override { --alive_; }
    int& alive_;
};

TEST(WorkerMessage, MessageForANullOrGoneReceiverIsDroppedWithoutLeak) {
    LoopExecutor ex;
    int alive = 0;
    int delivered = 0;
    MessageTarget target;
    EXPECT_FALSE(target.post(MSG_LOG, std::make_unique<Counted>(alive)));
    EXPECT_EQ(alive, 0);
    {
        MessageReceiver rx(ex, [&](int, std::unique_ptr<MessagePayload>) { ++delivered; });
        target = rx.target();
        EXPECT_TRUE(target.post(MSG_DATA, std::make_unique<Counted>(alive)));
        EXPECT_EQ(alive, 1);
    }
    // Queued before the receiver went, posted after it: neither is delivered.
    EXPECT_FALSE(target.post(MSG_DATA, std::make_unique<Counted>(alive)));
    ex.processPending();
    EXPECT_EQ(delivered, 0);
    EXPECT_EQ(alive, 0);
}

}  // namespace
}  // namespace qv

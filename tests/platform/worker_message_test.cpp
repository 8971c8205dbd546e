#include "platform/worker_message.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace qv {
namespace {

struct Counted : MessagePayload {
    explicit Counted(int& alive) : alive_(alive) { ++alive_; }
    ~Counted() override { --alive_; }
    int& alive_;
};

TEST(WorkerMessage, DeliversKindAndPayloadInOrderAndHandsObjectsOver) {
    LoopExecutor ex;
    std::vector<std::pair<int, std::string>> got;
    std::unique_ptr<std::string> kept;
    MessageReceiver rx(ex, [&](int kind, std::unique_ptr<MessagePayload> p) {
        if (auto* data = dynamic_cast<ObjectPayload<std::string>*>(p.get())) {
            EXPECT_EQ(kind, MSG_DATA);
            kept = std::move(data->object);
            return;
        }
        auto* t = dynamic_cast<Tmensaje_TXT*>(p.get());
        ASSERT_NE(t, nullptr);
        got.emplace_back(kind, t->Text);
    });
    MessageTarget target = rx.target();
    std::thread worker([&] {
        for (int i = 0; i < 500; ++i)
            target.post(i % 2 ? MSG_LOG : MSG_GRIDSTATUS,
                        std::make_unique<Tmensaje_TXT>(std::to_string(i), 0));
        target.post(MSG_DATA, std::make_unique<ObjectPayload<std::string>>(
                                  std::make_unique<std::string>("x")));
    });
    worker.join();
    ex.processPending();
    ASSERT_EQ(got.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(got[i].first, i % 2 ? MSG_LOG : MSG_GRIDSTATUS);
        EXPECT_EQ(got[i].second, std::to_string(i));
    }
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, "x");
}

TEST(WorkerMessage, MessageForANullOrGoneReceiverIsDroppedWithoutLeak) {
    LoopExecutor ex;
    int alive = 0;
    int delivered = 0;
    MessageTarget target;
    EXPECT_FALSE(target);
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

#include "meter/device.h"

#include <gtest/gtest.h>

#include "meter/meter_messages.h"

namespace qv {
namespace {

TEST(TextToInt, DecimalBothHexFormsAndBadText) {
    const std::pair<const char*, int32_t> rows[] = {
        {"$1F", 31},
        {"0X10", 16},
        {"$FFFFFFFF", -1},
        {"-2147483648", INT32_MIN},
        // Bad text gives its leading digits or zero.
        {"12a", 12},
        {"", 0},
        {"$", 0},
        {"99999999999", 999999999},  // stops before overflowing
    };
    for (auto [text, want] : rows) EXPECT_EQ(TextToInt(text), want) << '"' << text << '"';
}

TEST(Tdevice, DateLabelsKeepTheirWidth) {
    TSlotLabel l;
    l.setDate("05/03/26 and far too long");
    EXPECT_EQ(l.Date, "05/03/26 a");
}

// Collects what the main window would receive.
struct Inbox {
    LoopExecutor ex;
    std::vector<std::pair<int, std::unique_ptr<MessagePayload>>> got;
    MessageReceiver rx{ex, [this](int kind, std::unique_ptr<MessagePayload> p) {
                           got.emplace_back(kind, std::move(p));
                       }};
};

// Log, modem, data and exit-code messages are read back by the reading-run
// tests; the grid row's two bytes (rows past 255) and an empty status they
// never reach.
TEST(MeterMessages, GridRowsPast255AndEmptyStatus) {
    Inbox in;
    MessageTarget t = in.rx.target();
    PostGridStatus(t, 300, "(6) LECTURA CORRECTA");
    PostGridStatus(t, 2, "");  // nothing
    in.ex.processPending();
    ASSERT_EQ(in.got.size(), 1u);
    EXPECT_EQ(dynamic_cast<const Tmensaje_TXT&>(*in.got[0].second).Text,
              std::string("\x01\x2C", 2) + "(6) LECTURA CORRECTA");
}

TEST(MeterMessages, PostingAfterTheTargetIsGoneFreesEverything) {
    struct Watched final : MessagePayload {
        explicit Watched(bool& f) : freed(f) {}
        ~Watched() override { freed = true; }
        bool& freed;
    };
    MessageTarget t;
    {
        Inbox in;
        t = in.rx.target();
    }
    bool freed = false;
    EXPECT_FALSE(t.post(MSG_LOG, std::make_unique<Watched>(freed)));
    EXPECT_TRUE(freed);
    // Under the leak checker: a record handed to a gone window dies too.
    PostDataReady(t, std::make_unique<Tdevice>("1", "1", "1", ""));
}

}  // namespace
}  // namespace qv

#include "meter/device.h"

#include <gtest/gtest.h>

#include "meter/meter_messages.h"

namespace qv {
namespace {

TEST(TextToInt, DecimalBothHexFormsAndBadText) {
    const std::pair<const char*, int32_t> rows[] = {
        {"1234", 1234},
        {"$1F", 31},
        {"0x1f", 31},
        {"0X10", 16},
        {"-7", -7},
        {"$FFFFFFFF", -1},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        // Bad text gives its leading digits or zero.
        {"12a", 12},
        {"", 0},
        {"abc", 0},
        {"$", 0},
        {"$1G", 1},
        {"99999999999", 999999999},  // stops before overflowing
    };
    for (auto [text, want] : rows) EXPECT_EQ(TextToInt(text), want) << '"' << text << '"';
}

TEST(Tdevice, DayElementsGrowTogetherAndStartZeroed) {
    Tdevice d("1", "1", "1", "");
    EXPECT_EQ(d.AddDay(), 0u);
    EXPECT_EQ(d.AddDay(), 1u);
    ASSERT_EQ(d.Values.size(), 2u);
    ASSERT_EQ(d.Quality.size(), 2u);
    ASSERT_EQ(d.Labels.size(), 2u);
    // Registers are 1-based and independent of one another.
    d.Values[1](6, 24, 3) = 0xDEADBEEF;
    d.Quality[1](1, 0, 0) = TDayQuality::NoData;
    EXPECT_EQ(d.Values[1](6, 24, 3), 0xDEADBEEFu);
    EXPECT_EQ(d.Values[1](5, 24, 3), 0u);
    EXPECT_EQ(d.Values[0](6, 24, 3), 0u);
    EXPECT_EQ(d.Quality[1](2, 0, 0), 0);
    EXPECT_TRUE(d.Labels[1](0, 0).Date.empty());
    d.Labels[0](0, 0).setDate("05/03/26 and far too long");
    EXPECT_EQ(d.Labels[0](0, 0).Date, "05/03/26 a");
}

// Collects what the main window would receive.
struct Inbox {
    LoopExecutor ex;
    std::vector<std::pair<int, std::unique_ptr<MessagePayload>>> got;
    MessageReceiver rx{ex, [this](int kind, std::unique_ptr<MessagePayload> p) {
                           got.emplace_back(kind, std::move(p));
                       }};
    const Tmensaje_TXT& text(std::size_t i) const {
        return dynamic_cast<const Tmensaje_TXT&>(*got.at(i).second);
    }
};

TEST(MeterMessages, EncodesEveryKind) {
    Inbox in;
    MessageTarget t = in.rx.target();
    PostLog(t, " - STEP #1", colour::Yellow);
    PostModemStatus(t, ModemRegistered, 17);
    PostModemStatus(t, ModemNoAnswer, 0);
    PostExitCode(t, 15);
    PostGridStatus(t, 300, "(6) LECTURA CORRECTA");
    PostGridStatus(t, 2, "");  // nothing
    auto dev = std::make_unique<Tdevice>("7", "8", "9", "");
    Tdevice* raw = dev.get();
    PostDataReady(t, std::move(dev));
    in.ex.processPending();

    ASSERT_EQ(in.got.size(), 6u);
    EXPECT_EQ(in.got[0].first, MSG_LOG);
    EXPECT_EQ(in.text(0).Text, " - STEP #1");
    EXPECT_EQ(in.text(0).Value, colour::Yellow);
    EXPECT_EQ(in.got[1].first, MSG_MODEM);
    EXPECT_EQ(in.text(1).Text, std::string(1, '\x11'));
    EXPECT_EQ(in.text(1).Value, colour::Green);
    EXPECT_EQ(in.text(2).Text, std::string(1, '\0'));  // one character, not empty
    EXPECT_EQ(in.text(2).Value, colour::Black);
    EXPECT_EQ(in.got[3].first, MSG_EXITCODE);
    EXPECT_EQ(in.text(3).Text, "15");
    EXPECT_EQ(in.got[4].first, MSG_GRIDSTATUS);
    EXPECT_EQ(in.text(4).Text, std::string("\x01\x2C", 2) + "(6) LECTURA CORRECTA");
    int row = 0;
    std::string status;
    ASSERT_TRUE(DecodeGridStatus(in.text(4).Text, row, status));
    EXPECT_EQ(row, 300);
    EXPECT_EQ(status, "(6) LECTURA CORRECTA");
    EXPECT_EQ(in.got[5].first, MSG_DATA);
    auto* payload = dynamic_cast<ObjectPayload<Tdevice>*>(in.got[5].second.get());
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->object.get(), raw);
    EXPECT_EQ(payload->object->LinkAddress, 7);
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
    freed = false;
    EXPECT_FALSE(MessageTarget{}.post(MSG_DATA, std::make_unique<Watched>(freed)));
    EXPECT_TRUE(freed);
    // Under the leak checker: a record handed to a gone window dies too.
    PostDataReady(t, std::make_unique<Tdevice>("1", "1", "1", ""));
}

}  // namespace
}  // namespace qv

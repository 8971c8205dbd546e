#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "support/test_env.h"
#include "widgets/inst_led_bar.h"
#include "widgets/inst_opc.h"

using namespace std::chrono_literals;
using testing::StartsWith;
using testing::StrEq;
using testing::ThrowsMessage;

namespace qv {
namespace {

class InstComponentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TInstUpdateObject::SetClock([this] { return now; });
    }
    void TearDown() override { TInstUpdateObject::SetClock(nullptr); }
    MonotonicClock::time_point now = MonotonicClock::time_point(100s);
};

// Held-back changes are painted on the shared timer, which runs while widgets exist.
TEST_F(InstComponentTest, FrameRateThrottleOnTheSharedTimer) {
    auto other = std::make_unique<TInstLedBar>();
    auto owner = std::make_unique<TInstLedBar>();
    TInstLedBar& bar = *owner;
    other.reset();
    EXPECT_TRUE(TInstUpdateObject::Instance().TimerEnabled());
    int base = bar.RepaintCount();
    bar.SetPosition(10);  // without the frame-rate limit every change paints
    bar.SetPosition(20);
    EXPECT_EQ(bar.RepaintCount(), base + 2);

    bar.SetAutoFrameRate(true);  // itself a change, painted: a period has passed since creation
    now += 1s;
    base = bar.RepaintCount();
    bar.SetPosition(30);
    now += 5ms;
    bar.SetPosition(40);  // too soon: held back
    EXPECT_EQ(bar.RepaintCount(), base + 1);
    EXPECT_TRUE(bar.ChangePending());
    TInstUpdateObject::Instance().Tick();  // still within the period
    EXPECT_EQ(bar.RepaintCount(), base + 1);
    now += 20ms;
    TInstUpdateObject::Instance().Tick();
    EXPECT_EQ(bar.RepaintCount(), base + 2);
    EXPECT_FALSE(bar.ChangePending());

    bar.SetUpdateFrameRate(0);  // no limit: the end of an update paints at once
    base = bar.RepaintCount();
    bar.BeginUpdate();
    bar.SetPosition(70);
    bar.SetSegmentSize(4);
    TInstUpdateObject::Instance().Tick();
    EXPECT_EQ(bar.RepaintCount(), base);
    bar.EndUpdate();
    EXPECT_EQ(bar.RepaintCount(), base + 1);
    owner.reset();
    EXPECT_FALSE(TInstUpdateObject::Instance().TimerEnabled());
}

TEST_F(InstComponentTest, PositionRangeAndEvents) {
    TInstLedBar bar;
    std::string log;
    bar.OnPositionChange = [&](TInstPositionComponent*) { log += "pos "; };
    bar.OnCurrentMaxChange = [&](TInstPositionComponent*) { log += "max "; };
    bar.OnPositionOverMax = [&](TInstPositionComponent*) { log += "over "; };
    bar.Limits().push_back({60, 10});
    bar.OnPositionOverLimit = [&](TInstPositionComponent*, int i) {
        log += "limit" + std::to_string(i) + " ";
    };
    bar.SetPosition(250);
    EXPECT_EQ(bar.GetPosition(), 100);
    EXPECT_EQ(bar.CurrentMax(), 100);
    EXPECT_EQ(log, "max over limit0 pos ");
    int paints = bar.RepaintCount();
    bar.SetPosition(120);
    EXPECT_EQ(log, "max over limit0 pos ");
    EXPECT_EQ(bar.RepaintCount(), paints);

    log.clear();
    bar.SetPositionMax(40);  // the position and the maximum reached follow the range down
    EXPECT_EQ(bar.GetPosition(), 40);
    EXPECT_EQ(bar.CurrentMax(), 40);
    EXPECT_EQ(log, "pos ");

    bar.SetMinMaxFixed(true);
    bar.SetPositionMax(100);
    bar.SetPosition(90);
    EXPECT_EQ(bar.CurrentMax(), 40);

    bar.SetSectionCount(3);
    bar.SetSectionCount(0);
    bar.SetSectionCount(6);
    EXPECT_EQ(bar.SectionCount(), 3);

    bar.SetLoading(true);  // as read from a stored form: kept as it is until the next change
    bar.SetPosition(500);
    EXPECT_EQ(bar.GetPosition(), 500);
    bar.SetLoading(false);
    bar.CheckPositionRange();
    EXPECT_EQ(bar.GetPosition(), 100);
}

TEST_F(InstComponentTest, PropertyFileRoundTrip) {
    const QString dir = QString::fromStdString(test::makeTempDir("inst_props"));
    const QString file = dir + "/bar.txt";
    TInstLedBar saved;
    saved.SetSegmentDirection(TInstLedBar::idLeft);
    saved.SetSectionColor2(QColor(1, 2, 3));
    saved.SetSectionEnd3(12.5);
    saved.SetHint("line one\r\nline two");
    saved.SetOptionSaveAllProperties(true);
    saved.SetPosition(42);
    saved.SavePropertiesToFile(file);

    QFile text(file);
    ASSERT_TRUE(text.open(QIODevice::ReadOnly));
    QString content = QString::fromLatin1(text.readAll());
    EXPECT_TRUE(content.startsWith("File Type = qv::TInstLedBar\n"));
    EXPECT_TRUE(content.contains("SegmentDirection = idLeft\n"));
    EXPECT_TRUE(content.contains("Hint = line one#13#10line two\n"));

    TInstLedBar loaded;
    loaded.LoadPropertiesFromFile(file);
    EXPECT_EQ(loaded.SegmentDirection(), TInstLedBar::idLeft);
    EXPECT_EQ(loaded.SectionColor2(), QColor(1, 2, 3));
    EXPECT_EQ(loaded.SectionEnd3(), 12.5);
    EXPECT_EQ(loaded.Hint(), "line one\r\nline two");
    EXPECT_EQ(loaded.GetPosition(), 42);
    EXPECT_EQ(loaded.size(), saved.size());

    EXPECT_THAT([&] { loaded.LoadPropertiesFromFile(dir + "/missing.txt"); },
                ThrowsMessage<std::runtime_error>(StartsWith("Error Loading Properties - ")));
    QDir(dir).removeRecursively();
}

// This suite runs without the OPC library: items stay idle, direct calls say why.
TEST(OPCWithoutLibrary, ItemsStayIdleAndCallsSayTheLibraryIsMissing) {
    EXPECT_FALSE(OPCLibrary::Instance().Loaded());
    TInstLedBar bar;
    TInstOPCItem& item = bar.OPCItems().Add();
    item.SetPropertyName("Position");
    item.SetServerName("Sim");
    item.SetItemName("Nivel");
    item.Loaded();
    EXPECT_FALSE(item.Connected());
    EXPECT_FALSE(item.UpdateSuspended());
    EXPECT_FALSE(bar.OPCPropertyQuery("Position", 1.0));
    EXPECT_THAT([] { OPCLibrary::Instance().SignalGetQuality(1); },
                ThrowsMessage<OPCError>(StrEq("OPC DLL Not Found.")));
}

}  // namespace
}  // namespace qv

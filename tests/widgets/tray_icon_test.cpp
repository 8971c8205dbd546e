#include "widgets/tray_icon.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <map>

namespace qv {
namespace {

// Light timers on a clock the test moves by hand.
class FakeTimers final : public TimerBackend {
  public:
    explicit FakeTimers(TSimpleTimerHandler& handler) : handler_(handler) {}
    bool start(TSimpleTimer* id, std::uint32_t interval) override {
        due_[id] = {now_ + interval, interval};
        return true;
    }
    bool stop(TSimpleTimer* id) override { return due_.erase(id) > 0; }
    bool running(TSimpleTimer* id) const override { return due_.count(id) > 0; }
    // Fires every tick due up to now + ms, in time order.
    void advance(std::uint64_t ms) {
        const std::uint64_t end = now_ + ms;
        for (;;) {
            auto next = due_.end();
            for (auto it = due_.begin(); it != due_.end(); ++it)
                if (it->second.at <= end && (next == due_.end() || it->second.at < next->second.at))
                    next = it;
            if (next == due_.end()) break;
            now_ = next->second.at;
            next->second.at += next->second.interval;
            handler_.Dispatch(next->first);
        }
        now_ = end;
    }

  private:
    struct Due {
        std::uint64_t at, interval;
    };
    TSimpleTimerHandler& handler_;
    std::map<TSimpleTimer*, Due> due_;
    std::uint64_t now_ = 0;
};

// The icon with the desktop's answers under the test's control.
struct TestTray : TTrayIcon {
    using TTrayIcon::TTrayIcon;
    bool NotificationAreaAvailable() const override { return notificationArea; }
    QPoint CursorPos() const override { return cursor; }
    unsigned DoubleClickTime() const override { return 400; }
    bool notificationArea = true;
    QPoint cursor{100, 100};
};

class TrayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TSimpleTimerHandler::SetBackendFactory([this](TSimpleTimerHandler& h) {
            auto backend = std::make_unique<FakeTimers>(h);
            timers = backend.get();
            return backend;
        });
    }
    void TearDown() override {
        TSimpleTimerHandler::SetBackendFactory(nullptr);
        EXPECT_EQ(TSimpleTimerHandler::Instance(), nullptr);
    }
    FakeTimers* timers = nullptr;
    std::string log;
};

TEST_F(TrayTest, ClicksWithAndWithoutADoubleClickHandler) {
    TestTray tray(nullptr);
    tray.OnClick = [this](TTrayIcon*) { log += "click "; };
    tray.OnMouseDown = [this](TTrayIcon*, TMouseButton b, TShiftState, int, int) {
        log += "down" + std::to_string(b) + " ";
    };
    tray.OnMouseUp = [this](TTrayIcon*, TMouseButton b, TShiftState, int, int) {
        log += "up" + std::to_string(b) + " ";
    };
    // Without a double-click handler a click is told at once.
    tray.HandleMessage(TrayMessage::LButtonDown);
    tray.HandleMessage(TrayMessage::LButtonUp);
    EXPECT_EQ(log, "down0 click up0 ");
    tray.HandleMessage(TrayMessage::RButtonDown);
    tray.HandleMessage(TrayMessage::MButtonUp);
    EXPECT_EQ(log, "down0 click up0 down1 up2 ");
    tray.SetHint(QString(200, 'x'));  // the notification area takes 127 characters
    EXPECT_EQ(tray.TipText().size(), 127);
    tray.SetEnabled(false);
    tray.HandleMessage(TrayMessage::LButtonDown);
    tray.HandleMessage(TrayMessage::LButtonUp);
    EXPECT_EQ(log, "down0 click up0 down1 up2 ");
    tray.SetEnabled(true);

    // With one, a single click is told only once the double-click time is over.
    tray.OnDblClick = [this](TTrayIcon*) { log += "dbl "; };
    log.clear();
    tray.HandleMessage(TrayMessage::LButtonDown);
    tray.HandleMessage(TrayMessage::LButtonUp);
    timers->advance(399);
    EXPECT_EQ(log, "down0 up0 ");
    timers->advance(1);
    EXPECT_EQ(log, "down0 up0 click ");
    // A double click gives no click.
    log.clear();
    tray.HandleMessage(TrayMessage::LButtonDown);
    tray.HandleMessage(TrayMessage::LButtonUp);
    tray.HandleMessage(TrayMessage::LButtonDblClk);
    tray.HandleMessage(TrayMessage::LButtonUp);
    timers->advance(1000);
    EXPECT_EQ(log, "down0 up0 dbl up0 ");
    // A press held past the double-click time replays no earlier click.
    log.clear();
    tray.HandleMessage(TrayMessage::LButtonDown);
    tray.HandleMessage(TrayMessage::LButtonUp);
    timers->advance(400);
    tray.HandleMessage(TrayMessage::LButtonDown);
    timers->advance(1000);
    EXPECT_EQ(log, "down0 up0 click down0 ");
}

TEST_F(TrayTest, EnterAndExitByPolling) {
    TestTray tray(nullptr);
    tray.OnMouseEnter = [this](TTrayIcon*) { log += "enter "; };
    tray.OnMouseExit = [this](TTrayIcon*) { log += "exit "; };
    tray.SetWantEnterExitEvents(true);
    tray.HandleMessage(TrayMessage::MouseMove);
    tray.HandleMessage(TrayMessage::MouseMove);
    timers->advance(100);  // cursor still where the icon saw it
    EXPECT_EQ(log, "enter ");
    tray.cursor = QPoint(300, 5);
    timers->advance(19);
    EXPECT_EQ(log, "enter ");
    timers->advance(201);
    EXPECT_EQ(log, "enter exit ");
    tray.SetWantEnterExitEvents(false);
    tray.HandleMessage(TrayMessage::MouseMove);
    EXPECT_EQ(log, "enter exit ");
}

TEST_F(TrayTest, IconListIndexAndCycling) {
    TestTray tray(nullptr);
    std::vector<int> next;
    tray.OnCycle = [&](TTrayIcon*, int n) { next.push_back(n); };
    tray.SetIconList({});  // an empty list has no last index
    tray.SetIconIndex(3);
    EXPECT_EQ(tray.IconIndex(), 0);
    tray.SetIconList({QIcon(QPixmap(16, 16)), QIcon(QPixmap(16, 16))});
    tray.SetIconIndex(7);
    EXPECT_EQ(tray.IconIndex(), 1);
    tray.SetCycleInterval(250);
    tray.SetCycleIcons(true);
    timers->advance(1000);
    EXPECT_EQ(next, (std::vector<int>{1, 0, 1, 0}));
    tray.SetCycleIcons(false);
    timers->advance(1000);
    EXPECT_EQ(next.size(), 4u);
}

TEST_F(TrayTest, HidesAndRestoresTheMainWindow) {
    QWidget window;
    window.show();
    {
        // Offscreen there is no notification area: the window is minimised, never lost.
        TTrayIcon plain(&window);
        plain.SetIconVisible(true);
        EXPECT_FALSE(plain.Shown());
        plain.HideMainForm();
        EXPECT_TRUE(window.isVisible());
        EXPECT_TRUE(window.isMinimized());
        plain.ShowMainForm();
        EXPECT_FALSE(window.isMinimized());
    }
    TestTray tray(&window);
    tray.OnClick = [](TTrayIcon* sender) { sender->ShowMainForm(); };
    window.showMinimized();
    tray.HideMainForm();
    EXPECT_FALSE(window.isVisible());
    tray.HandleMessage(TrayMessage::LButtonDown);
    tray.HandleMessage(TrayMessage::LButtonUp);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
    // Minimising with MinimizeToTray hides the window once the state change is through.
    tray.SetMinimizeToTray(true);
    bool told = false;
    tray.OnMinimizeToTray = [&](TTrayIcon*) { told = true; };
    window.showMinimized();
    QApplication::processEvents();
    EXPECT_TRUE(told);
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(tray.IconVisible());
}

TEST_F(TrayTest, LightTimerRules) {
    int ticks = 0;
    auto a = std::make_unique<TSimpleTimer>(100, [&](TSimpleTimer*) { ++ticks; });
    auto b = std::make_unique<TSimpleTimer>();
    TSimpleTimerHandler* handler = TSimpleTimerHandler::Instance();
    EXPECT_TRUE(a->Start());
    EXPECT_TRUE(a->Start());  // a restart
    b->SetInterval(0);
    EXPECT_FALSE(b->Start());
    a->SetInterval(0);  // stops ticking, stays active
    timers->advance(1000);
    EXPECT_EQ(ticks, 0);
    EXPECT_TRUE(a->Active());
    a->SetInterval(100);
    timers->advance(250);
    EXPECT_EQ(ticks, 2);
    a->SetOnTimer(nullptr);
    EXPECT_TRUE(a->Active());
    EXPECT_FALSE(a->Running());
    a.reset();
    EXPECT_EQ(TSimpleTimerHandler::Instance(), handler);
    b.reset();
}

// On real Qt timers: a tick that frees its own timer, the last one alive.
TEST(LightTimer, FreedInsideItsOwnTick) {
    bool fired = false;
    auto timer = std::make_unique<TSimpleTimer>();
    timer->SetInterval(1);
    timer->SetOnTimer([&](TSimpleTimer*) {
        timer.reset();
        fired = true;
    });
    ASSERT_TRUE(timer->Start());
    QElapsedTimer clock;
    clock.start();
    while (!fired && clock.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_TRUE(fired);
    EXPECT_EQ(TSimpleTimerHandler::Instance(), nullptr);
    QApplication::processEvents();
}

}  // namespace
}  // namespace qv

// The settings combo box on an offscreen Qt: its lists, the bound port's value,
// the user's choice written back to an open device, unbinding.

#include "serial/com_combo_box.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <QApplication>
#include <QKeyEvent>
#include <memory>

#include "port_test_util.h"
#include "support/pty_pair.h"

namespace qv {
namespace {

class ComboTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char arg0[] = "serial_widgets_tests";
        static char* argv[] = {arg0, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() { app.reset(); }  // before Qt's own clean-up at exit
    static inline std::unique_ptr<QApplication> app;

    // A key press as the user makes it on the closed list.
    static void press(TComComboBox& box, int key) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&box, &event);
    }
    TComPort port;
};

TEST_F(ComboTest, EachKindSelectsTheBoundPortsValue) {
    TComPort set;
    set.SetBaudRate(br19200);
    set.SetDataBits(dbSeven);
    set.SetStopBits(sbTwoStopBits);
    set.Parity().SetBits(prEven);
    set.FlowControl().SetXonXoffIn(true);  // matches no flow-control pattern
    // The lists themselves and the initial values: in the main window tests.
    const struct {
        TComProperty kind;
        int atSet;
    } rows[] = {
        {cpBaudRate, 9}, {cpDataBits, 2}, {cpStopBits, 2}, {cpParity, 2}, {cpFlowControl, 3}};
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.kind));
        TComComboBox box;
        box.SetComProperty(row.kind);
        EXPECT_EQ(box.currentIndex(), 0);  // unbound
        box.SetComPort(&set);
        EXPECT_EQ(box.currentIndex(), row.atSet);
        EXPECT_EQ(box.Select().Choice[row.kind - cpBaudRate], row.atSet);
    }
}

TEST_F(ComboTest, UserChoiceReachesAnOpenDeviceOnlyWithAutoApply) {
    test::PtyPair pty;
    port.SetPort(pty.slaveName());
    std::vector<std::string> refused;
    port.ExceptionHandler = [&](TCustomComPort*, std::exception_ptr e) {
        refused.push_back(test::failure([&] { std::rethrow_exception(e); }));
    };
    port.Open();
    TComComboBox baud, stop;
    baud.SetComProperty(cpBaudRate);
    baud.SetComPort(&port);
    stop.SetComProperty(cpStopBits);
    stop.SetComPort(&port);
    int changes = 0;
    QObject::connect(&baud, &TComComboBox::OnChange, [&] { ++changes; });
    baud.SetText("2400");  // a choice made in code is no user choice
    baud.SetText("9600");
    press(baud, Qt::Key_Up);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(baud.Select().Choice[0], br4800);
    EXPECT_EQ(port.BaudRate(), br9600);
    baud.SetAutoApply(true);
    press(baud, Qt::Key_Up);
    EXPECT_EQ(port.BaudRate(), br2400);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B2400));
    // 1.5 stop bits need 5 data bits: the device refuses, the refusal goes to
    // the port's handler, and the port stays open with the value stored.
    stop.SetAutoApply(true);
    press(stop, Qt::Key_Down);
    EXPECT_EQ(refused, std::vector<std::string>{test::ext(CError_SetStateFailed, EINVAL)});
    EXPECT_EQ(port.StopBits(), sbOne5StopBits);
    EXPECT_TRUE(port.Connected());
}

TEST_F(ComboTest, DestroyingTheBoundPortUnbinds) {
    auto first = std::make_unique<TComPort>(), second = std::make_unique<TComPort>();
    second->SetBaudRate(br19200);
    auto box = std::make_unique<TComComboBox>();
    box->SetComProperty(cpBaudRate);
    box->SetComPort(first.get());
    box->SetComPort(second.get());
    first.reset();  // no longer bound: nothing changes
    EXPECT_EQ(box->currentIndex(), 9);
    second.reset();
    EXPECT_EQ(box->ComPort(), nullptr);
    EXPECT_EQ(box->currentIndex(), 0);
    auto third = std::make_unique<TComPort>();
    box->SetComPort(third.get());
    box.reset();  // a box that goes first leaves nothing behind in the port
    third.reset();
}

}  // namespace
}  // namespace qv

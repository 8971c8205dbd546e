// The settings combo box on an offscreen Qt: its lists, the selection of the
// bound port's value, the user's choice written back (to a real device when the
// port is open), and unbinding when the port goes.

#include "serial/com_combo_box.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <QApplication>
#include <QKeyEvent>
#include <memory>

#include "port_test_util.h"
#include "serial/com_names.h"
#include "support/pty_pair.h"

namespace qv {
namespace {

class ComboTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "serial_widgets_tests";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) app = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() { app.reset(); }  // not at exit, after Qt's own clean-up
    static inline std::unique_ptr<QApplication> app;

    // A key press as the user makes it on the closed list.
    static void press(TComComboBox& box, int key) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&box, &event);
    }
    static std::unique_ptr<TComComboBox> makeBox(TComProperty kind, TCustomComPort* port) {
        auto box = std::make_unique<TComComboBox>();
        box->SetComProperty(kind);
        box->SetComPort(port);
        return box;
    }

    TComPort port;
};

TEST_F(ComboTest, ListsAndSelectsTheBoundPortsValue) {
    TComPort custom;  // flow-control fields that match no pattern
    custom.FlowControl().SetXonXoffIn(true);
    TComPort hardware;
    hardware.FlowControl().SetFlowControl(fcHardware);
    hardware.SetBaudRate(br19200);
    hardware.SetDataBits(dbSeven);
    hardware.SetStopBits(sbTwoStopBits);
    hardware.Parity().SetBits(prEven);
    const struct {
        TComProperty kind;
        int count;
        const char *first, *last;
        TCustomComPort* port;
        int index;
        const char* text;
    } rows[] = {
        {cpBaudRate, 16, "Custom", "256000", &port, 7, "9600"},
        {cpBaudRate, 16, "Custom", "256000", &hardware, 9, "19200"},
        {cpDataBits, 4, "5", "8", &port, 3, "8"},
        {cpDataBits, 4, "5", "8", &hardware, 2, "7"},
        {cpStopBits, 3, "1", "2", &hardware, 2, "2"},
        {cpParity, 5, "NINGUNA", "Espacio", &port, 0, "NINGUNA"},
        {cpParity, 5, "NINGUNA", "Espacio", &hardware, 2, "PAR"},
        {cpFlowControl, 4, "Hardware", "Custom", &port, 2, "None"},
        {cpFlowControl, 4, "Hardware", "Custom", &hardware, 0, "Hardware"},
        {cpFlowControl, 4, "Hardware", "Custom", &custom, 3, "Custom"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.kind) << " " << row.text);
        TComComboBox box;
        box.SetComProperty(row.kind);
        ASSERT_EQ(box.count(), row.count);
        EXPECT_EQ(box.itemText(0).toStdString(), row.first);
        EXPECT_EQ(box.itemText(row.count - 1).toStdString(), row.last);
        EXPECT_EQ(box.currentIndex(), 0);  // unbound
        EXPECT_FALSE(box.isEditable());
        // Bound either way round: before or after the kind is set.
        box.SetComPort(row.port);
        EXPECT_EQ(box.currentIndex(), row.index);
        EXPECT_EQ(box.Text(), row.text);
        EXPECT_EQ(box.Select().Choice[row.kind - cpBaudRate], row.index);
        TComComboBox late;
        late.SetComPort(row.port);
        late.SetComProperty(row.kind);
        EXPECT_EQ(late.currentIndex(), row.index);
    }
    TComComboBox none;
    none.SetComProperty(cpBaudRate);
    none.SetComProperty(cpNone);
    EXPECT_EQ(none.count(), 0);
    EXPECT_EQ(none.Text(), "");

    std::vector<std::string> ports;
    EnumComPorts(ports);
    if (ports.empty()) return;
    port.SetPort(ports.back());
    auto box = makeBox(cpPort, &port);
    EXPECT_EQ(box->count(), static_cast<int>(ports.size()));
    EXPECT_EQ(box->Text(), ports.back());
    EXPECT_EQ(box->Select().PortText, ports.back());
}

TEST_F(ComboTest, TextSelectsOnlyWhatTheListHolds) {
    auto box = makeBox(cpParity, nullptr);
    box->SetText("NONE");  // what an old configuration file may hold
    EXPECT_EQ(box->currentIndex(), 0);
    box->SetText("PAR");
    EXPECT_EQ(box->currentIndex(), 2);
    box->SetText("marca");
    EXPECT_EQ(box->Text(), "Marca");
    box->SetText("");
    EXPECT_EQ(box->currentIndex(), 3);
}

TEST_F(ComboTest, UserChoiceReachesThePortOnlyWithAutoApply) {
    auto box = makeBox(cpStopBits, &port);
    int changes = 0;
    QObject::connect(box.get(), &TComComboBox::OnChange, [&] { ++changes; });
    box->SetText("2");  // a choice made in code is no user choice
    box->SetText("1");
    EXPECT_EQ(changes, 0);
    press(*box, Qt::Key_Down);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(box->Text(), "1.5");
    EXPECT_EQ(box->Select().Choice[cpStopBits - cpBaudRate], sbOne5StopBits);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    box->SetAutoApply(true);
    press(*box, Qt::Key_Down);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(port.StopBits(), sbTwoStopBits);
}

TEST_F(ComboTest, AutoApplyReappliesAnOpenPortAndReportsRefusals) {
    test::PtyPair pty;
    port.SetPort(pty.slaveName());
    std::vector<std::string> refused;
    port.ExceptionHandler = [&](TCustomComPort*, std::exception_ptr e) {
        refused.push_back(test::failure([&] { std::rethrow_exception(e); }));
    };
    port.Open();
    auto baud = makeBox(cpBaudRate, &port);
    auto stop = makeBox(cpStopBits, &port);
    baud->SetAutoApply(true);
    stop->SetAutoApply(true);
    press(*baud, Qt::Key_Up);
    EXPECT_EQ(port.BaudRate(), br4800);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B4800));
    // 1.5 stop bits need 5 data bits: the device refuses, the port stays open
    // with the value stored, and the refusal goes to the port's handler.
    press(*stop, Qt::Key_Down);
    EXPECT_EQ(refused, std::vector<std::string>{test::ext(CError_SetStateFailed, EINVAL)});
    EXPECT_EQ(stop->Text(), "1.5");
    EXPECT_EQ(port.StopBits(), sbOne5StopBits);
    EXPECT_TRUE(port.Connected());
}

TEST_F(ComboTest, DestroyingTheBoundPortUnbinds) {
    auto first = std::make_unique<TComPort>();
    auto second = std::make_unique<TComPort>();
    second->SetBaudRate(br19200);
    auto box = makeBox(cpBaudRate, first.get());
    box->SetComPort(second.get());
    EXPECT_EQ(box->currentIndex(), 9);
    first.reset();  // no longer bound: nothing changes
    EXPECT_EQ(box->ComPort(), second.get());
    EXPECT_EQ(box->currentIndex(), 9);
    second.reset();
    EXPECT_EQ(box->ComPort(), nullptr);
    EXPECT_EQ(box->currentIndex(), 0);
    // A box that goes first leaves nothing behind in the port.
    auto third = std::make_unique<TComPort>();
    box->SetComPort(third.get());
    box.reset();
    EXPECT_NO_THROW(third.reset());
}

}  // namespace
}  // namespace qv

// Settings types, text forms, error texts and the control block a port builds.

#include <gtest/gtest.h>

#include "serial/com_port.h"

namespace qv {
namespace {

TEST(ComTexts, ReadingFallsBackToDefaultsAndOrdinalsNeverMove) {
    EXPECT_EQ(StrToBaudRate(""), br9600);
    EXPECT_EQ(StrToStopBits("1,5"), sbOneStopBit);
    EXPECT_EQ(StrToStopBits("1.5"), sbOne5StopBits);
    EXPECT_EQ(StrToDataBits("9"), dbEight);
    EXPECT_EQ(StrToFlowControl("xyz"), fcCustom);
    // Stored forms hold the ordinal, so the order of the rates may never change.
    EXPECT_EQ(BaudRateToStr(static_cast<TBaudRate>(8)), "14400");
    EXPECT_EQ(BaudRateToStr(static_cast<TBaudRate>(15)), "256000");
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(StrToBaudRate(BaudRateToStr(static_cast<TBaudRate>(i))), i);
    // Numbers outside the tables give a text, never a stray read.
    EXPECT_EQ(BaudRateToStr(static_cast<TBaudRate>(40)), "");
    EXPECT_EQ(ComErrorText(0), "Unknown Error #0");
    EXPECT_EQ(ComErrorText(24), "Unknown Error #24");
}

// XonLim and XoffLim are left out: no Linux line uses them.
TEST(ControlBlock, ReadingRunSettingsFlagsAndRates) {
    TComPort p;
    // "Custom" flow control, set after the RTS toggle, must keep it.
    p.FlowControl().SetControlRTS(rtsToggle);
    p.FlowControl().SetControlDTR(dtrEnable);
    p.FlowControl().SetFlowControl(fcCustom);
    DeviceControlBlock b = BuildDeviceControlBlock(p);
    EXPECT_EQ(b.BaudRate, 9600u);
    EXPECT_EQ(b.ByteSize, 8);
    EXPECT_EQ(b.Flags, 0x3011u);
    p.Parity().SetBits(prEven);
    p.Parity().SetCheck(true);
    b = BuildDeviceControlBlock(p);
    EXPECT_EQ(b.Flags, 0x3013u);
    EXPECT_EQ(b.Parity, 2);
    p.SetBaudRate(brCustom);
    p.SetCustomBaudRate(250000);
    EXPECT_EQ(BuildDeviceControlBlock(p).BaudRate, 250000u);
}

}  // namespace
}  // namespace qv

// Settings types, text forms, error texts and the control block a port builds.

#include <gtest/gtest.h>

#include "serial/com_port.h"

namespace qv {
namespace {

// Parity texts are read in the port store tests; every event kind's mask bit is
// watched in the line event tests.
TEST(ComTexts, ReadingFallsBackToDefaultsAndOrdinalsNeverMove) {
    EXPECT_EQ(StrToBaudRate(""), br9600);
    EXPECT_EQ(StrToStopBits("1,5"), sbOneStopBit);
    EXPECT_EQ(StrToStopBits("1.5"), sbOne5StopBits);
    EXPECT_EQ(StrToDataBits("9"), dbEight);
    EXPECT_EQ(StrToFlowControl("xyz"), fcCustom);
    EXPECT_EQ(StrToDTR("Toggle"), dtrDisable);
    // Stored forms hold the ordinal, so the order of the rates may never change.
    EXPECT_EQ(BaudRateToStr(static_cast<TBaudRate>(8)), "14400");
    EXPECT_EQ(BaudRateToStr(static_cast<TBaudRate>(15)), "256000");
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(StrToBaudRate(BaudRateToStr(static_cast<TBaudRate>(i))), i);
    // Numbers outside the tables give a text, never a stray read.
    EXPECT_EQ(BaudRateToStr(static_cast<TBaudRate>(40)), "");
    EXPECT_EQ(ComErrorText(0), "Unknown Error #0");
    EXPECT_EQ(ComErrorText(24), "Unknown Error #24");
    EXPECT_EQ(ComErrorText(23), "Registry error");
    EXPECT_EQ(MaskToEvents(EV_ERR | EV_RLSD | 0x8000), (TComEvents{evError, evRLSD}));
}

TEST(ComSettings, SettersStoreAndTheFlowControlShorthandReadsBack) {
    TComPort p;
    p.Buffer().SetInputSize(1023);
    EXPECT_EQ(p.Buffer().InputSize(), 1022);
    // A detached copy changes nothing until handed to the port.
    TComParity copy = p.Parity();
    copy.SetCheck(true);
    EXPECT_FALSE(p.Parity().Check());
    p.SetParity(copy);
    EXPECT_TRUE(p.Parity().Check());

    // The flow control shorthand sets the fields, and reads back from them.
    TComFlowControl& fc = p.FlowControl();
    fc.SetFlowControl(fcHardware);
    EXPECT_EQ(fc.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(fc.OutCTSFlow());
    fc.SetFlowControl(fcCustom);  // changes no field
    EXPECT_EQ(fc.FlowControl(), fcHardware);
    fc.SetFlowControl(fcSoftware);
    EXPECT_TRUE(fc.XonXoffIn() && fc.XonXoffOut());
    EXPECT_EQ(fc.ControlRTS(), rtsDisable);
    EXPECT_FALSE(fc.OutCTSFlow());
    fc.SetFlowControl(fcNone);
    fc.SetControlRTS(rtsToggle);
    EXPECT_EQ(fc.FlowControl(), fcCustom);
}

// XonLim and XoffLim are left out: no Linux line uses them.
TEST(ControlBlock, ReadingRunSettingsFlagsAndRates) {
    TComPort p;
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

    p.Parity().SetCheck(false);
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar('?');
    EXPECT_EQ(BuildDeviceControlBlock(p).Flags & (dcb::fParity | dcb::fErrorChar), 0u);
    p.Parity().SetCheck(true);
    b = BuildDeviceControlBlock(p);
    EXPECT_EQ(b.Flags & (dcb::fParity | dcb::fErrorChar), dcb::fParity | dcb::fErrorChar);
    EXPECT_EQ(b.ErrorChar, '?');
    p.SetBaudRate(brCustom);
    p.SetCustomBaudRate(250000);
    EXPECT_EQ(BuildDeviceControlBlock(p).BaudRate, 250000u);
    p.SetDiscardNull(true);
    p.FlowControl().SetFlowControl(fcSoftware);
    p.FlowControl().SetTxContinueOnXoff(true);
    EXPECT_EQ(BuildDeviceControlBlock(p).Flags & 0x0F80u,
              dcb::fNull | dcb::fOutX | dcb::fInX | dcb::fTXContinueOnXoff | dcb::fErrorChar);
    const CommTimeouts t = BuildCommTimeouts(p.Timeouts());
    EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
}

}  // namespace
}  // namespace qv

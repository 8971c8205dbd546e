#include "serial/com_types.h"

#include <array>

#include "platform/text.h"
#include "serial/com_port.h"

namespace qv {

namespace {

constexpr std::array<uint32_t, 10> kEventBits = {EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_RING,
                                                 EV_BREAK,  EV_CTS,     EV_DSR,    EV_ERR,
                                                 EV_RLSD,   EV_RX80FULL};

constexpr const char* kBaudTexts[] = {"Custom", "110",    "300",    "600",   "1200",  "2400",
                                      "4800",   "9600",   "14400",  "19200", "38400", "56000",
                                      "57600",  "115200", "128000", "256000"};
constexpr int kBaudValues[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                               14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr const char* kStopTexts[] = {"1", "1.5", "2"};
constexpr const char* kDataTexts[] = {"5", "6", "7", "8"};
constexpr const char* kParityTexts[] = {"NINGUNA", "IMPAR", "PAR", "Marca", "Espacio"};
constexpr const char* kFlowTexts[] = {"Hardware", "Software", "None", "Custom"};
constexpr const char* kDTRTexts[] = {"Disable", "Enable", "Handshake"};
constexpr const char* kRTSTexts[] = {"Disable", "Enable", "Handshake", "Toggle"};

constexpr const char* kErrorTexts[] = {"Unable to open com port",
                                       "WriteFile function failed",
                                       "ReadFile function failed",
                                       "Invalid Async parameter",
                                       "PurgeComm function failed",
                                       "Unable to get async status",
                                       "SetCommState function failed",
                                       "SetCommTimeouts failed",
                                       "SetupComm function failed",
                                       "ClearCommError function failed",
                                       "GetCommModemStatus function failed",
                                       "EscapeCommFunction function failed",
                                       "TransmitCommChar function failed",
                                       "Cannot set property while connected",
                                       "EnumPorts function failed",
                                       "Failed to store settings",
                                       "Failed to load settings",
                                       "Link (un)registration failed",
                                       "Cannot change led state if ComPort is selected",
                                       "Cannot wait for event if event thread is created",
                                       "WaitForEvent method failed",
                                       "A component is linked to OnRxBuf event",
                                       "Registry error"};

template <std::size_t N>
int lookup(const char* const (&table)[N], const std::string& s, int fallback) {
    for (std::size_t i = 0; i < N; ++i)
        if (SameTextIgnoringCase(table[i], s)) return static_cast<int>(i);
    return fallback;
}

template <std::size_t N>
std::string entry(const char* const (&table)[N], unsigned i) {
    return i < N ? table[i] : std::string();
}

}  // namespace

uint32_t EventToMask(TComEvent e) {
    return static_cast<unsigned>(e) < kEventBits.size() ? kEventBits[e] : 0;
}

uint32_t EventsToMask(TComEvents events) {
    uint32_t mask = 0;
    for (unsigned i = 0; i < kEventBits.size(); ++i)
        if (events.Contains(static_cast<TComEvent>(i))) mask |= kEventBits[i];
    return mask;
}

TComEvents MaskToEvents(uint32_t mask) {
    TComEvents events;
    for (unsigned i = 0; i < kEventBits.size(); ++i)
        if (mask & kEventBits[i]) events.Include(static_cast<TComEvent>(i));
    return events;
}

int BaudRateValue(TBaudRate rate) {
    return rate <= br256000 ? kBaudValues[rate] : 0;
}

std::string BaudRateToStr(TBaudRate v) {
    return entry(kBaudTexts, v);
}
std::string StopBitsToStr(TStopBits v) {
    return entry(kStopTexts, v);
}
std::string DataBitsToStr(TDataBits v) {
    return entry(kDataTexts, v);
}
std::string ParityToStr(TParityBits v) {
    return entry(kParityTexts, v);
}
std::string FlowControlToStr(TFlowControl v) {
    return entry(kFlowTexts, v);
}
std::string DTRToStr(TDTRFlowControl v) {
    return entry(kDTRTexts, v);
}
std::string RTSToStr(TRTSFlowControl v) {
    return entry(kRTSTexts, v);
}

TBaudRate StrToBaudRate(const std::string& s) {
    return static_cast<TBaudRate>(lookup(kBaudTexts, s, br9600));
}
TStopBits StrToStopBits(const std::string& s) {
    return static_cast<TStopBits>(lookup(kStopTexts, s, sbOneStopBit));
}
TDataBits StrToDataBits(const std::string& s) {
    return static_cast<TDataBits>(lookup(kDataTexts, s, dbEight));
}
TParityBits StrToParity(const std::string& s) {
    return static_cast<TParityBits>(lookup(kParityTexts, s, prNone));
}
TFlowControl StrToFlowControl(const std::string& s) {
    return static_cast<TFlowControl>(lookup(kFlowTexts, s, fcCustom));
}
TDTRFlowControl StrToDTR(const std::string& s) {
    return static_cast<TDTRFlowControl>(lookup(kDTRTexts, s, dtrDisable));
}
TRTSFlowControl StrToRTS(const std::string& s) {
    return static_cast<TRTSFlowControl>(lookup(kRTSTexts, s, rtsDisable));
}

std::string ComErrorText(int code) {
    if (code >= 1 && code <= 23) return kErrorTexts[code - 1];
    return "Unknown Error #" + std::to_string(code);
}

EComPort::EComPort(const std::string& port, uint8_t code)
    : EComPort(port, code, port + " Error: " + ComErrorText(code)) {}

EComPort::EComPort(const std::string& port, uint8_t code, const std::string& message)
    : std::runtime_error(message), port_(port), code_(code) {}

EComPortExt::EComPortExt(const std::string& port, int32_t winCode, uint8_t code)
    : EComPort(port, code, "COM Port Error: " + ComErrorText(code) + " on " + port),
      winCode_(winCode) {}

// ---- settings objects --------------------------------------------------------

void TComTimeouts::set(int32_t& field, int32_t v) {
    if (field == v) return;
    field = v;
    if (ComPort()) ComPort()->ApplyTimeouts();
}
void TComTimeouts::SetReadInterval(int32_t v) {
    set(readInterval_, v);
}
void TComTimeouts::SetReadTotalMultiplier(int32_t v) {
    set(readTotalM_, v);
}
void TComTimeouts::SetReadTotalConstant(int32_t v) {
    set(readTotalC_, v);
}
void TComTimeouts::SetWriteTotalMultiplier(int32_t v) {
    set(writeTotalM_, v);
}
void TComTimeouts::SetWriteTotalConstant(int32_t v) {
    set(writeTotalC_, v);
}
void TComTimeouts::AssignTo(TComTimeouts& d) const {
    d.readInterval_ = readInterval_;
    d.readTotalM_ = readTotalM_;
    d.readTotalC_ = readTotalC_;
    d.writeTotalM_ = writeTotalM_;
    d.writeTotalC_ = writeTotalC_;
}

TFlowControl TComFlowControl::FlowControl() const {
    if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_)
        return fcHardware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_) return fcSoftware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
    if (v != fcCustom) {
        controlRTS_ = rtsDisable;
        outCTSFlow_ = false;
        xonXoffIn_ = false;
        xonXoffOut_ = false;
    }
    if (v == fcHardware) {
        controlRTS_ = rtsHandshake;
        outCTSFlow_ = true;
    } else if (v == fcSoftware) {
        xonXoffIn_ = true;
        xonXoffOut_ = true;
    }
    if (ComPort()) ComPort()->ApplyDCB();
}

template <class T>
void TComFlowControl::set(T& field, T v) {
    if (field == v) return;
    field = v;
    if (ComPort()) ComPort()->ApplyDCB();
}
void TComFlowControl::SetOutCTSFlow(bool v) {
    set(outCTSFlow_, v);
}
void TComFlowControl::SetOutDSRFlow(bool v) {
    set(outDSRFlow_, v);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl v) {
    set(controlDTR_, v);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl v) {
    set(controlRTS_, v);
}
void TComFlowControl::SetXonXoffOut(bool v) {
    set(xonXoffOut_, v);
}
void TComFlowControl::SetXonXoffIn(bool v) {
    set(xonXoffIn_, v);
}
void TComFlowControl::SetDSRSensitivity(bool v) {
    set(dsrSensitivity_, v);
}
void TComFlowControl::SetTxContinueOnXoff(bool v) {
    set(txContinueOnXoff_, v);
}
void TComFlowControl::SetXonChar(char v) {
    set(xonChar_, v);
}
void TComFlowControl::SetXoffChar(char v) {
    set(xoffChar_, v);
}
void TComFlowControl::AssignTo(TComFlowControl& d) const {
    d.outCTSFlow_ = outCTSFlow_;
    d.outDSRFlow_ = outDSRFlow_;
    d.controlDTR_ = controlDTR_;
    d.controlRTS_ = controlRTS_;
    d.xonXoffOut_ = xonXoffOut_;
    d.xonXoffIn_ = xonXoffIn_;
    d.dsrSensitivity_ = dsrSensitivity_;
    d.txContinueOnXoff_ = txContinueOnXoff_;
    d.xonChar_ = xonChar_;
    d.xoffChar_ = xoffChar_;
}

template <class T>
void TComParity::set(T& field, T v) {
    if (field == v) return;
    field = v;
    if (ComPort()) ComPort()->ApplyDCB();
}
void TComParity::SetBits(TParityBits v) {
    set(bits_, v);
}
void TComParity::SetCheck(bool v) {
    set(check_, v);
}
void TComParity::SetReplace(bool v) {
    set(replace_, v);
}
void TComParity::SetReplaceChar(char v) {
    set(replaceChar_, v);
}
void TComParity::AssignTo(TComParity& d) const {
    d.bits_ = bits_;
    d.check_ = check_;
    d.replace_ = replace_;
    d.replaceChar_ = replaceChar_;
}

void TComBuffer::set(int& field, int v) {
    if (v % 2 == 1) --v;
    if (field == v) return;
    field = v;
    if (ComPort()) ComPort()->ApplyBuffer();
}
void TComBuffer::SetInputSize(int v) {
    set(inputSize_, v);
}
void TComBuffer::SetOutputSize(int v) {
    set(outputSize_, v);
}
void TComBuffer::AssignTo(TComBuffer& d) const {
    d.inputSize_ = inputSize_;
    d.outputSize_ = outputSize_;
}

}  // namespace qv

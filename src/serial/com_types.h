#pragma once
// Value types of the serial port component: line settings, events, line
// errors, modem lines, the four settings objects a port owns, their text
// forms, the error table and the exceptions.
//
// Enumeration order is part of the interface: callers pass the item index of a
// settings box as the ordinal (static_cast<TBaudRate>(index)).

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qv {

class TCustomComPort;

enum TBaudRate : uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent : uint8_t {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
enum TComError : uint8_t {
    ceFrame,
    ceRxParity,
    ceOverrun,
    ceBreak,
    ceIO,
    ceMode,
    ceRxOver,
    ceTxFull
};
enum TSyncMethod : uint8_t { smThreadSync, smWindowSync, smNone, smDisableEvents };
enum TModemLine : uint8_t { mlCTS, mlDSR, mlRing, mlRLSD };
enum TComProperty : uint8_t {
    cpNone,
    cpPort,
    cpBaudRate,
    cpDataBits,
    cpStopBits,
    cpParity,
    cpFlowControl
};
enum TStoreGroup : uint8_t { stBasic, stFlowControl, stBuffer, stTimeouts, stParity, stOthers };

// A set over an enumeration of at most 32 values.
template <class E>
class TSet {
  public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> items) {
        for (E e : items) bits_ |= bit(e);
    }
    static constexpr TSet fromBits(uint32_t b) {
        TSet s;
        s.bits_ = b;
        return s;
    }
    constexpr uint32_t bits() const { return bits_; }
    constexpr bool Contains(E e) const { return (bits_ & bit(e)) != 0; }
    constexpr void Include(E e) { bits_ |= bit(e); }
    constexpr void Exclude(E e) { bits_ &= ~bit(e); }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TSet operator+(TSet o) const { return fromBits(bits_ | o.bits_); }
    constexpr TSet operator-(TSet o) const { return fromBits(bits_ & ~o.bits_); }
    constexpr TSet operator*(TSet o) const { return fromBits(bits_ & o.bits_); }
    constexpr bool operator==(const TSet&) const = default;

  private:
    static constexpr uint32_t bit(E e) { return uint32_t{1} << static_cast<unsigned>(e); }
    uint32_t bits_ = 0;
};

using TComEvents = TSet<TComEvent>;
using TComErrors = TSet<TComError>;
using TModemLines = TSet<TModemLine>;
using TStoreGroups = TSet<TStoreGroup>;

constexpr TComEvents AllComEvents{evRxChar, evTxEmpty, evRxFlag, evRing, evBreak,
                                  evCTS,    evDSR,     evError,  evRLSD, evRx80Full};

// Comm event bits (the values a wait on the port reports).
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_RXFLAG = 0x0002;
constexpr uint32_t EV_TXEMPTY = 0x0004;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;
constexpr uint32_t EV_RX80FULL = 0x0400;

// Line error bits.
constexpr uint32_t CE_RXOVER = 0x0001;
constexpr uint32_t CE_OVERRUN = 0x0002;
constexpr uint32_t CE_RXPARITY = 0x0004;
constexpr uint32_t CE_FRAME = 0x0008;
constexpr uint32_t CE_BREAK = 0x0010;
constexpr uint32_t CE_TXFULL = 0x0100;
constexpr uint32_t CE_IOE = 0x0400;
constexpr uint32_t CE_MODE = 0x8000;

// Modem status bits.
constexpr uint32_t MS_CTS_ON = 0x10;
constexpr uint32_t MS_DSR_ON = 0x20;
constexpr uint32_t MS_RING_ON = 0x40;
constexpr uint32_t MS_RLSD_ON = 0x80;

// Purge flags.
constexpr uint32_t PURGE_TXABORT = 0x1;
constexpr uint32_t PURGE_RXABORT = 0x2;
constexpr uint32_t PURGE_TXCLEAR = 0x4;
constexpr uint32_t PURGE_RXCLEAR = 0x8;

uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(uint32_t mask);
uint32_t EventToMask(TComEvent event);

// Bits per second of a rate; 0 for brCustom (the port's CustomBaudRate holds it).
int BaudRateValue(TBaudRate rate);

std::string BaudRateToStr(TBaudRate v);
std::string StopBitsToStr(TStopBits v);
std::string DataBitsToStr(TDataBits v);
std::string ParityToStr(TParityBits v);
std::string FlowControlToStr(TFlowControl v);
std::string DTRToStr(TDTRFlowControl v);
std::string RTSToStr(TRTSFlowControl v);
TBaudRate StrToBaudRate(const std::string& s);
TStopBits StrToStopBits(const std::string& s);
TDataBits StrToDataBits(const std::string& s);
TParityBits StrToParity(const std::string& s);
TFlowControl StrToFlowControl(const std::string& s);
TDTRFlowControl StrToDTR(const std::string& s);
TRTSFlowControl StrToRTS(const std::string& s);

// Error codes 1..23 (CE_ codes of the component), text by ComErrorText.
enum : uint8_t {
    CError_OpenFailed = 1,
    CError_WriteFailed = 2,
    CError_ReadFailed = 3,
    CError_InvalidAsync = 4,
    CError_PurgeFailed = 5,
    CError_AsyncCheck = 6,
    CError_SetStateFailed = 7,
    CError_TimeoutsFailed = 8,
    CError_SetupComFailed = 9,
    CError_ClearComFailed = 10,
    CError_ModemStatFailed = 11,
    CError_EscapeComFailed = 12,
    CError_TransmitFailed = 13,
    CError_ConnChangeProp = 14,
    CError_EnumPortsFailed = 15,
    CError_StoreFailed = 16,
    CError_LoadFailed = 17,
    CError_RegFailed = 18,
    CError_LedStateFailed = 19,
    CError_ThreadCreated = 20,
    CError_WaitFailed = 21,
    CError_HasLink = 22,
    CError_RegError = 23
};

std::string ComErrorText(int code);

// Raised by the port: "<port> Error: <text>".
class EComPort : public std::runtime_error {
  public:
    EComPort(const std::string& port, uint8_t code);
    uint8_t Code() const { return code_; }
    const std::string& PortName() const { return port_; }

  protected:
    EComPort(const std::string& port, uint8_t code, const std::string& message);

  private:
    std::string port_;
    uint8_t code_;
};

// Raised when a system call fails: "COM Port Error: <text> on <port>". WinCode
// holds the errno read right after the failing call.
class EComPortExt : public EComPort {
  public:
    EComPortExt(const std::string& port, int32_t winCode, uint8_t code);
    int32_t WinCode() const { return winCode_; }

  private:
    int32_t winCode_;
};

// Settings objects. Each is owned by one port (ComPort) and asks it to re-apply
// its group when a value changes; a copy is detached (ComPort null) and applies
// nothing, so it can be filled and handed to the port's setter.
class TComSettingsObject {
  public:
    TCustomComPort* ComPort() const { return comPort_; }

  protected:
    TComSettingsObject() = default;
    TComSettingsObject(const TComSettingsObject&) : comPort_(nullptr) {}
    TComSettingsObject& operator=(const TComSettingsObject&) { return *this; }

  private:
    friend class TCustomComPort;
    TCustomComPort* comPort_ = nullptr;
};

class TComTimeouts : public TComSettingsObject {
  public:
    int32_t ReadInterval() const { return readInterval_; }
    int32_t ReadTotalMultiplier() const { return readTotalM_; }
    int32_t ReadTotalConstant() const { return readTotalC_; }
    int32_t WriteTotalMultiplier() const { return writeTotalM_; }
    int32_t WriteTotalConstant() const { return writeTotalC_; }
    void SetReadInterval(int32_t v);
    void SetReadTotalMultiplier(int32_t v);
    void SetReadTotalConstant(int32_t v);
    void SetWriteTotalMultiplier(int32_t v);
    void SetWriteTotalConstant(int32_t v);
    // Copies every value (no setter runs, nothing is applied).
    void AssignTo(TComTimeouts& dest) const;

  private:
    void set(int32_t& field, int32_t v);
    int32_t readInterval_ = -1;
    int32_t readTotalM_ = 0;
    int32_t readTotalC_ = 0;
    int32_t writeTotalM_ = 100;
    int32_t writeTotalC_ = 1000;
};

class TComFlowControl : public TComSettingsObject {
  public:
    TFlowControl FlowControl() const;
    // Always re-applies, also for fcCustom (which changes no field).
    void SetFlowControl(TFlowControl v);
    bool OutCTSFlow() const { return outCTSFlow_; }
    bool OutDSRFlow() const { return outDSRFlow_; }
    TDTRFlowControl ControlDTR() const { return controlDTR_; }
    TRTSFlowControl ControlRTS() const { return controlRTS_; }
    bool XonXoffOut() const { return xonXoffOut_; }
    bool XonXoffIn() const { return xonXoffIn_; }
    bool DSRSensitivity() const { return dsrSensitivity_; }
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }
    char XonChar() const { return xonChar_; }
    char XoffChar() const { return xoffChar_; }
    void SetOutCTSFlow(bool v);
    void SetOutDSRFlow(bool v);
    void SetControlDTR(TDTRFlowControl v);
    void SetControlRTS(TRTSFlowControl v);
    void SetXonXoffOut(bool v);
    void SetXonXoffIn(bool v);
    void SetDSRSensitivity(bool v);
    void SetTxContinueOnXoff(bool v);
    void SetXonChar(char v);
    void SetXoffChar(char v);
    void AssignTo(TComFlowControl& dest) const;

  private:
    template <class T>
    void set(T& field, T v);
    bool outCTSFlow_ = false;
    bool outDSRFlow_ = false;
    TDTRFlowControl controlDTR_ = dtrDisable;
    TRTSFlowControl controlRTS_ = rtsDisable;
    bool xonXoffOut_ = false;
    bool xonXoffIn_ = false;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = false;
    char xonChar_ = 17;
    char xoffChar_ = 19;
};

class TComParity : public TComSettingsObject {
  public:
    TParityBits Bits() const { return bits_; }
    bool Check() const { return check_; }
    bool Replace() const { return replace_; }
    char ReplaceChar() const { return replaceChar_; }
    void SetBits(TParityBits v);
    void SetCheck(bool v);
    void SetReplace(bool v);
    void SetReplaceChar(char v);
    void AssignTo(TComParity& dest) const;

  private:
    template <class T>
    void set(T& field, T v);
    TParityBits bits_ = prNone;
    bool check_ = false;
    bool replace_ = false;
    char replaceChar_ = 0;
};

class TComBuffer : public TComSettingsObject {
  public:
    int InputSize() const { return inputSize_; }
    int OutputSize() const { return outputSize_; }
    // An odd size is stored less one (1025 becomes 1024).
    void SetInputSize(int v);
    void SetOutputSize(int v);
    void AssignTo(TComBuffer& dest) const;

  private:
    void set(int& field, int v);
    int inputSize_ = 1024;
    int outputSize_ = 1024;
};

}  // namespace qv

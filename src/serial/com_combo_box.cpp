#include "serial/com_combo_box.h"

#include <vector>

#include "serial/com_names.h"

namespace qv {

namespace {

// The texts of a kind in ordinal order.
std::vector<std::string> KindTexts(TComProperty kind) {
    std::vector<std::string> texts;
    auto add = [&](int count, auto toStr) {
        for (int i = 0; i < count; ++i) texts.push_back(toStr(i));
    };
    switch (kind) {
        case cpPort:
            EnumComPorts(texts);
            break;
        case cpBaudRate:
            add(br256000 + 1, [](int i) { return BaudRateToStr(static_cast<TBaudRate>(i)); });
            break;
        case cpDataBits:
            add(dbEight + 1, [](int i) { return DataBitsToStr(static_cast<TDataBits>(i)); });
            break;
        case cpStopBits:
            add(sbTwoStopBits + 1, [](int i) { return StopBitsToStr(static_cast<TStopBits>(i)); });
            break;
        case cpParity:
            add(prSpace + 1, [](int i) { return ParityToStr(static_cast<TParityBits>(i)); });
            break;
        case cpFlowControl:
            add(fcCustom + 1, [](int i) { return FlowControlToStr(static_cast<TFlowControl>(i)); });
            break;
        default:
            break;
    }
    return texts;
}

// The text of the port's current value for a kind.
std::string PortValueText(const TCustomComPort& port, TComProperty kind) {
    switch (kind) {
        case cpPort:
            return port.Port();
        case cpBaudRate:
            return BaudRateToStr(port.BaudRate());
        case cpDataBits:
            return DataBitsToStr(port.DataBits());
        case cpStopBits:
            return StopBitsToStr(port.StopBits());
        case cpParity:
            return ParityToStr(port.Parity().Bits());
        case cpFlowControl:
            return FlowControlToStr(port.FlowControl().FlowControl());
        default:
            return {};
    }
}

// The settings texts are Latin-1, as the program's own texts are.
QString ToQString(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}
std::string ToStdString(const QString& s) {
    return s.toLatin1().toStdString();
}

}  // namespace

TComComboBox::TComComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(false);  // only list items can be chosen
    // activated comes from the user only, never from a selection made in code.
    connect(this, &QComboBox::activated, this, [this] { Change(); });
}

TComComboBox::~TComComboBox() {
    Unbind();
}

void TComComboBox::Unbind() {
    if (select_.ComPort) select_.ComPort->RemoveFreeNotification(notification_);
    select_.ComPort = nullptr;
    notification_ = 0;
}

void TComComboBox::SetComPort(TCustomComPort* port) {
    if (port == select_.ComPort) return;
    Unbind();
    if (!port) return;
    select_.ComPort = port;
    notification_ = port->AddFreeNotification([this](TCustomComPort*) {
        select_.ComPort = nullptr;
        notification_ = 0;
        if (count() > 0) setCurrentIndex(0);
    });
    setCurrentIndex(CurrentValueIndex());
}

void TComComboBox::SetComProperty(TComProperty kind) {
    select_.Kind = kind;
    clear();
    std::vector<std::string> texts = KindTexts(kind);
    for (const std::string& t : texts) addItem(ToQString(t));
    if (count() > 0) setCurrentIndex(select_.ComPort ? CurrentValueIndex() : 0);
}

int TComComboBox::CurrentValueIndex() {
    if (select_.Kind == cpNone || !select_.ComPort) return 0;
    const int index =
        findText(ToQString(PortValueText(*select_.ComPort, select_.Kind)), Qt::MatchFixedString);
    if (index >= 0) StoreChoice(ToStdString(itemText(index)));
    return index;
}

std::string TComComboBox::Text() const {
    return currentIndex() < 0 ? std::string() : ToStdString(currentText());
}

void TComComboBox::SetText(const std::string& text) {
    const int index = findText(ToQString(text), Qt::MatchFixedString);
    if (index >= 0) setCurrentIndex(index);
}

void TComComboBox::StoreChoice(const std::string& text) {
    uint8_t value = 0;
    switch (select_.Kind) {
        case cpPort:
            select_.PortText = text;
            return;
        case cpBaudRate:
            value = StrToBaudRate(text);
            break;
        case cpDataBits:
            value = StrToDataBits(text);
            break;
        case cpStopBits:
            value = StrToStopBits(text);
            break;
        case cpParity:
            value = StrToParity(text);
            break;
        case cpFlowControl:
            value = StrToFlowControl(text);
            break;
        default:
            return;
    }
    select_.Choice[select_.Kind - cpBaudRate] = value;
}

void TComComboBox::ApplyToPort() {
    TCustomComPort& port = *select_.ComPort;
    const uint8_t value =
        select_.Kind >= cpBaudRate ? select_.Choice[select_.Kind - cpBaudRate] : 0;
    switch (select_.Kind) {
        case cpPort:
            port.SetPort(select_.PortText);
            break;
        case cpBaudRate:
            port.SetBaudRate(static_cast<TBaudRate>(value));
            break;
        case cpDataBits:
            port.SetDataBits(static_cast<TDataBits>(value));
            break;
        case cpStopBits:
            port.SetStopBits(static_cast<TStopBits>(value));
            break;
        case cpParity:
            port.Parity().SetBits(static_cast<TParityBits>(value));
            break;
        case cpFlowControl:
            port.FlowControl().SetFlowControl(static_cast<TFlowControl>(value));
            break;
        default:
            break;
    }
}

void TComComboBox::Change() {
    StoreChoice(Text());
    if (select_.AutoApply && select_.ComPort) {
        // An open port re-applies at once and may refuse the value; that must
        // not unwind through the widget's event handling.
        try {
            ApplyToPort();
        } catch (...) {
            if (select_.ComPort) select_.ComPort->ReportException(std::current_exception());
        }
    }
    Q_EMIT OnChange();
}

}  // namespace qv

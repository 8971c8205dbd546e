#include "serial/com_combo_box.h"

#include <vector>

#include "serial/com_names.h"

namespace qv {

namespace {

// What the box needs of each enumeration kind, indexed by kind - cpBaudRate.
struct EnumKind {
    int count;
    std::string (*text)(int ordinal);
    uint8_t (*ordinal)(const std::string& text);
    int (*portValue)(const TCustomComPort& port);
    void (*apply)(TCustomComPort& port, int ordinal);
};

template <class E>
E As(int v) {
    return static_cast<E>(v);
}

const EnumKind kEnumKinds[] = {
    {br256000 + 1, [](int v) { return BaudRateToStr(As<TBaudRate>(v)); },
     [](const std::string& t) -> uint8_t { return StrToBaudRate(t); },
     [](const TCustomComPort& p) -> int { return p.BaudRate(); },
     [](TCustomComPort& p, int v) { p.SetBaudRate(As<TBaudRate>(v)); }},
    {dbEight + 1, [](int v) { return DataBitsToStr(As<TDataBits>(v)); },
     [](const std::string& t) -> uint8_t { return StrToDataBits(t); },
     [](const TCustomComPort& p) -> int { return p.DataBits(); },
     [](TCustomComPort& p, int v) { p.SetDataBits(As<TDataBits>(v)); }},
    {sbTwoStopBits + 1, [](int v) { return StopBitsToStr(As<TStopBits>(v)); },
     [](const std::string& t) -> uint8_t { return StrToStopBits(t); },
     [](const TCustomComPort& p) -> int { return p.StopBits(); },
     [](TCustomComPort& p, int v) { p.SetStopBits(As<TStopBits>(v)); }},
    {prSpace + 1, [](int v) { return ParityToStr(As<TParityBits>(v)); },
     [](const std::string& t) -> uint8_t { return StrToParity(t); },
     [](const TCustomComPort& p) -> int { return p.Parity().Bits(); },
     [](TCustomComPort& p, int v) { p.Parity().SetBits(As<TParityBits>(v)); }},
    {fcCustom + 1, [](int v) { return FlowControlToStr(As<TFlowControl>(v)); },
     [](const std::string& t) -> uint8_t { return StrToFlowControl(t); },
     [](const TCustomComPort& p) -> int { return p.FlowControl().FlowControl(); },
     [](TCustomComPort& p, int v) { p.FlowControl().SetFlowControl(As<TFlowControl>(v)); }},
};

const EnumKind* Enum(TComProperty kind) {
    return kind >= cpBaudRate && kind <= cpFlowControl ? &kEnumKinds[kind - cpBaudRate] : nullptr;
}

// The texts of a kind in ordinal order.
std::vector<std::string> KindTexts(TComProperty kind) {
    std::vector<std::string> texts;
    if (kind == cpPort) EnumComPorts(texts);
    if (const EnumKind* e = Enum(kind))
        for (int i = 0; i < e->count; ++i) texts.push_back(e->text(i));
    return texts;
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
    const TCustomComPort* port = select_.ComPort;
    if (select_.Kind == cpNone || !port) return 0;
    const EnumKind* e = Enum(select_.Kind);
    const std::string value = e ? e->text(e->portValue(*port)) : port->Port();
    const int index = findText(ToQString(value), Qt::MatchFixedString);
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
    if (select_.Kind == cpPort) select_.PortText = text;
    if (const EnumKind* e = Enum(select_.Kind))
        select_.Choice[select_.Kind - cpBaudRate] = e->ordinal(text);
}

void TComComboBox::ApplyToPort() {
    TCustomComPort& port = *select_.ComPort;
    if (select_.Kind == cpPort) port.SetPort(select_.PortText);
    if (const EnumKind* e = Enum(select_.Kind))
        e->apply(port, select_.Choice[select_.Kind - cpBaudRate]);
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

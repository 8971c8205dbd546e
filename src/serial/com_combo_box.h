#pragma once
// A drop-down list bound to one setting of one port: it lists the texts of
// that setting (item index = enumeration ordinal), selects the text of the
// port's current value, and with AutoApply writes the user's choice back into
// the port. Main thread only, like every widget; the bound port must be
// destroyed in the main thread too, since its destruction unbinds the box.
//
//   TComComboBox* baud = new TComComboBox(parent);
//   baud->SetComProperty(cpBaudRate);
//   baud->SetComPort(&port);          // selects "9600" for a port at 9600
//   baud->SetText("19200");           // a text not in the list changes nothing
//   auto rate = static_cast<TBaudRate>(baud->currentIndex());

#include <QComboBox>
#include <array>
#include <string>

#include "serial/com_port.h"

namespace qv {

// What the box has chosen, by kind.
struct TComSelect {
    std::string PortText;             // cpPort
    std::array<uint8_t, 5> Choice{};  // cpBaudRate .. cpFlowControl, in that order
    TComProperty Kind = cpNone;
    TCustomComPort* ComPort = nullptr;
    bool AutoApply = false;
};

class TComComboBox : public QComboBox {
    Q_OBJECT

  public:
    explicit TComComboBox(QWidget* parent = nullptr);
    ~TComComboBox() override;

    TCustomComPort* ComPort() const { return select_.ComPort; }
    // Binds to `port` (null unbinds) and selects the port's current value.
    void SetComPort(TCustomComPort* port);
    TComProperty ComProperty() const { return select_.Kind; }
    // Fills the list for `kind` and selects the bound port's value, or item 0.
    // For cpPort the list comes from EnumComPorts, whose EComPortExt passes on
    // (the list is then empty).
    void SetComProperty(TComProperty kind);
    bool AutoApply() const { return select_.AutoApply; }
    void SetAutoApply(bool value) { select_.AutoApply = value; }
    // The selected item's text, or "" when none is selected.
    std::string Text() const;
    // Selects the item with this text (letter case ignored, as the list's own
    // search does); a text that is not in the list changes nothing.
    void SetText(const std::string& text);
    const TComSelect& Select() const { return select_; }

  Q_SIGNALS:
    // After a choice by the user has been stored (and applied).
    void OnChange();

  protected:
    // The user's choice: store it, write it to the port when AutoApply, then
    // OnChange. A port that refuses the value reports through its
    // ExceptionHandler; the choice stays stored.
    virtual void Change();

  private:
    int CurrentValueIndex();
    void StoreChoice(const std::string& text);
    void ApplyToPort();
    void Unbind();

    TComSelect select_;
    int notification_ = 0;
};

}  // namespace qv

#pragma once
// A radio group: a framed group of radio buttons with one item index, as the
// main window's output and link choices are held.

#include <QButtonGroup>
#include <QGroupBox>
#include <QRadioButton>
#include <QVBoxLayout>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace qv {

class RadioGroup : public QGroupBox {
    Q_OBJECT
  public:
    RadioGroup(const QString& caption, std::span<const std::string_view> items,
               QWidget* parent = nullptr);
    ~RadioGroup() override;

    // The checked item, -1 for none.
    int ItemIndex() const;
    // Checks an item (-1: none); a change is announced through Click, as a
    // click by the user is.
    void SetItemIndex(int index);
    int Count() const { return static_cast<int>(buttons_.size()); }
    QRadioButton& Button(int index) { return *buttons_.at(index); }

  signals:
    void Click();

  private:
    QVBoxLayout layout_;
    QButtonGroup group_;
    std::vector<std::unique_ptr<QRadioButton>> buttons_;
};

}  // namespace qv

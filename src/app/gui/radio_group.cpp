#include "app/gui/radio_group.h"

namespace qv {

RadioGroup::RadioGroup(const QString& caption, std::span<const std::string_view> items,
                       QWidget* parent)
    : QGroupBox(caption, parent), layout_(this) {
    for (std::string_view item : items) {
        buttons_.push_back(std::make_unique<QRadioButton>(
            QString::fromLatin1(item.data(), static_cast<qsizetype>(item.size())), this));
        group_.addButton(buttons_.back().get(), static_cast<int>(buttons_.size()) - 1);
        layout_.addWidget(buttons_.back().get());
    }
    layout_.addStretch();
    connect(&group_, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked) emit Click();
    });
}

RadioGroup::~RadioGroup() {
    // The buttons go before the group that lists them.
    for (auto& b : buttons_) group_.removeButton(b.get());
}

int RadioGroup::ItemIndex() const {
    return group_.checkedId();
}

void RadioGroup::SetItemIndex(int index) {
    if (index < 0 || index >= Count()) index = -1;
    if (index == ItemIndex()) return;
    if (index >= 0) {
        buttons_[index]->setChecked(true);
        return;
    }
    // An exclusive group cannot uncheck its last button.
    group_.setExclusive(false);
    for (auto& b : buttons_) b->setChecked(false);
    group_.setExclusive(true);
    emit Click();
}

}  // namespace qv

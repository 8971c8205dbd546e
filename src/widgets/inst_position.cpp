#include "widgets/inst_position.h"

#include <algorithm>
#include <cmath>

namespace qv {

TInstPositionComponent::TInstPositionComponent(QWidget* parent) : TInstCustomComponent(parent) {}

void TInstPositionComponent::SetPosition(double value) {
    // Not a number compares false with every bound: it would pass the clamp.
    if (std::isnan(value)) return;
    if (IsLoadingOrDesigning()) {
        position_ = value;
        return;
    }
    if (value > positionMax_) value = positionMax_;
    if (value < positionMin_) value = positionMin_;
    if (value == position_) return;
    position_ = value;
    Track(GetPosition());
    InvalidateChange();
    PositionChanging();
    Fire(OnPositionChange);
}

void TInstPositionComponent::Track(double value) {
    if (minMaxFixed_ || IsLoadingOrDesigning()) return;
    if (CurrentMax() < value) {
        SetCurrentMax(value);
        Fire(OnPositionOverMax);
    }
    if (CurrentMin() > value) {
        SetCurrentMin(value);
        Fire(OnPositionUnderMin);
    }
    for (int i = 0; i < static_cast<int>(limits_.size()); ++i) {
        if (limits_[i].Upper < value && OnPositionOverLimit) OnPositionOverLimit(this, i);
        if (limits_[i].Lower > value && OnPositionUnderLimit) OnPositionUnderLimit(this, i);
    }
}

void TInstPositionComponent::SetCurrentMax(double value) {
    if (std::isnan(value)) return;
    if (!IsLoadingOrDesigning())
        value = std::clamp(value, positionMin_, std::max(positionMin_, positionMax_));
    if (value == currentMax_.Position) return;
    currentMax_.Position = value;
    Fire(OnCurrentMaxChange);
    if (value < GetPosition()) Fire(OnPositionOverMax);
}

void TInstPositionComponent::SetCurrentMin(double value) {
    if (std::isnan(value)) return;
    if (!IsLoadingOrDesigning())
        value = std::clamp(value, positionMin_, std::max(positionMin_, positionMax_));
    if (value == currentMin_.Position) return;
    currentMin_.Position = value;
    Fire(OnCurrentMinChange);
    if (value > GetPosition()) Fire(OnPositionUnderMin);
}

void TInstPositionComponent::SetPositionMin(double value) {
    if (value != positionMin_) SetRange(value, positionMax_);
}

void TInstPositionComponent::SetPositionMax(double value) {
    if (value != positionMax_) SetRange(positionMin_, value);
}

void TInstPositionComponent::SetRange(double min, double max) {
    if (std::isnan(min) || std::isnan(max)) return;
    positionMin_ = min;
    positionMax_ = max;
    if (!IsLoadingOrDesigning() && !minMaxFixed_) {
        if (currentMin_.Position < min) currentMin_.Position = min;
        if (currentMax_.Position > max) currentMax_.Position = max;
    }
    CheckPositionRange();
    RequestRepaint();
}

void TInstPositionComponent::CheckPositionRange() {
    if (IsLoadingOrDesigning()) return;
    if (GetPosition() < positionMin_) SetPosition(positionMin_);
    if (GetPosition() > positionMax_) SetPosition(positionMax_);
}

double TInstPositionComponent::PositionToFraction(double value) const {
    if (value > positionMax_) return 1.0;
    if (value >= positionMin_ && positionMax_ != positionMin_)
        return (value - positionMin_) / (positionMax_ - positionMin_);
    return 0;
}

TInstProgressComponent::TInstProgressComponent(QWidget* parent) : TInstPositionComponent(parent) {
    resize(16, 200);
}

void TInstProgressComponent::SetSectionCount(int value) {
    if (value < 1 || value > 5 || value == sectionCount_) return;
    sectionCount_ = value;
    InvalidateChange();
}

}  // namespace qv

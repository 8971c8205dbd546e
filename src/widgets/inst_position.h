#pragma once
// Widgets that show one value between a minimum and a maximum, and the bar-like
// ones among them with up to five coloured sections.

#include <array>
#include <functional>
#include <vector>

#include "widgets/inst_component.h"

namespace qv {

// A marker on a gauge; the position widgets keep the extremes reached in two of them.
struct TInstGaugePointer {
    bool Visible = true;
    bool Enabled = true;
    int Size = 10;
    int Margin = 0;
    QColor Color = Qt::blue;
    QColor DisabledColor = Qt::gray;
    int Style = 3;
    bool Style3D = false;
    double Position = 0;
    bool DrawScaleSide = false;
    bool UserCanMove = false;
    bool UseDisabledColor = false;
};

struct TInstLimitObject {
    double Upper = 0;
    double Lower = 0;
};

class TInstPositionComponent : public TInstCustomComponent {
    Q_OBJECT
    Q_PROPERTY(double Position READ GetPosition WRITE SetPosition)
    Q_PROPERTY(double PositionMax READ PositionMax WRITE SetPositionMax)
    Q_PROPERTY(double PositionMin READ PositionMin WRITE SetPositionMin)
    Q_PROPERTY(double CurrentMax READ CurrentMax WRITE SetCurrentMax)
    Q_PROPERTY(double CurrentMin READ CurrentMin WRITE SetCurrentMin)
    Q_PROPERTY(bool MinMaxFixed READ MinMaxFixed WRITE SetMinMaxFixed)

  public:
    using TNotifyEvent = std::function<void(TInstPositionComponent* sender)>;
    using TOnPositionLimit = std::function<void(TInstPositionComponent* sender, int index)>;

    explicit TInstPositionComponent(QWidget* parent = nullptr);

    virtual double GetPosition() const { return position_; }
    virtual void SetPosition(double value);
    virtual void SetPositionMin(double value);
    virtual void SetPositionMax(double value);
    virtual void CheckPositionRange();

    double PositionMax() const { return positionMax_; }
    double PositionMin() const { return positionMin_; }
    double CurrentMax() const { return currentMax_.Position; }
    void SetCurrentMax(double value);
    double CurrentMin() const { return currentMin_.Position; }
    void SetCurrentMin(double value);
    bool MinMaxFixed() const { return minMaxFixed_; }
    void SetMinMaxFixed(bool value) { ChangeProperty(minMaxFixed_, value, 0); }
    std::vector<TInstLimitObject>& Limits() { return limits_; }

    // Where `value` lies in the range, 0 to 1.
    double PositionToFraction(double value) const;

    TNotifyEvent OnPositionChange, OnCurrentMaxChange, OnCurrentMinChange, OnPositionOverMax,
        OnPositionUnderMin;
    TOnPositionLimit OnPositionOverLimit, OnPositionUnderLimit;

  protected:
    // Runs before the change events of a new position; nothing here.
    virtual void PositionChanging() {}

  private:
    void SetRange(double min, double max);
    void Track(double value);
    void Fire(const TNotifyEvent& event) {
        if (event && !IsLoadingOrDesigning()) event(this);
    }

    double position_ = 0;
    double positionMax_ = 100.0;
    double positionMin_ = 0.0;
    TInstGaugePointer currentMax_, currentMin_;
    bool minMaxFixed_ = false;
    std::vector<TInstLimitObject> limits_;
};

class TInstProgressComponent : public TInstPositionComponent {
    Q_OBJECT
    Q_PROPERTY(QColor BackGroundColor READ BackGroundColor WRITE SetBackGroundColor)
    Q_PROPERTY(int SectionCount READ SectionCount WRITE SetSectionCount)
    Q_PROPERTY(QColor SectionColor1 READ SectionColor1 WRITE SetSectionColor1)
    Q_PROPERTY(QColor SectionColor2 READ SectionColor2 WRITE SetSectionColor2)
    Q_PROPERTY(QColor SectionColor3 READ SectionColor3 WRITE SetSectionColor3)
    Q_PROPERTY(QColor SectionColor4 READ SectionColor4 WRITE SetSectionColor4)
    Q_PROPERTY(QColor SectionColor5 READ SectionColor5 WRITE SetSectionColor5)
    Q_PROPERTY(double SectionEnd1 READ SectionEnd1 WRITE SetSectionEnd1)
    Q_PROPERTY(double SectionEnd2 READ SectionEnd2 WRITE SetSectionEnd2)
    Q_PROPERTY(double SectionEnd3 READ SectionEnd3 WRITE SetSectionEnd3)
    Q_PROPERTY(double SectionEnd4 READ SectionEnd4 WRITE SetSectionEnd4)
    Q_PROPERTY(bool ShowOffSegments READ ShowOffSegments WRITE SetShowOffSegments)

  public:
    explicit TInstProgressComponent(QWidget* parent = nullptr);

    int SectionCount() const { return sectionCount_; }
    // 1 to 5; other counts are ignored.
    void SetSectionCount(int value);
    // Section k = 1..5.
    QColor SectionColor(int k) const { return colors_.at(k - 1); }
    void SetSectionColor(int k, const QColor& value) {
        ChangeProperty(colors_.at(k - 1), value, 0);
    }
    // End of section k = 1..4, in position units.
    double SectionEnd(int k) const { return ends_.at(k - 1); }
    void SetSectionEnd(int k, double value) { ChangeProperty(ends_.at(k - 1), value, 0); }
    bool ShowOffSegments() const { return showOffSegments_; }
    void SetShowOffSegments(bool value) { ChangeProperty(showOffSegments_, value, 0); }

    QColor SectionColor1() const { return colors_[0]; }
    QColor SectionColor2() const { return colors_[1]; }
    QColor SectionColor3() const { return colors_[2]; }
    QColor SectionColor4() const { return colors_[3]; }
    QColor SectionColor5() const { return colors_[4]; }
    void SetSectionColor1(const QColor& v) { SetSectionColor(1, v); }
    void SetSectionColor2(const QColor& v) { SetSectionColor(2, v); }
    void SetSectionColor3(const QColor& v) { SetSectionColor(3, v); }
    void SetSectionColor4(const QColor& v) { SetSectionColor(4, v); }
    void SetSectionColor5(const QColor& v) { SetSectionColor(5, v); }
    double SectionEnd1() const { return ends_[0]; }
    double SectionEnd2() const { return ends_[1]; }
    double SectionEnd3() const { return ends_[2]; }
    double SectionEnd4() const { return ends_[3]; }
    void SetSectionEnd1(double v) { SetSectionEnd(1, v); }
    void SetSectionEnd2(double v) { SetSectionEnd(2, v); }
    void SetSectionEnd3(double v) { SetSectionEnd(3, v); }
    void SetSectionEnd4(double v) { SetSectionEnd(4, v); }

  private:
    int sectionCount_ = 1;
    std::array<QColor, 5> colors_{QColor(0, 255, 0), QColor(255, 255, 0), QColor(255, 0, 0),
                                  QColor(255, 255, 0), QColor(255, 255, 0)};
    std::array<double, 4> ends_{50.0, 75.0, 0, 0};
    bool showOffSegments_ = true;
};

}  // namespace qv

#pragma once
// A segmented LED bar: equal segments lit up to the position, coloured by section.

#include "widgets/inst_position.h"

namespace qv {

class TInstLedBar : public TInstProgressComponent {
    Q_OBJECT
    Q_PROPERTY(TInstDirection SegmentDirection READ SegmentDirection WRITE SetSegmentDirection)
    Q_PROPERTY(int SegmentSize READ SegmentSize WRITE SetSegmentSize)
    Q_PROPERTY(int SegmentSpacing READ SegmentSpacing WRITE SetSegmentSpacing)
    Q_PROPERTY(int SegmentMargin READ SegmentMargin WRITE SetSegmentMargin)
    Q_PROPERTY(TInstLedBarSegmentStyle SegmentStyle READ SegmentStyle WRITE SetSegmentStyle)
    Q_PROPERTY(double FillReferenceValue READ FillReferenceValue WRITE SetFillReferenceValue)
    Q_PROPERTY(bool FillReferenceEnabled READ FillReferenceEnabled WRITE SetFillReferenceEnabled)
    Q_PROPERTY(TInstBevelStyle BorderStyle READ BorderStyle WRITE SetBorderStyle)

  public:
    enum TInstDirection { idUp, idDown, idRight, idLeft };
    Q_ENUM(TInstDirection)
    enum TInstLedBarSegmentStyle { ilbssRectangle, ilbssCircle, ilbssTriangle };
    Q_ENUM(TInstLedBarSegmentStyle)

    explicit TInstLedBar(QWidget* parent = nullptr);

    TInstDirection SegmentDirection() const { return direction_; }
    // Turning between vertical and horizontal swaps width and height.
    void SetSegmentDirection(TInstDirection value);
    int SegmentSize() const { return segmentSize_; }
    void SetSegmentSize(int value) { ChangeProperty(segmentSize_, value, 0); }
    int SegmentSpacing() const { return segmentSpacing_; }
    void SetSegmentSpacing(int value) { ChangeProperty(segmentSpacing_, value, 0); }
    int SegmentMargin() const { return segmentMargin_; }
    void SetSegmentMargin(int value) { ChangeProperty(segmentMargin_, value, 0); }
    TInstLedBarSegmentStyle SegmentStyle() const { return segmentStyle_; }
    void SetSegmentStyle(TInstLedBarSegmentStyle value) { ChangeProperty(segmentStyle_, value, 0); }
    double FillReferenceValue() const { return fillReferenceValue_; }
    void SetFillReferenceValue(double value) { ChangeProperty(fillReferenceValue_, value, 0); }
    bool FillReferenceEnabled() const { return fillReferenceEnabled_; }
    void SetFillReferenceEnabled(bool value) { ChangeProperty(fillReferenceEnabled_, value, 0); }

    // The bar's layout at the current size and position.
    struct Layout {
        int count = 0;   // segments that fit
        int offset = 0;  // centring of a vertical column
        int lit = 0;     // segments lit by the position (without a fill reference)
        std::array<int, 4> sectionStart{};
    };
    Layout ComputeLayout() const;

    void DrawComponent(QPainter& canvas) override;

  private:
    void DrawSegment(QPainter& canvas, const QRect& cell, const QColor& color,
                     const QColor& sectionColor, bool lit) const;

    TInstDirection direction_ = idUp;
    int segmentSize_ = 5;
    int segmentSpacing_ = 2;
    int segmentMargin_ = 2;
    TInstLedBarSegmentStyle segmentStyle_ = ilbssRectangle;
    double fillReferenceValue_ = 0;
    bool fillReferenceEnabled_ = false;
};

}  // namespace qv

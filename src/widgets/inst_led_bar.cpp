#include "widgets/inst_led_bar.h"

#include <QPainter>
#include <cmath>
#include <limits>

namespace qv {

namespace {

// Nearest integer, halves to the even neighbour, kept within [lo, hi] so that no
// out-of-range value reaches the integer conversion.
int round_even(double x, int lo, int hi) {
    if (std::isnan(x)) return lo;
    return static_cast<int>(std::clamp(std::nearbyint(x), double(lo), double(hi)));
}

bool vertical(TInstLedBar::TInstDirection d) {
    return d == TInstLedBar::idUp || d == TInstLedBar::idDown;
}

}  // namespace

TInstLedBar::TInstLedBar(QWidget* parent) : TInstProgressComponent(parent) {
    resize(16, 200);
    SetBackGroundColor(Qt::black);
}

void TInstLedBar::SetSegmentDirection(TInstDirection value) {
    if (value == direction_) return;
    if (!IsLoadingOrDesigning() && vertical(value) != vertical(direction_))
        resize(height(), width());
    direction_ = value;
    if (!IsLoadingOrDesigning()) InvalidateChange();
}

TInstLedBar::Layout TInstLedBar::ComputeLayout() const {
    Layout layout;
    QRect area(0, 0, width(), height());
    if (BorderStyle() != ibsNone) area.adjust(2, 2, -2, -2);
    // Wide arithmetic: extreme margins or sizes must not overflow.
    long long length =
        (vertical(direction_) ? area.height() : area.width()) - 2LL * segmentMargin_ + 2;
    long long pitch = static_cast<long long>(segmentSize_) + segmentSpacing_;
    // A pitch of zero or less leaves no room for a segment (and no division by it).
    if (pitch > 0 && length > 0) {
        layout.count = static_cast<int>(length / pitch);
        layout.offset = static_cast<int>((length % pitch) / 2);
    }
    const int n = layout.count;
    layout.lit = round_even(PositionToFraction(GetPosition()) * n + 0.5, 0, n);
    double span = PositionMax() - PositionMin();
    if (span != 0 && n != 0) {
        for (int k = 0; k < 4; ++k)
            layout.sectionStart[k] = round_even((SectionEnd(k + 1) - PositionMin()) / span * n,
                                                std::numeric_limits<int>::min() / 2,
                                                std::numeric_limits<int>::max() / 2);
    }
    return layout;
}

void TInstLedBar::DrawComponent(QPainter& canvas) {
    DrawBackGround(canvas, BackGroundColor());
    const Layout layout = ComputeLayout();
    QRect area(0, 0, width(), height());
    if (BorderStyle() != ibsNone) area.adjust(2, 2, -2, -2);
    // Right and bottom are exclusive edges here, as the cell arithmetic has them.
    const int left = area.left(), top = area.top(), right = left + area.width(),
              bottom = top + area.height();
    const int m = segmentMargin_, z = segmentSize_, o = layout.offset;
    const int pitch = segmentSize_ + segmentSpacing_;
    QRect cell;
    QPoint step;
    switch (direction_) {
        case idUp:
            cell.setCoords(left + m, bottom - o - m - z, right - m, bottom - o - m);
            step = QPoint(0, -pitch);
            break;
        case idDown:
            cell.setCoords(left + m, top + o + m, right - m, top + o + m + z);
            step = QPoint(0, pitch);
            break;
        case idRight:
            cell.setCoords(left + m, top + m, left + m + z, bottom - m);
            step = QPoint(pitch, 0);
            break;
        case idLeft:
            cell.setCoords(right - m - z, top + m, right - m, bottom - m);
            step = QPoint(-pitch, 0);
            break;
    }
    const int n = layout.count;
    for (int i = 0; i < n; ++i, cell.translate(step)) {
        if (i == layout.lit && !ShowOffSegments()) break;
        int section = 1;
        for (int k = 1; k < SectionCount(); ++k)
            if (i >= layout.sectionStart[k - 1]) section = k + 1;
        const QColor c = SectionColor(section);
        bool lit = i < layout.lit;
        if (FillReferenceEnabled()) {
            double v = PositionMin() + i * (PositionMax() - PositionMin()) / n;
            lit = v >= fillReferenceValue_ ? GetPosition() >= v : GetPosition() <= v;
        }
        QColor d = ScaleColor(c, 3);
        if (!lit && !ShowOffSegments()) d = BackGroundColor();
        DrawSegment(canvas, cell, lit ? c : d, c, lit);
    }
}

// `cell` holds exclusive right and bottom edges in its coordinates (x2, y2).
void TInstLedBar::DrawSegment(QPainter& canvas, const QRect& cell, const QColor& color,
                              const QColor& sectionColor, bool lit) const {
    int l, t, r, b;
    cell.getCoords(&l, &t, &r, &b);
    const int z = segmentSize_;
    const int cx = (l + r) / 2, cy = (t + b) / 2, h = z / 2, q = z / 4;
    canvas.setPen(color);
    canvas.setBrush(color);
    switch (segmentStyle_) {
        case ilbssRectangle:
            if (r > l && b > t) canvas.fillRect(QRect(l, t, r - l, b - t), color);
            break;
        case ilbssCircle: {
            const QRect e(cx - h, cy - h, z, z);
            if (z <= 0) break;
            canvas.setPen(Qt::NoPen);
            canvas.drawEllipse(e);
            // A highlight on the upper left of the lamp.
            canvas.setBrush(Qt::NoBrush);
            canvas.setPen(lit ? QColor(Qt::white) : sectionColor);
            for (int shrink = q; shrink <= q + 1; ++shrink) {
                QRect arc = e.adjusted(shrink, shrink, -shrink, -shrink);
                if (arc.width() > 0 && arc.height() > 0) canvas.drawArc(arc, 90 * 16, 90 * 16);
            }
            break;
        }
        case ilbssTriangle: {
            QPolygon points;
            switch (direction_) {
                case idUp:
                    points << QPoint(cx - h, b) << QPoint(cx + h, b) << QPoint(cx, t);
                    break;
                case idDown:
                    points << QPoint(cx - h, t) << QPoint(cx + h, t) << QPoint(cx, b);
                    break;
                case idRight:
                    points << QPoint(l, cy - h) << QPoint(l, cy + h) << QPoint(r, cy);
                    break;
                case idLeft:
                    points << QPoint(r, cy - h) << QPoint(r, cy + h) << QPoint(l, cy);
                    break;
            }
            canvas.drawPolygon(points);
            break;
        }
    }
}

}  // namespace qv

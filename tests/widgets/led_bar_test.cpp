#include <gtest/gtest.h>

#include <QPainter>
#include <cmath>
#include <limits>

#include "widgets/inst_led_bar.h"

namespace qv {
namespace {

const QColor kRed(255, 0, 0), kYellow(255, 255, 0), kLime(0, 255, 0), kBlack(0, 0, 0);

// Every signal level the modem can report: lit count and colours from pixels.
TEST(LedBar, SignalBarAtEveryModemLevel) {
    TInstLedBar bar;  // the main window's signal bar
    bar.SetSegmentDirection(TInstLedBar::idRight);
    bar.setGeometry(9, 31, 191, 24);
    bar.SetPositionMax(100.0);
    bar.SetSectionColor1(kRed);
    bar.SetSectionColor3(kLime);
    bar.SetSectionEnd1(15.0);
    bar.SetSectionEnd2(35.0);
    bar.SetSectionCount(3);
    for (int s = 0; s <= 32; ++s) {
        SCOPED_TRACE(s);
        bar.SetPosition(s * 100.0 / 31);
        QImage image = bar.RenderToImage();
        int expectedLit = s >= 31 ? 27 : static_cast<int>(std::ceil(27.0 * s / 31));
        int lit = 0;
        for (int i = 0; i < 27; ++i) {
            QColor section = i < 4 ? kRed : i < 9 ? kYellow : kLime;
            QColor shown = image.pixelColor(4 + 7 * i, 12);
            bool isLit = shown == section;
            EXPECT_TRUE(isLit || shown == QColor(section.red() / 3, section.green() / 3, 0))
                << "segment " << i << " " << shown.name().toStdString();
            // Each segment covers exactly (2 + 7i, 2) to (6 + 7i, 21).
            EXPECT_EQ(image.pixelColor(2 + 7 * i, 2), shown);
            EXPECT_EQ(image.pixelColor(6 + 7 * i, 21), shown);
            EXPECT_EQ(image.pixelColor(7 + 7 * i, 12), kBlack);
            EXPECT_EQ(image.pixelColor(4 + 7 * i, 1), kBlack);
            EXPECT_EQ(image.pixelColor(4 + 7 * i, 22), kBlack);
            if (isLit) {
                EXPECT_EQ(i, lit) << "lit segments must be the first ones";
                ++lit;
            }
        }
        EXPECT_EQ(lit, expectedLit);
        EXPECT_EQ(image.pixelColor(190, 12), kBlack);
    }
}

struct Shape {
    TInstLedBar::TInstDirection direction;
    TInstLedBar::TInstLedBarSegmentStyle style;
    QPoint firstLit;  // centre of segment 0
    QPoint step;      // from one segment to the next
};

// A 20 x 100 column (or its horizontal turn): 14 segments, offset 1 in a column.
// One bar turned in this order: it swaps its sides only between the axes (the
// property file test shows that loading a direction never swaps them).
TEST(LedBar, DirectionsAndShapes) {
    const Shape shapes[] = {
        {TInstLedBar::idUp, TInstLedBar::ilbssRectangle, {10, 94}, {0, -7}},
        {TInstLedBar::idDown, TInstLedBar::ilbssCircle, {10, 5}, {0, 7}},
        {TInstLedBar::idRight, TInstLedBar::ilbssTriangle, {3, 10}, {7, 0}},
        {TInstLedBar::idLeft, TInstLedBar::ilbssRectangle, {96, 10}, {-7, 0}},
    };
    TInstLedBar bar;
    bar.resize(20, 100);
    bar.SetPosition(40);  // 6 of 14 lit; ends 50 and 75 make lime, yellow, red sections
    bar.SetSectionCount(3);
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.direction * 10 + shape.style);
        bar.SetSegmentDirection(shape.direction);
        bar.SetSegmentStyle(shape.style);
        QImage image = bar.RenderToImage();
        EXPECT_EQ(image.pixelColor(shape.firstLit.x(), shape.firstLit.y()), kLime);
        QPoint last = shape.firstLit + 5 * shape.step;
        EXPECT_EQ(image.pixelColor(last.x(), last.y()), kLime);
        QPoint off = shape.firstLit + 6 * shape.step;
        EXPECT_EQ(image.pixelColor(off.x(), off.y()), QColor(0, 85, 0));
        QPoint top = shape.firstLit + 13 * shape.step;
        EXPECT_EQ(image.pixelColor(top.x(), top.y()), QColor(85, 0, 0));
        if (shape.style != TInstLedBar::ilbssRectangle) {
            // Round and pointed lamps leave their cell's corners dark.
            EXPECT_EQ(image.pixelColor(3, 3), kBlack);
        }
    }
}

// Geometry that cannot hold a segment, and positions outside the range, draw
// only what fits and never fault.
TEST(LedBar, DegenerateGeometryAndValues) {
    TInstLedBar bar;
    bar.SetSegmentDirection(TInstLedBar::idRight);
    bar.resize(191, 24);
    bar.SetPosition(100);
    struct Case {
        int size, spacing, width;
        int segments;
    };
    for (Case c : {Case{0, 0, 191, 0}, Case{-5, 2, 191, 0}, Case{5, 2, 8, 0}, Case{5, 2, 9, 1}}) {
        bar.SetSegmentSize(c.size);
        bar.SetSegmentSpacing(c.spacing);
        bar.resize(c.width, 24);
        EXPECT_EQ(bar.ComputeLayout().count, c.segments);
        QImage image = bar.RenderToImage();
        EXPECT_EQ(image.pixelColor(2, 12), c.segments ? QColor(kLime) : kBlack);
    }
    bar.SetSegmentSize(5);
    bar.resize(191, 24);
    for (double v : {std::numeric_limits<double>::quiet_NaN(), 1e300, -1e300,
                     std::numeric_limits<double>::infinity()}) {
        bar.SetSectionEnd1(v);
        bar.SetPosition(v);
        bar.RenderToImage();
        EXPECT_FALSE(std::isnan(bar.GetPosition()));
        EXPECT_GE(bar.ComputeLayout().lit, 0);
        EXPECT_LE(bar.ComputeLayout().lit, 27);
    }
    // An empty range lights nothing and paints every segment in the last section's colour.
    bar.SetSectionCount(2);
    bar.SetPositionMax(0);
    QImage image = bar.RenderToImage();
    EXPECT_EQ(image.pixelColor(4, 12), QColor(85, 85, 0));
    EXPECT_EQ(image.pixelColor(4 + 7 * 26, 12), QColor(85, 85, 0));
}

TEST(LedBar, OffSegmentsHiddenAndFillReference) {
    TInstLedBar bar;
    bar.SetSegmentDirection(TInstLedBar::idRight);
    bar.resize(191, 24);
    bar.SetShowOffSegments(false);
    bar.SetPosition(1);  // just above the minimum: one segment
    QImage image = bar.RenderToImage();
    EXPECT_EQ(image.pixelColor(4, 12), kLime);
    EXPECT_EQ(image.pixelColor(11, 12), kBlack);
    // From a reference of 50 down to a position of 20: segments with values 20..48.
    bar.SetShowOffSegments(true);
    bar.SetFillReferenceEnabled(true);
    bar.SetFillReferenceValue(50);
    bar.SetPosition(20);
    image = bar.RenderToImage();
    for (int i = 0; i < 27; ++i) {
        double v = i * 100.0 / 27;
        bool lit = v >= 20 && v < 50;
        QColor c = image.pixelColor(4 + 7 * i, 12);
        EXPECT_EQ(c == kLime || c == kYellow, lit) << i;
    }
}

struct FailingBar : TInstLedBar {
    void DrawComponent(QPainter&) override { throw std::runtime_error("sin datos"); }
};

TEST(LedBar, DrawingFaultIsShownInWhiteOnBlack) {
    FailingBar bar;
    bar.resize(120, 40);
    const QImage image = bar.RenderToImage();
    EXPECT_TRUE(image.allGray());
    QImage black(image.size(), image.format());
    black.fill(Qt::black);
    EXPECT_NE(image, black);  // the message is there
}

}  // namespace
}  // namespace qv

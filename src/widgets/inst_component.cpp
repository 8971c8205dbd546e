#include "widgets/inst_component.h"

#include <QApplication>
#include <QFile>
#include <QFocusEvent>
#include <QMetaProperty>
#include <QPainter>
#include <QTextStream>
#include <algorithm>

#include "widgets/inst_opc.h"

namespace qv {

namespace {

std::function<MonotonicClock::time_point()>& clock_slot() {
    static std::function<MonotonicClock::time_point()> clock;
    return clock;
}

int clamp_channel(double v) {
    return static_cast<int>(std::clamp(v, 0.0, 255.0));
}

// Properties that a property file leaves out unless asked to save everything.
bool layout_property(const char* name) {
    static const char* const names[] = {"Left",    "Top",     "Width",    "Height",
                                        "Align",   "Cursor",  "ShowHint", "Tag",
                                        "Visible", "Enabled", "Hint",     "HelpContext"};
    return std::any_of(std::begin(names), std::end(names),
                       [&](const char* n) { return qstrcmp(n, name) == 0; });
}

QString escape_line_breaks(QString text) {
    return text.replace("\r", "#13").replace("\n", "#10");
}

}  // namespace

QColor ScaleColor(const QColor& color, double factor) {
    auto scale = [&](int c) { return clamp_channel(factor >= 1 ? c / factor : c * -factor); };
    return QColor(scale(color.red()), scale(color.green()), scale(color.blue()));
}

QColor ShiftColor(const QColor& color, int amount, bool lighter) {
    int d = lighter ? amount : -amount;
    return QColor(clamp_channel(color.red() + d), clamp_channel(color.green() + d),
                  clamp_channel(color.blue() + d));
}

void Draw3DEdge(QPainter& canvas, const QRect& rect, int style) {
    if (style == 2) {
        canvas.save();
        canvas.setPen(QPen(QColor(160, 160, 160)));
        canvas.drawPolygon(QPolygon({rect.topLeft(), QPoint(rect.right(), rect.top()),
                                     rect.bottomRight(), QPoint(rect.left(), rect.bottom())}));
        canvas.restore();
        return;
    }
    // Two-pixel bevel: outer and inner lines, light on the lit sides.
    const QColor highlight(255, 255, 255), light(227, 227, 227), shadow(160, 160, 160),
        dark(105, 105, 105);
    bool raised = style == 1;
    QRect r = rect.adjusted(0, 0, -1, -1);
    for (int ring = 0; ring < 2; ++ring) {
        QColor topLeft = raised ? (ring == 0 ? light : highlight) : (ring == 0 ? shadow : dark);
        QColor bottomRight = raised ? (ring == 0 ? dark : shadow) : (ring == 0 ? highlight : light);
        canvas.setPen(topLeft);
        canvas.drawLine(r.topLeft(), r.topRight());
        canvas.drawLine(r.topLeft(), r.bottomLeft());
        canvas.setPen(bottomRight);
        canvas.drawLine(r.bottomLeft(), r.bottomRight());
        canvas.drawLine(r.topRight(), r.bottomRight());
        r.adjust(1, 1, -1, -1);
    }
}

void DrawTextFlags(QPainter& canvas, const QString& text, const QRect& rect, const QColor& color,
                   bool enabled, int format) {
    canvas.save();
    canvas.setPen(enabled ? color : QColor(128, 128, 128));
    // Without mnemonic processing an ampersand is shown as written.
    QString shown = (format & Qt::TextShowMnemonic) ? text : QString(text).replace("&", "&&");
    canvas.drawText(rect, format | Qt::TextShowMnemonic, shown);
    canvas.restore();
}

TInstUpdateObject& TInstUpdateObject::Instance() {
    static TInstUpdateObject instance;
    return instance;
}

void TInstUpdateObject::Register(TInstComponent* widget) {
    widgets_.push_back(widget);
    if (widgets_.size() == 1 && !timer_) {
        timer_ = std::make_unique<QTimer>();
        QObject::connect(timer_.get(), &QTimer::timeout, [this] { Tick(); });
        timer_->start(1000);
    }
}

void TInstUpdateObject::Unregister(TInstComponent* widget) {
    std::erase(widgets_, widget);
    if (widgets_.empty()) timer_.reset();
}

void TInstUpdateObject::Tick() {
    // A repaint may free or create widgets: walk a copy and skip the departed.
    const auto copy = widgets_;
    for (TInstComponent* w : copy) {
        if (std::find(widgets_.begin(), widgets_.end(), w) == widgets_.end()) continue;
        if (!w->UpdateLocked() && w->ChangePending() && w->PeriodElapsed()) w->RepaintNow();
    }
}

MonotonicClock::time_point TInstUpdateObject::Now() {
    auto& clock = clock_slot();
    return clock ? clock() : MonotonicClock::now();
}

void TInstUpdateObject::SetClock(std::function<MonotonicClock::time_point()> clock) {
    clock_slot() = std::move(clock);
}

TInstComponent::TInstComponent(QWidget* parent)
    : QWidget(parent),
      lastPaintTime_(TInstUpdateObject::Now()),
      backGroundColor_(palette().color(QPalette::Button)) {
    // The back buffer covers every pixel: nothing to erase first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    TInstUpdateObject::Instance().Register(this);
}

TInstComponent::~TInstComponent() {
    TInstUpdateObject::Instance().Unregister(this);
}

void TInstComponent::SetAutoFrameRate(bool value) {
    if (value == autoFrameRate_) return;
    autoFrameRate_ = value;
    if (value)
        RequestRepaint();
    else
        EndUpdate();
}

void TInstComponent::SetBorderStyle(TInstBevelStyle value) {
    if (value == borderStyle_) return;
    borderStyle_ = value;
    RequestRepaint();
}

void TInstComponent::SetCacheBitmap(bool value) {
    if (value == cacheFlag_) return;
    cacheFlag_ = value;
    if (!value) cacheBitmap_.reset();
    RequestRepaint();
}

void TInstComponent::SetEnabled(bool value) {
    setEnabled(value);
    RequestRepaint();
}

void TInstComponent::SetHint(const QString& value) {
    hint_ = value;
    setToolTip(showHint_ ? hint_ : QString());
}

void TInstComponent::SetShowHint(bool value) {
    showHint_ = value;
    setToolTip(showHint_ ? hint_ : QString());
}

QPoint TInstComponent::GetCenterPoint() const {
    return QPoint(width() / 2 + centerOffset_.x(), height() / 2 + centerOffset_.y());
}

void TInstComponent::DrawBackGround(QPainter& canvas, const QColor& color) {
    backgroundDirty_ = false;
    canvas.fillRect(QRect(0, 0, width(), height()), color);
    DrawBorder(canvas);
}

void TInstComponent::DrawBorder(QPainter& canvas) {
    if (borderStyle_ == ibsRaised)
        Draw3DEdge(canvas, rect(), 1);
    else if (borderStyle_ == ibsLowered)
        Draw3DEdge(canvas, rect(), 0);
}

bool TInstComponent::OPCPropertyQuery(const QString&, const QVariant&) {
    return false;
}

void TInstComponent::FocusGained() {
    hasFocus_ = true;
    update();
}

void TInstComponent::FocusLost() {
    hasFocus_ = false;
    InputCancel();
    update();
}

void TInstComponent::EndUpdate() {
    updateLock_ = false;
    if (changePending_) FrameRateRepaint();
}

void TInstComponent::RequestRepaint() {
    backgroundDirty_ = true;
    InvalidateChange();
}

void TInstComponent::InvalidateChange() {
    if (updateLock_) {
        changePending_ = true;
    } else if (autoFrameRate_) {
        changePending_ = true;
        FrameRateRepaint();
    } else {
        RepaintNow();
    }
}

bool TInstComponent::PeriodElapsed() const {
    if (updateFrameRate_ <= 0) return true;
    auto period = std::chrono::duration_cast<MonotonicClock::duration>(
        std::chrono::duration<double>(1.0 / updateFrameRate_));
    return TInstUpdateObject::Now() > lastPaintTime_ + period;
}

void TInstComponent::FrameRateRepaint() {
    if (!autoFrameRate_ || updateFrameRate_ == 0 || PeriodElapsed()) RepaintNow();
}

void TInstComponent::RepaintNow() {
    changePending_ = false;
    lastPaintTime_ = TInstUpdateObject::Now();
    ++repaintCount_;
    update();
}

QImage TInstComponent::RenderToImage() {
    QImage buffer(std::max(width(), 1), std::max(height(), 1), QImage::Format_RGB32);
    BeforePaint();
    struct Leave {
        TInstComponent* self;
        ~Leave() { self->AfterPaint(); }
    } leave{this};
    QPainter canvas(&buffer);
    canvas.setPen(Qt::SolidLine);
    canvas.setBrush(Qt::SolidPattern);
    try {
        DrawComponent(canvas);
    } catch (const std::exception& error) {
        // A drawing fault is shown in place of the widget, never passed on.
        canvas.resetTransform();
        canvas.fillRect(buffer.rect(), Qt::black);
        DrawTextFlags(canvas, QString::fromUtf8(error.what()), buffer.rect(), Qt::white, true,
                      Qt::TextWordWrap);
    }
    return buffer;
}

void TInstComponent::paintEvent(QPaintEvent*) {
    if (width() < 1 || height() < 1) return;
    try {
        QImage buffer = RenderToImage();
        QPainter(this).drawImage(0, 0, buffer);
    } catch (...) {
        // A failed paint leaves the old picture; the next one tries again.
    }
}

void TInstComponent::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::PaletteChange)
        RequestRepaint();
}

void TInstComponent::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    FocusGained();
}

void TInstComponent::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    FocusLost();
}

void TInstComponent::SavePropertiesToFile(const QString& fileName) {
    try {
        QFile file(fileName);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            throw std::runtime_error(file.errorString().toStdString());
        QTextStream out(&file);
        const QMetaObject* meta = metaObject();
        out << "File Type = " << meta->className() << "\n";
        for (int i = TInstComponent::staticMetaObject.propertyOffset(); i < meta->propertyCount();
             ++i) {
            QMetaProperty property = meta->property(i);
            if (!optionSaveAll_ && layout_property(property.name())) continue;
            QVariant value = property.read(this);
            QString text =
                property.isEnumType()
                    ? QString::fromLatin1(property.enumerator().valueToKey(value.toInt()))
                    : value.toString();
            out << property.name() << " = " << escape_line_breaks(text) << "\n";
        }
        out.flush();
        if (file.error() != QFile::NoError)
            throw std::runtime_error(file.errorString().toStdString());
    } catch (const std::exception& error) {
        throw std::runtime_error(std::string("Error Saving Properties - ") + error.what());
    }
}

void TInstComponent::LoadPropertiesFromFile(const QString& fileName) {
    try {
        QFile file(fileName);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            throw std::runtime_error(file.errorString().toStdString());
        QTextStream in(&file);
        // Read as a stored form is: setters keep the values as written (a bar's
        // direction must not turn the width and height just read).
        struct Loading {
            TInstComponent* self;
            bool was;
            ~Loading() {
                self->loading_ = was;
                self->RequestRepaint();
            }
        } loading{this, loading_};
        loading_ = true;
        while (!in.atEnd()) {
            QString line = in.readLine();
            int at = line.indexOf(" = ");
            if (at < 0) continue;
            QString name = line.left(at);
            if (name == "File Type") continue;
            QString value = line.mid(at + 3).replace("#13", "\r").replace("#10", "\n");
            int index = metaObject()->indexOfProperty(name.toLatin1().constData());
            if (index < 0) throw std::runtime_error("Unknown property " + name.toStdString());
            if (!metaObject()->property(index).write(this, value))
                throw std::runtime_error("Invalid value for " + name.toStdString());
        }
    } catch (const std::exception& error) {
        throw std::runtime_error(std::string("Error Loading Properties - ") + error.what());
    }
}

// ---- TInstWinComponent ----

TInstWinComponent::TInstWinComponent(QWidget* parent)
    : TInstComponent(parent), opcItems_(std::make_unique<TInstOPCItemManager>(this)) {
    OPCLibrary::Instance();  // the optional library is looked for once, with the first widget
    QObject::connect(&windowTimer_, &QTimer::timeout, this, [this] {
        if (firstDelayPhase_) {
            firstDelayPhase_ = false;
            windowTimer_.setInterval(repeatInterval_);
        }
        InternalTimerEvent();
    });
}

TInstWinComponent::~TInstWinComponent() {
    windowTimer_.stop();
}

void TInstWinComponent::StartTimer(int firstDelay, int interval) {
    if (windowTimer_.isActive()) return;
    repeatInterval_ = interval;
    firstDelayPhase_ = firstDelay != 0;
    windowTimer_.start(firstDelay != 0 ? firstDelay : interval);
}

void TInstWinComponent::StopTimer() {
    windowTimer_.stop();
}

void TInstWinComponent::BeforePaint() {
    paintLock_.lock();
}

void TInstWinComponent::AfterPaint() {
    paintLock_.unlock();
}

void TInstWinComponent::SetTransparent(bool value) {
    if (value == transparent_) return;
    transparent_ = value;
    if (value) {
        transparencyBitmap_ = std::make_unique<QImage>(std::max(width(), 1), std::max(height(), 1),
                                                       QImage::Format_RGB32);
        capturePending_ = true;
    } else {
        transparencyBitmap_.reset();
        capturePending_ = false;
    }
    RequestRepaint();
}

void TInstWinComponent::CaptureBackground() {
    QWidget* parent = parentWidget();
    if (parent && parent->isVisible() && isVisible()) {
        // The parent's own background under us, without its children (us among them).
        transparencyBitmap_->fill(parent->palette().color(parent->backgroundRole()));
        parent->render(transparencyBitmap_.get(), QPoint(), QRegion(geometry()),
                       QWidget::DrawWindowBackground);
        capturePending_ = false;
    } else {
        transparencyBitmap_->fill(BackGroundColor());
    }
}

void TInstWinComponent::DrawBackGround(QPainter& canvas, const QColor& color) {
    if (!transparent_) return TInstComponent::DrawBackGround(canvas, color);
    backgroundDirty_ = false;
    if (capturePending_) CaptureBackground();
    canvas.drawImage(0, 0, *transparencyBitmap_);
    DrawBorder(canvas);
}

void TInstWinComponent::resizeEvent(QResizeEvent* event) {
    TInstComponent::resizeEvent(event);
    if (width() >= 1 && height() >= 1) {
        if (transparencyBitmap_) {
            *transparencyBitmap_ = QImage(width(), height(), QImage::Format_RGB32);
            capturePending_ = true;
        }
        if (CacheBitmap()) cacheBitmap_ = std::make_unique<QImage>(size(), QImage::Format_RGB32);
    }
    RequestRepaint();
}

void TInstWinComponent::moveEvent(QMoveEvent* event) {
    TInstComponent::moveEvent(event);
    if (transparent_) capturePending_ = true;
}

bool TInstWinComponent::event(QEvent* event) {
    if (event->type() == QEvent::ApplicationPaletteChange) RequestRepaint();
    return TInstComponent::event(event);
}

namespace {
// Marks the input hooks' run so that a widget can tell its own changes from the user's.
struct InputScope {
    explicit InputScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~InputScope() { flag_ = false; }
    bool& flag_;
};
}  // namespace

void TInstWinComponent::keyPressEvent(QKeyEvent* event) {
    InputScope scope(inInput_);
    TInstComponent::keyPressEvent(event);
    InputKeyDown(event->key(), event->modifiers());
    if (!event->text().isEmpty()) InputKeyPress(event->text());
}

void TInstWinComponent::keyReleaseEvent(QKeyEvent* event) {
    InputScope scope(inInput_);
    TInstComponent::keyReleaseEvent(event);
    InputKeyUp(event->key(), event->modifiers());
}

void TInstWinComponent::mousePressEvent(QMouseEvent* event) {
    InputScope scope(inInput_);
    TInstComponent::mousePressEvent(event);
    InputMouseDown(event->button(), event->modifiers(), event->position().toPoint().x(),
                   event->position().toPoint().y());
}

void TInstWinComponent::mouseReleaseEvent(QMouseEvent* event) {
    InputScope scope(inInput_);
    TInstComponent::mouseReleaseEvent(event);
    InputMouseUp(event->button(), event->modifiers(), event->position().toPoint().x(),
                 event->position().toPoint().y());
}

void TInstWinComponent::mouseMoveEvent(QMouseEvent* event) {
    InputScope scope(inInput_);
    TInstComponent::mouseMoveEvent(event);
    InputMouseMove(event->modifiers(), event->position().toPoint().x(),
                   event->position().toPoint().y());
}

void TInstWinComponent::mouseDoubleClickEvent(QMouseEvent* event) {
    InputScope scope(inInput_);
    TInstComponent::mouseDoubleClickEvent(event);
    InputDblClick(event->button(), event->position().toPoint().x(),
                  event->position().toPoint().y());
}

}  // namespace qv

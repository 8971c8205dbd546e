#pragma once
// Instrument widgets: double-buffered painting, background and border, a repaint
// throttle shared by all widgets, property-change routines and a property file.

#include <QColor>
#include <QImage>
#include <QTimer>
#include <QVariant>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QPainter;

namespace qv {

class TInstComponent;
class TInstWinComponent;
class TInstOPCItemManager;

// Each channel divided by `factor` (>= 1) or multiplied by -`factor` (< 1), clamped.
QColor ScaleColor(const QColor& color, double factor);
// `amount` added to (or taken from) each channel, clamped.
QColor ShiftColor(const QColor& color, int amount, bool lighter);
// 0: sunken edge, 1: raised edge, 2: a shadow-coloured outline over the current brush.
void Draw3DEdge(QPainter& canvas, const QRect& rect, int style);
// `format` takes Qt::AlignmentFlag / Qt::TextFlag values; mnemonics are never
// processed unless Qt::TextShowMnemonic is given.
void DrawTextFlags(QPainter& canvas, const QString& text, const QRect& rect, const QColor& color,
                   bool enabled, int format);

using MonotonicClock = std::chrono::steady_clock;

// Paints widgets whose repaints the frame-rate limit held back, once a second.
class TInstUpdateObject {
  public:
    static TInstUpdateObject& Instance();
    void Register(TInstComponent* widget);
    void Unregister(TInstComponent* widget);
    void Tick();
    bool TimerEnabled() const { return timer_ != nullptr; }

    static MonotonicClock::time_point Now();
    // Tests drive the throttle with their own clock (empty: the steady clock).
    static void SetClock(std::function<MonotonicClock::time_point()> clock);

  private:
    std::vector<TInstComponent*> widgets_;
    std::unique_ptr<QTimer> timer_;
};

class TInstComponent : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool AutoFrameRate READ AutoFrameRate WRITE SetAutoFrameRate)
    Q_PROPERTY(int UpdateFrameRate READ UpdateFrameRate WRITE SetUpdateFrameRate)
    Q_PROPERTY(
        bool OptionSaveAllProperties READ OptionSaveAllProperties WRITE SetOptionSaveAllProperties)
    Q_PROPERTY(int Left READ x WRITE SetLeft)
    Q_PROPERTY(int Top READ y WRITE SetTop)
    Q_PROPERTY(int Width READ width WRITE SetWidth)
    Q_PROPERTY(int Height READ height WRITE SetHeight)
    Q_PROPERTY(QString Hint READ Hint WRITE SetHint)
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_PROPERTY(bool Visible READ isVisible WRITE setVisible)
    Q_PROPERTY(bool Enabled READ isEnabled WRITE SetEnabled)

  public:
    enum TInstBevelStyle { ibsNone, ibsRaised, ibsLowered };
    Q_ENUM(TInstBevelStyle)

    explicit TInstComponent(QWidget* parent = nullptr);
    ~TInstComponent() override;

    bool AutoFrameRate() const { return autoFrameRate_; }
    void SetAutoFrameRate(bool value);
    int UpdateFrameRate() const { return updateFrameRate_; }
    void SetUpdateFrameRate(int value) { ChangeProperty(updateFrameRate_, value, 1); }
    bool OptionSaveAllProperties() const { return optionSaveAll_; }
    void SetOptionSaveAllProperties(bool value) { optionSaveAll_ = value; }
    QColor BackGroundColor() const { return backGroundColor_; }
    virtual void SetBackGroundColor(const QColor& value) {
        ChangeProperty(backGroundColor_, value, 1);
    }
    TInstBevelStyle BorderStyle() const { return borderStyle_; }
    virtual void SetBorderStyle(TInstBevelStyle value);
    bool CacheBitmap() const { return cacheFlag_; }
    virtual void SetCacheBitmap(bool value);
    void SetEnabled(bool value);
    QString Hint() const { return hint_; }
    void SetHint(const QString& value);
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool value);
    void SetLeft(int value) { move(value, y()); }
    void SetTop(int value) { move(x(), value); }
    void SetWidth(int value) { resize(value, height()); }
    void SetHeight(int value) { resize(width(), value); }
    // Stands for the form loader: setters skip their side effects meanwhile.
    void SetLoading(bool value) { loading_ = value; }
    bool IsLoadingOrDesigning() const { return loading_; }
    bool HasFocusFlag() const { return hasFocus_; }
    bool InInput() const { return inInput_; }
    bool ErrorActive() const { return errorActive_; }
    void SetErrorActive(bool value) { ChangeProperty(errorActive_, value, 1); }
    void SetCenterOffset(int x, int y) { centerOffset_ = QPoint(x, y); }

    virtual QPoint GetCenterPoint() const;
    virtual void DrawBackGround(QPainter& canvas, const QColor& color);
    virtual void DrawBorder(QPainter& canvas);
    virtual bool HasTimer() const = 0;
    virtual void StartTimer(int firstDelay, int interval) = 0;
    virtual void StopTimer() = 0;
    virtual bool OPCPropertyQuery(const QString& propertyName, const QVariant& value);
    virtual void FocusGained();
    virtual void FocusLost();
    // Input hooks: nothing overrides them yet.
    virtual void InputKeyDown(int /*key*/, Qt::KeyboardModifiers) {}
    virtual void InputKeyUp(int /*key*/, Qt::KeyboardModifiers) {}
    virtual void InputKeyPress(const QString& /*text*/) {}
    virtual void InputMouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int /*x*/, int /*y*/) {}
    virtual void InputMouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int /*x*/, int /*y*/) {}
    virtual void InputMouseMove(Qt::KeyboardModifiers, int /*x*/, int /*y*/) {}
    virtual void InputDblClick(Qt::MouseButton, int /*x*/, int /*y*/) {}
    virtual void InputCancel() {}
    virtual int InputDialogCode() { return 0; }
    virtual void DrawComponent(QPainter& canvas) = 0;
    virtual void Changed() { RequestRepaint(); }
    virtual void BeginUpdate() { updateLock_ = true; }
    virtual void EndUpdate();
    virtual void BeforePaint() = 0;
    virtual void AfterPaint() = 0;
    virtual void SavePropertiesToFile(const QString& fileName);
    virtual void LoadPropertiesFromFile(const QString& fileName);

    void RequestRepaint();
    void InvalidateChange();
    void FrameRateRepaint();
    void RepaintNow();

    // Throttle state, read by the shared update object.
    bool UpdateLocked() const { return updateLock_; }
    bool ChangePending() const { return changePending_; }
    MonotonicClock::time_point LastPaintTime() const { return lastPaintTime_; }
    int RepaintCount() const { return repaintCount_; }
    // Whether one frame period has passed since the last paint.
    bool PeriodElapsed() const;

    // The buffered paint into an image of the widget's size: what the screen shows.
    QImage RenderToImage();

  protected:
    // Stores `value` and notifies when it differs: kind 0 InvalidateChange,
    // kind 1 RequestRepaint.
    template <class T>
    bool ChangeProperty(T& field, const T& value, int kind) {
        if (field == value) return false;
        field = value;
        if (kind == 0)
            InvalidateChange();
        else
            RequestRepaint();
        return true;
    }
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool inInput_ = false;

  private:
    bool updateLock_ = false;
    int updateFrameRate_ = 60;
    MonotonicClock::time_point lastPaintTime_;
    bool changePending_ = false;
    std::unique_ptr<QImage> cacheBitmap_;
    QColor backGroundColor_;
    bool backgroundDirty_ = true;
    TInstBevelStyle borderStyle_ = ibsNone;
    QPoint centerOffset_;
    bool autoFrameRate_ = false;
    bool loading_ = false;
    bool cacheFlag_ = true;
    bool optionSaveAll_ = false;
    bool hasFocus_ = false;
    bool errorActive_ = false;
    QString hint_;
    bool showHint_ = false;
    int repaintCount_ = 0;

    friend class TInstWinComponent;
};

class TInstWinComponent : public TInstComponent {
    Q_OBJECT
    Q_PROPERTY(bool Transparent READ Transparent WRITE SetTransparent)

  public:
    using TIndexObjectEvent = std::function<void(TInstWinComponent* sender, int index)>;
    using TBeforeOPCNewDataEvent =
        std::function<void(TInstWinComponent* sender, int index, QVariant& value)>;

    explicit TInstWinComponent(QWidget* parent = nullptr);
    ~TInstWinComponent() override;

    bool Transparent() const { return transparent_; }
    virtual void SetTransparent(bool value);

    bool HasTimer() const override { return windowTimer_.isActive(); }
    void StartTimer(int firstDelay, int interval) override;
    void StopTimer() override;

    TInstOPCItemManager& OPCItems() { return *opcItems_; }
    bool OPCPropertyQuery(const QString& propertyName, const QVariant& value) override;
    // Asked before an OPC value is written into a property: true takes it over.
    virtual bool OPCNewDataHook(const QString& /*propertyName*/, const QVariant& /*value*/) {
        return false;
    }
    // The OPC binding's new data for item `index`.
    void NewOPCData(int index, QVariant value, bool good);

    void BeforePaint() override;
    void AfterPaint() override;
    void DrawBackGround(QPainter& canvas, const QColor& color) override;

    TIndexObjectEvent OnNewOPCData;
    TBeforeOPCNewDataEvent OnBeforeNewOPCData;

  protected:
    // The window timer's tick; nothing here.
    virtual void InternalTimerEvent() {}
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    bool event(QEvent* event) override;
    bool focusNextPrevChild(bool) override { return false; }  // the widget wants every key
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    void CaptureBackground();
    bool SetPropertyFromOPC(const QString& name, const QVariant& value);

    std::recursive_mutex paintLock_;
    bool transparent_ = false;
    bool capturePending_ = false;
    std::unique_ptr<QImage> transparencyBitmap_;
    std::unique_ptr<TInstOPCItemManager> opcItems_;
    QTimer windowTimer_;
    bool firstDelayPhase_ = false;
    int repeatInterval_ = 0;
    bool inOPCUpdate_ = false;
};

class TInstCustomComponent : public TInstWinComponent {
    Q_OBJECT
  public:
    using TInstWinComponent::TInstWinComponent;
};

}  // namespace qv

#pragma once
// The program's icon in the desktop's notification area: mouse notices become
// events (a single click told apart from a double click, leaving the icon
// noticed by polling), and the main window hides into it and comes back.

#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "widgets/simple_timer.h"

namespace qv {

class TTrayIcon;

enum TMouseButton { mbLeft, mbRight, mbMiddle };
// Keys held and the button concerned, as flags.
enum TShiftFlag : unsigned {
    ssShift = 1,
    ssAlt = 2,
    ssCtrl = 4,
    ssLeft = 8,
    ssRight = 16,
    ssMiddle = 32
};
using TShiftState = unsigned;

// What the notification area reports for an icon.
enum class TrayMessage {
    MouseMove,
    LButtonDown,
    LButtonUp,
    LButtonDblClk,
    RButtonDown,
    RButtonUp,
    MButtonDown,
    MButtonUp,
    BalloonShow,
    BalloonHide,
    BalloonTimeout,
    BalloonUserClick
};

// The program's two extra cursors, known by number as the screen's cursor list has them.
enum TProgramCursor { crHandPoint = 14000, crDragHand = 14001 };
QCursor ScreenCursor(int id);

// Routes notices to the living tray icons (a notice for one already gone is dropped).
class TTrayIconHandler {
  public:
    static TTrayIconHandler* Instance();
    static void AddRef(TTrayIcon* icon);
    static void Release(TTrayIcon* icon);
    int RefCount() const { return static_cast<int>(icons_.size()); }
    void Dispatch(TTrayIcon* id, TrayMessage message);

  private:
    std::set<TTrayIcon*> icons_;
};

class TTrayIcon : public QObject {
  public:
    using TNotifyEvent = std::function<void(TTrayIcon* sender)>;
    using TMouseEvent =
        std::function<void(TTrayIcon* sender, TMouseButton, TShiftState, int x, int y)>;
    using TMouseMoveEvent = std::function<void(TTrayIcon* sender, TShiftState, int x, int y)>;
    using TCycleEvent = std::function<void(TTrayIcon* sender, int nextIndex)>;
    using TStartupEvent = std::function<void(TTrayIcon* sender, bool& showMainForm)>;

    // `owner` is the window the icon hides and restores (its top-level window).
    explicit TTrayIcon(QWidget* owner);
    ~TTrayIcon() override;

    bool DesignPreview() const { return designPreview_; }
    void SetDesignPreview(bool value) { designPreview_ = value; }
    const std::vector<QIcon>& IconList() const { return iconList_; }
    void SetIconList(std::vector<QIcon> value);
    bool CycleIcons() const { return cycleIcons_; }
    void SetCycleIcons(bool value);
    unsigned CycleInterval() const { return cycleInterval_; }
    void SetCycleInterval(unsigned value);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value) { enabled_ = value; }
    QString Hint() const { return hint_; }
    void SetHint(const QString& value);
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool value);
    QIcon Icon() const { return icon_; }
    void SetIcon(const QIcon& value);
    bool IconVisible() const { return iconVisible_; }
    void SetIconVisible(bool value);
    int IconIndex() const { return iconIndex_; }
    void SetIconIndex(int value);
    QMenu* PopupMenu() const { return popupMenu_; }
    void SetPopupMenu(QMenu* value) { popupMenu_ = value; }
    bool LeftPopup() const { return leftPopup_; }
    void SetLeftPopup(bool value) { leftPopup_ = value; }
    bool WantEnterExitEvents() const { return wantEnterExit_; }
    void SetWantEnterExitEvents(bool value);
    bool MinimizeToTray() const { return minimizeToTray_; }
    void SetMinimizeToTray(bool value) { minimizeToTray_ = value; }

    TNotifyEvent OnClick, OnDblClick, OnMouseEnter, OnMouseExit, OnMinimizeToTray,
        OnBalloonHintShow, OnBalloonHintHide, OnBalloonHintTimeout, OnBalloonHintClick;
    TMouseEvent OnMouseDown, OnMouseUp;
    TMouseMoveEvent OnMouseMove;
    TCycleEvent OnCycle;
    TStartupEvent OnStartup;

    // Once the settings are in place: asks OnStartup whether to show the window.
    void Loaded();
    virtual bool WantDefaultIcon() { return true; }
    virtual bool ShowIcon();
    virtual bool HideIcon();
    virtual bool ModifyIcon();
    void ShowMainForm();
    void HideMainForm();
    void PopupAtCursor();

    // A notice from the notification area (the desktop's, or a test's).
    void HandleMessage(TrayMessage message);
    // The tip as the notification area gets it.
    QString TipText() const { return tip_; }
    bool Shown() const { return tray_->isVisible(); }

    virtual void Click();
    virtual void DblClick();
    virtual void Cycle(int nextIndex);
    virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseMove(TShiftState shift, int x, int y);
    virtual void MouseEnter();
    virtual void MouseExit();
    virtual void DoMinimizeToTray();

  protected:
    // Whether the desktop has a notification area. Without one a hidden window
    // could never be brought back, so hiding minimises instead.
    virtual bool NotificationAreaAvailable() const;
    virtual QPoint CursorPos() const;
    virtual unsigned DoubleClickTime() const;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool UpdateTip();
    void Fire(const TNotifyEvent& event) {
        if (event) event(this);
    }
    void CycleTimerTick();
    void ClickTimerTick();
    void ExitTimerTick();
    TShiftState ShiftState(TShiftState button) const;
    QWidget* MainForm() const;

    QPointer<QWidget> owner_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    bool designPreview_ = false;
    std::vector<QIcon> iconList_;
    bool cycleIcons_ = false;
    unsigned cycleInterval_ = 0;
    bool enabled_ = true;
    QString hint_;
    bool showHint_ = true;
    QIcon icon_;
    bool iconVisible_ = false;
    int iconIndex_ = 0;
    QPointer<QMenu> popupMenu_;
    bool leftPopup_ = false;
    bool wantEnterExit_ = false;
    bool minimizeToTray_ = false;

    bool leftDown_ = false;
    bool clickPending_ = false;
    std::unique_ptr<TSimpleTimer> cycleTimer_, clickTimer_, exitTimer_;
    QPoint lastPos_;
    bool mouseOutside_ = true;
    bool dblClickSeen_ = false;
    QString tip_;
};

}  // namespace qv

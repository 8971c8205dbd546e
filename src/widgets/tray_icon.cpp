#include "widgets/tray_icon.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QStyleHints>
#include <QWindowStateChangeEvent>

namespace qv {

namespace {
std::unique_ptr<TTrayIconHandler>& handler_slot() {
    static std::unique_ptr<TTrayIconHandler> handler;
    return handler;
}
constexpr int kMaxTip = 127;
}  // namespace

QCursor ScreenCursor(int id) {
    switch (id) {
        case crHandPoint:
            return QCursor(Qt::PointingHandCursor);
        case crDragHand:
            return QCursor(Qt::ClosedHandCursor);
        default:
            return QCursor(Qt::ArrowCursor);
    }
}

TTrayIconHandler* TTrayIconHandler::Instance() {
    return handler_slot().get();
}

void TTrayIconHandler::AddRef(TTrayIcon* icon) {
    auto& slot = handler_slot();
    if (!slot) slot = std::make_unique<TTrayIconHandler>();
    slot->icons_.insert(icon);
}

void TTrayIconHandler::Release(TTrayIcon* icon) {
    auto& slot = handler_slot();
    if (!slot) return;
    slot->icons_.erase(icon);
    if (slot->icons_.empty()) slot.reset();
}

void TTrayIconHandler::Dispatch(TTrayIcon* id, TrayMessage message) {
    if (icons_.count(id)) id->HandleMessage(message);
}

TTrayIcon::TTrayIcon(QWidget* owner)
    : owner_(owner),
      tray_(std::make_unique<QSystemTrayIcon>()),
      cycleTimer_(
          std::make_unique<TSimpleTimer>(1000, [this](TSimpleTimer*) { CycleTimerTick(); })),
      clickTimer_(
          std::make_unique<TSimpleTimer>(1000, [this](TSimpleTimer*) { ClickTimerTick(); })),
      exitTimer_(std::make_unique<TSimpleTimer>(20, [this](TSimpleTimer*) { ExitTimerTick(); })) {
    TTrayIconHandler::AddRef(this);
    // Qt folds press and release into one activation; each becomes the pair of
    // notices the event machinery expects.
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                auto send = [this](TrayMessage m) {
                    if (auto* h = TTrayIconHandler::Instance()) h->Dispatch(this, m);
                };
                switch (reason) {
                    case QSystemTrayIcon::Trigger:
                        send(TrayMessage::LButtonDown);
                        send(TrayMessage::LButtonUp);
                        break;
                    case QSystemTrayIcon::DoubleClick:
                        send(TrayMessage::LButtonDblClk);
                        break;
                    case QSystemTrayIcon::Context:
                        send(TrayMessage::RButtonDown);
                        send(TrayMessage::RButtonUp);
                        break;
                    case QSystemTrayIcon::MiddleClick:
                        send(TrayMessage::MButtonDown);
                        send(TrayMessage::MButtonUp);
                        break;
                    default:
                        break;
                }
            });
    connect(tray_.get(), &QSystemTrayIcon::messageClicked, this,
            [this] { HandleMessage(TrayMessage::BalloonUserClick); });
    if (owner_) owner_->window()->installEventFilter(this);
}

TTrayIcon::~TTrayIcon() {
    SetIconVisible(false);
    if (owner_) owner_->window()->removeEventFilter(this);
    TTrayIconHandler::Release(this);
}

QWidget* TTrayIcon::MainForm() const {
    return owner_ ? owner_->window() : nullptr;
}

void TTrayIcon::SetIconList(std::vector<QIcon> value) {
    iconList_ = std::move(value);
    SetIconIndex(0);
}

void TTrayIcon::SetCycleIcons(bool value) {
    cycleIcons_ = value;
    if (value) {
        SetIconIndex(0);
        cycleTimer_->SetInterval(cycleInterval_);
        cycleTimer_->Start();
    } else {
        cycleTimer_->Stop(true);
    }
}

void TTrayIcon::SetCycleInterval(unsigned value) {
    if (value == cycleInterval_) return;
    cycleInterval_ = value;
    SetCycleIcons(cycleIcons_);
}

void TTrayIcon::SetHint(const QString& value) {
    hint_ = value;
    ModifyIcon();
}

void TTrayIcon::SetShowHint(bool value) {
    showHint_ = value;
    ModifyIcon();
}

void TTrayIcon::SetIcon(const QIcon& value) {
    icon_ = value;
    ModifyIcon();
}

void TTrayIcon::SetIconVisible(bool value) {
    if (value)
        ShowIcon();
    else
        HideIcon();
}

void TTrayIcon::SetIconIndex(int value) {
    // An empty list has no last image to clamp to: it counts as no list.
    if (iconList_.empty()) {
        iconIndex_ = 0;
    } else {
        iconIndex_ = std::clamp(value, 0, static_cast<int>(iconList_.size()) - 1);
        icon_ = iconList_[iconIndex_];
    }
    ModifyIcon();
}

void TTrayIcon::SetWantEnterExitEvents(bool value) {
    wantEnterExit_ = value;
    if (value)
        exitTimer_->Start();
    else
        exitTimer_->Stop(true);
}

void TTrayIcon::Loaded() {
    if (owner_ && OnStartup) {
        bool show = true;
        OnStartup(this, show);
        if (!show) HideMainForm();
    }
    ModifyIcon();
    SetIconVisible(iconVisible_);
    SetCycleIcons(cycleIcons_);
    SetWantEnterExitEvents(wantEnterExit_);
}

bool TTrayIcon::UpdateTip() {
    tip_ = (!hint_.isEmpty() && showHint_) ? hint_.left(kMaxTip) : QString();
    tray_->setIcon(icon_);
    tray_->setToolTip(tip_);
    return true;
}

bool TTrayIcon::ShowIcon() {
    iconVisible_ = true;
    UpdateTip();
    // Qt refuses to show an icon without a picture; it appears once one is set.
    if (!NotificationAreaAvailable() || icon_.isNull()) return false;
    tray_->show();
    return true;
}

bool TTrayIcon::HideIcon() {
    iconVisible_ = false;
    bool shown = tray_->isVisible();
    tray_->hide();
    return shown;
}

bool TTrayIcon::ModifyIcon() {
    UpdateTip();
    if (!NotificationAreaAvailable()) return false;
    if (iconVisible_ && !tray_->isVisible() && !icon_.isNull()) tray_->show();
    return tray_->isVisible();
}

void TTrayIcon::ShowMainForm() {
    QWidget* form = MainForm();
    if (!form) return;
    if (form->isMinimized()) form->setWindowState(form->windowState() & ~Qt::WindowMinimized);
    form->show();
    form->raise();
    form->activateWindow();
}

void TTrayIcon::HideMainForm() {
    QWidget* form = MainForm();
    if (!form) return;
    if (NotificationAreaAvailable())
        form->hide();  // the taskbar button goes with the window
    else if (!form->isMinimized())
        form->showMinimized();
}

void TTrayIcon::DoMinimizeToTray() {
    HideMainForm();
    SetIconVisible(true);
}

void TTrayIcon::PopupAtCursor() {
    if (!popupMenu_) return;
    popupMenu_->popup(CursorPos());
}

bool TTrayIcon::NotificationAreaAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QPoint TTrayIcon::CursorPos() const {
    return QCursor::pos();
}

unsigned TTrayIcon::DoubleClickTime() const {
    return static_cast<unsigned>(QGuiApplication::styleHints()->mouseDoubleClickInterval());
}

TShiftState TTrayIcon::ShiftState(TShiftState button) const {
    Qt::KeyboardModifiers keys = QGuiApplication::queryKeyboardModifiers();
    TShiftState state = button;
    if (keys & Qt::ShiftModifier) state |= ssShift;
    if (keys & Qt::ControlModifier) state |= ssCtrl;
    if (keys & Qt::AltModifier) state |= ssAlt;
    return state;
}

void TTrayIcon::HandleMessage(TrayMessage message) {
    if (!enabled_) return;
    const QPoint pos = CursorPos();
    switch (message) {
        case TrayMessage::MouseMove:
            if (wantEnterExit_ && mouseOutside_) {
                MouseEnter();
                mouseOutside_ = false;
            }
            MouseMove(ShiftState(0), pos.x(), pos.y());
            lastPos_ = pos;
            break;
        case TrayMessage::LButtonDown:
            if (OnDblClick) {
                clickTimer_->SetInterval(DoubleClickTime());
                clickTimer_->Start();
            }
            MouseDown(mbLeft, ShiftState(ssLeft), pos.x(), pos.y());
            leftDown_ = true;
            if (leftPopup_ && popupMenu_) PopupAtCursor();
            break;
        case TrayMessage::LButtonUp:
            if (leftDown_) {
                clickPending_ = true;
                if (!clickTimer_->Running()) {
                    clickPending_ = false;
                    leftDown_ = false;
                    Click();
                }
            }
            leftDown_ = false;
            MouseUp(mbLeft, ShiftState(ssLeft), pos.x(), pos.y());
            break;
        case TrayMessage::LButtonDblClk:
            clickPending_ = false;
            dblClickSeen_ = true;
            DblClick();
            if (popupMenu_ && !leftPopup_ && popupMenu_->defaultAction())
                popupMenu_->defaultAction()->trigger();
            break;
        case TrayMessage::RButtonDown:
            MouseDown(mbRight, ShiftState(ssRight), pos.x(), pos.y());
            if (popupMenu_) PopupAtCursor();
            break;
        case TrayMessage::RButtonUp:
            MouseUp(mbRight, ShiftState(ssRight), pos.x(), pos.y());
            break;
        case TrayMessage::MButtonDown:
            MouseDown(mbMiddle, ShiftState(ssMiddle), pos.x(), pos.y());
            break;
        case TrayMessage::MButtonUp:
            MouseUp(mbMiddle, ShiftState(ssMiddle), pos.x(), pos.y());
            break;
        case TrayMessage::BalloonShow:
            Fire(OnBalloonHintShow);
            break;
        case TrayMessage::BalloonHide:
            Fire(OnBalloonHintHide);
            break;
        case TrayMessage::BalloonTimeout:
            Fire(OnBalloonHintTimeout);
            break;
        case TrayMessage::BalloonUserClick:
            Fire(OnBalloonHintClick);
            break;
    }
}

void TTrayIcon::CycleTimerTick() {
    int next = 0;
    if (!iconList_.empty()) {
        iconIndex_ = std::clamp(iconIndex_, 0, static_cast<int>(iconList_.size()) - 1);
        icon_ = iconList_[iconIndex_];
        ModifyIcon();
        next = (iconIndex_ + 1) % static_cast<int>(iconList_.size());
    }
    Cycle(next);
    iconIndex_ = next;
}

void TTrayIcon::ClickTimerTick() {
    clickTimer_->Stop(true);
    // The pending click is used up here, fired or not: a later press held past the
    // double-click time must not replay it.
    bool fire = clickPending_ && !dblClickSeen_;
    clickPending_ = false;
    dblClickSeen_ = false;
    if (fire) Click();
}

void TTrayIcon::ExitTimerTick() {
    if (!mouseOutside_ && CursorPos() != lastPos_) {
        mouseOutside_ = true;
        MouseExit();
    }
}

void TTrayIcon::Click() {
    Fire(OnClick);
}
void TTrayIcon::DblClick() {
    Fire(OnDblClick);
}
void TTrayIcon::Cycle(int nextIndex) {
    if (OnCycle) OnCycle(this, nextIndex);
}
void TTrayIcon::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    if (OnMouseDown) OnMouseDown(this, button, shift, x, y);
}
void TTrayIcon::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    if (OnMouseUp) OnMouseUp(this, button, shift, x, y);
}
void TTrayIcon::MouseMove(TShiftState shift, int x, int y) {
    if (OnMouseMove) OnMouseMove(this, shift, x, y);
}
void TTrayIcon::MouseEnter() {
    Fire(OnMouseEnter);
}
void TTrayIcon::MouseExit() {
    Fire(OnMouseExit);
}

bool TTrayIcon::eventFilter(QObject* watched, QEvent* event) {
    QWidget* form = MainForm();
    if (watched == form && form) {
        if (event->type() == QEvent::WindowStateChange && form->isMinimized() && minimizeToTray_) {
            // Hidden after the state change is through, not from inside it.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    Fire(OnMinimizeToTray);
                    DoMinimizeToTray();
                },
                Qt::QueuedConnection);
        } else if (event->type() == QEvent::Show && !event->spontaneous()) {
            form->raise();
            form->activateWindow();
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace qv

#include "app/gui/splash.h"

#include <QGuiApplication>
#include <QScreen>

#include "app/gui/pictures.h"

namespace qv {

TSplashForm::TSplashForm() : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setFixedSize(354, 240);
    setStyleSheet("background-color: black;");
    setCursor(Qt::WaitCursor);
    layout_.setContentsMargins(0, 0, 0, 0);
    layout_.addWidget(&Image2);
    Image2.SetPicture(SplashPicture());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
}

}  // namespace qv

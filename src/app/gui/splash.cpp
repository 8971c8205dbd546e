#include "app/gui/splash.h"

#include <QApplication>
#include <QEventLoop>
#include <QLibraryInfo>
#include <QScreen>
#include <QTimer>
#include <QTranslator>
#include <QWindow>

#include "app/gui/pictures.h"

namespace qv {

TSplashForm::TSplashForm() : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setWindowTitle("Quorvanta");
    setFixedSize(354, 240);
    setStyleSheet("background-color: black;");
    setCursor(Qt::WaitCursor);
    layout_.setContentsMargins(0, 0, 0, 0);
    layout_.addWidget(&Image2);
    Image2.SetPicture(SplashPicture());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
}

void TSplashForm::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    if (shown_ || !windowHandle() || !windowHandle()->isExposed()) return;
    shown_ = true;
    if (OnShown) OnShown();
}

std::unique_ptr<TSplashForm> ShowSplash(std::chrono::milliseconds shown) {
    auto splash = std::make_unique<TSplashForm>();
    QEventLoop loop;
    QTimer end;
    end.setSingleShot(true);
    QObject::connect(&end, &QTimer::timeout, &loop, &QEventLoop::quit);
    splash->OnShown = [&end, shown] { end.start(shown); };
    end.start(shown + std::chrono::seconds(1));
    splash->show();
    loop.exec();
    splash->OnShown = nullptr;
    return splash;
}

bool LoadSpanishQtTexts() {
    auto translator = std::make_unique<QTranslator>(QCoreApplication::instance());
    if (!translator->load("qtbase_es", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    QCoreApplication::installTranslator(translator.release());  // the application owns it
    return true;
}

}  // namespace qv

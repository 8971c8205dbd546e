#include "app/gui/form_progress.h"

#include <QGuiApplication>
#include <QScreen>

namespace qv {

TForm_progress::TForm_progress() : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint) {
    setWindowTitle("Form_progress");
    setContentsMargins(3, 3, 3, 3);
    aguardex.setGeometry(3, 3, 326, 105);
    aguardex.setAutoFillBackground(true);
    QPalette p = aguardex.palette();
    p.setColor(QPalette::Window, Qt::black);
    p.setColor(QPalette::WindowText, Qt::white);
    aguardex.setPalette(p);
    aguardex.setCursor(Qt::WaitCursor);
    QFont f = aguardex.font();
    f.setBold(true);
    f.setItalic(true);
    aguardex.setFont(f);
    Progress_Bar.setGeometry(10, 40, 305, 22);
    Progress_Bar.setTextVisible(false);
    namex.setGeometry(10, 75, 305, 22);
    namex.setPalette(p);
    resize(332, 111);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

}  // namespace qv

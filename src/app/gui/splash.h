#pragma once
// The splash window shown while the program's windows are made: no border,
// 354 by 240, black, the program's picture scaled to fit.

#include <QVBoxLayout>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>

#include "app/gui/window_parts.h"

namespace qv {

class TSplashForm : public QWidget {
  public:
    TSplashForm();

    QVBoxLayout layout_{this};
    PictureLabel Image2;
    // Runs once, when the window is first painted on the screen.
    std::function<void()> OnShown;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool shown_ = false;
};

// Shows the splash window and keeps it on the screen for `shown` from the
// moment its picture is painted, handling events meanwhile: under a window
// manager the window is painted only after it has been mapped, which a
// blocking pause would hold back. A window never painted (nothing to show it
// on) holds the start back for at most `shown` plus one second.
std::unique_ptr<TSplashForm> ShowSplash(
    std::chrono::milliseconds shown = std::chrono::milliseconds(1000));

// Qt's own texts (the standard file dialogs, message box buttons) in Spanish,
// as the rest of the window. The process's number and date formats are not
// touched. False when the translations are not installed.
bool LoadSpanishQtTexts();

}  // namespace qv

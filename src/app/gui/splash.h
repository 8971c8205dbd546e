#pragma once
// The splash window shown while the program's windows are made: no border,
// 354 by 240, black, the program's picture scaled to fit.

#include <QVBoxLayout>
#include <QWidget>

#include "app/gui/window_parts.h"

namespace qv {

class TSplashForm : public QWidget {
  public:
    TSplashForm();

    QVBoxLayout layout_{this};
    PictureLabel Image2;
};

}  // namespace qv

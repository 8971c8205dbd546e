#pragma once
// The progress window: made once at start-up, hidden until a worker reports
// progress. Only the main window's message handler sets its label and bar.

#include <QLabel>
#include <QProgressBar>
#include <QWidget>

namespace qv {

class TForm_progress : public QWidget {
  public:
    TForm_progress();

    QWidget aguardex{this};  // black panel, 326 x 105
    QProgressBar Progress_Bar{&aguardex};
    QLabel namex{&aguardex};
};

}  // namespace qv

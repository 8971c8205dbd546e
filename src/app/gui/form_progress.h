#pragma once
// The progress window: made once at start-up, hidden until a worker reports
// progress.

#include <QWidget>

namespace qv {

class TForm_progress : public QWidget {
  public:
    TForm_progress();
};

}  // namespace qv

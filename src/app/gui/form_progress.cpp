#include "app/gui/form_progress.h"

namespace qv {

TForm_progress::TForm_progress() : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint) {
    setWindowTitle("Form_progress");
}

}  // namespace qv

#pragma once
// The program's own pictures, built into the executable: the splash and about
// pictures (JPEG, decoded by Qt's JPEG reader) and the window icon.

#include <QIcon>
#include <QPixmap>

namespace qv {

QPixmap SplashPicture();
QPixmap AboutPicture();
QIcon ProgramIcon();

}  // namespace qv

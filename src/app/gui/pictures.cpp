#include "app/gui/pictures.h"

// Resources of a static library are registered by hand: nothing else refers
// to them, so the linker would drop their initialiser.
static void register_pictures() {
    static const bool done = [] {
        Q_INIT_RESOURCE(pictures);
        return true;
    }();
    (void)done;
}

namespace qv {

QPixmap SplashPicture() {
    register_pictures();
    return QPixmap(":/quorvanta/splash.jpg", "JPEG");
}

QPixmap AboutPicture() {
    register_pictures();
    return QPixmap(":/quorvanta/about.jpg", "JPEG");
}

QIcon ProgramIcon() {
    register_pictures();
    return QIcon(":/quorvanta/icon.png");
}

}  // namespace qv

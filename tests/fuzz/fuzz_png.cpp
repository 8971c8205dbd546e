// PNG reading from outside bytes: load, draw, read pixels, save and read the
// saved file back. Whatever loads must draw and save, and what we save must load.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "imaging/bitmap.h"
#include "imaging/canvas.h"
#include "imaging/png_picture.h"

using namespace qv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Pictures past a few million pixels only cost time here.
    static const bool limited = [] {
        SetMaxBitmapPixels(size_t(1) << 22);
        return true;
    }();
    (void)limited;

    TPNGPicture pic;
    MemoryStream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        pic.LoadFromStream(in);
    } catch (const PngException&) {
    }
    Bitmap target(24, 24, PixelFormat::Pf24bit);
    pic.Draw(target.GetCanvas(), Rect{0, 0, 24, 24});
    pic.Draw(target.GetCanvas(), Rect{20, 20, 3, 2});
    (void)pic.Pixels(0, 0);
    (void)pic.Pixels(pic.Width() - 1, pic.Height() - 1);
    pic.SetPixels(0, 0, RGBColor(1, 2, 3));

    MemoryStream out;
    try {
        pic.SaveToStream(out);
    } catch (const EPNGHeaderNotPresent&) {
        return 0;
    }
    TPNGPicture back;
    out.SetPosition(0);
    back.LoadFromStream(out);  // must not throw: we wrote it
    if (back.Width() != pic.Width() || back.Height() != pic.Height()) abort();
    return 0;
}

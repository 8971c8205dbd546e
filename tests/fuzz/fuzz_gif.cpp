// Any bytes as a GIF file: loading, decoding every frame, saving and loading the result
// must end in the codec's own errors, never in a crash.

#include <cstddef>
#include <cstdint>
#include <string>

#include "imaging/gif_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool capped = [] {
        qv::SetMaxBitmapPixels(std::size_t(1) << 22);  // keep single inputs small
        return true;
    }();
    (void)capped;
    try {
        qv::TGIFImage gif;
        qv::MemoryStream in(std::string(reinterpret_cast<const char*>(data), size));
        gif.LoadFromStream(in);
        for (int i = 0; i < gif.FrameCount(); ++i) {
            gif.FrameIndex = i;
            gif.CurrentBitmap();
        }
        if (gif.FrameCount() == 0) return 0;
        qv::MemoryStream out;
        gif.SaveToStream(out);
        qv::TGIFImage again;
        out.SetPosition(0);
        again.LoadFromStream(out);
        if (again.FrameCount() != gif.FrameCount()) __builtin_trap();
        for (int i = 0; i < again.FrameCount(); ++i) {
            again.FrameIndex = i;
            again.CurrentBitmap();
        }
    } catch (const qv::EInvalidGraphicOperation&) {
    } catch (const qv::EInvalidGraphic&) {
    } catch (const qv::EStreamError&) {
    }
    return 0;
}

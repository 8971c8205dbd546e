#include "imaging/graphic.h"

#include "imaging/canvas.h"

namespace qv {

Color ColorToRGB(Color c) {
    if ((c & clSystemColor) == 0) return c & 0xFFFFFF;
    // The classic desktop scheme; there is no system palette to ask on this platform.
    static const Color kSystem[] = {
        0xC8D0D4, 0xA56E3A, 0x6A240A, 0x808080, 0xC8D0D4, 0xFFFFFF, 0x000000, 0x000000,
        0x000000, 0xFFFFFF, 0xC8D0D4, 0xC8D0D4, 0x808080, 0x6A240A, 0xFFFFFF, 0xC8D0D4,
        0x808080, 0x808080, 0x000000, 0xC8D0D4, 0xFFFFFF, 0x404040, 0xC8D0D4, 0x000000,
        0xE1FFFF, 0xB5B5B5, 0x800000, 0xF0CAA6, 0xC0C0C0, 0xFF9933, 0xF0F0F0};
    const unsigned index = c & 0xFF;
    return index < sizeof kSystem / sizeof kSystem[0] ? kSystem[index] : 0;
}

void Graphic::Assign(const Graphic* source) {
    if (source == nullptr) throw EConvertError("Cannot assign a nil to a " + ClassName());
    source->AssignTo(*this);
}

void Graphic::AssignTo(Graphic& dest) const {
    throw EConvertError("Cannot assign a " + ClassName() + " to a " + dest.ClassName());
}

bool Graphic::Equals(const Graphic& other) {
    if (&other == this) return true;
    if (other.ClassName() != ClassName()) return false;
    auto& o = const_cast<Graphic&>(other);
    if (Empty() || o.Empty()) return Empty() == o.Empty();
    MemoryStream mine, theirs;
    SaveToStream(mine);
    o.SaveToStream(theirs);
    return mine.Bytes() == theirs.Bytes();
}

void Graphic::SetTransparent(bool value) {
    if (value != transparent_) {
        transparent_ = value;
        Changed();
    }
}

void Graphic::LoadFromFile(const std::string& path) {
    FileStream file(path, FileMode::OpenRead);
    LoadFromStream(file);
}

void Graphic::SaveToFile(const std::string& path) {
    // Assembled in memory first so that a failing encoder leaves no half-written file.
    MemoryStream memory;
    SaveToStream(memory);
    FileStream file(path, FileMode::Create);
    memory.SaveToStream(file);
}

void Graphic::LoadFromClipboardFormat(const ClipboardData&) {
    throw EInvalidGraphic("Unsupported clipboard format");
}

void Graphic::SaveToClipboardFormat(ClipboardData&) {
    throw EInvalidGraphic("Unsupported clipboard format");
}

void Graphic::Changed() {
    modified_ = true;
    if (onChange_) onChange_(*this);
}

void Graphic::Progress(ProgressStage stage, std::uint8_t percent, bool redrawNow, const Rect& rect,
                       const std::string& message) {
    if (onProgress_) onProgress_(*this, stage, percent, redrawNow, rect, message);
}

}  // namespace qv

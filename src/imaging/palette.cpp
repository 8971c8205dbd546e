#include "imaging/palette.h"

#include <algorithm>

namespace qv {

namespace {
template <typename Get>
int Nearest(std::size_t count, Color color, Get get) {
    const Color c = ColorToRGB(color);
    const int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
    int best = -1;
    long bestDistance = 0;
    for (std::size_t i = 0; i < count; ++i) {
        int er, eg, eb;
        get(i, er, eg, eb);
        const long d = long(er - r) * (er - r) + long(eg - g) * (eg - g) + long(eb - b) * (eb - b);
        if (best < 0 || d < bestDistance) {
            best = int(i);
            bestDistance = d;
            if (d == 0) break;
        }
    }
    return best;
}
}  // namespace

Palette::Palette(std::vector<PaletteEntry> entries) : entries_(std::move(entries)) {
    if (entries_.size() > std::size_t(kMaxEntries)) entries_.resize(kMaxEntries);
}

Palette Palette::FromColorTable(const std::vector<RGBQuad>& table) {
    std::vector<PaletteEntry> entries;
    entries.reserve(std::min<std::size_t>(table.size(), kMaxEntries));
    for (std::size_t i = 0; i < table.size() && i < std::size_t(kMaxEntries); ++i)
        entries.push_back({table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue, 0});
    return Palette(std::move(entries));
}

void Palette::Resize(int count) {
    entries_.resize(std::size_t(std::clamp(count, 0, kMaxEntries)));
}

Color Palette::EntryColor(int index) const {
    const PaletteEntry& e = Entry(index);
    return RGBColor(e.peRed, e.peGreen, e.peBlue);
}

int Palette::NearestIndex(Color color) const {
    return Nearest(entries_.size(), color, [this](std::size_t i, int& r, int& g, int& b) {
        r = entries_[i].peRed;
        g = entries_[i].peGreen;
        b = entries_[i].peBlue;
    });
}

Color Palette::NearestColor(Color color) const {
    const int i = NearestIndex(color);
    return i < 0 ? ColorToRGB(color) : EntryColor(i);
}

std::vector<RGBQuad> Palette::ToColorTable() const {
    std::vector<RGBQuad> table;
    table.reserve(entries_.size());
    for (const PaletteEntry& e : entries_) table.push_back({e.peBlue, e.peGreen, e.peRed, 0});
    return table;
}

int NearestColorIndex(const std::vector<RGBQuad>& table, Color color) {
    return Nearest(table.size(), color, [&table](std::size_t i, int& r, int& g, int& b) {
        r = table[i].rgbRed;
        g = table[i].rgbGreen;
        b = table[i].rgbBlue;
    });
}

}  // namespace qv

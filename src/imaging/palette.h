#pragma once
// A logical palette: up to 256 colour entries, with the nearest-entry search the
// platform offers for palette-based drawing.

#include <cstdint>
#include <vector>

#include "imaging/graphic.h"

namespace qv {

struct PaletteEntry {
    std::uint8_t peRed = 0, peGreen = 0, peBlue = 0, peFlags = 0;
    bool operator==(const PaletteEntry&) const = default;
};

// A colour-table entry of a BMP image, in file order.
struct RGBQuad {
    std::uint8_t rgbBlue = 0, rgbGreen = 0, rgbRed = 0, rgbReserved = 0;
    bool operator==(const RGBQuad&) const = default;
};

class Palette {
  public:
    static constexpr int kMaxEntries = 256;

    Palette() = default;
    explicit Palette(std::vector<PaletteEntry> entries);
    static Palette FromColorTable(const std::vector<RGBQuad>& table);

    int Count() const { return int(entries_.size()); }
    bool Empty() const { return entries_.empty(); }
    void Resize(int count);  // clamped to 0..256; new entries black
    const PaletteEntry& Entry(int index) const { return entries_.at(std::size_t(index)); }
    void SetEntry(int index, const PaletteEntry& entry) { entries_.at(std::size_t(index)) = entry; }
    const std::vector<PaletteEntry>& Entries() const { return entries_; }
    std::uint16_t Version() const { return 0x300; }

    Color EntryColor(int index) const;
    // Index of the entry with the smallest sum of squared differences, the lower index
    // on a tie; -1 for an empty palette.
    int NearestIndex(Color color) const;
    Color NearestColor(Color color) const;
    std::vector<RGBQuad> ToColorTable() const;

    bool operator==(const Palette&) const = default;

  private:
    std::vector<PaletteEntry> entries_;
};

// The same nearest search over a BMP colour table.
int NearestColorIndex(const std::vector<RGBQuad>& table, Color color);

}  // namespace qv

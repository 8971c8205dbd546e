#include "app/core/meter_grid.h"

#include <algorithm>
#include <limits>
#include <set>

#include "platform/text.h"

namespace qv {

namespace {

bool is_blank_or_control(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && is_blank_or_control(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank_or_control(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

bool parse_int32(std::string_view s, int32_t& value) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    long v = 0;
    if (!ParseLong(s, v) || v < std::numeric_limits<int32_t>::min() ||
        v > std::numeric_limits<int32_t>::max())
        return false;
    value = static_cast<int32_t>(v);
    return true;
}

void Put_in_grid_line(GridRows& grid, std::size_t Row, int32_t Link, int32_t Point,
                      int32_t Password, const std::string& Opc) {
    if (grid.size() <= Row) grid.resize(Row + 1);
    grid[Row] = {std::to_string(Link), std::to_string(Point), std::to_string(Password), Opc, ""};
}

void Add_to_Grid(GridRows& grid, int32_t Link, int32_t Point, int32_t Password,
                 const std::string& Opc) {
    const std::string link = std::to_string(Link);
    for (std::size_t r = 1; r < grid.size(); ++r) {
        if (grid[r][0] == link) {
            Put_in_grid_line(grid, r, Link, Point, Password, Opc);
            return;
        }
    }
    if (grid.size() == 2 && grid[1][0].empty())
        Put_in_grid_line(grid, 1, Link, Point, Password, Opc);
    else
        Put_in_grid_line(grid, std::max<std::size_t>(grid.size(), 1), Link, Point, Password, Opc);
}

void Quitar_todo(GridRows& grid) {
    grid.resize(2);
    grid[1] = GridRow{};
}

bool RemoveMeter(GridRows& grid, std::string_view LinkText) {
    const std::string_view wanted = trim_blanks(LinkText);
    bool removed = false;
    for (std::size_t r = 1; r < grid.size();) {
        if (trim_blanks(grid[r][0]) == wanted) {
            grid.erase(grid.begin() + static_cast<std::ptrdiff_t>(r));
            removed = true;
        } else {
            ++r;
        }
    }
    return removed;
}

std::vector<std::string> MeterLinkTexts(const GridRows& grid) {
    std::vector<std::string> links;
    for (std::size_t r = 1; r < grid.size(); ++r) {
        const std::string_view link = trim_blanks(grid[r][0]);
        if (!link.empty()) links.emplace_back(link);
    }
    return links;
}

std::string ToCommaText(const std::vector<std::string>& items) {
    // A lone empty item must not read back as no item at all.
    if (items.size() == 1 && items[0].empty()) return "\"\"";
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ',';
        const std::string& item = items[i];
        bool quote = false;
        for (char c : item) quote = quote || is_blank_or_control(c) || c == '"' || c == ',';
        if (!quote) {
            out += item;
            continue;
        }
        out += '"';
        for (char c : item) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    }
    return out;
}

std::vector<std::string> FromCommaText(std::string_view text) {
    std::vector<std::string> items;
    std::size_t p = 0;
    const auto skip_blanks = [&] {
        while (p < text.size() && is_blank_or_control(text[p])) ++p;
    };
    skip_blanks();
    while (p < text.size()) {
        std::string item;
        if (text[p] == '"') {
            // Quoted: a doubled quote is one quote; a lone quote closes the item.
            for (++p; p < text.size(); ++p) {
                if (text[p] == '"') {
                    if (p + 1 < text.size() && text[p + 1] == '"') {
                        item += '"';
                        ++p;
                    } else {
                        ++p;
                        break;
                    }
                } else {
                    item += text[p];
                }
            }
        } else {
            while (p < text.size() && !is_blank_or_control(text[p]) && text[p] != ',')
                item += text[p++];
        }
        items.push_back(std::move(item));
        skip_blanks();
        if (p < text.size() && text[p] == ',') {
            // A separator at the very end still ends an (empty) item.
            if (p + 1 == text.size()) items.emplace_back();
            ++p;
            skip_blanks();
        }
    }
    return items;
}

std::string GridCommaText(const GridRows& grid) {
    std::vector<std::string> items;
    for (std::size_t r = 1; r < grid.size(); ++r)
        for (int c = 0; c < 4; ++c) items.push_back(grid[r][c]);
    return ToCommaText(items);
}

std::string MergeGridCommaText(GridRows& grid, std::string_view text) {
    const std::vector<std::string> items = FromCommaText(text);
    std::string problem;
    std::set<int32_t> links;
    for (std::size_t i = 0; i < items.size(); i += 4) {
        const std::vector<std::string> group(
            items.begin() + static_cast<std::ptrdiff_t>(i),
            items.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, items.size())));
        if (group == std::vector<std::string>(4)) continue;
        int32_t link, point, password;
        const bool whole = group.size() == 4 && parse_int32(group[0], link) &&
                           parse_int32(group[1], point) && parse_int32(group[2], password);
        if (whole && links.insert(link).second) {
            Add_to_Grid(grid, link, point, password, group[3]);
        } else if (problem.empty()) {
            // The entry is named without its access password.
            std::vector<std::string> shown = group;
            if (shown.size() > 2 && !shown[2].empty()) shown[2] = "****";
            problem =
                whole ? "DIRECCION DE ENLACE " + std::to_string(link) + " REPETIDA"
                      : "ENTRADA \"" + ToCommaText(shown) + "\" NO ES ENLACE,PUNTO,CONTRASENA,OPC";
        }
    }
    return problem;
}

std::string MaskedMeterItem(std::string_view item) {
    const std::size_t d1 = item.find('-');
    const std::size_t d2 = d1 == std::string_view::npos ? d1 : item.find('-', d1 + 1);
    if (d2 == std::string_view::npos || d2 + 1 >= item.size()) return std::string(item);
    const std::size_t d3 = item.find('-', d2 + 1);
    return std::string(item.substr(0, d2 + 1)) + "****" +
           (d3 == std::string_view::npos ? "" : std::string(item.substr(d3)));
}

bool ParseMeterItem(std::string_view item, MeterItem& meter) {
    // Each part after a "-" is cut to 255 characters, as the item form has always had it.
    const auto after = [](std::string_view s, std::size_t dash) { return s.substr(dash + 1, 255); };
    const std::size_t d1 = item.find('-');
    if (d1 == std::string_view::npos || !parse_int32(item.substr(0, d1), meter.Link)) return false;
    const std::string_view rest1 = after(item, d1);
    const std::size_t d2 = rest1.find('-');
    if (d2 == std::string_view::npos || !parse_int32(rest1.substr(0, d2), meter.Point))
        return false;
    const std::string rest2 = std::string(after(rest1, d2)) + '-';
    const std::size_t d3 = rest2.find('-');
    if (!parse_int32(std::string_view(rest2).substr(0, d3), meter.Password)) return false;
    const std::string_view rest3 = std::string_view(rest2).substr(d3 + 1);
    meter.Opc = std::string(trim_blanks(rest3.substr(0, rest3.find('-'))));
    return true;
}

}  // namespace qv

#include "app/core/meter_grid.h"

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

#include "app/core/shown_value.h"
#include "platform/text.h"

namespace qv {

namespace {

bool is_blank_or_control(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

// What separates items besides ",": any other control character stays
// inside its item, which its own check then refuses.
bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Every non-empty part of `text` between `separator`s as "****".
std::string masked_parts(std::string_view text, char separator) {
    std::string out;
    for (std::size_t from = 0;;) {
        const std::size_t to = text.find(separator, from);
        if (to > from && from < text.size()) out += "****";
        if (to == std::string_view::npos) return out;
        out += separator;
        from = to + 1;
    }
}

// Four items that read as a meter: link, point and password whole numbers, then the code.
bool read_entry(const std::vector<std::string>& group, int32_t& link, int32_t& point,
                int32_t& password) {
    return group.size() == 4 && parse_int32(group[0], link) && parse_int32(group[1], point) &&
           parse_int32(group[2], password);
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
    const std::string_view wanted = TrimBlanks(LinkText);
    bool removed = false;
    for (std::size_t r = 1; r < grid.size();) {
        if (TrimBlanks(grid[r][0]) == wanted) {
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
        const std::string_view link = TrimBlanks(grid[r][0]);
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

std::vector<std::string> FromCommaText(std::string_view text, std::vector<bool>* afterBlank) {
    std::vector<std::string> items;
    std::size_t p = 0;
    bool comma = true;  // what separates the next item from the one before
    const auto skip_blanks = [&] {
        while (p < text.size() && is_blank(text[p])) ++p;
    };
    const auto push = [&](std::string item) {
        if (afterBlank) afterBlank->push_back(!items.empty() && !comma);
        items.push_back(std::move(item));
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
            while (p < text.size() && !is_blank(text[p]) && text[p] != ',') item += text[p++];
        }
        push(std::move(item));
        skip_blanks();
        comma = p < text.size() && text[p] == ',';
        if (comma) {
            // A separator at the very end still ends an (empty) item.
            if (p + 1 == text.size()) push(std::string());
            ++p;
            skip_blanks();
        }
    }
    return items;
}

std::string MaskedCommaText(std::string_view text) {
    const std::vector<std::string> items = FromCommaText(text);
    std::vector<std::string> shown;
    for (std::size_t i = 0; i < items.size(); i += 4) {
        std::vector<std::string> group(
            items.begin() + static_cast<std::ptrdiff_t>(i),
            items.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, items.size())));
        int32_t link, point, password;
        const bool entry = read_entry(group, link, point, password);
        for (std::size_t k = 0; k < group.size(); ++k)
            if (!group[k].empty() && (!entry || k == 2)) group[k] = "****";
        shown.insert(shown.end(), group.begin(), group.end());
    }
    return ToCommaText(shown);
}

std::string GridCommaText(const GridRows& grid) {
    std::vector<std::string> items;
    for (std::size_t r = 1; r < grid.size(); ++r)
        for (int c = 0; c < 4; ++c) items.push_back(grid[r][c]);
    return ToCommaText(items);
}

std::string MergeGridCommaText(GridRows& grid, std::string_view text) {
    std::vector<std::string> items = FromCommaText(text);
    // Empty items after the last whole group (a trailing ",") are no meter.
    while (items.size() % 4 != 0 && items.back().empty()) items.pop_back();
    std::string problem;
    std::set<int32_t> links;
    // A list refused adds none of its meters: the grid keeps what it held.
    GridRows merged = grid;
    for (std::size_t i = 0; i < items.size(); i += 4) {
        const std::vector<std::string> group(
            items.begin() + static_cast<std::ptrdiff_t>(i),
            items.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, items.size())));
        if (group == std::vector<std::string>(4)) continue;
        int32_t link, point, password;
        const bool whole = read_entry(group, link, point, password);
        const std::string fit = whole ? MeterNumbersProblem(group[0], group[1], group[2]) : "";
        if (whole && fit.empty() && links.insert(link).second) {
            Add_to_Grid(merged, link, point, password, group[3]);
        } else if (problem.empty()) {
            // The entry is named without its access password (MaskedCommaText).
            const std::string entry =
                "ENTRADA \"" + ShownValue("CONTADORES", ToCommaText(group)) + "\"";
            if (!whole)
                problem = entry + " NO ES ENLACE,PUNTO,CONTRASENA,OPC";
            else if (!fit.empty())
                problem = entry + ": " + fit;
            else
                problem = "DIRECCION DE ENLACE " + std::to_string(link) + " REPETIDA";
        }
    }
    if (problem.empty()) grid = std::move(merged);
    return problem;
}

std::string MeterNumbersProblem(std::string_view link, std::string_view point,
                                std::string_view password) {
    const std::pair<MeterNumber, std::string_view> fields[] = {
        {MeterNumber::Link, link}, {MeterNumber::Point, point}, {MeterNumber::Password, password}};
    for (const auto& [field, text] : fields)
        if (std::string why = MeterNumberProblem(field, text); !why.empty()) return why;
    return std::string();
}

std::string MaskedMeterItem(std::string_view item) {
    // Which part is the password cannot be known.
    if (MeterItem m; MeterItemProblem(item, m) == MeterItemForm) return masked_parts(item, '-');
    const std::size_t d1 = item.find('-');
    const std::size_t d2 = d1 == std::string_view::npos ? d1 : item.find('-', d1 + 1);
    if (d2 == std::string_view::npos || d2 + 1 >= item.size()) return std::string(item);
    const std::size_t d3 = item.find('-', d2 + 1);
    return std::string(item.substr(0, d2 + 1)) + "****" +
           (d3 == std::string_view::npos ? "" : std::string(item.substr(d3)));
}

std::string MeterItemProblem(std::string_view item, MeterItem& meter) {
    const std::string form(MeterItemForm);
    std::string_view parts[3];
    std::string_view rest = item;
    for (std::string_view& part : parts) {
        const std::size_t dash = rest.find('-');
        // The password may end the item; the link and the point may not.
        if (dash == std::string_view::npos && &part != &parts[2]) return form;
        part = rest.substr(0, dash);
        rest = dash == std::string_view::npos ? std::string_view() : rest.substr(dash + 1);
    }
    if (!parse_int32(parts[0], meter.Link) || !parse_int32(parts[1], meter.Point) ||
        !parse_int32(parts[2], meter.Password))
        return form;
    // The whole rest is the code: "CT-NORTE-7" and "CT-SUR-2" are two names.
    meter.Opc = std::string(TrimBlanks(rest));
    if (std::string why = MeterNumbersProblem(parts[0], parts[1], parts[2]); !why.empty())
        return why;
    // As typed: the trim must not hide a line break at either end.
    return OpcCodeProblem(rest);
}

std::string MeterNumberProblem(MeterNumber field, std::string_view text) {
    static constexpr struct {
        const char* name;
        int32_t max;
    } kFields[] = {{"LA DIRECCION DE ENLACE", MaxLinkAddress},
                   {"EL PUNTO DE MEDIDA", MaxMeasurePoint},
                   {"LA CONTRASENA", MaxPassword}};
    const auto& f = kFields[static_cast<int>(field)];
    const std::string shown =
        field == MeterNumber::Password
            ? std::string(f.name)
            : std::string(f.name) + " \"" + ShownWithControls(TrimBlanks(text)) + "\"";
    int32_t v = 0;
    if (!parse_int32(TrimBlanks(text), v)) return shown + " NO ES UN NUMERO ENTERO";
    if (v < 0 || v > f.max)
        return shown + " NO CABE EN LA TRAMA (0 A " + std::to_string(f.max) + ")";
    return std::string();
}

std::string OpcCodeProblem(std::string_view opc) {
    if (const std::string shown = ShownWithControls(opc); shown != opc)
        return "EL CODIGO OPC \"" + shown + "\" LLEVA UN CARACTER DE CONTROL";
    return std::string();
}

}  // namespace qv

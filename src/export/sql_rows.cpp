#include "export/sql_rows.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "export/ftp_upload.h"
#include "platform/text.h"

namespace qv {
namespace {

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

// A whole decimal number of up to 64 bits, normalised ("+7", "007" -> "7").
bool WholeNumber(const std::string& text, std::string& out) {
    std::string_view s = text;
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty() || s[0] == '+') return false;
    int64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return false;
    out = std::to_string(v);
    return true;
}

std::string Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

// `text` as a number of `min` to `max` decimal digits; -1 otherwise.
int DigitsValue(std::string_view text, std::size_t min, std::size_t max) {
    if (text.size() < min || text.size() > max) return -1;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

// Day, month and two-digit year (of 20yy) of a day that exists.
bool RealDate(const std::string& d, const std::string& m, const std::string& y) {
    const int day = DigitsValue(d, 1, 2), month = DigitsValue(m, 1, 2), year = DigitsValue(y, 2, 2);
    if (day < 0 || month < 0 || year < 0) return false;
    return std::chrono::year_month_day{std::chrono::year{2000 + year},
                                       std::chrono::month{static_cast<unsigned>(month)},
                                       std::chrono::day{static_cast<unsigned>(day)}}
        .ok();
}

// "hh:mm" of a time of day.
bool RealTime(std::string_view t) {
    const std::size_t colon = t.find(':');
    if (colon == std::string_view::npos) return false;
    const int h = DigitsValue(t.substr(0, colon), 1, 2);
    const int m = DigitsValue(t.substr(colon + 1), 1, 2);
    return h >= 0 && h < 24 && m >= 0 && m < 60;
}

const char* const kUploadFails = " - IMPOSIBLE SUBIR DATOS A LA BASE";

}  // namespace

std::vector<std::string> SqlRow::InsertValues() const {
    std::vector<std::string> v{NOMBRE, METER_DATE, METER_TIME, HORARIO};
    v.insert(v.end(), Energy.begin(), Energy.end());
    v.push_back(COD_ERROR);
    return v;
}

std::vector<std::string> SplitDelimited(std::string_view text, char delimiter) {
    // The text ends at its first NUL, as a C string would.
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> fields;
    std::size_t p = 0;
    const std::size_t n = text.size();
    auto skipBlanks = [&] {
        while (p < n && IsBlank(text[p])) ++p;
    };
    skipBlanks();
    while (p < n) {
        std::string field;
        if (text[p] == '"') {
            ++p;
            while (p < n) {
                if (text[p] == '"') {
                    if (p + 1 < n && text[p + 1] == '"') {
                        field += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                field += text[p++];
            }
        } else {
            std::size_t start = p;
            while (p < n && !IsBlank(text[p]) && text[p] != delimiter) ++p;
            field.assign(text.substr(start, p - start));
        }
        fields.push_back(std::move(field));
        skipBlanks();
        if (p < n && text[p] == delimiter) {
            if (p + 1 == n) fields.emplace_back();
            ++p;
            skipBlanks();
        }
    }
    return fields;
}

std::string MeterNameOf(std::string_view firstLine) {
    std::size_t colon = firstLine.find(':');
    if (colon == std::string_view::npos) return {};
    return Trim(firstLine.substr(colon + 1)).substr(0, 255);
}

std::string NameCollationKey(std::string_view name) {
    // U+00C0..U+00FF by their capital letter without its mark; "." keeps the character.
    static constexpr std::string_view kLatin1Letters =
        "AAAAAAACEEEEIIIIDNOOOOO.OUUUUY.S"   // U+00C0..U+00DF
        "AAAAAAACEEEEIIIIDNOOOOO.OUUUUY.Y";  // U+00E0..U+00FF
    std::string key;
    for (std::size_t i = 0; i < name.size();) {
        char32_t c = 0;
        const std::size_t n = std::max<std::size_t>(Utf8Sequence(name, i, c), 1);
        if (n == 1 && static_cast<unsigned char>(name[i]) >= 0x80) c = 0x110000;  // no UTF-8
        if (c < 0x80)
            key += static_cast<char>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
        else if (c == 0xAA || c == 0xBA)
            key += c == 0xAA ? 'A' : 'O';
        else if (c == 0xB9 || c == 0xB2 || c == 0xB3)  // superscript digits
            key += c == 0xB9 ? '1' : static_cast<char>('0' + (c & 0x0F));
        else if (c == 0xFE)
            key += "\xC3\x9E";  // the capital thorn
        else if (c >= 0xC0 && c <= 0xFF && kLatin1Letters[c - 0xC0] != '.')
            key += kLatin1Letters[c - 0xC0];
        else if (c != 0xAD)
            key.append(name.substr(i, n));
        i += n;
    }
    return key;
}

bool ToLatin1(std::string_view text, std::string& out, char32_t& bad) {
    std::string latin;
    char32_t firstBad = 0;
    for (std::size_t i = 0; i < text.size();) {
        char32_t code = 0;
        const std::size_t n = Utf8Sequence(text, i, code);
        if (n == 0) {
            out = std::string(text);  // no UTF-8: Latin-1 as it stands
            return true;
        }
        if (code > 0xFF && firstBad == 0) firstBad = code;
        latin += static_cast<char>(code);
        i += n;
    }
    bad = firstBad;
    if (firstBad != 0) return false;
    out = std::move(latin);
    return true;
}

std::string CodePointName(char32_t c) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(c));
    return buf;
}

bool ok_parse(const std::string& name, std::string_view line, SqlRow& row) {
    try {
        std::vector<std::string> f = SplitDelimited(line, ';');
        if (f.size() < 9) return false;
        std::vector<std::string> date = SplitDelimited(f[0], '/');
        // A placeholder row (no record in that slot) has no date: it carries no
        // reading, and a row without a date would stop the upload at the server.
        if (date.size() < 3) return false;
        SqlRow r;
        r.NOMBRE = name;
        r.METER_DATE = "20" + date[2] + "-" + date[1] + "-" + date[0];
        r.METER_TIME = f[1] + ":00";
        r.HORARIO = f[2].substr(0, 1);
        // CSV fields of E_ACTIVA_POS .. E_REACTIVA_C_NEG in the INSERT's order.
        static constexpr int kField[6] = {3, 4, 5, 7, 6, 8};
        bool bad = false;
        for (int i = 0; i < 6; ++i) {
            if (!WholeNumber(f[kField[i]], r.Energy[i])) {
                r.Energy[i].assign(1, '0');
                bad = true;
            }
        }
        r.COD_ERROR.assign(1, bad ? '1' : '0');
        if (!RealDate(date[0], date[1], date[2]))
            r.Fault = "FECHA INEXISTENTE EN EL FICHERO: " + ShownWithControls(f[0] + " " + f[1]);
        else if (!RealTime(f[1]))
            r.Fault = "HORA INEXISTENTE EN EL FICHERO: " + ShownWithControls(f[0] + " " + f[1]);
        row = std::move(r);
        return true;
    } catch (...) {
        return false;
    }
}

std::string QuoteIdentifier(std::string_view name) {
    std::string q = "`";
    for (char c : name) {
        if (c == '`') q += '`';
        q += c;
    }
    return q + "`";
}

std::string Insert_Field(std::string_view column) {
    return ", `" + std::string(column) + "`";
}

namespace {
std::string Table(std::string_view schema) {
    return QuoteIdentifier(schema) + ".`quorvanta`";
}
}  // namespace

std::string InsertStatement(std::string_view schema) {
    std::string columns = "INSERT INTO " + Table(schema) + " (`NOMBRE`";
    std::string values = ") VALUES (?";
    for (const char* c :
         {"METER_DATE", "METER_TIME", "HORARIO", "E_ACTIVA_POS", "E_ACTIVA_NEG", "E_REACTIVA_L_POS",
          "E_REACTIVA_L_NEG", "E_REACTIVA_C_POS", "E_REACTIVA_C_NEG", "COD_ERROR"}) {
        columns += Insert_Field(c);
        values += ", ?";
    }
    return columns + values + ")";
}

std::string SelectKeyStatement(std::string_view schema) {
    return "SELECT 1 FROM " + Table(schema) +
           " WHERE NOMBRE = ? AND METER_DATE = ? AND METER_TIME = ? AND HORARIO = ?";
}

std::string UpdateStatement(std::string_view schema) {
    return "UPDATE " + Table(schema) +
           " SET E_ACTIVA_POS = ?, E_ACTIVA_NEG = ?, E_REACTIVA_L_POS = ?, E_REACTIVA_L_NEG = ?,"
           " E_REACTIVA_C_POS = ?, E_REACTIVA_C_NEG = ?"
           " WHERE NOMBRE = ? AND METER_DATE = ? AND METER_TIME = ? AND HORARIO = ?";
}

bool ReadReadingsFile(const std::string& path, std::vector<SqlRow>& rows, const UploadLog& log) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        log(" - NO EXISTE EL FICHERO " + ShownFtpTarget(path) + kUploadFails);
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        log(" - ERROR AL PROCESAR EL FICHERO " + ShownFtpTarget(path) + kUploadFails);
        return false;
    }
    auto readLine = [&in](std::string& line) {
        if (!std::getline(in, line)) return false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    };
    std::string line;
    readLine(line);
    if (line.find("OPC_ID :") == std::string::npos) {
        log(std::string(" - EL FICHERO NO CONTIENE IDENTIFICACION OPC_ID") + kUploadFails);
        return false;
    }
    std::string name;
    char32_t bad = 0;
    if (!ToLatin1(MeterNameOf(line), name, bad)) {
        log(" - LA IDENTIFICACION OPC_ID DEL FICHERO TIENE EL CARACTER " + CodePointName(bad) +
            ", QUE LA BASE (LATIN-1) NO ADMITE" + kUploadFails);
        return false;
    }
    if (name.empty()) {
        log(std::string(" - EL FICHERO NO CONTIENE IDENTIFICACION OPC_ID VALIDA") + kUploadFails);
        return false;
    }
    line.clear();
    readLine(line);
    if (line.find("FECHA;") == std::string::npos) {
        log(std::string(" - EL FICHERO NO CONTIENE DATOS VALIDOS") + kUploadFails);
        return false;
    }
    SqlRow row;
    while (readLine(line)) {
        if (ok_parse(name, line, row)) rows.push_back(row);
    }
    if (in.bad()) {
        log(" - ERROR AL PROCESAR EL FICHERO " + ShownFtpTarget(path) + kUploadFails);
        return false;
    }
    return true;
}

}  // namespace qv

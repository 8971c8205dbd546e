#include "platform/text.h"

#include <algorithm>
#include <charconv>

namespace qv {

namespace {
char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
}  // namespace

std::string UpperAscii(std::string text) {
    for (char& c : text) c = upper(c);
    return text;
}

std::string UpperLatin1Letters(std::string utf8) {
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        auto& c = reinterpret_cast<unsigned char&>(utf8[i]);
        // U+00E0..U+00FE is C3 A0..C3 BE; its capital is 0x20 lower.
        if (c == 0xC3 && i + 1 < utf8.size()) {
            auto& next = reinterpret_cast<unsigned char&>(utf8[i + 1]);
            if (next >= 0xA0 && next <= 0xBE && next != 0xB7) next -= 0x20;
            ++i;
        } else {
            utf8[i] = upper(utf8[i]);
        }
    }
    return utf8;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
    return s;
}

namespace {
// The port a text stands for, or 0.
unsigned tcp_port(std::string_view v) {
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
    // Decimal digits only; zeros in front change nothing ("007321" is 7321).
    const bool digits =
        !v.empty() && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
    while (v.size() > 1 && v.front() == '0') v.remove_prefix(1);
    unsigned n = 0;
    const bool port = digits && v.size() <= 5 &&
                      std::from_chars(v.data(), v.data() + v.size(), n).ec == std::errc() &&
                      n >= 1 && n <= 65535;
    return port ? n : 0;
}
}  // namespace

bool IsTcpPort(std::string_view v) {
    return tcp_port(v) != 0;
}

std::string TcpPortText(std::string_view text, std::string_view def) {
    if (TrimBlanks(text).empty()) return std::string(def);
    const unsigned n = tcp_port(text);
    return n != 0 ? std::to_string(n) : std::string(text);
}

bool ParseLong(std::string_view s, long& out) {
    bool neg = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        neg = s[0] == '-';
        s.remove_prefix(1);
    }
    unsigned base = 10;
    if (!s.empty() && s[0] == '$') {
        base = 16;
        s.remove_prefix(1);
    } else if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return false;
    constexpr unsigned long long kMax = 0x7FFFFFFFFFFFFFFFull;
    unsigned long long v = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (base == 16 && upper(c) >= 'A' && upper(c) <= 'F')
            d = static_cast<unsigned>(upper(c) - 'A' + 10);
        else
            return false;
        if (v > (kMax - d) / base) return false;  // checked before it could wrap
        v = v * base + d;
    }
    out = neg ? -static_cast<long>(v) : static_cast<long>(v);
    return true;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return upper(x) == upper(y); });
}

std::size_t Utf8Sequence(std::string_view s, std::size_t i, char32_t& code) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80   ? 1
                          : b < 0xC2 ? 0
                          : b < 0xE0 ? 2
                          : b < 0xF0 ? 3
                          : b < 0xF5 ? 4
                                     : 0;
    if (n == 0 || i + n > s.size()) return 0;
    code = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        code = code << 6 | (c & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMin[n] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
    return n;
}

bool IsUtf8(std::string_view s) {
    char32_t code = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = Utf8Sequence(s, i, code);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string Utf8OrLatin1(std::string_view text) {
    if (IsUtf8(text)) return std::string(text);
    std::string out;
    out.reserve(text.size() * 2);
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | b >> 6);
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

namespace {

// The length of the control character at text[i] (C0, DEL, or C1 as UTF-8),
// 0 when there is none.
std::size_t control_at(std::string_view text, std::size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return 1;
    if (c == 0xC2 && i + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if (next >= 0x80 && next <= 0x9F) return 2;
    }
    return 0;
}

}  // namespace

std::string ShownWithControls(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = control_at(text, i);
        if (n == 0) {
            out += text[i++];
            continue;
        }
        const auto code = static_cast<unsigned char>(n == 1 ? text[i] : text[i + 1]);
        out += n == 1 ? "\\x" : "\\u00";
        out += kHex[code >> 4];
        out += kHex[code & 15];
        i += n;
    }
    return out;
}

bool HasControlCharacter(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (control_at(text, i) != 0) return true;
    return false;
}

}  // namespace qv

#include "platform/text.h"

#include <algorithm>

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

}  // namespace qv

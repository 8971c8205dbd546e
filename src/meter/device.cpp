#include "meter/device.h"

#include <algorithm>
#include <cstdint>

#include "platform/text.h"

namespace qv {

namespace {

// The head of a grid number: blanks, sign and base; `at` is left at its first digit.
struct NumberHead {
    bool negative = false;
    bool hex = false;
    std::size_t at = 0;
};

NumberHead numberHead(std::string_view s) {
    NumberHead n;
    std::size_t& i = n.at;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        n.negative = s[i] == '-';
        ++i;
    }
    if (i < s.size() && s[i] == '$') {
        n.hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        n.hex = true;
        i += 2;
    }
    return n;
}

// The digit's value in the base, -1 for no digit.
int digitOf(char c, bool hex) {
    if (c >= '0' && c <= '9') return c - '0';
    if (!hex) return -1;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The whole number a grid text spells, every digit counted (from 2^40 on
// it stays there): what the text says, where TextToInt gives what 32 bits hold.
int64_t wideValue(std::string_view s) {
    const NumberHead n = numberHead(s);
    constexpr int64_t kHuge = int64_t{1} << 40;
    int64_t value = 0;
    for (std::size_t i = n.at; i < s.size(); ++i) {
        const int d = digitOf(s[i], n.hex);
        if (d < 0) break;
        value = std::min(kHuge, value * (n.hex ? 16 : 10) + d);
    }
    return n.negative ? -value : value;
}

// A password goes out as four bytes: any 32-bit pattern, signed or not.
bool passwordFits(int64_t v) {
    return v >= INT32_MIN && v <= int64_t{UINT32_MAX};
}

// Above 2^31 a password is its four bytes' pattern, not its leading digits.
int32_t passwordOf(std::string_view text) {
    const int64_t v = wideValue(text);
    return passwordFits(v) ? static_cast<int32_t>(static_cast<uint32_t>(v)) : TextToInt(text);
}

}  // namespace

int32_t TextToInt(std::string_view s) {
    const NumberHead n = numberHead(s);
    std::size_t i = n.at;
    uint64_t value = 0;
    if (n.hex) {
        // Up to 32 bits, taken as the signed pattern ("$FFFFFFFF" is -1).
        for (int digits = 0; i < s.size() && digits < 8; ++i, ++digits) {
            const int d = digitOf(s[i], true);
            if (d < 0) break;
            value = value * 16 + static_cast<uint64_t>(d);
        }
        int32_t r = static_cast<int32_t>(static_cast<uint32_t>(value));
        return n.negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(r)) : r;
    }
    const uint64_t limit = n.negative ? 2147483648ull : 2147483647ull;
    for (; i < s.size() && digitOf(s[i], false) >= 0; ++i) {
        const uint64_t next = value * 10 + static_cast<uint64_t>(s[i] - '0');
        if (next > limit) break;
        value = next;
    }
    return n.negative ? static_cast<int32_t>(-static_cast<int64_t>(value))
                      : static_cast<int32_t>(value);
}

std::string FrameFieldFault(std::string_view linkText, std::string_view pointText,
                            std::string_view passwordText) {
    const auto field = [](const char* what, std::string_view text) -> std::string {
        const int64_t v = wideValue(text);
        if (v >= 0 && v <= MaxFrameAddress) return {};
        return std::string(what) + " " + std::string(TrimBlanks(text)) +
               " NO CABE EN LA TRAMA (0 A " + std::to_string(MaxFrameAddress) + ")";
    };
    std::string why = field("LA DIRECCION DE ENLACE", linkText);
    if (why.empty()) why = field("EL PUNTO DE MEDIDA", pointText);
    if (why.empty() && !passwordFits(wideValue(passwordText)))
        why = "LA CONTRASENA NO CABE EN SUS 4 BYTES";
    return why;
}

Tdevice::Tdevice(std::string_view linkText, std::string_view pointText,
                 std::string_view passwordText, std::string opcCode)
    : LinkAddress(TextToInt(linkText)),
      MeasurePoint(TextToInt(pointText)),
      Password(passwordOf(passwordText)),
      OpcCode(std::move(opcCode)) {}

std::size_t Tdevice::AddDay() {
    Values.emplace_back();
    Quality.emplace_back();
    Labels.emplace_back();
    return Values.size() - 1;
}

}  // namespace qv

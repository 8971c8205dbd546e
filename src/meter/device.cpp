#include "meter/device.h"

#include <cctype>

namespace qv {

int32_t TextToInt(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        negative = s[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < s.size() && s[i] == '$') {
        hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    uint64_t value = 0;
    if (hex) {
        // Up to 32 bits, taken as the signed pattern ("$FFFFFFFF" is -1).
        for (int digits = 0; i < s.size() && digits < 8; ++i, ++digits) {
            const char c = s[i];
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                break;
            value = value * 16 + static_cast<uint64_t>(d);
        }
        int32_t r = static_cast<int32_t>(static_cast<uint32_t>(value));
        return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(r)) : r;
    }
    const uint64_t limit = negative ? 2147483648ull : 2147483647ull;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        const uint64_t next = value * 10 + static_cast<uint64_t>(s[i] - '0');
        if (next > limit) break;
        value = next;
    }
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(value))
                    : static_cast<int32_t>(value);
}

Tdevice::Tdevice(std::string_view linkText, std::string_view pointText,
                 std::string_view passwordText, std::string opcCode)
    : LinkAddress(TextToInt(linkText)),
      MeasurePoint(TextToInt(pointText)),
      Password(TextToInt(passwordText)),
      OpcCode(std::move(opcCode)) {}

std::size_t Tdevice::AddDay() {
    Values.emplace_back();
    Quality.emplace_back();
    Labels.emplace_back();
    return Values.size() - 1;
}

}  // namespace qv

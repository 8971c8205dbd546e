// Stored-password encoding and the date texts of the configuration file.

#include "app/core/password_codec.h"

#include <gtest/gtest.h>

#include "app/core/dates.h"

namespace qv {
namespace {

using namespace std::chrono;

std::string all_bytes(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>((i * 37 + 128) % 256);
    return s;
}

TEST(PasswordCodec, LengthsAndRoundTrip) {
    const struct {
        std::size_t plain, encoded;
    } cases[] = {{0, 64}, {1, 64}, {15, 64}, {16, 64}, {30, 64}, {31, 65}, {40, 83}};
    for (const auto& c : cases) {
        // High bytes and control characters pass through.
        const std::string plain = all_bytes(c.plain);
        const std::string enc = EncodePWDEx(plain);
        EXPECT_EQ(enc.size(), c.encoded) << c.plain;
        EXPECT_EQ(enc.find_first_not_of(PasswordAlphabet), std::string::npos) << c.plain;
        EXPECT_EQ(DecodePWDEx(enc), plain) << c.plain;
    }
    EXPECT_NE(EncodePWDEx("secret"), EncodePWDEx("secret"));
}

TEST(PasswordCodec, OneByteLayout) {
    const std::string enc = EncodePWDEx("\x5A");
    const std::string_view key = PasswordPassphrase;
    const std::string rotated = std::string(1, key.back()) + std::string(key.substr(0, 15));
    EXPECT_EQ(enc[3], key[0xA]);
    EXPECT_EQ(enc[5], rotated[0x5]);
    const std::string& filler = PasswordFillerAlphabet();
    EXPECT_EQ(filler.size(), 48u);
    for (std::size_t i : {0, 1, 2, 4, 6, 63})
        EXPECT_NE(filler.find(enc[i]), std::string::npos) << i;
    EXPECT_TRUE(enc[0] != enc[1] && enc[1] != enc[2] && enc[0] != enc[2]);
}

TEST(PasswordCodec, DecodingHandMadeTexts) {
    EXPECT_EQ(DecodePWDEx("xxkVyy"), "\x11");
    EXPECT_EQ(DecodePWDEx("0135681xy+/"), "");  // a password typed by hand without key symbols
    EXPECT_EQ(DecodePWDEx("xxkVy4"), PasswordDecodeFailure);
    std::string s = EncodePWDEx("ab");
    s.erase(s.find_first_of(PasswordPassphrase), 1);
    EXPECT_EQ(DecodePWDEx(s), PasswordDecodeFailure);
}

TEST(PickRandomChars, DrawsWithoutRepetition) {
    std::string s = "old";
    PickRandomChars("abcdef", 6, s);
    std::string sorted = s;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, "abcdef");
    PickRandomChars("abc", 0, s);
    EXPECT_EQ(s, "");
}

TEST(Dates, ReadingDateTexts) {
    const int century = static_cast<int>(year_month_day(Today()).year()) / 100 * 100;
    const int thisYear = static_cast<int>(year_month_day(Today()).year());
    const struct {
        const char* text;
        Day want;
    } cases[] = {
        {"2016/03/01", year(2016) / 3 / 1},
        {" 2016 / 3 / 1 ", year(2016) / 3 / 1},
        {"2016/03/01/", year(2016) / 3 / 1},
        {"16/03/01", year(century + 16) / 3 / 1},
        {"03/01", year(thisYear) / 3 / 1},
        {"2016/02/30", NullDate},
        {"2016/13/01", NullDate},
        {"20160/03/01", NullDate},
        {"2016/03/01x", NullDate},
        {"2016-03-01", NullDate},
        {"x", NullDate},
        {"", NullDate},
    };
    for (const auto& c : cases) EXPECT_EQ(STR_TO_NOW(c.text, "yyyy/MM/dd"), c.want) << c.text;
    EXPECT_EQ(STR_TO_NOW("01/03/2016", "dd/MM/yyyy"), Day(year(2016) / 3 / 1));
    EXPECT_EQ(FormatDateYmd(NullDate), "1899/12/30");
    EXPECT_EQ(FormatDateYmd(year(2016) / 3 / 1), "2016/03/01");
}

}  // namespace
}  // namespace qv

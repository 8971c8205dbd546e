// Stored-password encoding and the date texts of the configuration file.

#include "app/core/password_codec.h"

#include <gtest/gtest.h>

#include "app/core/dates.h"

namespace qv {
namespace {

using namespace std::chrono;

TEST(PasswordCodec, LengthsRoundTripAndTheStoredLayout) {
    for (auto [plain, encoded] : {std::pair{0, 64}, {30, 64}, {31, 65}, {40, 83}}) {
        std::string s;  // high bytes and control characters pass through
        for (int i = 0; i < plain; ++i) s += static_cast<char>((i * 37 + 128) % 256);
        const std::string enc = EncodePWDEx(s);
        EXPECT_EQ(enc.size(), std::size_t(encoded)) << plain;
        EXPECT_EQ(enc.find_first_not_of(PasswordAlphabet), std::string::npos) << plain;
        EXPECT_EQ(DecodePWDEx(enc), s) << plain;
    }
    EXPECT_NE(EncodePWDEx("secret"), EncodePWDEx("secret"));

    // As other installations write it: low nibble, then high nibble on the key
    // rotated once, among filler characters.
    const std::string fillers(59, 'y');
    EXPECT_EQ(DecodePWDEx("xxxaT" + fillers), "\x5A");
    // Not what the encoder writes: typed into the file as it is, cut, odd
    // symbols, a key symbol among the lead characters.
    for (const std::string& bad :
         {fillers, std::string("Passw0rd"), "xxaTy" + fillers, std::string("xxkVy4")})
        EXPECT_EQ(DecodePWDEx(bad), PasswordDecodeFailure) << bad;
}

TEST(Dates, ReadingDateTexts) {
    const int thisYear = static_cast<int>(year_month_day(Today()).year());
    const std::pair<const char*, Day> cases[] = {
        {" 2016 / 3 / 1 ", year(2016) / 3 / 1},
        {"2016/03/01/", year(2016) / 3 / 1},
        {"16/03/01", year(thisYear / 100 * 100 + 16) / 3 / 1},
        {"03/01", year(thisYear) / 3 / 1},
        {"2016/02/30", NullDate},
        {"20160/03/01", NullDate},
        {"2016/03/01x", NullDate},
        {"", NullDate},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(STR_TO_NOW(text, "yyyy/MM/dd"), want) << text;
}

}  // namespace
}  // namespace qv

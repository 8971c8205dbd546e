#pragma once
// Letter case as the program's texts use it: ASCII a..z only, whatever the
// process locale, so bytes of other characters pass through unchanged.

#include <string>
#include <string_view>

namespace qv {

std::string UpperAscii(std::string text);
// Upper case for a UTF-8 text shown as written, as a Latin-1 program upper-cases
// its own: ASCII letters and the Latin-1 letters (U+00E0 to U+00FE but U+00F7),
// so "España" gives "ESPAÑA", not "ESPAñA". Other bytes pass unchanged.
std::string UpperLatin1Letters(std::string utf8);
bool SameTextIgnoringCase(std::string_view a, std::string_view b);
// The text without the blanks and control characters around it.
std::string_view TrimBlanks(std::string_view text);

// An integer as the settings write it: optional sign, then decimal digits, or
// hexadecimal after "$" or "0x"; nothing else, not even blanks. False when the
// text is no such number or does not fit.
bool ParseLong(std::string_view text, long& value);
// A TCP port as typed: a whole number from 1 to 65535 in decimal digits
// (zeros in front allowed), blanks around it allowed. The one check of every
// port setting, the meter's included.
bool IsTcpPort(std::string_view text);
// A port setting as it is shown and saved: the number it is taken for
// (" 40001 " gives "40001", "00022" gives "22"), `def` for a blank text (the
// default port it stands for); a text that is no port stays as it is.
std::string TcpPortText(std::string_view text, std::string_view def);

// The length of the UTF-8 sequence at s[i], its character in `code`; 0 when no
// valid one starts there (a lone byte, an overlong form, a surrogate).
std::size_t Utf8Sequence(std::string_view s, std::size_t i, char32_t& code);
// True when the whole text is valid UTF-8.
bool IsUtf8(std::string_view s);

// The text as UTF-8: unchanged when it is valid UTF-8 throughout, otherwise
// every byte taken as a Latin-1 character (texts written by older versions).
std::string Utf8OrLatin1(std::string_view text);

// A text as one message line may show it: each control character as "\xHH"
// (C1, as UTF-8, as "\u00HH"), the rest as it stands.
std::string ShownWithControls(std::string_view text);
// True when the text holds a control character, one ShownWithControls escapes.
bool HasControlCharacter(std::string_view text);

}  // namespace qv

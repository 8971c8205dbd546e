#pragma once
// Stored passwords (the database and SSH tunnel passwords of the configuration
// file) are kept out of plain sight: each byte becomes two symbols of a
// rotating 16-symbol key, mixed with random characters the decoder drops.
// This is obfuscation, not encryption.

#include <string>
#include <string_view>

namespace qv {

// The key alphabet: symbol k stands for the nibble value k.
inline constexpr std::string_view PasswordPassphrase = "Vk4rTz9QmPa2Lw7N";
inline constexpr std::string_view PasswordAlphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+/";
// What DecodePWDEx gives for a text that cannot be decoded.
inline const std::string PasswordDecodeFailure(1, '\x01');

// The alphabet without the key symbols: lead, filler and trailing characters.
const std::string& PasswordFillerAlphabet();

// Count characters drawn without repetition from Alphabet (the process's
// random source, seeded once per process); Count <= 0 gives an empty text.
void PickRandomChars(std::string Alphabet, int Count, std::string& S);

std::string EncodePWDEx(std::string_view Plain);
std::string DecodePWDEx(std::string_view Encoded);

}  // namespace qv

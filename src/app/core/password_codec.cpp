#include "app/core/password_codec.h"

#include <algorithm>
#include <mutex>
#include <random>

namespace qv {

namespace {

// Seeded once per process, so two saves never give the same text.
std::size_t random_index(std::size_t count) {
    static std::mutex m;
    static std::mt19937 gen{std::random_device{}()};
    const std::lock_guard<std::mutex> lock(m);
    return std::uniform_int_distribution<std::size_t>(0, count - 1)(gen);
}

char random_filler() {
    const std::string& pool = PasswordFillerAlphabet();
    return pool[random_index(pool.size())];
}

// The key's last symbol moves to the front.
void rotate_key(std::string& key) {
    key.insert(key.begin(), key.back());
    key.pop_back();
}

}  // namespace

const std::string& PasswordFillerAlphabet() {
    static const std::string filler = [] {
        std::string s;
        for (char c : PasswordAlphabet)
            if (PasswordPassphrase.find(c) == std::string_view::npos) s += c;
        return s;
    }();
    return filler;
}

void PickRandomChars(std::string Alphabet, int Count, std::string& S) {
    S.clear();
    for (int i = 0; i < Count && !Alphabet.empty(); ++i) {
        const std::size_t k = random_index(Alphabet.size());
        S += Alphabet[k];
        Alphabet.erase(k, 1);
    }
}

std::string EncodePWDEx(std::string_view Plain) {
    std::string key(PasswordPassphrase);
    std::string body;
    for (char ch : Plain) {
        const auto b = static_cast<unsigned char>(ch);
        body += key[b & 15];
        rotate_key(key);
        body += key[b >> 4];
        rotate_key(key);
    }
    std::string result;
    PickRandomChars(PasswordFillerAlphabet(), 3, result);
    long budget = 61 - static_cast<long>(body.size());
    for (char c : body) {
        result += c;
        if (budget > 0) result += random_filler();
        --budget;
    }
    while (result.size() < 64) result += random_filler();
    return result;
}

std::string DecodePWDEx(std::string_view Encoded) {
    if (Encoded.empty()) return {};  // no password stored
    std::string kept;
    for (char c : Encoded)
        if (PasswordPassphrase.find(c) != std::string_view::npos) kept += c;
    if (kept.size() % 2 != 0) return PasswordDecodeFailure;
    // Only what the encoder writes: three lead fillers, alphabet characters,
    // 64 of them or 3 per symbol pair beyond 30 bytes. A password typed into
    // the file as it is would otherwise log in with whatever it decodes to.
    const bool encoded =
        Encoded.find_first_not_of(PasswordAlphabet) == std::string_view::npos &&
        Encoded.size() == std::max<std::size_t>(64, 3 + kept.size()) &&
        PasswordPassphrase.find_first_of(Encoded.substr(0, 3)) == std::string_view::npos;
    if (!encoded) return PasswordDecodeFailure;
    std::string key(PasswordPassphrase);
    std::string plain;
    for (std::size_t i = 0; i < kept.size(); i += 2) {
        const std::size_t lo = key.find(kept[i]);
        rotate_key(key);
        const std::size_t hi = key.find(kept[i + 1]);
        rotate_key(key);
        plain += static_cast<char>(lo + 16 * hi);
    }
    return plain;
}

}  // namespace qv

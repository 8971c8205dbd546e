#pragma once
// Byte strings written as hex text in the tests: "10 49 01 00 4A 16".

#include <cstdlib>
#include <sstream>
#include <string>

namespace qv::test {

inline std::string hex(const std::string& text) {
    std::istringstream in(text);
    std::string tok, out;
    while (in >> tok) out += static_cast<char>(std::strtoul(tok.c_str(), nullptr, 16));
    return out;
}

}  // namespace qv::test

#pragma once
// Small helpers shared by the suites.

#include <cstdlib>
#include <sstream>
#include <string>

namespace qv::test {

// A fresh empty directory under the build tree's temp area, removed by the caller
// or left for inspection on failure.
std::string makeTempDir(const std::string& prefix);

// Byte strings written as hex text: "10 49 01 00 4A 16".
inline std::string hex(const std::string& text) {
    std::istringstream in(text);
    std::string tok, out;
    while (in >> tok) out += static_cast<char>(std::strtoul(tok.c_str(), nullptr, 16));
    return out;
}

}  // namespace qv::test

// The modem's answers as the dialogue reads them, from arbitrary received
// bytes. Checks: no read outside the text (the sanitizers), a signal level in
// 0..31, an identification of printable characters without blanks at its
// ends, and upper-casing that keeps the length and touches only a..z.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "meter/modem.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace qv;
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string up = UpperAscii(raw);
    check(up.size() == raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i)
        check(up[i] == raw[i] || (raw[i] >= 'a' && raw[i] <= 'z' && up[i] == raw[i] - 32));

    const int level = ModemSignalLevel(up);
    check(level >= 0 && level <= 31);

    const std::string id = ModemIdentification(up);
    check(id.size() <= up.size());
    for (char c : id)
        check(static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) <= 127);
    check(id.empty() || (id.front() != ' ' && id.back() != ' '));

    (void)DialRefused(up);
    (void)DialConnected(up);
    return 0;
}

// INI text from outside: parsing, reading, rewriting, and a port's settings
// loaded from it must never crash, and a written value must read back.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/ini_file.h"
#include "serial/com_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    qv::IniFile f = qv::IniFile::fromText(text);
    for (const std::string& s : f.sections())
        for (const std::string& k : f.keys(s)) {
            (void)f.readString(s, k, "");
            (void)f.readInteger(s, k, 0);
            (void)f.readBool(s, k, false);
        }

    qv::TComPort port;
    port.SetName(f.sections().empty() ? "P" : f.sections().front());
    port.StoreGroups = {qv::stBasic,    qv::stFlowControl, qv::stBuffer,
                        qv::stTimeouts, qv::stParity,      qv::stOthers};
    port.LoadIniFile(f);

    // A value written survives the round trip through text.
    try {
        f.writeString("FUZZ", "Key", "value 1");
    } catch (const qv::IniFileError&) {
        std::abort();
    }
    qv::IniFile g = qv::IniFile::fromText(f.text());
    if (g.readString("fuzz", "key", "") != "value 1") std::abort();
    return 0;
}

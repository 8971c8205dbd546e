// INI text from outside: parsing, reading, rewriting, and a port's and the
// program's settings loaded from it must never crash, a written value must
// read back, and settings loaded must be settings a save takes.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/core/config_file.h"
#include "platform/ini_file.h"
#include "platform/text.h"
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

    // A value written survives the round trip through text: a fixed one, and the
    // input's first line (its own quotes and edge blanks kept, as UTF-8).
    const std::string line = text.substr(0, text.find_first_of("\r\n"));
    try {
        f.writeString("FUZZ", "Key", "value 1");
        f.writeString("FUZZ", "Line", line);
    } catch (const qv::IniFileError&) {
        std::abort();
    }
    qv::IniFile g = qv::IniFile::fromText(f.text());
    if (g.readString("fuzz", "key", "") != "value 1") std::abort();
    if (g.readString("fuzz", "line", "") != qv::Utf8OrLatin1(line)) std::abort();

    // Settings loaded from any file (a bad key keeps the previous value) are
    // settings a save takes: every value a load leaves is one it takes back.
    // A carriage return ends a line, so no value read holds one.
    qv::WindowSettings s;
    s.Grid = {qv::GridRow{}, qv::GridRow{}};
    s.FechaInicio = s.FechaFin = std::chrono::year(2026) / 3 / 29;
    qv::LoadConfigKeys(f, s);
    const qv::DbSettings db = qv::ReadDbSettings(f, [](const std::string& t) { return t; });
    if (!qv::ConfigKeysProblem(s, db).empty()) std::abort();
    return 0;
}

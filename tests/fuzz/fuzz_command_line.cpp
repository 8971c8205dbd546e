// Command lines and meter lists from outside: the tokenizer, the keyword
// analysis, the comma text and the meter items must never crash, and a
// list written as comma text must read back as the same items.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/core/command_line.h"
#include "app/core/meter_grid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Split by the token rules, and at line breaks as arguments arrive on Linux.
    std::vector<std::string> tokens;
    std::size_t pos = 0;
    for (std::string t; qv::NextCmdToken(text, pos, &t, nullptr);) tokens.push_back(t);
    std::vector<std::string> argv{"quorvanta"};
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        argv.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    qv::CommandLineCalls calls;
    // Files named by the input are at most read (by the check that comes
    // first), and folders looked at: never written.
    calls.Load_ini_file = [](const std::string&, qv::WindowSettings&) { return std::string(); };
    for (const auto& args : {tokens, argv}) {
        const qv::CommandLine cmd = qv::CommandLine::FromArguments(args, "/q");
        qv::WindowSettings s;
        s.Grid = {qv::GridRow{}, qv::GridRow{}};
        const qv::WindowSettings before = s;
        bool refused = false;
        (void)qv::Analiza_parametros(cmd, s, calls, &refused);
        if (s.Grid.size() < 2 || s.AsduRetries < 1 || s.AsduRetries > 9) std::abort();
        // A refused command line changes nothing but how the program closes
        // and the meters named so far (the status file shows them not read).
        s.AutoMinimize = before.AutoMinimize;
        s.AutoClose = before.AutoClose;
        s.Grid = before.Grid;
        if (refused && !(s == before)) std::abort();
    }
    // A meter item taken fits the frames' fields.
    for (const std::string& item : qv::FromCommaText(text)) {
        qv::MeterItem m;
        if (qv::MeterItemProblem(item, m).empty() &&
            (m.Link < 0 || m.Link > 65535 || m.Point < 0 || m.Point > 65535 || m.Password < 0))
            std::abort();
    }

    // The meter list of the configuration file.
    qv::GridRows grid{qv::GridRow{}, qv::GridRow{}};
    qv::MergeGridCommaText(grid, text);
    if (qv::FromCommaText(qv::GridCommaText(grid)).size() != 4 * (grid.size() - 1)) std::abort();
    const std::vector<std::string> items = qv::FromCommaText(text);
    if (!items.empty() && qv::FromCommaText(qv::ToCommaText(items)) != items) std::abort();
    return 0;
}

// Readings-file lines into table rows: any bytes, no crash, and a row that
// parses carries only numbers in its energy columns and a 0/1 error code.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "export/sql_rows.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string name = qv::MeterNameOf(text);
    if (name.size() > 255) std::abort();
    for (const std::string& f : qv::SplitDelimited(text, ';'))
        if (f.find('\0') != std::string::npos) std::abort();
    qv::SqlRow row;
    if (qv::ok_parse("M", text, row)) {
        if (row.COD_ERROR != "0" && row.COD_ERROR != "1") std::abort();
        for (const std::string& e : row.Energy) {
            if (e.empty() || e.find_first_not_of("-0123456789") != std::string::npos) std::abort();
        }
        if (row.InsertValues().size() != 11) std::abort();
    }
    return 0;
}

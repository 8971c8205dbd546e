#pragma once
// The readings CSV file of one meter: its name, its lines and how the absolute
// and incremental values of each row follow from the meter record.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/settings.h"
#include "meter/device.h"
#include "meter/time_tags.h"

namespace qv {

// The header line as consumers read it; its irregular blanks are part of it.
inline constexpr std::string_view kCsvHeader =
    "FECHA; HORA; HORARIO; ABS ACTIVA (+); ABS ACTIVA (-);ABS REACTIVA 1ER. CUADRANTE; ABS "
    "REACTIVA 2DO CUADRANTE;ABS REACTIVA 3ER CUADRANTE; ABS REACTIVA 4TO CUADRANTE;INC ACTIVA "
    "(+); INC ACTIVA (-);INC REACTIVA 1ER. CUADRANTE; INC REACTIVA 2DO CUADRANTE;INC REACTIVA "
    "3ER CUADRANTE; INC REACTIVA 4TO CUADRANTE";

// "Verano" for 1, "Invierno" for anything else.
std::string Es_verano(int flag);

// "<link address>_yy_mm_dd.CSV".
std::string CsvFileName(int32_t linkAddress, Day date);

// Today's local date.
Day LocalToday();

// The data rows of a record in time order, each without its line end.
std::vector<std::string> CsvRows(const Tdevice& device);

// The whole file: the identification line (when the OPC code is not empty),
// the header and the rows, each line ended by CR LF.
std::string CsvText(const Tdevice& device);

// Writes the file of `device`: in `ruta` (created when missing, one level;
// empty: the current folder, named in full), or under the bare name in the
// current folder when `viaFtp`. The contents go to a temporary file in the
// same folder first and take the final name only when complete, so a reader
// never sees a half-written file and an earlier file of that name is kept
// until the new one is whole; the log says when one was replaced. A final
// name that cannot be replaced gets "(1)" appended. The file of a record that
// is not `Complete` never replaces one: it takes the first free of the name,
// "(1)", "(2)", ... and the log says so. Temporary files of this user older
// than a day, left in the folder by a write that was killed, are removed
// first. A new file gets the mode of any other (0666 less the umask). Logs
// each step (a failure naming the file from the root, with the system's
// reason) through `log` and returns the name as written, or "" when no
// complete file was written.
std::string Crear_fixer(const Tdevice& device, bool viaFtp, const std::string& ruta, Day today,
                        const LogFn& log);

}  // namespace qv

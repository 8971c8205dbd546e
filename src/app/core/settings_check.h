#pragma once
// One check for each setting of a reading run, whatever its source: a
// command-line keyword, a configuration file's key or the window's controls.
// The command line and a configuration file named with -INI stop the start
// with it, the window's LEER AHORA refuses the run with it, and the window
// never saves what a run would refuse.

#include <string>
#include <string_view>

#include "app/core/settings.h"
#include "platform/text.h"

namespace qv {

struct DbSettings;

// Why a host text cannot be connected to as typed: empty, a "host:port" (the
// port is a setting of its own, given with `portKeys`), brackets, a control
// character, blanks inside. Empty when it can.
std::string TcpHostProblem(std::string_view host, std::string_view portKeys = "-PORT, HOST_PORT");

// Why CSV files cannot be written into `folder` as the CSV writer gets it
// (empty: the current folder): a file where the folder goes, a folder that
// cannot be written, or, for a missing folder (the writer creates one level),
// a parent that is missing, not a folder or cannot be written. In a red
// line's words naming the folder; empty when the writer can write there. It
// only looks: nothing is created, so a run refused later leaves no folder.
std::string FolderOutputProblem(const std::string& folder);

// Why the meter list cannot be read as it stands, in a red line's words that
// name the meter (its link address, or its row when it has none): a row whose
// numbers do not fit their fields (MeterNumbersProblem), an OPC code with a
// control character (OpcCodeProblem), a link address twice, or two OPC codes
// that are one name in the database (equal once trimmed and upper-cased, as
// its upload reads them back: their readings would merge), both entries named
// with their passwords hidden. Empty codes may repeat. Empty when it can be
// read. Every source of meters checks with it: the command line, a
// configuration file, the add dialog and LEER AHORA.
std::string MeterListProblem(const GridRows& grid);

// Everything a run needs that can be checked before its first call: the date
// range (years 2000 to 2099), the interval, the link type, the TCP host and
// port or the serial line's items (and a modem's number to dial), the
// output type, the FTP target, the folder the CSV files are written to
// (see FolderOutputProblem) and the meter list (MeterListProblem). With the
// database output and its settings `db` (a run about to start), also those
// settings that need no connection: the stored passwords decoded
// (DbLoginProblem), DB_NAME a name MySQL takes, the host texts and ports
// (those of the tunnel when it is on, and its login), and every meter's OPC
// code, its name in the table (not empty, held by Latin-1). Gives the first
// setting a run cannot start with, in a red line's words that name the
// setting, its value as given (a password hidden) and why; empty when the
// run can start. It reads the disk (the folder) but changes nothing.
std::string RunSettingsProblem(const WindowSettings& s, const DbSettings* db = nullptr);

}  // namespace qv

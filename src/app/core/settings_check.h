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

// Why a host text cannot be connected to as typed: empty, a "host:port" (the
// port is a setting of its own), brackets, blanks inside. Empty when it can.
std::string TcpHostProblem(std::string_view host);

// Why CSV files cannot be written into `folder` as the CSV writer gets it
// (empty: the current folder): a file where the folder goes, a folder that
// cannot be written, or, for a missing folder (the writer creates one level),
// a parent that is missing, not a folder or cannot be written. In a red
// line's words naming the folder; empty when the writer can write there. It
// only looks: nothing is created, so a run refused later leaves no folder.
std::string FolderOutputProblem(const std::string& folder);

// Everything a run needs that can be checked before its first call: the date
// range (years 2000 to 2099), the interval, the link type, the TCP host and
// port or the serial line's items (and a modem's number to dial), the
// output type, the FTP target, the folder the CSV files are written to
// (see FolderOutputProblem) and every meter row fitting its fields (see
// MeterNumbersProblem, a link address twice). Gives the first setting a run
// cannot start with, in a red line's words that name the setting, its value
// as given (a password hidden) and why; empty when the run can start. It
// reads the disk (the folder) but changes nothing.
std::string RunSettingsProblem(const WindowSettings& s);

}  // namespace qv

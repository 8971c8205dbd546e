#pragma once
// One check for each setting of a reading run, whatever its source: a
// command-line keyword, a configuration file's key or the window's controls.
// The command line and a configuration file named with -INI stop the start
// with it, the window's LEER AHORA refuses the run with it, and the window
// never saves what a run would refuse.

#include <string>
#include <string_view>

#include "app/core/settings.h"

namespace qv {

// A TCP port as typed: a whole number from 1 to 65535, blanks around it allowed.
bool IsTcpPort(std::string_view text);

// Everything a run needs that can be checked before its first call: the date
// range, the interval, the link and its settings, the output and the meters.
// Gives the first setting a run cannot start with, in a red line's words that
// name the setting, its value as given (a password hidden) and why; empty
// when the run can start.
std::string RunSettingsProblem(const WindowSettings& s);

}  // namespace qv

#pragma once
// Port names. "COMn" (n >= 1, any letter case) maps through an alias table to a
// device path, by default /dev/ttyS{n-1}; a name that begins with "/" is a path
// used as is. The table can be set from code or, at the first use, from the
// environment variable QUORVANTA_COM_ALIASES, for example
//   QUORVANTA_COM_ALIASES="COM1=/dev/ttyUSB0;COM2=/dev/ttyACM0"

#include <string>
#include <vector>

namespace qv {

// The device path for a port name; empty when the name is neither "COMn" nor a path.
std::string ComDevicePath(const std::string& port);
// Maps COMn to `path` (an empty path removes the alias). Thread-safe.
void SetComPortAlias(int n, const std::string& path);
void ClearComPortAliases();
// Parses "COM1=/dev/x;COM2=/dev/y" (also "," or blanks between entries) into the
// table; false when an entry is malformed (the well-formed ones are kept).
bool LoadComPortAliases(const std::string& text);
// The first malformed entry of QUORVANTA_COM_ALIASES with why, empty when
// there is none: a serial link must not open the default device in its place.
std::string ComAliasFault();

// The serial ports the system knows: every entry of <sysRoot>/class/tty that has
// a "device" link, as "/dev/<name>", sorted as text. Replaces `Strings`.
// Raises EComPortExt code 23 ("EnumComPorts") when the class folder cannot be read.
void EnumComPorts(std::vector<std::string>& Strings, const std::string& sysRoot = "/sys");

}  // namespace qv

#pragma once
// The log: how a line is cleaned and stamped, and the log file beside the
// executable that is moved aside once it has grown too large.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files.h"  // WriteAll

namespace qv {

// Past this size the log file is moved to ".OLD" before the next line.
constexpr std::uintmax_t kLogFileLimit = 10'240'000;

// One blank per character whose code is below 32 or above 128 (a UTF-8
// sequence counts as one character; a byte that is no valid UTF-8 counts as
// one Latin-1 character), letters a..z upper-cased: each call gives one line.
std::string CleanLogText(std::string_view text);

// The same text as one line for a terminal: control characters become
// blanks; case and characters stay as written (Latin-1 bytes become UTF-8).
std::string OneLineText(std::string_view text);

// "dd/mm/yy - hh:nn:ss  " of a local time.
std::string LogStamp(std::chrono::system_clock::time_point when);

// The whole log line: stamp and cleaned text.
std::string LogLine(std::string_view text, std::chrono::system_clock::time_point when);

// The path with the extension of its last component replaced by `extension`
// (appended when there is none): "/opt/qv/quorvanta" -> "/opt/qv/quorvanta.LOG".
std::string ReplaceExtension(const std::string& path, std::string_view extension);

// Appends line + CR LF to the log file at `logPath`; a file past the limit is
// first moved to `oldPath` (replacing it). A line that cannot be written is
// lost; the first failure of each file is named on stderr.
void Log_2_disk(const std::string& logPath, const std::string& oldPath, std::string_view line);

}  // namespace qv

#pragma once
// Files that may name hosts, users or passwords: kept from the world. Files
// the program keeps beside itself that cannot be written: named once.

#include <string>
#include <string_view>

namespace qv {

// open(path, flags | O_CREAT | O_CLOEXEC) with mode 0640 for a new file; an
// existing regular file that the world may read or write loses those bits (an
// older version made such files 0644); one that cannot lose them (another
// user's) is neither emptied nor opened. The descriptor, or -1 with errno set.
int OpenWithoutWorldAccess(const std::string& path, int flags);

// Writes all of data to fd; false (errno set) when the device takes no more.
bool WriteAll(int fd, std::string_view data);

// Says "quorvanta: cannot write <path>: <reason>" on stderr, the first time
// only for each path in this process: a log that cannot be written is named
// once, not once per line. Any thread.
void ReportUnwritableFile(const std::string& path, const std::string& reason);
// The same with the reason of an errno value.
void ReportUnwritableFile(const std::string& path, int error);

}  // namespace qv

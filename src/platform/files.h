#pragma once
// Files that may name hosts, users or passwords: kept from the world.

#include <string>

namespace qv {

// open(path, flags | O_CREAT | O_CLOEXEC) with mode 0640 for a new file; an
// existing file that the world may read or write loses those bits (an older
// version made such files 0644). The descriptor, or -1 with errno set.
int OpenWithoutWorldAccess(const std::string& path, int flags);

}  // namespace qv

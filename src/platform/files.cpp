#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace qv {

int OpenWithoutWorldAccess(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) return fd;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && (st.st_mode & S_IRWXO) != 0) ::fchmod(fd, st.st_mode & 07770);
    return fd;
}

}  // namespace qv

#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace qv {

int OpenWithoutWorldAccess(const std::string& path, int flags) {
    // Emptied only once it is known to be private.
    const int fd = ::open(path.c_str(), (flags & ~O_TRUNC) | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) return fd;
    // Only a file of our own: a link to a device (/dev/null) keeps its mode.
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    const bool regular = ok && S_ISREG(st.st_mode);
    // Another user's file that others can read is not written to at all.
    if (regular && (st.st_mode & S_IRWXO) != 0) ok = ::fchmod(fd, st.st_mode & 07770) == 0;
    if (ok && regular && (flags & O_TRUNC) != 0) ok = ::ftruncate(fd, 0) == 0;
    if (!ok) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void ReportUnwritableFile(const std::string& path, const std::string& reason) {
    static std::mutex mutex;
    static std::set<std::string> named;
    std::lock_guard lock(mutex);
    if (!named.insert(path).second) return;
    std::fprintf(stderr, "quorvanta: cannot write %s: %s\n", path.c_str(), reason.c_str());
}

void ReportUnwritableFile(const std::string& path, int error) {
    ReportUnwritableFile(path, std::string(std::strerror(error)));
}

}  // namespace qv

#include "app/core/startup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace qv {

namespace {

std::atomic<int> exit_code{0};

bool env_set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

// FNV-1a: stable across builds and machines, unlike std::hash.
uint64_t path_hash(const std::string& text) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace

std::string ExecutablePath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string InstanceLockPath(const std::string& executablePath) {
    std::string dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    if (runtime && *runtime && std::filesystem::is_directory(runtime, ec))
        dir = std::string(runtime) + "/quorvanta-";
    else  // shared folder: the user id keeps users from locking each other out
        dir = "/tmp/quorvanta-" + std::to_string(getuid()) + "-";
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx",
                  static_cast<unsigned long long>(path_hash(executablePath)));
    return dir + std::filesystem::path(executablePath).filename().string() + "-" + hash + ".lock";
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) close(fd_);
}

InstanceLock::Result InstanceLock::Acquire(const std::string& lockPath) {
    if (fd_ >= 0) return Acquired;
    // O_NOFOLLOW: a link planted in /tmp must not make us open another file.
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Unavailable;
    int rc;
    while ((rc = flock(fd, LOCK_EX | LOCK_NB)) < 0 && errno == EINTR) {
    }
    if (rc < 0) {
        const bool busy = errno == EWOULDBLOCK;
        close(fd);
        return busy ? HeldElsewhere : Unavailable;
    }
    fd_ = fd;
    return Acquired;
}

bool NeedsOffscreenPlatform() {
    return !env_set("DISPLAY") && !env_set("WAYLAND_DISPLAY") && !env_set("QT_QPA_PLATFORM");
}

int ProcessExitCode() {
    return exit_code.load();
}

void SetProcessExitCode(int code) {
    exit_code.store(code);
}

}  // namespace qv

#include "app/core/version.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <thread>

extern char** environ;

namespace qv {

std::string ReadFileVersion() {
    return QV_VERSION_STRING;
}

namespace {

// The first executable "xdg-open" along PATH, or an empty text.
std::string find_opener() {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const auto colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        const std::string candidate = std::string(dir.empty() ? "." : dir) + "/xdg-open";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string_view::npos) return {};
        dirs.remove_prefix(colon + 1);
    }
}

}  // namespace

bool OpenInBrowser(const std::string& url) {
    const std::string opener = find_opener();
    if (opener.empty()) return false;
    std::string arg0 = "xdg-open";
    std::string arg1 = url;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, opener.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
    // The opener may take its time handing over to the browser; it is reaped
    // aside so the window never waits for it and no zombie is left behind.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

}  // namespace qv

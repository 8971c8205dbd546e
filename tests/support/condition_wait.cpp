#include "support/condition_wait.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace qv::test {

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

namespace {

// Whether an established connection of the kernel's tables ends in `local` and
// `remote` (":PORT" suffixes in hex; an empty one matches any).
bool AnyEstablished(const std::string& local, const std::string& remote) {
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line, slot, from, to, state;
        std::getline(in, line);  // the heading
        while (in >> slot >> from >> to >> state) {
            if (from.ends_with(local) && to.ends_with(remote) && state == "01") return true;
            std::getline(in, line);
        }
    }
    return false;
}

std::string PortSuffix(int port) {
    char text[8];
    std::snprintf(text, sizeof text, ":%04X", port);
    return text;
}

}  // namespace

bool ConnectedTo(int port) {
    return AnyEstablished("", PortSuffix(port));
}

bool Established(int local, int remote) {
    return AnyEstablished(PortSuffix(local), PortSuffix(remote));
}

}  // namespace qv::test

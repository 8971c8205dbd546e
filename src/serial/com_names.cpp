#include "serial/com_names.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

#include "serial/com_types.h"

namespace qv {

namespace {

struct AliasTable {
    std::mutex mutex;
    std::map<int, std::string> aliases;
    bool envLoaded = false;
    std::string envFault;  // the environment's first malformed entry
};

AliasTable& table() {
    static AliasTable t;
    return t;
}

// "COMn" (letter case ignored) gives n, anything else 0.
int comNumber(const std::string& name) {
    if (name.size() < 4) return 0;
    for (int i = 0; i < 3; ++i) {
        char c = name[static_cast<std::size_t>(i)];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != "COM"[i]) return 0;
    }
    long n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + (name[i] - '0');
        if (n > 9999) return 0;
    }
    return static_cast<int>(n);
}

// Gives the first malformed entry, empty when every one was taken.
std::string parseInto(std::map<int, std::string>& out, const std::string& text) {
    std::string fault;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t end = text.find_first_of(";, \t\n", i);
        const std::string item =
            text.substr(i, end == std::string::npos ? std::string::npos : end - i);
        i = end == std::string::npos ? text.size() : end + 1;
        if (item.empty()) continue;
        const std::size_t eq = item.find('=');
        const int n = eq == std::string::npos ? 0 : comNumber(item.substr(0, eq));
        const std::string path = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        if (n < 1 || path.empty() || path[0] != '/') {
            if (fault.empty()) fault = item;
            continue;
        }
        out[n] = path;
    }
    return fault;
}

void loadEnvLocked(AliasTable& t) {
    if (t.envLoaded) return;
    t.envLoaded = true;
    if (const char* env = std::getenv("QUORVANTA_COM_ALIASES"))
        t.envFault = parseInto(t.aliases, env);
}

}  // namespace

std::string ComDevicePath(const std::string& port) {
    if (!port.empty() && port[0] == '/') return port;
    const int n = comNumber(port);
    if (n < 1) return std::string();
    AliasTable& t = table();
    std::lock_guard lock(t.mutex);
    loadEnvLocked(t);
    auto it = t.aliases.find(n);
    if (it != t.aliases.end()) return it->second;
    return "/dev/ttyS" + std::to_string(n - 1);
}

void SetComPortAlias(int n, const std::string& path) {
    AliasTable& t = table();
    std::lock_guard lock(t.mutex);
    loadEnvLocked(t);
    if (path.empty())
        t.aliases.erase(n);
    else
        t.aliases[n] = path;
}

void ClearComPortAliases() {
    AliasTable& t = table();
    std::lock_guard lock(t.mutex);
    t.envLoaded = true;  // an explicit reset also forgets the environment's table
    t.aliases.clear();
    t.envFault.clear();
}

bool LoadComPortAliases(const std::string& text) {
    AliasTable& t = table();
    std::lock_guard lock(t.mutex);
    loadEnvLocked(t);
    return parseInto(t.aliases, text).empty();
}

std::string ComAliasFault() {
    AliasTable& t = table();
    std::lock_guard lock(t.mutex);
    loadEnvLocked(t);
    if (t.envFault.empty()) return std::string();
    return "QUORVANTA_COM_ALIASES: \"" + t.envFault + "\" is not COMn=/absolute/path";
}

void EnumComPorts(std::vector<std::string>& Strings, const std::string& sysRoot) {
    const std::string dir = sysRoot + "/class/tty";
    DIR* d = ::opendir(dir.c_str());
    if (!d) throw EComPortExt("EnumComPorts", errno, CError_RegError);
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        // Only ports backed by hardware (or a driver) have a "device" link;
        // virtual consoles and pseudo-terminals have none.
        if (::lstat((dir + "/" + name + "/device").c_str(), &st) == 0)
            names.push_back("/dev/" + name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    Strings = std::move(names);
}

}  // namespace qv

#include "support/test_env.h"

#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

namespace qv::test {

std::string makeTempDir(const std::string& prefix) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    return std::string(buf.data());
}

std::chrono::microseconds processCpuTime() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto us = [](const timeval& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return std::chrono::duration_cast<std::chrono::microseconds>(us(u.ru_utime) + us(u.ru_stime));
}

}  // namespace qv::test

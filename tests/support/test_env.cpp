#include "support/test_env.h"

#include <stdlib.h>

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

}  // namespace qv::test

#pragma once
// Small helpers shared by the suites.

#include <string>

namespace qv::test {

// A fresh empty directory under the build tree's temp area, removed by the caller
// or left for inspection on failure.
std::string makeTempDir(const std::string& prefix);

}  // namespace qv::test

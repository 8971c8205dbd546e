#pragma once
// Letter case as the program's texts use it: ASCII a..z only, whatever the
// process locale, so bytes of other characters pass through unchanged.

#include <string>
#include <string_view>

namespace qv {

std::string UpperAscii(std::string text);
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

}  // namespace qv

#pragma once
// Date texts of the configuration file and the command line: "yyyy/MM/dd".

#include <chrono>
#include <string>
#include <string_view>

#include "meter/time_tags.h"

namespace qv {

// What a text that is not a date turns into: day 0 of the date scale.
inline constexpr Day NullDate{std::chrono::year(1899) / 12 / 30};

// Reads Text as a date laid out as Format says ("yyyy/MM/dd": year, month,
// day separated by "/"; blanks allowed around the numbers). Two numbers are
// month and day (or day and month) of the current year; a year of at most two
// digits falls in the current century. Anything else gives NullDate.
Day STR_TO_NOW(std::string_view Text, std::string_view Format);

// "yyyy/mm/dd": the form dates are stored and logged in.
std::string FormatDateYmd(Day d);

// Today in local time.
Day Today();

}  // namespace qv

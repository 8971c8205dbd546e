#pragma once
// Date texts of the configuration file and the command line: "yyyy/MM/dd".

#include <chrono>
#include <string>
#include <string_view>

#include "meter/time_tags.h"

namespace qv {

// What a text that is not a date turns into: day 0 of the date scale.
inline constexpr Day NullDate{std::chrono::year(1899) / 12 / 30};

// The days a meter's time tag can carry (its year in two digits, 20xx).
inline constexpr Day FirstTagDay{std::chrono::year(2000) / 1 / 1};
inline constexpr Day LastTagDay{std::chrono::year(2099) / 12 / 31};

// Reads Text as a date laid out as Format says ("yyyy/MM/dd": year, month,
// day separated by "/"; blanks allowed around the numbers). Two numbers are
// month and day (or day and month) of the current year; a year of at most two
// digits falls in the current century. Anything else gives NullDate.
Day STR_TO_NOW(std::string_view Text, std::string_view Format);

// A date of the command line or configuration file: exactly "yyyy/MM/dd"
// (blanks around it allowed; month and day of one or two digits) with a year
// the meters' time tags can carry, 2000 to 2099. Anything else gives NullDate:
// a short or day-first text must not read another day.
Day ReadDateYmd(std::string_view Text);

// The yellow line that says a reversed range reads the end date alone; empty
// when the range is not reversed.
std::string ReversedRangeLine(Day from, Day to);

// "yyyy/mm/dd": the form dates are stored and logged in.
std::string FormatDateYmd(Day d);

// Today in local time.
Day Today();

}  // namespace qv

#pragma once
// Dates, times and numbers written as the user's locale writes them.
#include <cstdint>
#include <ctime>
#include <string>

// The locale's short date, a blank and its long time (hours, minutes and
// seconds without a time zone), e.g. "06/12/2026 23:41:40" in a French
// locale. Uses the local time of `when`.
std::string DateTimeText(std::time_t when);
std::string NowText();

// A whole number with its digits grouped in thousands by the locale's
// separator, e.g. 4194304 -> "4 194 304" (French) or "4,194,304" (English).
std::string GroupedNumber(std::uint64_t value);

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

// A floating-point number in general format: at most 15 significant digits,
// an exponent only where the number needs one ("1e+20", "1e-05"), no digit
// grouping, and the locale's decimal separator: 1234.5 -> "1234,5" (German)
// or "1234.5" (English). Not-a-number and the infinities read "nan", "inf"
// and "-inf".
std::string FloatText(double value);

// A fixed-point amount, value / 10^decimals (decimals 0 to 18), written
// exactly: no trailing zeros in the fraction, no fraction at all for a whole
// amount, no digit grouping, and the locale's decimal separator:
// (125000, 4) -> "12,5" (German); (-1, 4) -> "-0.0001" (English).
std::string FixedPointText(std::int64_t value, int decimals);

#pragma once
// Text-to-number and calendar conversions with the runtime's error texts.
#include <cstdint>
#include <optional>
#include <string>

// A calendar date as a count of days; day 0 is 30 December 1899, so
// 1 January 1900 is day 2. Dates before day 0 are negative.
using TDate = std::int32_t;

// Converts a whole number written in decimal (optionally signed, leading
// blanks allowed) or in hexadecimal with a "$" or "0x" prefix. Anything else,
// or a value outside the 32-bit signed range, raises EConvertError
// "'<text>' is not a valid integer value".
std::int32_t StrToInt(const std::string& s);
std::optional<std::int32_t> TryStrToInt(const std::string& s);

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Builds a date from year (1 to 9999), month and day. An invalid combination
// raises EConvertError "Invalid argument to date encode".
TDate EncodeDate(int year, int month, int day);
std::optional<TDate> TryEncodeDate(int year, int month, int day);
void DecodeDate(TDate date, int& year, int& month, int& day);

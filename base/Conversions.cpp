#include "base/Conversions.h"

#include <cctype>
#include <limits>

#include "base/Exceptions.h"

std::optional<std::int32_t> TryStrToInt(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return std::nullopt;
  // Accumulate in 64 bits; the limit is one past INT32_MAX for a negative value.
  const std::int64_t limit = negative ? std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1
                                      : std::int64_t{std::numeric_limits<std::int32_t>::max()};
  std::int64_t value = 0;
  for (; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int digit;
    if (std::isdigit(c))
      digit = c - '0';
    else if (base == 16 && std::isxdigit(c))
      digit = std::tolower(c) - 'a' + 10;
    else
      return std::nullopt;
    value = value * base + digit;
    if (value > limit) return std::nullopt;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

std::int32_t StrToInt(const std::string& s) {
  if (auto v = TryStrToInt(s)) return *v;
  throw EConvertError("'" + s + "' is not a valid integer value");
}

bool IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

std::optional<TDate> TryEncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    return std::nullopt;
  // Days before this date counted from 1 January of year 1, then shifted so
  // that 30 December 1899 is day 0.
  const int y = year - 1;
  std::int32_t days = y * 365 + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
  days += day - 1;
  constexpr std::int32_t Day0 = 693593;  // 30 December 1899 counted the same way
  return days - Day0;
}

TDate EncodeDate(int year, int month, int day) {
  if (auto d = TryEncodeDate(year, month, day)) return *d;
  throw EConvertError("Invalid argument to date encode");
}

void DecodeDate(TDate date, int& year, int& month, int& day) {
  std::int32_t n = date + 693593;  // days since 1 January of year 1
  int y = 1;
  const std::int32_t d400 = 146097, d100 = 36524, d4 = 1461;
  y += 400 * (n / d400);
  n %= d400;
  int c = n / d100;
  if (c == 4) c = 3;
  y += 100 * c;
  n -= c * d100;
  y += 4 * (n / d4);
  n %= d4;
  int k = n / 365;
  if (k == 4) k = 3;
  y += k;
  n -= k * 365;
  int m = 1;
  while (n >= DaysInMonth(y, m)) {
    n -= DaysInMonth(y, m);
    ++m;
  }
  year = y;
  month = m;
  day = n + 1;
}

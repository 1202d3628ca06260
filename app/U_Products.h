#pragma once
// The wizard's product data: the product table, and the reader of the
// product descriptor files ("*.ini") that installed products leave in the
// wizard's folder.
//
// A descriptor is 8-bit text, lines NAME=VALUE. A key's value comes from the
// first line whose part before its first "=" equals the key without regard to
// letter case; the value is everything after that "=", unchanged. Section
// headers and other lines play no part.
#include <cstdint>
#include <string>
#include <vector>

#include "base/Conversions.h"

// Room the table is made with. A 27th product and more make it grow: nothing
// is ever written outside the table.
inline constexpr int ProductRoom = 26;

// One product's values as a descriptor gives them.
struct TDescriptor {
  std::string ID;
  std::int32_t Mode = 0;
  std::string Version;
  std::string Title;
  std::string Code;
  std::int32_t Day = 0;
  std::int32_t Month = 0;
  std::int32_t Year = 0;
  TDate Date = 0;
};

// The product table. Every column holds a pair of values per product: at
// Installed(place) the value from the descriptor, at Latest(place) the value
// from the update server (for Version, Day, Month, Year and Date; History is
// kept at Latest(place)).
struct TProductTable {
  std::vector<std::string> ID, Version, Title, Code, History;
  std::vector<std::int32_t> Mode, Day, Month, Year;
  std::vector<TDate> Date;

  TProductTable() { Reserve(ProductRoom); }
  static constexpr std::size_t Installed(int place) { return 2 * static_cast<std::size_t>(place); }
  static constexpr std::size_t Latest(int place) { return 2 * static_cast<std::size_t>(place) + 1; }
  // The number of places the table has room for.
  int Room() const { return static_cast<int>(ID.size() / 2); }
  // Makes room for places 0 to `places` - 1.
  void Reserve(int places);
  // Stores a descriptor's values as the installed values at `place`, making
  // room for it when needed.
  void Store(int place, const TDescriptor& d);
};

// The value of `key` by the lookup rule above; the empty text when no line
// carries the key.
std::string LookupKey(const std::vector<std::string>& lines, const std::string& key);

// Reads one product from a descriptor's lines, in the order ID, MODE,
// VERSION, TITLE, CODE, DAY, MONTH, YEAR, then the date. A MODE, DAY, MONTH or
// YEAR that is missing or not a whole number raises EConvertError
// "'<value>' is not a valid integer value"; a day, month and year that form no
// date raise EConvertError "Invalid argument to date encode".
TDescriptor ParseDescriptor(const std::vector<std::string>& lines);

// Reads and parses a descriptor file. File errors raise EInOutError.
TDescriptor ReadDescriptor(const std::string& fileName);

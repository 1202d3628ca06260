#include "app/U_Products.h"

#include "base/TextFile.h"
#include "base/TextUtil.h"

void TProductTable::Reserve(int places) {
  if (places <= Room()) return;
  const std::size_t n = 2 * static_cast<std::size_t>(places);
  ID.resize(n);
  Version.resize(n);
  Title.resize(n);
  Code.resize(n);
  History.resize(n);
  Mode.resize(n);
  Day.resize(n);
  Month.resize(n);
  Year.resize(n);
  Date.resize(n);
}

void TProductTable::Store(int place, const TDescriptor& d) {
  if (place >= Room()) Reserve(Room() * 2 > place ? Room() * 2 : place + 1);
  const std::size_t i = Installed(place);
  ID[i] = d.ID;
  Mode[i] = d.Mode;
  Version[i] = d.Version;
  Title[i] = d.Title;
  Code[i] = d.Code;
  Day[i] = d.Day;
  Month[i] = d.Month;
  Year[i] = d.Year;
  Date[i] = d.Date;
}

std::string LookupKey(const std::vector<std::string>& lines, const std::string& key) {
  for (const std::string& line : lines) {
    const auto eq = line.find('=');
    if (eq != std::string::npos && SameTextAscii(std::string_view(line).substr(0, eq), key)) return line.substr(eq + 1);
  }
  return {};
}

TDescriptor ParseDescriptor(const std::vector<std::string>& lines) {
  TDescriptor d;
  d.ID = LookupKey(lines, "ID");
  d.Mode = StrToInt(LookupKey(lines, "MODE"));
  d.Version = LookupKey(lines, "VERSION");
  d.Title = LookupKey(lines, "TITLE");
  d.Code = LookupKey(lines, "CODE");
  d.Day = StrToInt(LookupKey(lines, "DAY"));
  d.Month = StrToInt(LookupKey(lines, "MONTH"));
  d.Year = StrToInt(LookupKey(lines, "YEAR"));
  d.Date = EncodeDate(d.Year, d.Month, d.Day);
  return d;
}

TDescriptor ReadDescriptor(const std::string& fileName) {
  return ParseDescriptor(LoadTextLines(fileName));
}

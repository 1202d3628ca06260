#include "LogImport.h"

#include <charconv>
#include <map>
#include <vector>

#include "Digest.h"
#include "base/TextCodec.h"
#include "base/TextUtil.h"

namespace {

constexpr std::string_view ExceptLevel = " [ EXCEPT ] ";
constexpr std::string_view StartLogging = "# START LOGGING : ";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Days from 1970-01-01 to the date (proleptic Gregorian calendar).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool ValidDate(int y, int m, int d) {
  static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1970 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= (m == 2 && leap ? 29 : Days[m - 1]);
}

// The month an English month name or its abbreviation names, 1 to 12; 0 for none.
int MonthNumber(std::string_view word) {
  static constexpr std::string_view Months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                "jul", "aug", "sep", "oct", "nov", "dec"};
  if (word.size() < 3) return 0;
  const std::string start = LowerAscii(word.substr(0, 3));
  for (int i = 0; i < 12; ++i)
    if (start == Months[i]) return i + 1;
  return 0;
}

// The date of a stamp's date part: three numbers, or two numbers and a month name.
bool ReadDate(std::string_view text, int& year, int& month, int& day) {
  std::vector<std::string_view> numbers;
  int named = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    if (IsDigit(text[pos])) {
      while (pos < text.size() && IsDigit(text[pos])) ++pos;
      if (pos - start > 4) return false;
      numbers.push_back(text.substr(start, pos - start));
    } else if ((text[pos] | 0x20) >= 'a' && (text[pos] | 0x20) <= 'z') {
      while (pos < text.size() && (text[pos] | 0x20) >= 'a' && (text[pos] | 0x20) <= 'z') ++pos;
      if (named || !(named = MonthNumber(text.substr(start, pos - start)))) return false;
    } else if (text[pos] == '/' || text[pos] == '.' || text[pos] == '-' || text[pos] == ' ' || text[pos] == ',') {
      ++pos;
    } else {
      return false;
    }
  }
  int n[3] = {0, 0, 0};
  for (std::size_t i = 0; i < numbers.size() && i < 3; ++i)
    std::from_chars(numbers[i].data(), numbers[i].data() + numbers[i].size(), n[i]);
  const auto fullYear = [](std::string_view digits, int value) { return digits.size() == 2 ? 2000 + value : value; };
  if (named) {
    if (numbers.size() != 2) return false;
    month = named;
    const bool yearFirst = numbers[0].size() == 4;
    year = yearFirst ? n[0] : fullYear(numbers[1], n[1]);
    day = yearFirst ? n[1] : n[0];
    return true;
  }
  if (numbers.size() != 3) return false;
  if (numbers[0].size() == 4) {
    year = n[0], month = n[1], day = n[2];
    return true;
  }
  year = fullYear(numbers[2], n[2]);
  if (n[0] > 12 || n[1] <= 12)
    day = n[0], month = n[1];
  else
    month = n[0], day = n[1];
  return true;
}

}  // namespace

std::optional<std::int64_t> ReadLogStamp(std::string_view stamp) {
  // The time is the last part that holds a ":", an AM or PM may follow it.
  bool pm = false, am = false;
  std::string_view rest = stamp;
  while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
  if (rest.size() > 3 && rest[rest.size() - 3] == ' ') {
    const std::string suffix = UpperAscii(rest.substr(rest.size() - 2));
    pm = suffix == "PM";
    am = suffix == "AM";
    if (am || pm) rest.remove_suffix(3);
  }
  const std::size_t blank = rest.rfind(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  std::string_view time = rest.substr(blank + 1);
  int year = 0, month = 0, day = 0;
  if (!ReadDate(rest.substr(0, blank), year, month, day) || !ValidDate(year, month, day)) return std::nullopt;

  int hms[3] = {0, 0, 0};
  std::size_t part = 0, pos = 0;
  for (; part < 3 && pos <= time.size(); ++part) {
    const std::size_t start = pos;
    while (pos < time.size() && IsDigit(time[pos])) ++pos;
    if (pos == start || pos - start > 2) return std::nullopt;
    std::from_chars(time.data() + start, time.data() + pos, hms[part]);
    if (pos == time.size()) {
      ++part;
      break;
    }
    if (time[pos] != ':') return std::nullopt;
    ++pos;
  }
  if (part < 2 || pos != time.size()) return std::nullopt;
  if (am || pm) {
    if (hms[0] < 1 || hms[0] > 12) return std::nullopt;
    hms[0] = hms[0] % 12 + (pm ? 12 : 0);
  }
  if (hms[0] > 23 || hms[1] > 59 || hms[2] > 59) return std::nullopt;
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hms[0] * 3600 +
         hms[1] * 60 + hms[2];
}

TLogScan ScanLogForReports(std::string_view logText) {
  const std::string text = TextAsUtf8(logText);
  TLogScan scan;
  std::string program;
  std::map<std::string, int> seen;  // entry digest -> identical entries so far

  TLineReader lines(text);
  std::string_view line;
  bool haveLine = lines.Next(line);
  int lineNo = haveLine ? 1 : 0;
  while (haveLine) {
    if (line.starts_with(StartLogging)) {
      const std::string_view rest = line.substr(StartLogging.size());
      const std::size_t at = rest.rfind(" at ");
      program = std::string(at == std::string_view::npos ? rest : rest.substr(0, at));
    }
    const std::size_t level = line.starts_with("# ") ? line.find(ExceptLevel) : std::string_view::npos;
    if (level == std::string_view::npos) {
      haveLine = lines.Next(line);
      ++lineNo;
      continue;
    }
    // An entry at the level EXCEPT: its first line, then every line up to
    // the next entry ("# ..."), without the prefix's blanks.
    TLoggedReport report;
    report.LineNumber = lineNo;
    report.Program = program;
    report.Stamp = std::string(line.substr(2, level - 2));
    report.Time = ReadLogStamp(report.Stamp);
    const std::size_t prefix = level + ExceptLevel.size();
    std::string entry(line.substr(prefix));
    while ((haveLine = lines.Next(line))) {
      ++lineNo;
      if (line.starts_with("# ")) break;
      std::size_t blanks = 0;
      while (blanks < prefix && blanks < line.size() && line[blanks] == ' ') ++blanks;
      entry += "\r\n";
      entry += line.substr(blanks);
    }
    while (entry.ends_with("\r\n") || entry.ends_with(' ')) entry.resize(entry.size() - (entry.back() == ' ' ? 1 : 2));
    std::string error;
    std::optional<TReportFields> fields;
    if (entry.find('\0') != std::string::npos)
      error = "the entry holds NUL bytes";
    else
      fields = ParseReportText(entry, error);
    if (!fields) {
      scan.Problems.push_back("line " + std::to_string(report.LineNumber) + ": " + error);
      continue;
    }
    const std::string identity = report.Stamp + '\n' + entry;
    const int before = seen[identity]++;
    report.Key = "log:" + HexDigest(identity + '\n' + std::to_string(before));
    report.Text = std::move(entry);
    report.Fields = std::move(*fields);
    scan.Reports.push_back(std::move(report));
  }
  return scan;
}

#pragma once
// The reports in a VEK log file, the way customers mail them: every entry at
// the level "EXCEPT" ("# TIME [ EXCEPT ] " and the report, its further lines
// indented by that prefix's length), with the program's title from the
// opening block of the run it belongs to ("# START LOGGING : TITLE at TIME").
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ReportText.h"

struct TLoggedReport {
  int LineNumber = 0;                // the entry's first line in the log
  std::string Program;               // the run's title; empty when the log holds no opening block before it
  std::string Stamp;                 // the entry's time stamp as written
  std::optional<std::int64_t> Time;  // the stamp read as seconds since 1970 (UTC), when readable
  std::string Text;                  // the report text (UTF-8), without the log's prefix
  // The same for the same entry whatever file or copy of the log it is
  // read from (even one whose opening blocks scrolled out): "log:" and a
  // digest of the stamp, the text and how many identical entries came
  // before it in the log.
  std::string Key;
  TReportFields Fields;
};

struct TLogScan {
  std::vector<TLoggedReport> Reports;
  std::vector<std::string> Problems;  // "line N: why", for EXCEPT entries that are not reports
};

TLogScan ScanLogForReports(std::string_view logText);

// A log's time stamp (the locale's short date, a blank, its long time) as
// seconds since 1970, the date and time taken as UTC. Reads dates of three
// numbers (2026-12-06, 06.12.2026, 06/12/2026: a first number over 12 is a
// day, a second over 12 makes the first the month, the day comes first
// otherwise) or of two numbers and an English month name (9 Dec 2026, Dec
// 9, 2026), two-digit years as 20YY; then H:MM or H:MM:SS with an optional
// AM or PM. None for anything else.
std::optional<std::int64_t> ReadLogStamp(std::string_view stamp);

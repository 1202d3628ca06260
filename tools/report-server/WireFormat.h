#pragma once
// The body of "POST /reports": one report in the collector's wire format,
// version 1 (README.md beside this file):
//
//   VEK-Report 1
//   Program: Image Tool
//   Version: 2.2.0.14
//   Executable: 5d41402abc4b2a76b9719d911017c592
//   Key: 8c3e7a1e-41b5-4f8e-9a53-2f0d1c6b7e90
//
//   Type         : EConvertError ( Exception )
//   ... the ten lines of the report as VEK writes them (ReportText.h)
//
// The first line names the format and its version; "Name: value" fields
// follow (names in any letter case, unknown names ignored) up to an empty
// line; then the report text. Lines end in CR LF or LF. Bytes that are not
// UTF-8 are read as Windows-1252.
#include <optional>
#include <string>
#include <string_view>

#include "ReportText.h"
#include "base/ReportWire.h"

// The largest body read; a longer one is refused unread.
inline constexpr std::size_t MaxReportBytes = 256 * 1024;

struct TWireReport {
  std::string Program;     // required, 1 to 128 characters
  std::string Version;     // the program's version; may be empty
  std::string Executable;  // the executable's identity; may be empty
  std::string Key;         // the idempotency key; empty: none
  std::string Text;        // the report text, UTF-8, as sent
  TReportFields Fields;
};

// Reads a body. None when it is not a report of a known version; `error`
// then holds the reason, for the "400" reply.
std::optional<TWireReport> ParseWireReport(std::string_view body, std::string& error);

// Whether a text may serve as an idempotency key: 1 to 128 characters of
// letters, digits and ". _ : -".
bool IsValidReportKey(std::string_view key);

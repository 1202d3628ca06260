#include "WireFormat.h"

#include <algorithm>
#include <charconv>

#include "base/TextCodec.h"
#include "base/TextUtil.h"

namespace {

constexpr std::size_t MaxProgramLength = MaxWireProgramLength;
constexpr std::size_t MaxVersionLength = MaxWireVersionLength;
constexpr std::size_t MaxIdentityLength = MaxWireTokenLength;

}  // namespace

bool IsValidReportKey(std::string_view key) {
  return IsWireToken(key);
}

std::optional<TWireReport> ParseWireReport(std::string_view body, std::string& error) {
  if (body.size() > MaxReportBytes) {
    error = "the report is larger than " + std::to_string(MaxReportBytes / 1024) + " KiB";
    return std::nullopt;
  }
  if (body.find('\0') != std::string_view::npos) {
    error = "the report holds NUL bytes; it is a text";
    return std::nullopt;
  }
  const std::string text = TextAsUtf8(body);
  TLineReader lines(text);
  std::string_view line;
  if (!lines.Next(line) || !line.starts_with(WireFormatName) || line.size() < WireFormatName.size() + 2 ||
      line[WireFormatName.size()] != ' ') {
    error = "the first line must be \"" + std::string(WireFormatName) + " " + std::to_string(WireFormatVersion) + "\"";
    return std::nullopt;
  }
  const std::string_view versionText = TrimBlanks(line.substr(WireFormatName.size() + 1));
  int version = 0;
  const auto [ptr, ec] = std::from_chars(versionText.data(), versionText.data() + versionText.size(), version);
  if (ec != std::errc() || ptr != versionText.data() + versionText.size()) {
    error = "the format version '" + std::string(versionText) + "' is not a number";
    return std::nullopt;
  }
  if (version != WireFormatVersion) {
    error = "format version " + std::string(versionText) + " is unknown; this server reads version " +
            std::to_string(WireFormatVersion);
    return std::nullopt;
  }

  TWireReport report;
  bool haveProgram = false;
  int lineNo = 1;
  for (;;) {
    if (!lines.Next(line)) {
      error = "the fields end without an empty line and the report text";
      return std::nullopt;
    }
    ++lineNo;
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      error = "line " + std::to_string(lineNo) + ": expected \"Name: value\"";
      return std::nullopt;
    }
    const std::string name = LowerAscii(TrimBlanks(line.substr(0, colon)));
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    const auto fail = [&](const std::string& what) {
      error = "line " + std::to_string(lineNo) + ": " + what;
      return std::nullopt;
    };
    if (name == "program") {
      if (value.empty() || value.size() > MaxProgramLength || HasControlChars(value))
        return fail("Program must be 1 to " + std::to_string(MaxProgramLength) + " characters, no control characters");
      report.Program = value;
      haveProgram = true;
    } else if (name == "version") {
      if (value.size() > MaxVersionLength || HasControlChars(value))
        return fail("Version must be at most " + std::to_string(MaxVersionLength) +
                    " characters, no control characters");
      report.Version = value;
    } else if (name == "executable") {
      if (!value.empty() && !IsWireToken(value))
        return fail("Executable must be at most " + std::to_string(MaxIdentityLength) +
                    " letters, digits and \". _ : -\"");
      report.Executable = value;
    } else if (name == "key") {
      if (!IsValidReportKey(value)) return fail("Key must be 1 to 128 letters, digits and \". _ : -\"");
      report.Key = value;
    }
  }
  if (!haveProgram) {
    error = "the field \"Program\" is missing";
    return std::nullopt;
  }
  std::string_view reportText = lines.Rest();
  std::string reportError;
  std::optional<TReportFields> fields = ParseReportText(reportText, reportError);
  if (!fields) {
    error = "the report text: " + reportError;
    return std::nullopt;
  }
  // The text as sent, without the blank lines around it.
  while (!reportText.empty() && (reportText.back() == '\n' || reportText.back() == '\r' || reportText.back() == ' '))
    reportText.remove_suffix(1);
  while (!reportText.empty() && (reportText.front() == '\n' || reportText.front() == '\r')) reportText.remove_prefix(1);
  report.Text = std::string(reportText);
  report.Fields = std::move(*fields);
  return report;
}

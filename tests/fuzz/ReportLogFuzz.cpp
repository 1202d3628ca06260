// Feeds arbitrary log files to the report collector's log importer: every
// report found has a key, a text that reads again as a report, and scanning
// the same log twice gives the same keys.
#include <cstddef>
#include <cstdint>
#include <string>

#include "LogImport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string log(reinterpret_cast<const char*>(data), size);
  const TLogScan first = ScanLogForReports(log);
  const TLogScan again = ScanLogForReports(log);
  if (first.Reports.size() != again.Reports.size()) __builtin_trap();
  for (std::size_t i = 0; i < first.Reports.size(); ++i) {
    const TLoggedReport& r = first.Reports[i];
    if (r.Key.size() != 36 || r.Key != again.Reports[i].Key) __builtin_trap();
    std::string error;
    if (!ParseReportText(r.Text, error)) __builtin_trap();
    if (r.Time && ReadLogStamp(r.Stamp) != r.Time) __builtin_trap();
  }
  return 0;
}

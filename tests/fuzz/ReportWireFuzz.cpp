// Feeds arbitrary bodies to the report collector's wire format: a body is
// either refused with a reason or read into a report whose fields hold what
// the format allows (a program, a key of the allowed characters, valid UTF-8
// text).
#include <cstddef>
#include <cstdint>
#include <string>

#include "WireFormat.h"
#include "base/TextCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<TWireReport> report = ParseWireReport(body, error);
  if (!report) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  if (report->Program.empty() || report->Program.size() > 128) __builtin_trap();
  if (!report->Key.empty() && !IsValidReportKey(report->Key)) __builtin_trap();
  if (!IsValidUtf8(report->Text) || !IsValidUtf8(report->Fields.Message)) __builtin_trap();
  if (report->Fields.Type.size() > MaxFieldLength || report->Fields.Line.size() > MaxFieldLength) __builtin_trap();
  return 0;
}

// Feeds arbitrary bytes to the three readers of outside input on VEK's side
// of sending reports: a pending report's file content, a pending report's
// file name, and the collector's reply (its status from the first two bytes,
// its body the rest). A pending report is read or refused, and one that is
// read holds what the format allows; a reply gives a reference only of the
// form "R-" and digits, and a reason of at most 200 characters, without
// control characters, in valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/TextCodec.h"
#include "base/TextUtil.h"
#include "base/Utf8.h"
#include "diag/U_VEK_PendingReports.h"
#include "diag/U_VEK_Report.h"
#include "platform/SignalSafeFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  if (const auto report = ParsePendingReport(input)) {
    if (report->Program.empty() || report->Program.size() > 128 || report->Key.empty() || report->Key.size() > 128)
      __builtin_trap();
    if (HasControlChars(report->Program) || TrimBlanks(report->Text).empty()) __builtin_trap();
  }

  std::uint64_t seconds = 0, process = 0;
  if (TSignalSafeFolder::ParseName(input, "Demo.", ".vekreport", seconds, process) &&
      (input.size() < 5 + 22 + 10 || input.compare(0, 5, "Demo.") != 0))
    __builtin_trap();

  const long status = size >= 2 ? 100 + (data[0] << 8 | data[1]) % 500 : 200;
  const TVEKSendResult result = VEKSendResultOf(status, size >= 2 ? input.substr(2) : input);
  if (!result.Reference.empty() && (result.Reference.size() > 20 || result.Reference.compare(0, 2, "R-") != 0 ||
                                    result.Reference.find_first_not_of("0123456789", 2) != std::string::npos))
    __builtin_trap();
  if (!IsValidUtf8(result.Reason) || HasControlChars(result.Reason) || Utf8Length(result.Reason) > 220)
    __builtin_trap();
  (void)VEKSendResultText(result);
  return 0;
}

// Feeds arbitrary bytes to the readers of the update server's replies: the
// update record with its date, and the history pointer. They may reject a
// date with a conversion error, nothing else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/U_UpdateCheck.h"
#include "base/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);
  const TUpdateRecord r = ParseUpdateRecord(reply);
  if (r.Version.size() > 5 || r.DateText.size() > 10) __builtin_trap();
  try {
    const TLatestDate d = ConvertLatestDate(r.DateText);
    if (d.Month < 1 || d.Month > 12 || d.Day < 1 || d.Day > 31 || d.Year < 1 || d.Year > 9999) __builtin_trap();
  } catch (const EConvertError&) {
  }
  if (const auto url = ParseHistoryPointer(reply); url && url->size() + 4 > size) __builtin_trap();
  return 0;
}

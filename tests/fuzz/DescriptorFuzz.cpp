// Feeds arbitrary bytes to the descriptor reader as a file's content: it may
// reject them with a conversion error, nothing else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/U_Products.h"
#include "app/U_UpdateCheck.h"
#include "runtime/Exceptions.h"
#include "runtime/TextFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const TDescriptor d = ParseDescriptor(SplitLines(text));
    if (d.Title.size() > size || d.Version.size() > size) __builtin_trap();
  } catch (const EConvertError&) {
  }
  // The same bytes as server replies.
  const TUpdateRecord r = ParseUpdateRecord(text);
  if (r.Version.size() > 5 || r.DateText.size() > 10) __builtin_trap();
  try {
    ConvertLatestDate(r.DateText);
  } catch (const EConvertError&) {
  }
  if (auto url = ParseHistoryPointer(text); url && url->size() + 4 > size) __builtin_trap();
  return 0;
}

// Feeds arbitrary bytes to the descriptor reader as a file's content: it may
// reject them with a conversion error, nothing else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/U_Products.h"
#include "base/Exceptions.h"
#include "base/TextFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const TDescriptor d = ParseDescriptor(SplitLines(text));
    if (d.Title.size() > size || d.Version.size() > size) __builtin_trap();
  } catch (const EConvertError&) {
  }
  return 0;
}

// Feeds arbitrary bytes to the readers of an ELF file's section headers that
// find the address of ".text" and of its identity (the build-id note, or the
// hash of .text). Nothing may crash or read outside the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/CodeAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uintptr_t address = 0;
  const bool found = ElfTextSectionAddress(std::string_view(reinterpret_cast<const char*>(data), size), address);
  // No header table fits in fewer bytes than the file header.
  if (found && size < (sizeof(void*) == 8 ? 64u : 52u)) __builtin_trap();
  // An identity comes from the bytes there: a build-id's hexadecimal digits
  // or the .text section's size and hash.
  const std::string identity = ElfIdentity(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!identity.empty() && !identity.starts_with("gnu-build-id ") && !(found && identity.starts_with("text ")))
    __builtin_trap();
  return 0;
}

// Feeds arbitrary bytes to the reader of an ELF file's section headers that
// finds the address of ".text". Nothing may crash or read outside the input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/CodeAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uintptr_t address = 0;
  const bool found = ElfTextSectionAddress(std::string_view(reinterpret_cast<const char*>(data), size), address);
  // No header table fits in fewer bytes than the file header.
  if (found && size < (sizeof(void*) == 8 ? 64u : 52u)) __builtin_trap();
  return 0;
}

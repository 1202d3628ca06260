// Feeds arbitrary bytes to the version block reader twice: as a whole file
// (PE or ELF, whose block is then queried) and as a version block of its
// own. Nothing may crash, read outside the input or hang; what is found
// must fit what was given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/VersionInfo.h"

namespace {

const char* const Paths[] = {
    "\\",
    "\\StringFileInfo\\040904E4\\CompanyName",
    "\\StringFileInfo\\040904E4\\SpecialBuild",
    "\\StringFileInfo\\040C04E4\\ProductName",
    "\\VarFileInfo\\Translation",
    "\\StringFileInfo",
    "\\A\\B\\C\\D\\E\\F\\G\\H",
};

void Query(const std::string& Block) {
  TFixedFileInfo fixed;
  if (VerQueryValue(Block, "\\", fixed) && fixed.dwSignature != VS_FFI_SIGNATURE) __builtin_trap();
  for (const char* path : Paths) {
    std::string value;
    // A text grows at most from 2 bytes a unit to 3 bytes of UTF-8.
    if (VerQueryValue(Block, path, value) && value.size() > Block.size() * 3 / 2) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view image(reinterpret_cast<const char*>(data), size);
  std::string block;
  if (ExtractVersionBlock(image, block)) {
    if (block.size() < 6 || block.size() > 0xFFFF || block.size() > size) __builtin_trap();
    Query(block);
  } else if (!block.empty()) {
    __builtin_trap();
  }
  Query(std::string(image.substr(0, 0x10000)));
  return 0;
}

// Feeds arbitrary bytes to the rich text reader: it must return, with valid
// UTF-8 of at most four times the input's length.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/U_RichText.h"

namespace {
bool ValidUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = 1;
    std::uint32_t c = b;
    if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      c = b & 0x07;
    } else if (b >= 0xE0) {
      len = 3;
      c = b & 0x0F;
    } else if (b >= 0xC2 && b < 0xE0) {
      len = 2;
      c = b & 0x1F;
    } else if (b >= 0x80) {
      return false;
    }
    if (s.size() - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) || (c >= 0xD800 && c <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (LooksLikeRichText(input) && size < 5) __builtin_trap();
  const std::string text = RichTextToPlainText(input);
  if (text.size() > 4 * size) __builtin_trap();
  if (!ValidUtf8(text)) __builtin_trap();
  return 0;
}

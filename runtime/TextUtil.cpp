#include "runtime/TextUtil.h"

std::string LowerAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = LowerAscii(c);
  return result;
}

std::string UpperAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = UpperAscii(c);
  return result;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithTextAscii(a, b);
}

bool StartsWithTextAscii(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
  return true;
}

std::uint64_t Fnv1a64(std::string_view bytes, std::uint64_t hash) {
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

bool TLineReader::Next(std::string_view& line) {
  const std::size_t n = FText.size();
  if (FPos >= n) return false;
  const std::size_t start = FPos;
  while (FPos < n && FText[FPos] != '\r' && FText[FPos] != '\n') ++FPos;
  line = FText.substr(start, FPos - start);
  if (FPos < n) FPos += (FText[FPos] == '\r' && FPos + 1 < n && FText[FPos + 1] == '\n') ? 2 : 1;
  return true;
}

std::string CrLfLineBreaks(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      result += "\r\n";
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

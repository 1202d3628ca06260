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

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool HasControlChars(std::string_view text) {
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return true;
  }
  return false;
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

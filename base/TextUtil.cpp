#include "base/TextUtil.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

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

namespace {

// The first CR or LF of Text at or after From; Text's size when none
// follows. Eight bytes are tested in one step for one below 14 (CR is 13,
// LF 10), which long lines of printable text rarely hold; only a word that
// does is looked at byte by byte.
std::size_t FindLineBreak(std::string_view Text, std::size_t From) {
  constexpr std::uint64_t Ones = 0x0101010101010101u;
  constexpr std::uint64_t Highs = 0x8080808080808080u;
  const char* text = Text.data();
  const std::size_t n = Text.size();
  std::size_t i = From;
  while (i < n) {
    if (n - i >= sizeof(std::uint64_t)) {
      std::uint64_t word;
      std::memcpy(&word, text + i, sizeof word);
      if (((word - Ones * 14) & ~word & Highs) == 0) {
        i += sizeof word;
        continue;
      }
    }
    for (const std::size_t stop = std::min(n, i + sizeof(std::uint64_t)); i < stop; ++i)
      if (text[i] == '\r' || text[i] == '\n') return i;
  }
  return n;
}

}  // namespace

std::uint64_t Fnv1a64(std::string_view bytes, std::uint64_t hash) {
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
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
  FPos = FindLineBreak(FText, start);
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

std::string IndentText(const std::string& S, int FirstIndent, int NextIndent, char FillChar) {
  const std::size_t first = FirstIndent > 0 ? static_cast<std::size_t>(FirstIndent) : 0;
  const std::size_t next = NextIndent > 0 ? static_cast<std::size_t>(NextIndent) : 0;
  std::string result(first, FillChar);
  result.reserve(first + S.size());
  for (std::size_t i = 0; i < S.size(); ++i) {
    result += S[i];
    if (S[i] == '\n' && i > 0 && S[i - 1] == '\r') result.append(next, FillChar);
  }
  return result;
}

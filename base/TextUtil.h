#pragma once
// Small rules for 8-bit text that several layers share: letter case of the
// ASCII letters and the splitting of text into lines. Plain C++, no GUI
// toolkit: the update server uses them too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// ASCII letter case. Only the letters A to Z and a to z change or compare
// equal across case; every other byte (UTF-8 sequences and 8-bit code pages
// included) stays as it is, whatever the locale.

inline constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline constexpr char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
std::string LowerAscii(std::string_view text);
std::string UpperAscii(std::string_view text);

// `a` and `b` are equal but for the case of ASCII letters.
bool SameTextAscii(std::string_view a, std::string_view b);
// `text` begins with `prefix` but for the case of ASCII letters.
bool StartsWithTextAscii(std::string_view text, std::string_view prefix);

// What the library and its reports write where a fact is not known: a
// class, a unit, a name, a line, an address, a version.
inline constexpr char UnknownText[] = "<Unknown>";

// `text` without the blanks and tabs at its start and end.
std::string_view TrimBlanks(std::string_view text);
// Whether `text` holds a control character (below 0x20, or 0x7F).
bool HasControlChars(std::string_view text);

// ---------------------------------------------------------------------------
// The 64-bit FNV-1a hash of some bytes; `hash` continues a hash of the
// bytes before them (its default is the hash of nothing).
inline constexpr std::uint64_t Fnv1a64Basis = 0xCBF29CE484222325ull;
std::uint64_t Fnv1a64(std::string_view bytes, std::uint64_t hash = Fnv1a64Basis);

// ---------------------------------------------------------------------------
// Lines. A line ends in CR LF, a lone CR or a lone LF; a final line break
// does not start another line; bytes are kept as they are (a zero byte
// included).

// The text with every line break (CR LF, a lone CR, a lone LF) written as
// CR LF, the line break of the design's texts and files.
std::string CrLfLineBreaks(std::string_view text);

// IndentText: puts FirstIndent copies of FillChar in front of S and
// NextIndent copies after every CR LF pair in it. A lone CR or LF is no line
// break here; a zero or negative count gives no fill characters. (One of the
// diagnostics library's common helpers, diag/U_VEK_Global.h, by the
// library's own name and parameters.)
std::string IndentText(const std::string& S, int FirstIndent, int NextIndent, char FillChar);

// Walks the lines of a text one by one; the text must outlive the walk.
// SplitLines (base/TextFile.h) gives them all at once.
class TLineReader {
 public:
  explicit TLineReader(std::string_view text) : FText(text) {}
  // The next line, without its line break; false after the last one.
  bool Next(std::string_view& line);
  // What follows the lines read so far.
  std::string_view Rest() const { return FText.substr(FPos); }

 private:
  std::string_view FText;
  std::size_t FPos = 0;
};

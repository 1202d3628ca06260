#include "app/U_RichText.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "base/TextCodec.h"
#include "base/Utf8.h"

namespace {

constexpr std::size_t MaxGroupDepth = 256;  // deeper groups are read but show nothing
constexpr std::size_t MaxWordLetters = 32;  // longer control words are ignored whole
constexpr int MaxParamDigits = 10;          // further digits are read, the value saturates
constexpr char32_t Replacement = 0xFFFD;

enum class TWordKind {
  Skip,         // a destination whose whole group is left out
  Paragraph,    // CR LF
  Char,         // the entry's character
  Unicode,      // \uN
  UnicodeSkip,  // \ucN
  Binary,       // \binN: N raw bytes follow
};

struct TWordEntry {
  std::string_view Name;
  TWordKind Kind;
  char32_t Char = 0;
};

// Sorted by name for the binary search in FindWord. Control words not listed
// (formatting, sizes, colours and so on) have no effect on the text.
constexpr std::array Words = {
    TWordEntry{"aftncn", TWordKind::Skip},
    TWordEntry{"aftnsep", TWordKind::Skip},
    TWordEntry{"aftnsepc", TWordKind::Skip},
    TWordEntry{"annotation", TWordKind::Skip},
    TWordEntry{"bin", TWordKind::Binary},
    TWordEntry{"bkmkend", TWordKind::Skip},
    TWordEntry{"bkmkstart", TWordKind::Skip},
    TWordEntry{"bullet", TWordKind::Char, 0x2022},
    TWordEntry{"cell", TWordKind::Char, '\t'},
    TWordEntry{"colorschememapping", TWordKind::Skip},
    TWordEntry{"colortbl", TWordKind::Skip},
    TWordEntry{"datastore", TWordKind::Skip},
    TWordEntry{"emdash", TWordKind::Char, 0x2014},
    TWordEntry{"emspace", TWordKind::Char, ' '},
    TWordEntry{"endash", TWordKind::Char, 0x2013},
    TWordEntry{"enspace", TWordKind::Char, ' '},
    TWordEntry{"filetbl", TWordKind::Skip},
    TWordEntry{"fldinst", TWordKind::Skip},
    TWordEntry{"fonttbl", TWordKind::Skip},
    TWordEntry{"footer", TWordKind::Skip},
    TWordEntry{"footerf", TWordKind::Skip},
    TWordEntry{"footerl", TWordKind::Skip},
    TWordEntry{"footerr", TWordKind::Skip},
    TWordEntry{"footnote", TWordKind::Skip},
    TWordEntry{"ftncn", TWordKind::Skip},
    TWordEntry{"ftnsep", TWordKind::Skip},
    TWordEntry{"ftnsepc", TWordKind::Skip},
    TWordEntry{"generator", TWordKind::Skip},
    TWordEntry{"header", TWordKind::Skip},
    TWordEntry{"headerf", TWordKind::Skip},
    TWordEntry{"headerl", TWordKind::Skip},
    TWordEntry{"headerr", TWordKind::Skip},
    TWordEntry{"info", TWordKind::Skip},
    TWordEntry{"latentstyles", TWordKind::Skip},
    TWordEntry{"ldblquote", TWordKind::Char, 0x201C},
    TWordEntry{"line", TWordKind::Paragraph},
    TWordEntry{"listoverridetable", TWordKind::Skip},
    TWordEntry{"listtable", TWordKind::Skip},
    TWordEntry{"lquote", TWordKind::Char, 0x2018},
    TWordEntry{"nestcell", TWordKind::Char, '\t'},
    TWordEntry{"nestrow", TWordKind::Paragraph},
    TWordEntry{"nonshppict", TWordKind::Skip},
    TWordEntry{"object", TWordKind::Skip},
    TWordEntry{"page", TWordKind::Paragraph},
    TWordEntry{"par", TWordKind::Paragraph},
    TWordEntry{"pict", TWordKind::Skip},
    TWordEntry{"pn", TWordKind::Skip},
    TWordEntry{"pntxta", TWordKind::Skip},
    TWordEntry{"pntxtb", TWordKind::Skip},
    TWordEntry{"qmspace", TWordKind::Char, ' '},
    TWordEntry{"rdblquote", TWordKind::Char, 0x201D},
    TWordEntry{"revtbl", TWordKind::Skip},
    TWordEntry{"row", TWordKind::Paragraph},
    TWordEntry{"rquote", TWordKind::Char, 0x2019},
    TWordEntry{"rsidtbl", TWordKind::Skip},
    TWordEntry{"sect", TWordKind::Paragraph},
    TWordEntry{"stylesheet", TWordKind::Skip},
    TWordEntry{"tab", TWordKind::Char, '\t'},
    TWordEntry{"tc", TWordKind::Skip},
    TWordEntry{"themedata", TWordKind::Skip},
    TWordEntry{"u", TWordKind::Unicode},
    TWordEntry{"uc", TWordKind::UnicodeSkip},
    TWordEntry{"xe", TWordKind::Skip},
    TWordEntry{"xmlnstbl", TWordKind::Skip},
};
static_assert(std::is_sorted(Words.begin(), Words.end(),
                             [](const TWordEntry& a, const TWordEntry& b) { return a.Name < b.Name; }));

const TWordEntry* FindWord(std::string_view name) {
  const auto it = std::lower_bound(Words.begin(), Words.end(), name,
                                   [](const TWordEntry& e, std::string_view n) { return e.Name < n; });
  return it != Words.end() && it->Name == name ? &*it : nullptr;
}

bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Where the document starts: past leading blanks, CR, LF and byte order marks.
std::size_t SkipLeadIn(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, 3, "\xEF\xBB\xBF") == 0) {
      i += 3;
    } else if (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n') {
      ++i;
    } else {
      break;
    }
  }
  return i;
}

class TRichTextReader {
 public:
  explicit TRichTextReader(const std::string& rtf) : FText(rtf) {}
  std::string Run();

 private:
  struct TGroupState {
    bool Skip = false;             // inside a destination that shows nothing
    std::int32_t UnicodeSkip = 1;  // \ucN: fallback characters after each \uN
  };

  bool Hidden() const { return FOverflow > 0 || FGroups.back().Skip; }
  // True when the item just read belongs to the fallback of a \uN and goes.
  bool TakeFallback();
  void OpenGroup();
  void CloseGroup();
  void ReadControl();
  void ReadWord();
  void ReadHexByte();
  void ReadRawByte(unsigned char b);
  void Text(char32_t c);
  void UnicodeValue(std::int32_t value);
  void Append(char32_t c);
  void FlushSurrogate();

  const std::string& FText;
  std::size_t FPos = 0;
  std::vector<TGroupState> FGroups;  // [0] holds the state outside every group
  std::size_t FOverflow = 0;         // open groups beyond MaxGroupDepth
  std::int64_t FFallback = 0;        // fallback items still to drop after a \uN
  char32_t FHighSurrogate = 0;       // first half of a pair, waiting for the second
  std::string FOut;
};

std::string TRichTextReader::Run() {
  FOut.reserve(FText.size());
  FGroups.reserve(MaxGroupDepth + 1);
  FGroups.emplace_back();
  FPos = SkipLeadIn(FText);
  while (FPos < FText.size()) {
    const char c = FText[FPos++];
    switch (c) {
      case '{':
        OpenGroup();
        break;
      case '}':
        CloseGroup();
        break;
      case '\\':
        ReadControl();
        break;
      case '\r':
      case '\n':
        break;  // line breaks in the source are layout only
      default:
        if (static_cast<unsigned char>(c) >= 0x80) {
          ReadRawByte(static_cast<unsigned char>(c));
        } else if (!TakeFallback()) {
          Text(static_cast<unsigned char>(c));
        }
    }
  }
  FlushSurrogate();
  return std::move(FOut);
}

bool TRichTextReader::TakeFallback() {
  if (FFallback <= 0) return false;
  --FFallback;
  return true;
}

void TRichTextReader::OpenGroup() {
  FFallback = 0;
  if (FOverflow > 0 || FGroups.size() > MaxGroupDepth) {
    ++FOverflow;
  } else {
    FGroups.push_back(FGroups.back());
  }
}

void TRichTextReader::CloseGroup() {
  FFallback = 0;
  if (FOverflow > 0) {
    --FOverflow;
  } else if (FGroups.size() > 1) {
    FGroups.pop_back();
  }
  // A closing brace without its opening one is dropped, and reading goes on.
}

void TRichTextReader::ReadControl() {
  if (FPos >= FText.size()) return;  // a backslash at the very end
  const char c = FText[FPos];
  if (IsLetter(c)) {
    ReadWord();
    return;
  }
  ++FPos;
  if (c == '\'') {
    ReadHexByte();
    return;
  }
  if (TakeFallback()) return;
  switch (c) {
    case '\\':
    case '{':
    case '}':
      Text(static_cast<unsigned char>(c));
      break;
    case '~':
      Text(' ');
      break;
    case '_':
      Text('-');
      break;
    case '\r':
    case '\n':
      Text('\r');
      Text('\n');
      break;
    case '*':
      if (FGroups.size() > 1) FGroups.back().Skip = true;
      break;
    default:
      break;  // \- optional hyphen, \| \: index marks, unknown symbols
  }
}

void TRichTextReader::ReadWord() {
  const std::size_t start = FPos;
  while (FPos < FText.size() && IsLetter(FText[FPos])) ++FPos;
  const std::string_view name(FText.data() + start, FPos - start);

  bool negative = false;
  if (FPos + 1 < FText.size() && FText[FPos] == '-' && IsDigit(FText[FPos + 1])) {
    negative = true;
    ++FPos;
  }
  int digits = 0;
  std::int64_t value = 0;
  while (FPos < FText.size() && IsDigit(FText[FPos])) {
    if (digits < MaxParamDigits) value = value * 10 + (FText[FPos] - '0');
    ++digits;
    ++FPos;
  }
  const bool hasParam = digits > 0;
  if (digits > MaxParamDigits) value = std::numeric_limits<std::int64_t>::max();
  if (negative) value = -value;
  const auto param = static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                                        std::numeric_limits<std::int32_t>::max()));
  if (FPos < FText.size() && FText[FPos] == ' ') ++FPos;

  const TWordEntry* word = name.size() <= MaxWordLetters ? FindWord(name) : nullptr;
  if (word != nullptr && word->Kind == TWordKind::Binary) {
    // Raw data follows whatever the state; it may contain braces and backslashes.
    if (hasParam && param > 0) FPos += std::min<std::size_t>(static_cast<std::size_t>(param), FText.size() - FPos);
  }
  if (TakeFallback() || word == nullptr) return;

  switch (word->Kind) {
    case TWordKind::Skip:
      if (FGroups.size() > 1) FGroups.back().Skip = true;
      break;
    case TWordKind::Paragraph:
      Text('\r');
      Text('\n');
      break;
    case TWordKind::Char:
      Text(word->Char);
      break;
    case TWordKind::Unicode:
      if (!hasParam) break;
      if (!Hidden()) UnicodeValue(param);
      FFallback = FGroups.back().UnicodeSkip;
      break;
    case TWordKind::UnicodeSkip:
      if (hasParam) FGroups.back().UnicodeSkip = std::max<std::int32_t>(param, 0);
      break;
    case TWordKind::Binary:
      break;
  }
}

void TRichTextReader::ReadHexByte() {
  int value = 0, digits = 0;
  while (digits < 2 && FPos < FText.size() && HexValue(FText[FPos]) >= 0) {
    value = value * 16 + HexValue(FText[FPos]);
    ++digits;
    ++FPos;
  }
  if (TakeFallback() || digits < 2) return;
  Text(Cp1252ToUnicode(static_cast<unsigned char>(value)));
}

void TRichTextReader::ReadRawByte(unsigned char b) {
  const std::size_t at = FPos - 1;
  const std::size_t len = Utf8SequenceLength(FText, at);
  if (TakeFallback()) {
    if (len > 0) FPos = at + len;
    return;
  }
  if (len == 0) {
    Text(Cp1252ToUnicode(b));
  } else if (!Hidden()) {
    FlushSurrogate();
    FOut.append(FText, at, len);
  }
  if (len > 0) FPos = at + len;
}

void TRichTextReader::Text(char32_t c) {
  if (!Hidden()) Append(c);
}

void TRichTextReader::UnicodeValue(std::int32_t value) {
  // Writers store values above 32767 as negative 16-bit numbers.
  if (value < 0) value = value >= -32768 ? value + 65536 : -1;
  if (value < 0 || value > 0x10FFFF) {
    Append(Replacement);
    return;
  }
  const auto c = static_cast<char32_t>(value);
  if (c >= 0xD800 && c <= 0xDBFF) {
    FlushSurrogate();
    FHighSurrogate = c;
  } else if (c >= 0xDC00 && c <= 0xDFFF) {
    if (FHighSurrogate != 0) {
      const char32_t full = 0x10000 + ((FHighSurrogate - 0xD800) << 10) + (c - 0xDC00);
      FHighSurrogate = 0;
      Append(full);
    } else {
      Append(Replacement);
    }
  } else {
    Append(c);
  }
}

void TRichTextReader::FlushSurrogate() {
  if (FHighSurrogate == 0) return;
  FHighSurrogate = 0;
  Append(Replacement);
}

// Appends one character as UTF-8. Control characters other than TAB, CR and LF
// are dropped; surrogates and values beyond Unicode become U+FFFD.
void TRichTextReader::Append(char32_t c) {
  FlushSurrogate();
  if (c < 0x20 && c != '\t' && c != '\r' && c != '\n') return;
  AppendUtf8(FOut, c);
}

}  // namespace

bool LooksLikeRichText(const std::string& text) {
  return text.compare(SkipLeadIn(text), 5, "{\\rtf") == 0;
}

std::string RichTextToPlainText(const std::string& rtf) {
  return TRichTextReader(rtf).Run();
}

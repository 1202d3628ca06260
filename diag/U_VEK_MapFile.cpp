#include "diag/U_VEK_MapFile.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "base/Conversions.h"
#include "base/Demangle.h"
#include "base/TextFile.h"
#include "base/TextUtil.h"
#include "platform/FileSystem.h"

namespace {

// The layout's names, short.
using TLayout = TVEKMapLayout;

// The value of every byte as a hexadecimal digit; -1 for a byte that is none.
constexpr std::array<std::int8_t, 256> HexDigits = [] {
  std::array<std::int8_t, 256> digits{};
  digits.fill(-1);
  for (int d = 0; d < 10; ++d) digits[static_cast<std::size_t>('0' + d)] = static_cast<std::int8_t>(d);
  for (int d = 0; d < 6; ++d) {
    digits[static_cast<std::size_t>('a' + d)] = static_cast<std::int8_t>(10 + d);
    digits[static_cast<std::size_t>('A' + d)] = static_cast<std::int8_t>(10 + d);
  }
  return digits;
}();

// The 8-digit hexadecimal field at Column of Line as a 32-bit signed number;
// nothing when the line ends before the field does or a character of it is
// not a hexadecimal digit. Every lookup converts thousands of these: the
// digits are gathered without a branch each and checked once at the end,
// inside the scan's loop.
[[gnu::always_inline]] inline std::optional<std::int32_t> HexField(std::string_view Line, std::size_t Column) {
  if (Line.size() < Column || Line.size() - Column < TLayout::HexWidth) return std::nullopt;
  const char* field = Line.data() + Column;
  std::uint32_t value = 0;
  int invalid = 0;
  for (std::size_t i = 0; i < TLayout::HexWidth; ++i) {
    const int digit = HexDigits[static_cast<unsigned char>(field[i])];
    invalid |= digit;
    value = value << 4 | static_cast<std::uint32_t>(digit & 0xF);
  }
  if (invalid < 0) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

// The text without leading and trailing blanks and control characters.
std::string Trim(std::string_view Text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  std::size_t first = 0, last = Text.size();
  while (first < last && blank(Text[first])) ++first;
  while (last > first && blank(Text[last - 1])) --last;
  return std::string(Text.substr(first, last - first));
}

// The unit's name of a segment line: from the character after "M=" through
// the second character before "ACBP=", trimmed. Empty when either is missing
// or they leave nothing between them.
std::string SegmentUnitName(std::string_view Line) {
  const std::size_t module = Line.find("M=");
  const std::size_t attributes = Line.find("ACBP=");
  if (module == std::string::npos || attributes == std::string::npos) return {};
  const std::size_t first = module + 2;
  if (attributes < first + 1) return {};
  return Trim(Line.substr(first, attributes - 1 - first));
}

// A public's name: column 22 to the end of the line, trimmed.
std::string PublicNameOfLine(std::string_view Line) {
  if (Line.size() <= TLayout::PublicNameColumn) return {};
  return Trim(Line.substr(TLayout::PublicNameColumn));
}

// The line number of a line-number entry: its 6 columns without blanks,
// converted as a whole number. Nothing when the row is too short.
std::optional<std::int32_t> LineNumberField(std::string_view Line, std::size_t Column) {
  if (Line.size() < Column || Line.size() - Column < TLayout::LineNumberWidth) return std::nullopt;
  const char* field = Line.data() + Column;
  // The usual field, decimal digits right-aligned with blanks, is read in
  // place; anything else (a sign, a hexadecimal prefix, a tab, no digit at
  // all) goes through the runtime's conversion, which decides.
  std::int32_t value = 0;
  std::size_t digits = 0;
  bool plain = true;
  for (std::size_t i = 0; i < TLayout::LineNumberWidth && plain; ++i) {
    const char c = field[i];
    if (c == ' ') continue;
    plain = c >= '0' && c <= '9';
    value = value * 10 + (c - '0');
    ++digits;
  }
  if (plain && digits > 0) return value;
  std::string text;
  for (std::size_t i = 0; i < TLayout::LineNumberWidth; ++i)
    if (field[i] != ' ') text += field[i];
  return TryStrToInt(text);
}

}  // namespace

TVEKMapFile::TVEKMapFile() : FUnitName(UnknownText), FPublicName(UnknownText), FLineNumber(UnknownText) {}

TVEKMapFile::~TVEKMapFile() = default;

// --- loading ----------------------------------------------------------------

void TVEKMapFile::Clear() {
  FSegments = {};
  FPublics = {};
  FLineNumbers = {};
  // The memory goes back with the lines.
  TPageVector<std::uint32_t>().swap(FLines);
  TPageVector<char>().swap(FText);
  FLoaded = false;
  // The results no longer belong to a map that is loaded.
  FCurrentValid = false;
}

void TVEKMapFile::LoadWhenNeeded(const std::string& Value, TAcceptIdentity Accept) {
  FPending = Value;
  FAccept = std::move(Accept);
}

void TVEKMapFile::LoadPending() const {
  if (FPending.empty()) return;
  std::string name;
  name.swap(FPending);
  const TAcceptIdentity accept = std::move(FAccept);
  FAccept = nullptr;
  // Never created const: the accessors that load are const only for their
  // callers.
  TVEKMapFile& self = *const_cast<TVEKMapFile*>(this);
  try {
    self.SetFileName(name);
  } catch (...) {
    // Without a map the reader resolves nothing in the executable.
    return;
  }
  if (accept && FLoaded && !accept(IdentityOf(std::string_view(FText.data(), FText.size())))) {
    self.Clear();
    self.FFileName.clear();
  }
}

void TVEKMapFile::SetFileName(const std::string& Value) {
  FPending.clear();
  FAccept = nullptr;
  if (Value == FFileName) return;
  if (!Value.empty() && !FileExists(Value)) throw EMapFileException("Map File not found : " + Value + ".");
  Clear();
  if (Value.empty()) return;
  Load(Value, ReadFileIntoPages(Value, MaxTextFileSize));
}

void TVEKMapFile::LoadFromText(const std::string& Value, const std::string& Text) {
  FPending.clear();
  FAccept = nullptr;
  Clear();
  if (Value.empty()) return;
  Load(Value, TPageVector<char>(Text.begin(), Text.end()));
}

void TVEKMapFile::Load(const std::string& Value, TPageVector<char>&& Text) {
  const auto invalid = [&Value] { return EMapFileException("Invalid Map File : " + Value + "."); };
  // An offset takes 30 bits; a file is far smaller (MaxTextFileSize).
  if (Text.size() >= std::uint32_t{1} << 30) throw invalid();
  // The lines are counted first, so that their table takes memory once, at
  // its size.
  const std::string_view text(Text.data(), Text.size());
  std::size_t count = 0;
  std::string_view line;
  for (TLineReader reader(text); reader.Next(line);) ++count;
  FLines.reserve(count + 1);
  for (TLineReader reader(text); reader.Next(line);) {
    const std::size_t start = static_cast<std::size_t>(line.data() - text.data());
    const std::size_t lineBreak = static_cast<std::size_t>(reader.Rest().data() - line.data()) - line.size();
    FLines.push_back(static_cast<std::uint32_t>(start << 2 | lineBreak));
  }
  FLines.push_back(static_cast<std::uint32_t>(text.size() << 2));
  FText = std::move(Text);

  // The index of the first line from From on that holds Marker; 0 when none
  // does. A marker that is missing thus leaves its index at 0, and the next
  // search then starts from the first line again.
  const auto find = [this](std::size_t From, std::string_view Marker) -> std::size_t {
    for (std::size_t i = From; i < LineCount(); ++i)
      if (Line(i).find(Marker) != std::string_view::npos) return i;
    return 0;
  };
  const std::size_t s = find(0, TLayout::SegmentsMarker);
  const std::size_t n = find(s, TLayout::PublicsByNameMarker);
  const std::size_t v = find(n, TLayout::PublicsByValueMarker);
  const std::size_t l = find(v, TLayout::LineNumbersMarker);
  if (s == 0 || v == 0 || l == 0) {
    Clear();
    throw invalid();
  }

  // Each search starts at the index before it, so s <= n and v <= l; the
  // marker lines and blank lines are kept, and fail every conversion. With
  // no publics-by-name marker (n == 0) there are no segments.
  if (n != 0) FSegments = {s, n};
  FPublics = {v, l};
  FLineNumbers = {l, LineCount()};
  FLoaded = true;
  FFileName = Value;
}

std::string TVEKMapFile::IdentityOf(std::string_view Head) {
  TLineReader lines(Head);
  for (std::string_view line; lines.Next(line);) {
    if (line.find(TLayout::SegmentsMarker) != std::string_view::npos) break;
    if (line.starts_with(TLayout::IdentityLabel)) return Trim(line.substr(TLayout::IdentityLabel.size()));
  }
  return {};
}

// --- lookups ----------------------------------------------------------------

void TVEKMapFile::ResolveUnknown() {
  FUnitName = UnknownText;
  FPublicName = UnknownText;
  FPublicOffset = 0;
  FLineNumber = UnknownText;
  FCurrentValid = false;
}

void TVEKMapFile::ResolveForeign(const TCodeModule& Module, std::uintptr_t Address) {
  ResolveUnknown();
  const std::string unit = ModuleBaseName(Module.FileName);
  if (!unit.empty()) FUnitName = unit;
  std::string symbol;
  std::uintptr_t symbolAddress = 0;
  if (NearestExportedSymbol(Address, symbol, symbolAddress)) {
    const std::string name = PublicNameOf(Demangle(symbol.c_str()));
    if (!name.empty()) FPublicName = name;
    FPublicOffset = static_cast<std::int32_t>(static_cast<std::uint32_t>(symbolAddress - Module.LoadBase));
  }
}

void TVEKMapFile::Lookup(std::uintptr_t Address) {
  LoadPending();
  TCodeModule module;
  if (!FindCodeModule(Address, module)) {
    ResolveUnknown();
    return;
  }
  if (!module.MainExecutable) {
    ResolveForeign(module, Address);
    return;
  }
  std::uintptr_t text = 0;
  if (!ExecutableTextAddress(text)) {
    if (FLoaded) ResolveUnknown();
    return;
  }
  // The map counts in 32 bits; an address below .text wraps to a large offset.
  LookupOffset(static_cast<std::uint32_t>(Address - module.LoadBase - text));
}

void TVEKMapFile::LookupOffset(std::uint32_t Offset) {
  LoadPending();
  if (!FLoaded) return;
  if (FCurrentValid && Offset == FCurrentOffset) return;
  FCurrentOffset = Offset;
  FCurrentValid = true;
  FindUnit();
  FindPublic();
  FindLine();
}

// Numbers from the map are signed 32-bit, offsets unsigned 32-bit; they are
// compared as 64-bit numbers, so a negative value is below every offset.

void TVEKMapFile::FindUnit() {
  FUnitName = UnknownText;
  const std::int64_t offset = FCurrentOffset;
  for (std::size_t i = FSegments.First; i < FSegments.End; ++i) {
    const std::string_view line = Line(i);
    const auto start = HexField(line, TLayout::SegmentStartColumn);
    if (!start || *start > offset) continue;
    const auto length = HexField(line, TLayout::SegmentLengthColumn);
    if (!length)
      throw EConvertError(
          "'$" + std::string(line.substr(std::min(line.size(), TLayout::SegmentLengthColumn), TLayout::HexWidth)) +
          "' is not a valid integer value");
    // The end is a 32-bit sum, which may wrap.
    const auto end =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(*start) + static_cast<std::uint32_t>(*length));
    if (offset >= end) continue;
    FUnitName = SegmentUnitName(line);
    return;
  }
}

void TVEKMapFile::FindPublic() {
  FPublicName = UnknownText;
  FPublicOffset = 0;
  const std::int64_t offset = FCurrentOffset;
  std::int32_t last = 0;
  for (std::size_t i = FPublics.First; i < FPublics.End; ++i) {
    const std::int32_t before = last;
    const std::string_view line = Line(i);
    const auto value = HexField(line, TLayout::PublicOffsetColumn);
    if (!value) continue;
    last = *value;
    if (*value == offset) {
      FPublicName = PublicNameOfLine(line);
      FPublicOffset = *value;
      return;
    }
    if (*value > offset) {
      // The public below is the line above, whatever it holds. The first
      // line (the section's marker, which never converts unless something
      // stands in front of it) has none above it: the name stays unknown.
      if (i > FPublics.First) FPublicName = PublicNameOfLine(Line(i - 1));
      FPublicOffset = before;
      return;
    }
  }
}

void TVEKMapFile::FindLine() {
  FLineNumber = UnknownText;
  // An empty unit name is in no header.
  if (FUnitName.empty()) return;
  // The first line that holds the name. The name holds no line break, so
  // its first place in the section's text lies inside that line: one search
  // through the text, then the line whose span holds the place.
  if (FLineNumbers.First >= FLineNumbers.End) return;
  const std::uint32_t* lines = FLines.data();
  const std::string_view section(FText.data(), lines[FLineNumbers.End] >> 2);
  const std::size_t at = section.find(FUnitName, lines[FLineNumbers.First] >> 2);
  if (at == std::string_view::npos) return;
  const std::uint32_t* next =
      std::upper_bound(lines + FLineNumbers.First + 1, lines + FLineNumbers.End, at,
                       [](std::size_t Place, std::uint32_t Entry) { return Place < (Entry >> 2); });
  const std::size_t header = static_cast<std::size_t>(next - lines) - 1;
  const std::int64_t offset = FCurrentOffset;
  std::int32_t previous = 0;
  for (std::size_t row = header + 2; row < FLineNumbers.End; ++row) {
    const std::string_view line = Line(row);
    for (std::size_t k = 0; k < TLayout::LineEntriesPerRow; ++k) {
      const std::size_t column = k * TLayout::LineEntryWidth;
      const auto entryOffset = HexField(line, column + TLayout::LineOffsetColumn);
      if (!entryOffset) return;
      if (*entryOffset > offset) {
        FLineNumber = std::to_string(previous);
        return;
      }
      const auto number = LineNumberField(line, column);
      if (!number) return;
      previous = *number;
      if (*entryOffset == offset) {
        FLineNumber = std::to_string(*number);
        return;
      }
    }
  }
}

// --- the walk -----------------------------------------------------------------

bool TVEKMapFile::ResolveFrame() {
  const TCodeFrame& frame = FFrames[FFrameIndex];
  FFramePointer = frame.Cfa;
  FReturnAddress = frame.Address;
  Lookup(CallSiteAddress(frame));
  return !SameTextAscii(FPublicName, TLayout::WalkEnd);
}

[[gnu::noinline]] bool TVEKMapFile::FirstFrame() {
  // Skips FirstFrame's own frame: frame 0 is its caller.
  FFrameCount = CaptureStack(FFrames.data(), FFrames.size(), 1);
  FFrameIndex = 0;
  if (FFrameCount == 0) return false;
  return ResolveFrame();
}

bool TVEKMapFile::NextFrame() {
  if (FFrameIndex + 1 >= FFrameCount) return false;
  ++FFrameIndex;
  return ResolveFrame();
}

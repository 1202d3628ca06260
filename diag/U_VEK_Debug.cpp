#include "diag/U_VEK_Debug.h"

#include <iterator>
#include <optional>
#include <string_view>

#include "diag/U_VEK_Global.h"
#include "platform/VersionInfo.h"
#include "runtime/Conversions.h"
#include "runtime/Demangle.h"
#include "runtime/TextFile.h"

namespace {

const char* const Unknown = "<Unknown>";

const char* const SegmentsMarker = "Detailed map of segments";
const char* const PublicsByNameMarker = "  Address         Publics by Name";
const char* const PublicsByValueMarker = "  Address         Publics by Value";
const char* const LineNumbersMarker = "Line numbers for ";

// The public that ends a walk.
const char* const WalkEnd = "TlsLast";

// Columns, counted from 0.
constexpr std::size_t HexWidth = 8;
constexpr std::size_t SegmentStartColumn = 6;
constexpr std::size_t SegmentLengthColumn = 15;
constexpr std::size_t PublicOffsetColumn = 6;
constexpr std::size_t PublicNameColumn = 21;
constexpr std::size_t LineEntryWidth = 20;
constexpr std::size_t LineEntriesPerRow = 4;
constexpr std::size_t LineNumberWidth = 6;
constexpr std::size_t LineOffsetColumn = 12;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The 8-digit hexadecimal field at Column of Line as a 32-bit signed number;
// nothing when the line ends before the field does or a character of it is
// not a hexadecimal digit.
std::optional<std::int32_t> HexField(const std::string& Line, std::size_t Column) {
  if (Line.size() < Column || Line.size() - Column < HexWidth) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < HexWidth; ++i) {
    const int digit = HexDigit(Line[Column + i]);
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
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
std::string SegmentUnitName(const std::string& Line) {
  const std::size_t module = Line.find("M=");
  const std::size_t attributes = Line.find("ACBP=");
  if (module == std::string::npos || attributes == std::string::npos) return {};
  const std::size_t first = module + 2;
  if (attributes < first + 1) return {};
  return Trim(std::string_view(Line).substr(first, attributes - 1 - first));
}

// A public's name: column 22 to the end of the line, trimmed.
std::string PublicNameOfLine(const std::string& Line) {
  if (Line.size() <= PublicNameColumn) return {};
  return Trim(std::string_view(Line).substr(PublicNameColumn));
}

// The line number of a line-number entry: its 6 columns without blanks,
// converted as a whole number. Nothing when the row is too short.
std::optional<std::int32_t> LineNumberField(const std::string& Line, std::size_t Column) {
  if (Line.size() < Column || Line.size() - Column < LineNumberWidth) return std::nullopt;
  std::string digits;
  for (std::size_t i = 0; i < LineNumberWidth; ++i)
    if (Line[Column + i] != ' ') digits += Line[Column + i];
  return TryStrToInt(digits);
}

// The index of the first line from From on that holds Marker; 0 when none does.
std::size_t FindMarker(const std::vector<std::string>& Lines, std::size_t From, const char* Marker) {
  for (std::size_t i = From; i < Lines.size(); ++i)
    if (Lines[i].find(Marker) != std::string::npos) return i;
  return 0;
}

bool SameTextIgnoringCase(const std::string& A, const char* B) {
  std::size_t i = 0;
  for (; i < A.size() && B[i] != '\0'; ++i) {
    char a = A[i], b = B[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return i == A.size() && B[i] == '\0';
}

}  // namespace

TVEKMapFile::TVEKMapFile()
    : FSegments(new std::vector<std::string>),
      FPublics(new std::vector<std::string>),
      FLineNumbers(new std::vector<std::string>),
      FUnitName(Unknown),
      FPublicName(Unknown),
      FLineNumber(Unknown) {}

TVEKMapFile::~TVEKMapFile() {
  SafeFreeAndNil(FSegments);
  SafeFreeAndNil(FPublics);
  SafeFreeAndNil(FLineNumbers);
}

// --- loading ----------------------------------------------------------------

void TVEKMapFile::Clear() {
  FSegments->clear();
  FPublics->clear();
  FLineNumbers->clear();
  FLoaded = false;
  // The results no longer belong to a map that is loaded.
  FCurrentValid = false;
}

void TVEKMapFile::SetFileName(const std::string& Value) {
  if (Value == FFileName) return;
  if (!Value.empty() && !FileExists(Value)) throw EMapFileException("Map File not found : " + Value + ".");
  Clear();
  if (Value.empty()) return;
  Load(Value, LoadTextLines(Value));
}

void TVEKMapFile::LoadFromText(const std::string& Value, const std::string& Text) {
  Clear();
  if (Value.empty()) return;
  Load(Value, SplitLines(Text));
}

void TVEKMapFile::Load(const std::string& Value, std::vector<std::string>&& Lines) {
  // A marker that is missing leaves its index at 0, and the next search
  // then starts from the first line again.
  const std::size_t s = FindMarker(Lines, 0, SegmentsMarker);
  const std::size_t n = FindMarker(Lines, s, PublicsByNameMarker);
  const std::size_t v = FindMarker(Lines, n, PublicsByValueMarker);
  const std::size_t l = FindMarker(Lines, v, LineNumbersMarker);
  if (s == 0 || v == 0 || l == 0) throw EMapFileException("Invalid Map File : " + Value + ".");

  // Each search starts at the index before it, so s <= n and v <= l; the
  // marker lines and blank lines are kept, and fail every conversion.
  auto move = [&Lines](std::size_t First, std::size_t End, std::vector<std::string>& To) {
    To.assign(std::make_move_iterator(Lines.begin() + static_cast<std::ptrdiff_t>(First)),
              std::make_move_iterator(Lines.begin() + static_cast<std::ptrdiff_t>(End)));
  };
  // Segments are copied first: with no publics-by-name marker (n == 0) there
  // are none, and the other ranges never overlap them otherwise.
  if (n != 0) move(s, n, *FSegments);
  move(v, l, *FPublics);
  move(l, Lines.size(), *FLineNumbers);
  FLoaded = true;
  FFileName = Value;
}

// --- lookups ----------------------------------------------------------------

void TVEKMapFile::ResolveUnknown() {
  FUnitName = Unknown;
  FPublicName = Unknown;
  FPublicOffset = 0;
  FLineNumber = Unknown;
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
  FUnitName = Unknown;
  const std::int64_t offset = FCurrentOffset;
  for (const std::string& line : *FSegments) {
    const auto start = HexField(line, SegmentStartColumn);
    if (!start || *start > offset) continue;
    const auto length = HexField(line, SegmentLengthColumn);
    if (!length)
      throw EConvertError("'$" + line.substr(std::min(line.size(), SegmentLengthColumn), HexWidth) +
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
  FPublicName = Unknown;
  FPublicOffset = 0;
  const std::int64_t offset = FCurrentOffset;
  const std::vector<std::string>& publics = *FPublics;
  std::int32_t last = 0;
  for (std::size_t i = 0; i < publics.size(); ++i) {
    const std::int32_t before = last;
    const auto value = HexField(publics[i], PublicOffsetColumn);
    if (!value) continue;
    last = *value;
    if (*value == offset) {
      FPublicName = PublicNameOfLine(publics[i]);
      FPublicOffset = *value;
      return;
    }
    if (*value > offset) {
      // The public below is the line above, whatever it holds. The first
      // line (the section's marker, which never converts unless something
      // stands in front of it) has none above it: the name stays unknown.
      if (i > 0) FPublicName = PublicNameOfLine(publics[i - 1]);
      FPublicOffset = before;
      return;
    }
  }
}

void TVEKMapFile::FindLine() {
  FLineNumber = Unknown;
  // An empty unit name is in no header.
  if (FUnitName.empty()) return;
  const std::vector<std::string>& lines = *FLineNumbers;
  std::size_t header = 0;
  while (header < lines.size() && lines[header].find(FUnitName) == std::string::npos) ++header;
  if (header >= lines.size()) return;
  const std::int64_t offset = FCurrentOffset;
  std::int32_t previous = 0;
  for (std::size_t row = header + 2; row < lines.size(); ++row) {
    const std::string& line = lines[row];
    for (std::size_t k = 0; k < LineEntriesPerRow; ++k) {
      const std::size_t column = k * LineEntryWidth;
      const auto entryOffset = HexField(line, column + LineOffsetColumn);
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
  return !SameTextIgnoringCase(FPublicName, WalkEnd);
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

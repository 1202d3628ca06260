#include "diag/U_VEK_Debug.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <limits>
#include <optional>
#include <string_view>
#include <typeinfo>

#include "diag/F_VEK_Exception.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_RaiseError.h"
#include "diag/U_VEK_SafeFree.h"
#include "diag/U_VEK_System.h"
#include "platform/ByteSource.h"
#include "platform/FileSystem.h"
#include "runtime/Application.h"
#include "runtime/Conversions.h"
#include "runtime/Demangle.h"
#include "runtime/LocaleText.h"
#include "runtime/Shutdown.h"
#include "runtime/TextFile.h"
#include "runtime/TextUtil.h"

namespace {

const char* const Unknown = "<Unknown>";

const char* const SegmentsMarker = "Detailed map of segments";
const char* const PublicsByNameMarker = "  Address         Publics by Name";
const char* const PublicsByValueMarker = "  Address         Publics by Value";
const char* const LineNumbersMarker = "Line numbers for ";
const std::string_view IdentityLabel = "Executable identity : ";

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
  if (Line.size() < Column || Line.size() - Column < HexWidth) return std::nullopt;
  const char* field = Line.data() + Column;
  std::uint32_t value = 0;
  int invalid = 0;
  for (std::size_t i = 0; i < HexWidth; ++i) {
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
  if (Line.size() <= PublicNameColumn) return {};
  return Trim(Line.substr(PublicNameColumn));
}

// The line number of a line-number entry: its 6 columns without blanks,
// converted as a whole number. Nothing when the row is too short.
std::optional<std::int32_t> LineNumberField(std::string_view Line, std::size_t Column) {
  if (Line.size() < Column || Line.size() - Column < LineNumberWidth) return std::nullopt;
  const char* field = Line.data() + Column;
  // The usual field, decimal digits right-aligned with blanks, is read in
  // place; anything else (a sign, a hexadecimal prefix, a tab, no digit at
  // all) goes through the runtime's conversion, which decides.
  std::int32_t value = 0;
  std::size_t digits = 0;
  bool plain = true;
  for (std::size_t i = 0; i < LineNumberWidth && plain; ++i) {
    const char c = field[i];
    if (c == ' ') continue;
    plain = c >= '0' && c <= '9';
    value = value * 10 + (c - '0');
    ++digits;
  }
  if (plain && digits > 0) return value;
  std::string text;
  for (std::size_t i = 0; i < LineNumberWidth; ++i)
    if (field[i] != ' ') text += field[i];
  return TryStrToInt(text);
}

}  // namespace

TVEKMapFile::TVEKMapFile() : FUnitName(Unknown), FPublicName(Unknown), FLineNumber(Unknown) {}

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

void TVEKMapFile::LoadWhenNeeded(const std::string& Value) {
  FPending = Value;
}

void TVEKMapFile::LoadPending() const {
  if (FPending.empty()) return;
  std::string name;
  name.swap(FPending);
  try {
    // Never created const: the accessors that load are const only for
    // their callers.
    const_cast<TVEKMapFile*>(this)->SetFileName(name);
  } catch (...) {
    // Without a map the reader resolves nothing in the executable.
  }
}

void TVEKMapFile::SetFileName(const std::string& Value) {
  FPending.clear();
  if (Value == FFileName) return;
  if (!Value.empty() && !FileExists(Value)) throw EMapFileException("Map File not found : " + Value + ".");
  Clear();
  if (Value.empty()) return;
  Load(Value, ReadFileIntoPages(Value, kMaxTextFileSize));
}

void TVEKMapFile::LoadFromText(const std::string& Value, const std::string& Text) {
  FPending.clear();
  Clear();
  if (Value.empty()) return;
  Load(Value, TPageVector<char>(Text.begin(), Text.end()));
}

void TVEKMapFile::Load(const std::string& Value, TPageVector<char>&& Text) {
  const auto invalid = [&Value] { return EMapFileException("Invalid Map File : " + Value + "."); };
  // An offset takes 30 bits; a file is far smaller (kMaxTextFileSize).
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
  const std::size_t s = find(0, SegmentsMarker);
  const std::size_t n = find(s, PublicsByNameMarker);
  const std::size_t v = find(n, PublicsByValueMarker);
  const std::size_t l = find(v, LineNumbersMarker);
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
    if (line.find(SegmentsMarker) != std::string_view::npos) break;
    if (line.starts_with(IdentityLabel)) return Trim(line.substr(IdentityLabel.size()));
  }
  return {};
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
  FUnitName = Unknown;
  const std::int64_t offset = FCurrentOffset;
  for (std::size_t i = FSegments.First; i < FSegments.End; ++i) {
    const std::string_view line = Line(i);
    const auto start = HexField(line, SegmentStartColumn);
    if (!start || *start > offset) continue;
    const auto length = HexField(line, SegmentLengthColumn);
    if (!length)
      throw EConvertError("'$" + std::string(line.substr(std::min(line.size(), SegmentLengthColumn), HexWidth)) +
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
  std::int32_t last = 0;
  for (std::size_t i = FPublics.First; i < FPublics.End; ++i) {
    const std::int32_t before = last;
    const std::string_view line = Line(i);
    const auto value = HexField(line, PublicOffsetColumn);
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
  FLineNumber = Unknown;
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
  return !SameTextAscii(FPublicName, WalkEnd);
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

// ===========================================================================
// Exception interception and report: TVEKDebug, VEKDebugger.

TVEKDebug* VEKDebug = nullptr;

namespace {

const char* const kUnknown = "<Unknown>";
const char* const kNotApplicable = "<N/A>";
const char* const kCrLf = "\r\n";
// The width of the report's labels.
constexpr int kLabelWidth = 15;

// A type as the report names it: "Class ( Parent )".
std::string TypeText(const std::string& Class, const std::string& Parent) {
  return Class + " ( " + Parent + " )";
}

// "0x" and the address in upper-case hexadecimal, at the pointer's width.
std::string HexAddress(std::uintptr_t Address) {
  char text[2 + 2 * sizeof(std::uintptr_t) + 1];
  std::snprintf(text, sizeof text, "0x%0*" PRIXPTR, static_cast<int>(2 * sizeof(std::uintptr_t)), Address);
  return text;
}

// The library's failure messages: logged as INFO and shown in a box.
void ShowAndLogText(const std::string& Msg) {
  if (VEKApplication)
    VEKApplication->ShowAndLog(Msg);
  else
    ShowMessage(Msg);
}

// "<Heading>" CR LF CR LF "<message>", the message or "     [NULL Object]".
std::string FailureText(const char* Heading, const std::exception* Failure) {
  return std::string(Heading) + kCrLf + kCrLf + (Failure ? std::string(Failure->what()) : "     [NULL Object]");
}

// The same, then CR LF CR LF and the message again in parentheses.
std::string FailureTextTwice(const char* Heading, const std::exception* Failure) {
  return FailureText(Heading, Failure) + kCrLf + kCrLf + "(" + (Failure ? std::string(Failure->what()) : "") + ")";
}

// ProcessException keeps the exception it handles and its throw site; a
// nested call (an exception while the dialog is shown) restores the outer
// one when it ends.
struct THandledScope {
  THandledScope(const std::exception*& Handled, TThrowSite& Site, bool& Known, const std::exception* E)
      : FHandled(Handled), FSite(Site), FKnown(Known), FOldHandled(Handled), FOldSite(Site), FOldKnown(Known) {
    Handled = E;
    Known = CurrentThrowSite(Site);
  }
  ~THandledScope() {
    FHandled = FOldHandled;
    FSite = FOldSite;
    FKnown = FOldKnown;
  }
  THandledScope(const THandledScope&) = delete;
  THandledScope& operator=(const THandledScope&) = delete;

  const std::exception*& FHandled;
  TThrowSite& FSite;
  bool& FKnown;
  const std::exception* FOldHandled;
  TThrowSite FOldSite;
  bool FOldKnown;
};

// Whether the map file names the running executable's build, or names none
// (a map of another generator). Only the header is read: the lines before
// the segment section lie in the file's first few hundred bytes.
bool MapOfThisBuild(const std::string& Map) {
  constexpr std::size_t HeadSize = 4096;
  const TFileSource file(Map);
  std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(file.Size(), HeadSize)), '\0');
  if (!file.Read(0, head.size(), head.data())) return true;  // the load will tell
  const std::string named = TVEKMapFile::IdentityOf(head);
  const std::string& own = ExecutableIdentity();
  return named.empty() || own.empty() || named == own;
}

// The fatal-signal handler's report function: the interceptor's report,
// while there is one.
void ReportFatalSignal(const TFatalSignalInfo& Signal) {
  if (VEKDebug) VEKDebug->ProcessSignal(Signal);
}

}  // namespace

bool VEKDebugSwitch(bool InsideIDE, const std::vector<std::string>& Params, bool Current) {
  if (InsideIDE) return false;
  auto has = [&Params](const char* Switch) {
    for (const std::string& p : Params)
      if (p == Switch) return true;
    return false;
  };
  if (has("/DEBUG")) return true;
  if (has("/NODEBUG")) return false;
  return Current;
}

std::string TVEKDebug::MapFileNameFor(const std::string& ExeName) {
  const auto slash = ExeName.find_last_of('/');
  const auto dot = ExeName.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) return ExeName.substr(0, dot) + ".map";
  return ExeName + ".map";
}

TVEKDebug::TVEKDebug() {
  ProcStack = new std::vector<TCallProcInfo>;
  MapFile = new TVEKMapFile;
  ObjectInfos = new TVEKObjectInfos;
  const std::string exe = VEKApplication ? VEKApplication->ExeName : Application ? Application->ExeName() : "";
  if (exe.empty()) return;
  const std::string map = MapFileNameFor(exe);
  // Read when a report or a trace first needs it; without a map, or with
  // one that cannot be read or belongs to another build, the interceptor
  // works without locations.
  if (FileExists(map) && MapOfThisBuild(map)) MapFile->LoadWhenNeeded(map);
}

TVEKDebug::~TVEKDebug() {
  SetActive(false);
  SafeFreeAndNil(ProcStack);
  SafeFreeAndNil(MapFile);
  SafeFreeAndNil(ObjectInfos);
}

int TVEKDebug::QueryInterface(const void*, void** Obj) {
  if (Obj) *Obj = nullptr;
  return static_cast<int>(0x80004002u);  // no such interface
}

int TVEKDebug::AddRef() {
  return -1;
}

int TVEKDebug::Release() {
  return -1;
}

void TVEKDebug::SetActive(bool Value) {
  if (Value == FActive) return;
  if (Value) {
    if (Application) {
      SavedOnException = Application->OnException;
      Application->OnException = [this](QObject* Sender, const std::exception& E) {
        ApplicationExceptionHandler(Sender, E);
      };
    }
  } else if (Application) {
    Application->OnException = SavedOnException;
  }
  SetThrowStackCapture(Value);
  if (Value)
    InstallFatalSignalHandler(ReportFatalSignal, CrashReportSeconds);
  else
    RemoveFatalSignalHandler();
  FActive = Value;
}

void TVEKDebug::ApplicationExceptionHandler(QObject* Sender, const std::exception& E) {
  if (dynamic_cast<const EAbort*>(&E)) return;
  ProcessException(Sender, &E, true);
}

__attribute__((noinline)) void TVEKDebug::GetCallStack(int Skip, bool OnlyOne, std::string& Text) {
  Text.clear();
  try {
    if (!MapFile->FirstFrame()) return;
    int frame = 0;
    do {
      if (frame >= Skip) {
        if (!Text.empty()) Text += kCrLf;
        // Each frame by itself: where it has no location, the reader still
        // holds the results of the frame before.
        Text += HasLocation(MapFile->ReturnAddress()) ? MapFile->UnitName() + "::" + MapFile->PublicName()
                                                      : std::string(kUnknown) + "::" + kUnknown;
        if (OnlyOne) return;
      }
      ++frame;
    } while (MapFile->NextFrame());
  } catch (...) {
    // The walk ends; the lines gathered so far stay.
  }
}

bool TVEKDebug::HasLocation(std::uintptr_t Address) {
  // An address of the executable has no location without a map; the
  // reader would keep the last lookup's results.
  TCodeModule module;
  return MapFile->Loaded() || (FindCodeModule(Address, module) && !module.MainExecutable);
}

bool TVEKDebug::Locate(std::uintptr_t CallAddress) {
  if (!HasLocation(CallAddress)) return false;
  MapFile->Lookup(CallAddress);
  return true;
}

std::string TVEKDebug::FrameLine(std::uintptr_t CallAddress) {
  if (!Locate(CallAddress)) return std::string(kUnknown) + "::" + kUnknown;
  return MapFile->UnitName() + "::" + MapFile->PublicName();
}

std::string TVEKDebug::StackText(const std::vector<std::uintptr_t>& CallAddresses) {
  std::string text;
  try {
    for (std::size_t i = 0; i < CallAddresses.size(); ++i) {
      const std::string line = FrameLine(CallAddresses[i]);
      if (i > 0) text += kCrLf;
      text += line;
    }
  } catch (...) {
    // A lookup that fails ends the stack, as it ends the walk; the lines
    // gathered so far stay.
  }
  return text;
}

bool TVEKDebug::ThrowSiteOf(const std::exception* E, TThrowSite& Site) const {
  if (E && E == FHandled) {
    if (FHandledSiteKnown) Site = FHandledSite;
    return FHandledSiteKnown;
  }
  return CurrentThrowSite(Site);
}

void TVEKDebug::ResetInfos(TVEKExceptionInfos& Infos) {
  for (std::string* text : {&Infos.ExceptionClass, &Infos.ExceptionParent, &Infos.ExceptionType, &Infos.Message,
                            &Infos.Address, &Infos.AppTitle, &Infos.AppPath, &Infos.AppVersion, &Infos.DateTime,
                            &Infos.UserName, &Infos.ComputerName, &Infos.UnitName, &Infos.LineNumber, &Infos.ClassName,
                            &Infos.FunctionName, &Infos.SenderClass, &Infos.SenderName, &Infos.CallStack})
    *text = kUnknown;
}

void TVEKDebug::FillRunInfos(TVEKExceptionInfos& Infos) {
  if (VEKApplication) {
    Infos.AppTitle = VEKApplication->Title;
    Infos.AppPath = LowerAscii(VEKApplication->ExeName);
    if (!VEKApplication->Version.empty()) Infos.AppVersion = VEKApplication->Version;
  }

  Infos.DateTime = NowText();

  if (VEKWindows) {
    Infos.UserName = VEKWindows->UserName;
    Infos.ComputerName = VEKWindows->ComputerName;
  }
}

void TVEKDebug::FillLocation(TVEKExceptionInfos& Infos, std::uintptr_t CodeAddress) {
  if (!Locate(CodeAddress)) return;
  Infos.UnitName = MapFile->UnitName();
  Infos.LineNumber = MapFile->LineNumber();
  const std::string& name = MapFile->PublicName();
  const auto dot = name.find('.');
  Infos.ClassName = dot == std::string::npos ? std::string(kNotApplicable) : name.substr(0, dot);
  Infos.FunctionName = dot == std::string::npos ? name : name.substr(dot + 1);
}

void TVEKDebug::GetExceptionInfos(QObject* Sender, const std::exception* E, TVEKExceptionInfos& Infos) {
  ResetInfos(Infos);
  if (!E) return;
  try {
    ObjectInfos->Analyze(E);
    Infos.ExceptionObject = E;
    Infos.ExceptionClass = ObjectInfos->ObjectClass;
    Infos.ExceptionParent = ObjectInfos->ParentClass;
    if (auto* unknown = dynamic_cast<const EUnknownException*>(E)) {
      // Something that is no std::exception: its own type.
      Infos.ExceptionClass = unknown->ThrownClass;
      Infos.ExceptionParent = unknown->ThrownParent;
    }
    Infos.ExceptionType = TypeText(Infos.ExceptionClass, Infos.ExceptionParent);

    Infos.Message = E->what();

    TThrowSite site;
    const bool known = ThrowSiteOf(E, site);
    const std::uintptr_t raiseAddress = known ? site.Address : 0;
    Infos.Address = HexAddress(raiseAddress);

    FillRunInfos(Infos);

    // The recorded address is the return address of the call that throws:
    // the throw statement lies one byte before it.
    if (raiseAddress != 0) FillLocation(Infos, raiseAddress - 1);

    if (Sender) {
      ObjectInfos->Analyze(Sender);
      Infos.SenderClass = ObjectInfos->Hierarchy;
      Infos.SenderName = ObjectInfos->ObjectName;
    } else {
      Infos.SenderClass = kNotApplicable;
      Infos.SenderName = kNotApplicable;
    }

    if (known && site.FrameCount > 0) {
      // Return addresses: each call lies one byte before its own.
      std::vector<std::uintptr_t> calls(site.Frames, site.Frames + site.FrameCount);
      for (std::uintptr_t& call : calls) --call;
      if (std::string stack = StackText(calls); !stack.empty()) Infos.CallStack = std::move(stack);
    } else {
      GetCallStack(0, false, Infos.CallStack);
    }
  } catch (...) {
    // What was filled so far stays.
  }
}

std::string TVEKDebug::HandledExceptionText() {
  const std::exception_ptr current = std::current_exception();
  if (!current) return {};
  std::string type, message;
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& handled) {
    ObjectInfos->Analyze(&handled);
    type = TypeText(ObjectInfos->ObjectClass, ObjectInfos->ParentClass);
    message = handled.what();
  } catch (...) {
    const EUnknownException unknown = EUnknownException::FromCurrent();
    type = TypeText(unknown.ThrownClass, unknown.ThrownParent);
    message = unknown.what();
  }
  return "Exception being handled : " + type + " : " + message;
}

void TVEKDebug::GetSignalInfos(const TFatalSignalInfo& Signal, TVEKExceptionInfos& Infos) {
  ResetInfos(Infos);
  try {
    Infos.ExceptionClass = Signal.Name;
    Infos.ExceptionParent = "Fatal signal";
    Infos.ExceptionType = TypeText(Infos.ExceptionClass, Infos.ExceptionParent);

    Infos.Message = FatalSignalDescription(Signal);
    if (Signal.Signal == SIGABRT) {
      // std::terminate aborts with the exception nobody caught as the one
      // being handled.
      const std::string handled = HandledExceptionText();
      if (!handled.empty()) Infos.Message += kCrLf + handled;
    }

    // The abort of std::terminate (or of a handler) while an exception is
    // being handled names the exception's throw site, as the report of a
    // caught one does; the call stack stays the signal's.
    TThrowSite site;
    const bool thrown = Signal.Signal == SIGABRT && CurrentThrowSite(site) && site.Address != 0;
    Infos.Address = HexAddress(thrown ? site.Address : Signal.InstructionAddress);

    FillRunInfos(Infos);

    if (thrown)
      FillLocation(Infos, site.Address - 1);  // the throw lies one byte before its return address
    else if (Signal.InstructionAddress != 0)
      FillLocation(Infos, Signal.InstructionAddress);  // the interrupted instruction itself

    Infos.SenderClass = kNotApplicable;
    Infos.SenderName = kNotApplicable;

    if (Signal.FrameCount > 0) {
      std::vector<std::uintptr_t> calls;
      for (std::size_t i = 0; i < Signal.FrameCount; ++i) calls.push_back(CallSiteAddress(Signal.Frames[i]));
      if (std::string stack = StackText(calls); !stack.empty()) Infos.CallStack = std::move(stack);
    }
  } catch (...) {
    // What was filled so far stays.
  }
}

void TVEKDebug::ProcessSignal(const TFatalSignalInfo& Signal) {
  try {
    TVEKExceptionInfos Infos;
    GetSignalInfos(Signal, Infos);
    const std::string report = ReportText(Infos);
    // Saved at once: the process ends right after.
    if (VEKApplication && VEKApplication->LogFile) VEKApplication->LogFile->Write(llExcept, report, true);
  } catch (...) {
    // The entry is missing from the log; the process ends all the same.
  }
}

std::string TVEKDebug::ReportText(const TVEKExceptionInfos& Infos) const {
  const int indent = Indent > 0 ? Indent : 0;
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  const int next = indent + kLabelWidth;
  const std::pair<const char*, std::string> lines[] = {
      {"Type         : ", Infos.ExceptionType},
      {"Unit         : ", Infos.UnitName},
      {"Line         : ", Infos.LineNumber},
      {"Class        : ", Infos.ClassName},
      {"Function     : ", Infos.FunctionName},
      {"Address      : ", Infos.Address},
      {"Sender Class : ", Infos.SenderClass},
      {"Sender Name  : ", Infos.SenderName},
      // Most messages break their lines with a bare LF: aligned and in the
      // log as CR LF like the rest.
      {"Message      : ", IndentText(CrLfLineBreaks(Infos.Message), 0, next, ' ')},
      {"Call Stack   : ", IndentText(CrLfLineBreaks(Infos.CallStack), 0, next, ' ')},
  };
  std::string text;
  for (const auto& [label, value] : lines) {
    if (!text.empty()) text += kCrLf;
    text += pad + label + value;
  }
  return text;
}

void TVEKDebug::ProcessException(QObject* Sender, const std::exception* E, bool ShowFlag) {
  bool Continue = true;
  TVEKExceptionInfos Infos;
  const THandledScope handled(FHandled, FHandledSite, FHandledSiteKnown, E);
  try {
    GetExceptionInfos(Sender, E, Infos);
    const std::string report = ReportText(Infos);
    // Saved at once: a program that dies after its exception keeps it.
    if (VEKApplication && VEKApplication->LogFile) VEKApplication->LogFile->Write(llExcept, report, true);
  } catch (...) {
    // The entry is missing from the log.
  }
  try {
    if (BeforeException) {
      try {
        BeforeException(Sender, E, Continue);
      } catch (const std::exception& failure) {
        if (ShowFlag) ShowAndLogText(FailureText("Error on BeforeException :", &failure));
      }
    }
    if (Continue && ShowFlag) DisplayException(Sender, E);
    if (AfterException) {
      try {
        AfterException(Sender, E, Continue);
      } catch (const std::exception& failure) {
        if (ShowFlag) ShowAndLogText(FailureText("Error on AfterException :", &failure));
      }
    }
  } catch (const std::exception& failure) {
    ShowAndLogText(FailureTextTwice("Error on processing Exception : ", &failure));
  }
}

void TVEKDebug::DisplayException(QObject* Sender, const std::exception* E) {
  if (E && dynamic_cast<const EAbort*>(E)) return;
  if (OnException) {
    try {
      OnException(Sender, E);
    } catch (const std::exception& failure) {
      ShowAndLogText(FailureText("Error on OnException :", &failure));
    }
  }
  if (Application && Application->Destroying()) RaiseError(E ? E->what() : "", false, smTerminate);
  try {
    if (OnDisplayException)
      OnDisplayException(Sender, E);
    else
      ShowExceptionDialog(nullptr, Sender, E);
  } catch (const std::exception& failure) {
    ShowAndLogText(FailureTextTwice("Error on displaying Exception :", &failure));
  }
}

// The return address of the function this is expanded in, as a number.
#define VEK_RETURN_ADDRESS() \
  reinterpret_cast<std::uintptr_t>(__builtin_extract_return_addr(__builtin_return_address(0)))

namespace {

void WriteTrace(TVEKLogLevel Level, std::int32_t Indent, const std::string& Text) {
  if (VEKApplication && VEKApplication->LogFile)
    VEKApplication->LogFile->Write(Level, std::string(static_cast<std::size_t>(Indent > 0 ? Indent : 0), ' ') + Text,
                                   false);
}

// A silent abort with this message.
[[noreturn]] void RaiseAbort(const std::string& Message) {
  EAbort abort;
  abort.SetMessage(Message);
  throw abort;
}

}  // namespace

bool TVEKDebug::EnterProcAt(std::uintptr_t ReturnAddress, const std::vector<TTypedValue>* Params, std::uint8_t Action,
                            bool ShowErrors) {
  try {
    ProcStack->emplace_back();
    TCallProcInfo& entry = ProcStack->back();
    // The call lies one byte before its return address.
    entry.Location = FrameLine(ReturnAddress - 1);
    entry.Action = Action;
    entry.ShowErrors = ShowErrors;
    std::string line = entry.Location;
    if (Params && !Params->empty()) {
      try {
        line += " ( ";
        for (const TTypedValue& value : *Params) line += VarRecToText(value) + " , ";
        line.resize(line.size() - 3);
        line += " )";
      } catch (...) {
        // The line keeps what was described.
      }
    }
    WriteTrace(llEnter, Indent, line);
    Indent += 2;
    return true;
  } catch (...) {
    // A trace never disturbs the traced procedure.
    return false;
  }
}

void TVEKDebug::EnterProc(std::uint8_t Action, bool ShowErrors) {
  EnterProcAt(VEK_RETURN_ADDRESS(), nullptr, Action, ShowErrors);
}

void TVEKDebug::EnterProcParams(const std::vector<TTypedValue>& Params, std::uint8_t Action, bool ShowErrors) {
  EnterProcAt(VEK_RETURN_ADDRESS(), &Params, Action, ShowErrors);
}

void TVEKDebug::LeaveProc() {
  try {
    if (ProcStack->empty()) return;
    Indent -= 2;
    WriteTrace(llLeave, Indent, ProcStack->back().Location);
    ProcStack->pop_back();
  } catch (...) {
    // A trace never disturbs the traced procedure.
  }
}

bool TVEKDebug::HandleException() {
  // The exception being handled stays alive while Current holds it.
  const std::exception_ptr current = std::current_exception();
  const std::exception* E = nullptr;
  std::optional<EUnknownException> foreign;
  if (current) {
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& handled) {
      E = &handled;
    } catch (...) {
      foreign.emplace(EUnknownException::FromCurrent());
      E = &*foreign;
    }
  }
  if (E && typeid(*E) == typeid(EAbort)) {
    if (!ProcStack->empty()) LeaveProc();
    RaiseAbort(E->what());
  }
  if (ProcStack->empty()) {
    ProcessException(nullptr, E, false);
    return true;
  }
  const TCallProcInfo entry = ProcStack->back();
  ProcessException(nullptr, E, entry.ShowErrors);
  switch (entry.Action) {
    case 0:
      LeaveProc();
      return false;
    case 1:
      LeaveProc();
      return true;
    case 2:
      LeaveProc();
      RaiseAbort("");
    default:
      return false;
  }
}

TVEKTraceScope::TVEKTraceScope() {
  Enter(VEK_RETURN_ADDRESS(), nullptr, 0, false);
}

TVEKTraceScope::TVEKTraceScope(const std::vector<TTypedValue>& Params, std::uint8_t Action, bool ShowErrors) {
  Enter(VEK_RETURN_ADDRESS(), &Params, Action, ShowErrors);
}

void TVEKTraceScope::Enter(std::uintptr_t ReturnAddress, const std::vector<TTypedValue>* Params, std::uint8_t Action,
                           bool ShowErrors) {
  try {
    VEKDebugger();
  } catch (...) {
    // Without the library nothing is traced.
    return;
  }
  FDebug = VEKDebug;
  if (FDebug && FDebug->EnterProcAt(ReturnAddress, Params, Action, ShowErrors)) FDepth = FDebug->ProcStack->size();
}

TVEKTraceScope::~TVEKTraceScope() {
  // HandleException may have popped the entry already; an interceptor
  // released meanwhile (tests) is not touched.
  if (FDepth > 0 && FDebug == VEKDebug && FDebug->ProcStack->size() >= FDepth) FDebug->LeaveProc();
}

void InitVEKDebug() {
  if (VEKDebug) return;
  // The library's release at the program's end, registered first so that a
  // failing start-up releases what it created.
  static bool shutdownRegistered = false;
  if (!shutdownRegistered) {
    AddShutdownProc(FinalizeVEKSystem);
    // Runs before the release above: a crash after it finds the signals as
    // they were before the library, not a handler without a log.
    AddShutdownProc(RemoveFatalSignalHandler);
    shutdownRegistered = true;
  }
  InitVEKSystem();
  const bool debugActive =
      VEKApplication ? VEKDebugSwitch(VEKApplication->InsideIDE, VEKApplication->Params, false) : false;
  VEKDebug = new TVEKDebug;
  VEKDebug->SetActive(debugActive);
}

IVEKDebug* VEKDebugger() {
  if (!VEKDebug) InitVEKDebug();
  return VEKDebug;
}

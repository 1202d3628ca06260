#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Demangle.h"
#include "base/Exceptions.h"
#include "base/TextFile.h"
#include "diag/U_VEK_Debug.h"
#include "platform/CodeAddress.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

// --- functions of this executable that the walks and offsets look at ---------
// Exported (the test links with -rdynamic) so that dladdr names them; never
// inlined, and each does some work after its call so that no call becomes a
// jump.

struct TSeenFrame {
  std::uintptr_t ReturnAddress = 0;
  std::uintptr_t FramePointer = 0;
  std::string Unit, Public, Line;
  std::string Symbol;  // the exported symbol at ReturnAddress - 1, demangled
};

struct TWalk {
  TVEKMapFile* Map = nullptr;
  std::vector<TSeenFrame> Frames;
  bool FirstResult = false;
  std::string LastPublic;  // the public of the step that ended the walk
};

volatile int Sink = 0;

namespace {
void Record(TWalk& W) {
  TSeenFrame f;
  f.ReturnAddress = W.Map->ReturnAddress();
  f.FramePointer = W.Map->FramePointer();
  f.Unit = W.Map->UnitName();
  f.Public = W.Map->PublicName();
  f.Line = W.Map->LineNumber();
  std::string symbol;
  std::uintptr_t at = 0;
  if (NearestExportedSymbol(f.ReturnAddress - 1, symbol, at)) f.Symbol = Demangle(symbol.c_str());
  W.Frames.push_back(f);
}

// Records the frame FirstFrame gave and every frame after it.
void FinishWalk(TWalk& W) {
  if (W.Map->ReturnAddress() != 0) Record(W);
  if (W.FirstResult)
    while (W.Map->NextFrame() && W.Frames.size() < 2 * TVEKMapFile::MaxFrames) Record(W);
  W.LastPublic = W.Map->PublicName();
}
}  // namespace

extern "C" {
[[gnu::noinline]] void MapFileWalkLevel3(TWalk& W) {
  W.FirstResult = W.Map->FirstFrame();
  Sink = Sink + 1;
  FinishWalk(W);
}

[[gnu::noinline]] void MapFileWalkLevel2(TWalk& W) {
  MapFileWalkLevel3(W);
  Sink = Sink + 2;
}

[[gnu::noinline]] void MapFileWalkLevel1(TWalk& W) {
  MapFileWalkLevel2(W);
  Sink = Sink + 3;
}

// Recurses Depth times, then walks.
[[gnu::noinline]] void MapFileWalkDeep(TWalk& W, int Depth) {
  if (Depth > 0)
    MapFileWalkDeep(W, Depth - 1);
  else
    MapFileWalkLevel3(W);
  Sink = Sink + Depth;
}

[[gnu::noinline]] int MapFileOffsetTarget(int X) {
  return X * 3 + Sink;
}
}

// The same kind of nest as methods of a class, walked through this
// executable's own map file. Each method is told the line of its call, and
// the innermost one notes the line of its FirstFrame call, so that a test
// knows the source line every frame must resolve to.
class TMapFileWalker {
 public:
  explicit TMapFileWalker(TWalk& W) : FWalk(W) {}
  [[gnu::noinline]] void Outer(int CalledAt);
  [[gnu::noinline]] void Middle(int CalledAt);
  [[gnu::noinline]] void Inner(int CalledAt);

  // Lines of the calls, innermost first: FirstFrame in Inner, Inner in
  // Middle, Middle in Outer, Outer in its caller.
  int CallLines[4] = {};

 private:
  TWalk& FWalk;
};

void TMapFileWalker::Outer(int CalledAt) {
  CallLines[3] = CalledAt;
  Middle(__LINE__);
  Sink = Sink + 7;
}

void TMapFileWalker::Middle(int CalledAt) {
  CallLines[2] = CalledAt;
  Inner(__LINE__);
  Sink = Sink + 8;
}

void TMapFileWalker::Inner(int CalledAt) {
  CallLines[1] = CalledAt;
  FWalk.FirstResult = (CallLines[0] = __LINE__, FWalk.Map->FirstFrame());
  Sink = Sink + 9;
  FinishWalk(FWalk);
}

// The line of main's call of RunAllTests (main is this file's own, below).
int MainCallLine = 0;

namespace {

std::uintptr_t AddressOf(void (*F)(TWalk&)) {
  return reinterpret_cast<std::uintptr_t>(F);
}

std::string Join(const std::vector<std::string>& Lines) {
  std::string text;
  for (const std::string& l : Lines) text += l + "\r\n";
  return text;
}

std::string Hex8(std::uint64_t V) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(V));
  return text;
}

// One public line: segment, offset, then the name from column 22.
std::string PublicLine(std::uint64_t Offset, const std::string& Name) {
  return " 0001:" + Hex8(Offset) + "       " + Name;
}

// A 20-character line-number entry.
std::string LineEntry(int Line, std::uint64_t Offset) {
  char text[32];
  std::snprintf(text, sizeof text, "%6d 0001:%s", Line, Hex8(Offset).c_str());
  return text;
}

// A map as the linker writes it. Units: System 0-FF, Main 100-2EF, F_Main
// 2F0-3FF. F_Main's line block comes first, so Main (a part of "F_Main")
// finds it.
const std::vector<std::string> SampleLines = {
    "",
    " Start         Length     Name                   Class",
    " 0001:00000000 00001000H .text                   CODE",
    "",
    "Detailed map of segments",
    "",
    " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=System   ACBP=A9",
    " 0001:00000100 000001F0 C=CODE     S=.text    G=(none)   M=Main     ACBP=A9",
    " 0001:000002F0 00000110 C=CODE     S=.text    G=(none)   M=F_Main   ACBP=A9",
    "",
    "  Address         Publics by Name",
    "",
    " 0001:00000100       Main.Run",
    " 0001:00000010       System.Start",
    "",
    "  Address         Publics by Value",
    "",
    " 0001:00000010       System.Start",
    " 0001:00000100       Main.Run",
    " 0001:00000180       Main.Helper",
    " 0001:00000300       TfmMain.FormCreate",
    " 0001:00000340       TfmMain.btnNextClick",
    " 0001:00000400       TfmMain.FormDestroy",
    " 0001:FFFFFFF0       Negative.Public",
    " 0001:00000800       Last.Sentinel",
    "",
    "",
    "Line numbers for F_Main(F_Main.cpp) segment .text",
    "",
    "    10 0001:00000300    11 0001:00000310    12 0001:00000320    14 0001:00000340",
    "    15 0001:00000350",
    "",
    "Line numbers for Main(Main.cpp) segment .text",
    "",
    "    20 0001:00000100    21 0001:00000110    30 0001:00000180",
    "",
};

struct TLookupRow {
  const char* Case;
  std::uint32_t Offset;
  const char* Unit;
  const char* Public;
  std::int32_t PublicOffset;
  const char* Line;
};

class MapFileLookup : public testing::TestWithParam<TLookupRow> {};

TEST_P(MapFileLookup, ResolvesUnitPublicAndLine) {
  const TLookupRow& row = GetParam();
  TVEKMapFile map;
  map.LoadFromText("sample.map", Join(SampleLines));
  ASSERT_TRUE(map.Loaded());
  map.LookupOffset(row.Offset);
  EXPECT_EQ(map.UnitName(), row.Unit);
  EXPECT_EQ(map.PublicName(), row.Public);
  EXPECT_EQ(map.PublicOffset(), row.PublicOffset);
  EXPECT_EQ(map.LineNumber(), row.Line);
  EXPECT_EQ(map.CurrentOffset(), row.Offset);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, MapFileLookup,
    testing::Values(TLookupRow{"PublicStartAndLineEntry", 0x300, "F_Main", "TfmMain.FormCreate", 0x300, "10"},
                    TLookupRow{"BetweenPublicsAndLines", 0x318, "F_Main", "TfmMain.FormCreate", 0x300, "11"},
                    TLookupRow{"FourthEntryOfRow", 0x345, "F_Main", "TfmMain.btnNextClick", 0x340, "14"},
                    TLookupRow{"LastEntryExactly", 0x350, "F_Main", "TfmMain.btnNextClick", 0x340, "15"},
                    // Past the short last row: the missing second entry ends the search.
                    TLookupRow{"BeyondLastLineEntry", 0x360, "F_Main", "TfmMain.btnNextClick", 0x340, "<Unknown>"},
                    TLookupRow{"BelowFirstLineEntry", 0x2F8, "F_Main", "Main.Helper", 0x180, "0"},
                    // "Main" is part of the header of F_Main's block, which comes first.
                    TLookupRow{"UnitInsideAnotherHeader", 0x110, "Main", "Main.Run", 0x100, "0"},
                    // The line above the first public is the blank one under the header.
                    TLookupRow{"BelowFirstPublic", 0x8, "System", "", 0, "<Unknown>"},
                    // Above the negative public the next one takes the negative line as
                    // the one below it, with its value.
                    TLookupRow{"InNoSegment", 0x500, "<Unknown>", "Negative.Public", -16, "<Unknown>"},
                    TLookupRow{"AboveLastPublic", 0x900, "<Unknown>", "<Unknown>", 0, "<Unknown>"},
                    // A negative public is never equal, also to its own bits.
                    TLookupRow{"HighBitOffset", 0xFFFFFFF0, "<Unknown>", "<Unknown>", 0, "<Unknown>"}),
    [](const testing::TestParamInfo<TLookupRow>& Info) { return std::string(Info.param.Case); });

TEST(MapFileTest, SameOffsetTwiceIsNotScannedAgain) {
  // The segment's length does not convert: a scan raises the conversion error.
  TVEKMapFile map;
  map.LoadFromText(
      "broken.map",
      Join({"x", "Detailed map of segments", " 0001:00000100 0000XY00 C=CODE     S=.text    G=(none)   M=Bad   ACBP=A9",
            "  Address         Publics by Name", "  Address         Publics by Value", " 0001:00000100       Bad.Code",
            "Line numbers for Bad(Bad.cpp) segment .text"}));
  EXPECT_THROW(map.LookupOffset(0x120), EConvertError);
  EXPECT_EQ(map.CurrentOffset(), 0x120u);
  EXPECT_NO_THROW(map.LookupOffset(0x120));
  // Below the bad segment's start the length is never read.
  EXPECT_NO_THROW(map.LookupOffset(0x80));
  EXPECT_EQ(map.UnitName(), "<Unknown>");
  EXPECT_THROW(map.LookupOffset(0x120), EConvertError);
}

TEST(MapFileTest, SameOffsetTwiceKeepsResults) {
  TVEKMapFile map;
  map.LoadFromText("sample.map", Join(SampleLines));
  map.LookupOffset(0x318);
  map.LookupOffset(0x318);
  EXPECT_EQ(map.UnitName(), "F_Main");
  EXPECT_EQ(map.PublicName(), "TfmMain.FormCreate");
  EXPECT_EQ(map.LineNumber(), "11");
}

TEST(MapFileTest, LoadStartsWithAnEmptyCache) {
  // Offset 0 is the cache key of a new reader; the first lookup still scans.
  TVEKMapFile map;
  map.LoadFromText("sample.map", Join(SampleLines));
  map.LookupOffset(0);
  EXPECT_EQ(map.UnitName(), "System");
  // A new map resolves an offset already looked up in the old one afresh.
  std::vector<std::string> other = SampleLines;
  other[6] = " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=Other    ACBP=A9";
  map.LoadFromText("other.map", Join(other));
  map.LookupOffset(0);
  EXPECT_EQ(map.UnitName(), "Other");
}

TEST(MapFileTest, WithoutPublicsByNameNoUnitIsFound) {
  std::vector<std::string> lines = SampleLines;
  lines.erase(lines.begin() + 10);  // "  Address         Publics by Name"
  TVEKMapFile map;
  map.LoadFromText("noname.map", Join(lines));
  ASSERT_TRUE(map.Loaded());
  for (std::uint32_t offset : {0x10u, 0x110u, 0x318u}) {
    map.LookupOffset(offset);
    EXPECT_EQ(map.UnitName(), "<Unknown>") << offset;
    EXPECT_EQ(map.LineNumber(), "<Unknown>") << offset;
  }
  EXPECT_EQ(map.PublicName(), "TfmMain.FormCreate");
}

struct TColumnRow {
  const char* Case;
  std::vector<std::string> Segments;  // under the segments marker
  std::vector<std::string> Publics;   // under the publics-by-value marker
  std::vector<std::string> Lines;     // rows of the unit "Unit"'s line block
  std::uint32_t Offset;
  const char* Unit;
  const char* Public;
  std::int32_t PublicOffset;
  const char* Line;
};

class MapFileColumns : public testing::TestWithParam<TColumnRow> {};

TEST_P(MapFileColumns, ReadsFixedColumns) {
  const TColumnRow& row = GetParam();
  std::vector<std::string> lines = {"map", "Detailed map of segments"};
  lines.insert(lines.end(), row.Segments.begin(), row.Segments.end());
  lines.push_back("  Address         Publics by Name");
  lines.push_back("  Address         Publics by Value");
  lines.insert(lines.end(), row.Publics.begin(), row.Publics.end());
  lines.push_back("Line numbers for Unit(Unit.cpp) segment .text");
  lines.push_back("");
  lines.insert(lines.end(), row.Lines.begin(), row.Lines.end());
  TVEKMapFile map;
  map.LoadFromText("columns.map", Join(lines));
  map.LookupOffset(row.Offset);
  EXPECT_EQ(map.UnitName(), row.Unit);
  EXPECT_EQ(map.PublicName(), row.Public);
  EXPECT_EQ(map.PublicOffset(), row.PublicOffset);
  EXPECT_EQ(map.LineNumber(), row.Line);
}

const std::string UnitSegment = " 0001:00000000 00001000 C=CODE     S=.text    G=(none)   M=Unit   ACBP=A9";

INSTANTIATE_TEST_SUITE_P(
    Lines, MapFileColumns,
    testing::Values(
        // Cut lines fail their conversion and are passed over.
        TColumnRow{"CutSegmentStart",
                   {" 0001:0000", UnitSegment},
                   {" 0001:00000010       Unit.F"},
                   {LineEntry(7, 0x10)},
                   0x10,
                   "Unit",
                   "Unit.F",
                   0x10,
                   "7"},
        TColumnRow{"CutPublicOffset",
                   {UnitSegment},
                   {" 0001:00000010       Unit.F", " 0001:000001", " 0001:00000030       Unit.G"},
                   {},
                   0x20,
                   "Unit",
                   "",
                   0x10,
                   "<Unknown>"},
        TColumnRow{"PublicWithoutName", {UnitSegment}, {" 0001:00000010"}, {}, 0x10, "Unit", "", 0x10, "<Unknown>"},
        TColumnRow{"CutLineRow",
                   {UnitSegment},
                   {" 0001:00000010       Unit.F", " 0001:00000100       Unit.G"},
                   {LineEntry(7, 0x10) + LineEntry(8, 0x20).substr(0, 15)},
                   0x20,
                   "Unit",
                   "Unit.F",
                   0x10,
                   "<Unknown>"},
        TColumnRow{"LineNumberNotANumber",
                   {UnitSegment},
                   {" 0001:00000010       Unit.F"},
                   {"   7x8 0001:00000010"},
                   0x10,
                   "Unit",
                   "Unit.F",
                   0x10,
                   "<Unknown>"},
        TColumnRow{"LineNumberWithBlanksInside",
                   {UnitSegment},
                   {" 0001:00000010       Unit.F"},
                   {"   1 2 0001:00000010"},
                   0x10,
                   "Unit",
                   "Unit.F",
                   0x10,
                   "12"},
        // Line numbers that are not plain decimal digits are converted as
        // whole numbers, with a sign or a hexadecimal prefix.
        TColumnRow{"LineNumberInHexadecimal",
                   {UnitSegment},
                   {" 0001:00000010       Unit.F"},
                   {"   $1A 0001:00000010"},
                   0x10,
                   "Unit",
                   "Unit.F",
                   0x10,
                   "26"},
        TColumnRow{"NegativeLineNumber",
                   {UnitSegment},
                   {" 0001:00000010       Unit.F", " 0001:00000100       Unit.G"},
                   {LineEntry(5, 0x10) + "    -3 0001:00000020"},
                   0x20,
                   "Unit",
                   "Unit.F",
                   0x10,
                   "-3"},
        TColumnRow{"LineNumberOfBlanks",
                   {UnitSegment},
                   {" 0001:00000010       Unit.F"},
                   {"       0001:00000010"},
                   0x10,
                   "Unit",
                   "Unit.F",
                   0x10,
                   "<Unknown>"},
        TColumnRow{"LineNumberWithHighByte",
                   {UnitSegment},
                   {" 0001:00000010       Unit.F"},
                   {"    1\xB7 0001:00000010"},
                   0x10,
                   "Unit",
                   "Unit.F",
                   0x10,
                   "<Unknown>"},
        TColumnRow{"HighByteInHex",
                   {UnitSegment},
                   {" 0001:0000001\xB0       Unit.F"},
                   {},
                   0x10,
                   "Unit",
                   "<Unknown>",
                   0,
                   "<Unknown>"},
        TColumnRow{"LowerCaseHex",
                   {" 0001:00000000 00000fff C=CODE     S=.text    G=(none)   M=Unit   ACBP=A9"},
                   {" 0001:000000ab       Unit.F"},
                   {LineEntry(9, 0xAB)},
                   0xAB,
                   "Unit",
                   "Unit.F",
                   0xAB,
                   "9"},
        TColumnRow{"BlankInsideHex",
                   {" 0001:00000000 00001000 C=CODE     S=.text    G=(none)   M=Unit   ACBP=A9"},
                   {" 0001: 0000010       Unit.F"},
                   {},
                   0x10,
                   "Unit",
                   "<Unknown>",
                   0,
                   "<Unknown>"},
        // The name ends two characters before "ACBP="; no "ACBP=" gives none.
        TColumnRow{"NameCutBeforeAttributes",
                   {" 0001:00000000 00001000 M=UnitXACBP=A9"},
                   {},
                   {},
                   0x10,
                   "Unit",
                   "<Unknown>",
                   0,
                   "<Unknown>"},
        TColumnRow{
            "NoAttributesAfterName", {" 0001:00000000 00001000 M=Unit"}, {}, {}, 0x10, "", "<Unknown>", 0, "<Unknown>"},
        // A negative start is below every offset; start + length wraps in
        // 32 bits, here to 0xF0.
        TColumnRow{"NegativeSegmentStart",
                   {" 0001:FFFFFFF0 00000100 M=Wrap ACBP=A9", UnitSegment},
                   {},
                   {},
                   0x20,
                   "Wrap",
                   "<Unknown>",
                   0,
                   "<Unknown>"},
        TColumnRow{"NegativeSegmentEndPassed",
                   {" 0001:FFFFFFF0 00000100 M=Wrap ACBP=A9", UnitSegment},
                   {},
                   {},
                   0xF0,
                   "Unit",
                   "<Unknown>",
                   0,
                   "<Unknown>"},
        // The first segment in file order that holds the offset wins.
        TColumnRow{"OverlappingSegments",
                   {" 0001:00000000 00000100 M=First ACBP=A9", " 0001:00000000 00000200 M=Second ACBP=A9"},
                   {},
                   {},
                   0x80,
                   "First",
                   "<Unknown>",
                   0,
                   "<Unknown>"}),
    [](const testing::TestParamInfo<TColumnRow>& Info) { return std::string(Info.param.Case); });

// --- loading ------------------------------------------------------------------

struct TInvalidRow {
  const char* Case;
  std::vector<std::string> Lines;
};

class MapFileInvalid : public testing::TestWithParam<TInvalidRow> {};

TEST_P(MapFileInvalid, IsRejectedAndLeavesTheReaderEmpty) {
  TTempDir dir;
  const std::string good = dir.Write("good.map", Join(SampleLines));
  const std::string bad = dir.Write("bad.map", Join(GetParam().Lines));
  TVEKMapFile map;
  map.SetFileName(good);
  map.LookupOffset(0x318);
  try {
    map.SetFileName(bad);
    FAIL() << "no exception";
  } catch (const EMapFileException& e) {
    EXPECT_EQ(e.Message(), "Invalid Map File : " + bad + ".");
  }
  EXPECT_FALSE(map.Loaded());
  EXPECT_EQ(map.FileName(), good);
  // Not loaded: lookups keep the last results.
  map.LookupOffset(0x110);
  EXPECT_EQ(map.UnitName(), "F_Main");
  EXPECT_EQ(map.LineNumber(), "11");
}

INSTANTIATE_TEST_SUITE_P(
    Markers, MapFileInvalid,
    testing::Values(TInvalidRow{"Empty", {}},
                    TInvalidRow{"SegmentsOnFirstLine",
                                {"Detailed map of segments", "  Address         Publics by Name",
                                 "  Address         Publics by Value", "Line numbers for X(X.cpp) segment .text"}},
                    TInvalidRow{"NoPublicsByValue",
                                {"", "Detailed map of segments", "  Address         Publics by Name",
                                 "Line numbers for X(X.cpp) segment .text"}},
                    TInvalidRow{"NoLineNumbers",
                                {"", "Detailed map of segments", "  Address         Publics by Name",
                                 "  Address         Publics by Value"}},
                    TInvalidRow{"MarkerInOtherCase",
                                {"", "detailed map of segments", "  Address         Publics by Name",
                                 "  Address         Publics by Value", "Line numbers for X(X.cpp) segment .text"}},
                    // The publics marker must have its two leading blanks.
                    TInvalidRow{"PublicsMarkerWithoutBlanks",
                                {"", "Detailed map of segments", "Address         Publics by Value",
                                 "Line numbers for X(X.cpp) segment .text"}}),
    [](const testing::TestParamInfo<TInvalidRow>& Info) { return std::string(Info.param.Case); });

TEST(MapFileTest, MissingFileKeepsTheReaderAsItWas) {
  TTempDir dir;
  const std::string good = dir.Write("good.map", Join(SampleLines));
  TVEKMapFile map;
  map.SetFileName(good);
  for (const std::string& name : {dir.File("none.map"), dir.Path()}) {
    try {
      map.SetFileName(name);
      FAIL() << "no exception for " << name;
    } catch (const EMapFileException& e) {
      EXPECT_EQ(e.Message(), "Map File not found : " + name + ".");
    }
    EXPECT_TRUE(map.Loaded());
    EXPECT_EQ(map.FileName(), good);
  }
  map.LookupOffset(0x110);
  EXPECT_EQ(map.UnitName(), "Main");
}

// A file that is there but cannot be read as a whole raises the file's
// error and leaves the reader empty.
TEST(MapFileTest, UnreadableFileRaisesTheFileErrorAndEmptiesTheReader) {
  TTempDir dir;
  const std::string good = dir.Write("good.map", Join(SampleLines));
  const std::string pipe = dir.File("pipe.map");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);  // opening it to read would block for ever
  const std::string big = dir.Write("big.map", Join(SampleLines));
  ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(MaxTextFileSize) + 1), 0);
  for (const auto& [name, reason] : {std::pair{pipe, "Not a regular file"}, std::pair{big, "File too large"}}) {
    TVEKMapFile map;
    map.SetFileName(good);
    try {
      map.SetFileName(name);
      ADD_FAILURE() << "no exception for " << name;
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.Message(), "Cannot open file \"" + name + "\". " + reason);
    }
    EXPECT_FALSE(map.Loaded());
    EXPECT_EQ(map.FileName(), good);
  }
}

TEST(MapFileTest, EmptyNameEmptiesButKeepsTheName) {
  TTempDir dir;
  const std::string good = dir.Write("good.map", Join(SampleLines));
  TVEKMapFile map;
  map.SetFileName(good);
  ASSERT_TRUE(map.Loaded());
  map.SetFileName("");
  EXPECT_FALSE(map.Loaded());
  EXPECT_EQ(map.FileName(), good);
  // The old name again does nothing: the reader stays empty.
  map.SetFileName(good);
  EXPECT_FALSE(map.Loaded());
  map.LookupOffset(0x318);
  EXPECT_EQ(map.UnitName(), "<Unknown>");
}

TEST(MapFileTest, SameNameDoesNotReload) {
  TTempDir dir;
  const std::string file = dir.Write("map.map", Join(SampleLines));
  TVEKMapFile map;
  map.SetFileName(file);
  std::vector<std::string> changed = SampleLines;
  changed[8] = " 0001:000002F0 00000110 C=CODE     S=.text    G=(none)   M=Changed  ACBP=A9";
  dir.Write("map.map", Join(changed));
  map.SetFileName(file);
  map.LookupOffset(0x318);
  EXPECT_EQ(map.UnitName(), "F_Main");
}

// A load asked for with LoadWhenNeeded reads the file as it is when the
// reader is first used, not when it is asked for; a failure then is silent.
TEST(MapFileTest, LoadWhenNeededReadsTheFileAtTheFirstUse) {
  TTempDir dir;
  const std::string file = dir.Write("map.map", Join(SampleLines));
  std::vector<std::string> changed = SampleLines;
  changed[8] = " 0001:000002F0 00000110 C=CODE     S=.text    G=(none)   M=Changed  ACBP=A9";
  const struct {
    const char* Case;
    std::function<void(TVEKMapFile&)> FirstUse;
  } rows[] = {
      {"Loaded", [](TVEKMapFile& m) { EXPECT_TRUE(m.Loaded()); }},
      {"FileName", [&file](TVEKMapFile& m) { EXPECT_EQ(m.FileName(), file); }},
      {"LookupOffset", [](TVEKMapFile& m) { m.LookupOffset(0x318); }},
      {"Lookup", [](TVEKMapFile& m) { m.Lookup(reinterpret_cast<std::uintptr_t>(&MapFileOffsetTarget)); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Case);
    dir.Write("map.map", Join(SampleLines));
    TVEKMapFile map;
    map.LoadWhenNeeded(file);
    dir.Write("map.map", Join(changed));  // the file as the first use finds it
    row.FirstUse(map);
    dir.Write("map.map", Join(SampleLines));  // read once: later changes are not seen
    map.LookupOffset(0x318);
    EXPECT_EQ(map.UnitName(), "Changed");
  }
}

TEST(MapFileTest, LoadWhenNeededFailsSilentlyOrGivesWayToAnExplicitLoad) {
  TTempDir dir;
  const std::string good = dir.Write("good.map", Join(SampleLines));
  const std::string invalid = dir.Write("invalid.map", "no markers\r\n");
  for (const std::string& name : {dir.File("none.map"), invalid}) {
    TVEKMapFile map;
    map.LoadWhenNeeded(name);
    EXPECT_FALSE(map.Loaded()) << name;
    EXPECT_EQ(map.FileName(), "") << name;
    map.LookupOffset(0x318);
    EXPECT_EQ(map.UnitName(), "<Unknown>") << name;
  }
  TVEKMapFile map;
  map.LoadWhenNeeded(invalid);
  map.SetFileName(good);  // replaces the pending load
  EXPECT_TRUE(map.Loaded());
  EXPECT_EQ(map.FileName(), good);
  map.LoadWhenNeeded(invalid);
  map.LoadFromText("text.map", Join(SampleLines));
  EXPECT_EQ(map.FileName(), "text.map");
}

TEST(MapFileTest, NewReaderAndEmptyReaderResolveNothing) {
  TVEKMapFile map;
  EXPECT_FALSE(map.Loaded());
  EXPECT_EQ(map.FileName(), "");
  map.SetFileName("");  // equal to the empty name: nothing at all
  map.LookupOffset(0x318);
  map.Lookup(reinterpret_cast<std::uintptr_t>(&MapFileOffsetTarget));
  EXPECT_EQ(map.UnitName(), "<Unknown>");
  EXPECT_EQ(map.PublicName(), "<Unknown>");
  EXPECT_EQ(map.PublicOffset(), 0);
  EXPECT_EQ(map.LineNumber(), "<Unknown>");
  EXPECT_EQ(map.FramePointer(), 0u);
  EXPECT_EQ(map.ReturnAddress(), 0u);
}

TEST(MapFileTest, ReadsLinesEndingInLfOrCr) {
  TTempDir dir;
  std::string text = Join(SampleLines);
  std::string lf, cr;
  for (char c : text) {
    if (c == '\r') continue;
    lf += c;
    cr += c == '\n' ? '\r' : c;
  }
  for (const std::string& content : {lf, cr}) {
    TVEKMapFile map;
    map.SetFileName(dir.Write("map.map", content));
    map.LookupOffset(0x345);
    EXPECT_EQ(map.UnitName(), "F_Main");
    EXPECT_EQ(map.LineNumber(), "14");
  }
}

// --- addresses of this process ----------------------------------------------

std::string SelfPath() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

TEST(MapFileAddressTest, LookupOfAnExecutableAddressUsesItsOffset) {
  std::uintptr_t offset = 0;
  const auto address = reinterpret_cast<std::uintptr_t>(&MapFileOffsetTarget);
  ASSERT_TRUE(ExecutableCodeOffset(address, offset));
  TVEKMapFile map;
  map.LoadFromText("self.map",
                   Join({"", "Detailed map of segments",
                         " 0001:" + Hex8(offset) + " 00000010 C=CODE     S=.text    G=(none)   M=Self   ACBP=A9",
                         "  Address         Publics by Name", "  Address         Publics by Value", "",
                         PublicLine(offset, "Offset.Target"), PublicLine(0x7FFFFFF0, "Sentinel"),
                         "Line numbers for Self(Self.cpp) segment .text", "",
                         LineEntry(42, offset) + LineEntry(43, offset + 8), ""}));
  map.Lookup(address + 4);
  EXPECT_EQ(map.UnitName(), "Self");
  EXPECT_EQ(map.PublicName(), "Offset.Target");
  EXPECT_EQ(map.PublicOffset(), static_cast<std::int32_t>(offset));
  EXPECT_EQ(map.LineNumber(), "42");
  EXPECT_EQ(map.CurrentOffset(), offset + 4);
}

struct TLibraryRow {
  const char* Case;
  const char* Library;
  const char* Symbol;
  const char* Public;
};

class LibraryAddress : public testing::TestWithParam<TLibraryRow> {};

TEST_P(LibraryAddress, ResolvesToTheLibraryAndItsExportedSymbol) {
  const TLibraryRow& row = GetParam();
  void* handle = dlopen(row.Library, RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr) << row.Library;
  const auto symbol = reinterpret_cast<std::uintptr_t>(dlsym(handle, row.Symbol));
  ASSERT_NE(symbol, 0u);
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(symbol), &info), 0);
  const std::uint64_t linkAddress = NmSymbolValue(info.dli_fname, row.Symbol, true);
  ASSERT_NE(linkAddress, 0u);

  // A map whose one unit spans every offset must not claim a library's code.
  const std::string everything =
      Join({"", "Detailed map of segments",
            " 0001:00000000 7FFFFFFF C=CODE     S=.text    G=(none)   M=Everything   ACBP=A9",
            "  Address         Publics by Name", "  Address         Publics by Value", "",
            PublicLine(0, "Everything.All"), "Line numbers for Everything", ""});
  for (bool loaded : {false, true}) {
    TVEKMapFile map;
    if (loaded) map.LoadFromText("everything.map", everything);
    map.Lookup(symbol + 1);
    EXPECT_EQ(map.UnitName(), row.Library) << loaded;
    EXPECT_EQ(map.PublicName(), row.Public) << loaded;
    EXPECT_EQ(map.PublicOffset(), static_cast<std::int32_t>(linkAddress)) << loaded;
    EXPECT_EQ(map.LineNumber(), "<Unknown>") << loaded;
  }
  dlclose(handle);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, LibraryAddress,
    testing::Values(TLibraryRow{"QtCore", "libQt6Core.so.6", "_ZN16QCoreApplication15applicationNameEv",
                                "QCoreApplication.applicationName"},
                    TLibraryRow{"StdCpp", "libstdc++.so.6", "_ZNKSt13runtime_error4whatEv", "std::runtime_error.what"},
                    TLibraryRow{"CLibrary", "libc.so.6", "opendir", "opendir"}),
    [](const testing::TestParamInfo<TLibraryRow>& Info) { return std::string(Info.param.Case); });

TEST(MapFileAddressTest, AddressInNoModuleIsUnknown) {
  auto heap = std::make_unique<int>(1);
  const auto address = reinterpret_cast<std::uintptr_t>(heap.get());
  TVEKMapFile map;
  map.LoadFromText("sample.map", Join(SampleLines));
  map.LookupOffset(0x318);
  for (std::uintptr_t nowhere : {address, std::uintptr_t{0}, std::uintptr_t{16}}) {
    map.Lookup(nowhere);
    EXPECT_EQ(map.UnitName(), "<Unknown>");
    EXPECT_EQ(map.PublicName(), "<Unknown>");
    EXPECT_EQ(map.PublicOffset(), 0);
    EXPECT_EQ(map.LineNumber(), "<Unknown>");
  }
  // The same executable offset as before is looked up afresh afterwards.
  map.LookupOffset(0x318);
  EXPECT_EQ(map.UnitName(), "F_Main");
}

// --- walks through the map -------------------------------------------------

TEST(MapFileWalkTest, ListsTheNestedFunctionsItsCallersAndMain) {
  TVEKMapFile map;
  TWalk walk;
  walk.Map = &map;
  MapFileWalkLevel1(walk);
  ASSERT_TRUE(walk.FirstResult);
  ASSERT_GE(walk.Frames.size(), 4u);
  EXPECT_EQ(walk.Frames[0].Symbol, "MapFileWalkLevel3");
  EXPECT_EQ(walk.Frames[1].Symbol, "MapFileWalkLevel2");
  EXPECT_EQ(walk.Frames[2].Symbol, "MapFileWalkLevel1");
  const auto main =
      std::find_if(walk.Frames.begin(), walk.Frames.end(), [](const TSeenFrame& F) { return F.Symbol == "main"; });
  EXPECT_NE(main, walk.Frames.end());
  // The C library's start code, which called main, is resolved through its
  // own exported symbols.
  EXPECT_TRUE(std::any_of(main, walk.Frames.end(), [](const TSeenFrame& F) { return F.Unit == "libc.so.6"; }));
  for (std::size_t i = 1; i < walk.Frames.size(); ++i)
    EXPECT_LT(walk.Frames[i - 1].FramePointer, walk.Frames[i].FramePointer) << i;
  EXPECT_LT(walk.Frames.size(), TVEKMapFile::MaxFrames);
  // Past the outermost frame the walk stays where it was.
  EXPECT_FALSE(map.NextFrame());
  EXPECT_EQ(map.ReturnAddress(), walk.Frames.back().ReturnAddress);
}

TEST(MapFileWalkTest, ResolvesMethodsAndMainThroughTheExecutablesOwnMap) {
  // The build writes the map beside this executable after every link.
  TVEKMapFile map;
  map.SetFileName(SelfPath() + ".map");
  ASSERT_TRUE(map.Loaded());
  TWalk walk;
  walk.Map = &map;
  TMapFileWalker walker(walk);
  walker.Outer(__LINE__);
  ASSERT_TRUE(walk.FirstResult);
  ASSERT_GE(walk.Frames.size(), 5u);

  struct TExpected {
    const char* Public;
    int Line;
  };
  const TExpected nested[] = {
      {"TMapFileWalker.Inner", walker.CallLines[0]},
      {"TMapFileWalker.Middle", walker.CallLines[1]},
      {"TMapFileWalker.Outer", walker.CallLines[2]},
      {"(anonymous namespace)::MapFileWalkTest_ResolvesMethodsAndMainThroughTheExecutablesOwnMap_Test.TestBody",
       walker.CallLines[3]},
  };
  // Frame 0 is the caller of FirstFrame; each frame's line is its call's.
  for (std::size_t i = 0; i < std::size(nested); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(walk.Frames[i].Unit, "MapFileTest");
    EXPECT_EQ(walk.Frames[i].Public, nested[i].Public);
    EXPECT_EQ(walk.Frames[i].Line, std::to_string(nested[i].Line));
  }
  const auto main =
      std::find_if(walk.Frames.begin(), walk.Frames.end(), [](const TSeenFrame& F) { return F.Public == "main"; });
  ASSERT_NE(main, walk.Frames.end());
  EXPECT_EQ(main->Unit, "MapFileTest");
  EXPECT_EQ(main->Line, std::to_string(MainCallLine));
  // The test framework's frames lie between the test body and main.
  EXPECT_GT(main - walk.Frames.begin(), 4);
}

TEST(MapFileWalkTest, ResolvesFramesThroughTheMapAndStopsAtTlsLast) {
  // A first walk without map gives the return addresses of the three frames.
  TVEKMapFile map;
  TWalk first;
  first.Map = &map;
  MapFileWalkLevel1(first);
  ASSERT_GE(first.Frames.size(), 3u);

  std::uintptr_t start[3], call[3];
  void (*functions[3])(TWalk&) = {MapFileWalkLevel3, MapFileWalkLevel2, MapFileWalkLevel1};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(ExecutableCodeOffset(AddressOf(functions[i]), start[i]));
    ASSERT_TRUE(ExecutableCodeOffset(first.Frames[i].ReturnAddress, call[i]));
  }
  // Line entries at each function's start (lines 300, 200, 100) and at each
  // return address (301, 201, 101): the frame's line is the call's line,
  // the one before its return address.
  std::vector<std::pair<std::uintptr_t, std::string>> publics = {
      {start[0], "Walk.Level3"}, {start[1], "Walk.Level2"}, {start[2], "tlsLAST"}};
  std::vector<std::pair<std::uintptr_t, int>> entries;
  for (int i = 0; i < 3; ++i) {
    entries.push_back({start[i], 300 - 100 * i});
    entries.push_back({call[i], 301 - 100 * i});
  }
  std::sort(publics.begin(), publics.end());
  std::sort(entries.begin(), entries.end());
  const std::uintptr_t low = std::min({start[0], start[1], start[2]});
  std::vector<std::string> lines = {
      "",
      "Detailed map of segments",
      " 0001:" + Hex8(low) + " 00100000 C=CODE     S=.text    G=(none)   M=MapFileTest   ACBP=A9",
      "  Address         Publics by Name",
      "  Address         Publics by Value",
      ""};
  for (const auto& [offset, name] : publics) lines.push_back(PublicLine(offset, name));
  lines.push_back(PublicLine(0x7FFFFFF0, "Sentinel"));
  lines.push_back("Line numbers for MapFileTest(MapFileTest.cpp) segment .text");
  lines.push_back("");
  std::string row;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    row += LineEntry(entries[i].second, entries[i].first);
    if (i % 4 == 3 || i + 1 == entries.size()) {
      lines.push_back(row);
      row.clear();
    }
  }
  lines.push_back("");
  map.LoadFromText("walk.map", Join(lines));

  TWalk second;
  second.Map = &map;
  MapFileWalkLevel1(second);
  EXPECT_TRUE(second.FirstResult);
  ASSERT_EQ(second.Frames.size(), 2u);  // the third frame ends the walk
  EXPECT_EQ(second.Frames[0].Unit, "MapFileTest");
  EXPECT_EQ(second.Frames[0].Public, "Walk.Level3");
  EXPECT_EQ(second.Frames[0].Line, "300");
  EXPECT_EQ(second.Frames[1].Public, "Walk.Level2");
  EXPECT_EQ(second.Frames[1].Line, "200");
  EXPECT_EQ(second.LastPublic, "tlsLAST");
  EXPECT_EQ(map.LineNumber(), "100");
  EXPECT_EQ(map.ReturnAddress(), first.Frames[2].ReturnAddress);
}

TEST(MapFileWalkTest, DeepStackEndsAtTheDepthLimit) {
  TVEKMapFile map;
  TWalk walk;
  walk.Map = &map;
  MapFileWalkDeep(walk, static_cast<int>(TVEKMapFile::MaxFrames) + 50);
  ASSERT_EQ(walk.Frames.size(), TVEKMapFile::MaxFrames);
  EXPECT_EQ(walk.Frames[0].Symbol, "MapFileWalkLevel3");
  EXPECT_EQ(walk.Frames.back().Symbol, "MapFileWalkDeep");
  EXPECT_FALSE(map.NextFrame());
}

}  // namespace

// This test's own main (instead of the test framework's), so that the walk
// through the map meets a main with a unit and a line.
[[gnu::noinline]] int RunAllTests(int CalledAt) {
  MainCallLine = CalledAt;
  return RUN_ALL_TESTS();
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RunAllTests(__LINE__);
  // Work after the call keeps it a call, not a jump that leaves main.
  Sink = Sink + result;
  return result;
}

// The map file generator: the text layout on hand-made content (columns,
// names, the order of the line-number blocks), then vek-mapgen on the sample
// program (built as a position-independent and as a fixed-address
// executable) against the symbol table and the DWARF, its determinism, its
// failures, and on Brevant itself.
#include <fcntl.h>
#include <gelf.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "MapLayout.h"
#include "MapPath.h"
#include "diag/U_VEK_Debug.h"
#include "tests/support/DwarfFrames.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
namespace fs = std::filesystem;

namespace {

constexpr auto Timeout = std::chrono::seconds(120);

// ----------------------------------------------------------------------------
// Reading a map file back by its columns.

struct TSegmentLine {
  std::uint32_t Start, Length;
  std::string Unit;
};
struct TPublicLine {
  std::uint32_t Offset;
  std::string Name;
};
struct TLineBlock {
  std::string Unit;
  std::size_t HeaderIndex;  // index in TParsedMap::Lines
  std::vector<TMapLine> Entries;
};

struct TParsedMap {
  std::vector<std::string> Lines;  // without their CR LF
  bool AllLinesEndInCrLf = true;
  std::size_t S = 0, N = 0, V = 0, L = 0;
  std::vector<TSegmentLine> Segments;
  std::vector<TPublicLine> ByName, ByValue;
  std::vector<TLineBlock> Blocks;

  const TLineBlock* Block(const std::string& Unit) const {
    for (const TLineBlock& b : Blocks)
      if (b.Unit == Unit) return &b;
    return nullptr;
  }
  std::optional<std::uint32_t> PublicOffset(const std::string& Name) const {
    for (const TPublicLine& p : ByValue)
      if (p.Name == Name) return p.Offset;
    return std::nullopt;
  }
};

std::optional<std::uint32_t> Hex8(const std::string& Line, std::size_t Column) {
  if (Line.size() < Column - 1 + 8) return std::nullopt;
  const std::string text = Line.substr(Column - 1, 8);
  if (!std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(c) || (c >= 'A' && c <= 'F'); }))
    return std::nullopt;
  return static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
}

// Columns 2-5 "0001", 6 ":", the offset in 7-14.
std::optional<std::uint32_t> SegmentAddress(const std::string& Line) {
  if (Line.size() < 14 || Line.substr(0, 6) != " 0001:") return std::nullopt;
  return Hex8(Line, 7);
}

std::string Trimmed(const std::string& Text) {
  const std::size_t first = Text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return Text.substr(first, Text.find_last_not_of(' ') - first + 1);
}

std::size_t FindFrom(const std::vector<std::string>& Lines, std::size_t From, const std::string& Marker) {
  for (std::size_t i = From; i < Lines.size(); ++i)
    if (Lines[i].find(Marker) != std::string::npos) return i;
  return 0;
}

TParsedMap ParseMap(const std::string& Text) {
  TParsedMap m;
  std::size_t pos = 0;
  while (pos < Text.size()) {
    const std::size_t lf = Text.find('\n', pos);
    const std::size_t end = lf == std::string::npos ? Text.size() : lf;
    if (lf == std::string::npos || end == pos || Text[end - 1] != '\r') m.AllLinesEndInCrLf = false;
    m.Lines.push_back(Text.substr(pos, end > pos && Text[end - 1] == '\r' ? end - 1 - pos : end - pos));
    pos = end + 1;
  }
  m.S = FindFrom(m.Lines, 0, "Detailed map of segments");
  m.N = FindFrom(m.Lines, m.S, "  Address         Publics by Name");
  m.V = FindFrom(m.Lines, m.N, "  Address         Publics by Value");
  m.L = FindFrom(m.Lines, m.V, "Line numbers for ");
  for (std::size_t i = m.S + 1; i < m.N; ++i) {
    const std::string& l = m.Lines[i];
    const auto start = SegmentAddress(l);
    if (!start) continue;
    const std::size_t unitAt = l.find("M="), acbpAt = l.find("ACBP=");
    if (l[14] != ' ' || unitAt == std::string::npos || acbpAt == std::string::npos || acbpAt < unitAt + 3) continue;
    m.Segments.push_back(
        {*start, Hex8(l, 16).value_or(0xFFFFFFFF), Trimmed(l.substr(unitAt + 2, acbpAt - unitAt - 3))});
  }
  auto publics = [&](std::size_t From, std::size_t To, std::vector<TPublicLine>& Out) {
    for (std::size_t i = From + 1; i < To; ++i)
      if (const auto offset = SegmentAddress(m.Lines[i]); offset && m.Lines[i].size() > 21)
        Out.push_back({*offset, Trimmed(m.Lines[i].substr(21))});
  };
  publics(m.N, m.V, m.ByName);
  publics(m.V, m.L, m.ByValue);
  for (std::size_t i = m.L; m.L > 0 && i < m.Lines.size(); ++i) {
    const std::string& l = m.Lines[i];
    if (l.rfind("Line numbers for ", 0) == 0) {
      const std::size_t open = l.find('(');
      m.Blocks.push_back({l.substr(17, open - 17), i, {}});
      ++i;  // the line after the header
      continue;
    }
    for (std::size_t k = 0; !m.Blocks.empty() && k + 20 <= l.size(); k += 20) {
      const std::string entry = l.substr(k, 20);
      const auto offset = Hex8(entry, 13);
      if (entry.substr(7, 5) != "0001:" || !offset) break;
      m.Blocks.back().Entries.push_back({*offset, static_cast<std::uint32_t>(std::stoul(entry.substr(0, 6)))});
    }
  }
  return m;
}

// ----------------------------------------------------------------------------
// The executable's side: .text, symbols, the outermost frames.

std::optional<std::uint64_t> TextAddress(const std::string& Exe) {
  elf_version(EV_CURRENT);
  const int fd = ::open(Exe.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::uint64_t> result;
  Elf* e = elf_begin(fd, ELF_C_READ, nullptr);
  std::size_t names = 0;
  if (e && elf_getshdrstrndx(e, &names) == 0)
    for (Elf_Scn* scn = elf_nextscn(e, nullptr); scn && !result; scn = elf_nextscn(e, scn)) {
      GElf_Shdr sh;
      const char* name = gelf_getshdr(scn, &sh) ? elf_strptr(e, names, sh.sh_name) : nullptr;
      if (name && std::strcmp(name, ".text") == 0) result = sh.sh_addr;
    }
  if (e) elf_end(e);
  ::close(fd);
  return result;
}

// Demangled name -> address of the executable's defined symbols.
std::map<std::string, std::uint64_t> Symbols(const std::string& Exe) {
  std::map<std::string, std::uint64_t> out;
  const auto text = RunAndRead({"nm", "-C", "--defined-only", Exe}, {}, Timeout);
  std::istringstream in(text.value_or(""));
  std::string line;
  while (std::getline(in, line))
    if (line.size() > 19 && line[16] == ' ' && line[18] == ' ')
      out.emplace(line.substr(19), std::stoull(line.substr(0, 16), nullptr, 16));
  return out;
}

// The line of the outermost function at each address as libdw's chain of
// scopes gives it ("file:line", "??:0" without a line).
std::vector<std::string> OutermostLines(const std::string& Exe, const std::vector<std::uint64_t>& Addresses) {
  TDwarfFrames frames(Exe);
  std::vector<std::string> out;
  for (std::uint64_t a : Addresses) {
    const TOutermostFrame f = frames.At(a);
    out.push_back(f.Line > 0 ? fs::path(f.File).filename().string() + ":" + std::to_string(f.Line) : "??:0");
  }
  return out;
}

struct TRunResult {
  std::optional<int> Status;
  std::string Output;  // standard output and error
};

TRunResult RunGenerator(const std::vector<std::string>& Args, const TTempDir& Dir) {
  std::vector<std::string> argv{MAPGEN_EXE};
  argv.insert(argv.end(), Args.begin(), Args.end());
  const std::string output = Dir.File("generator-output.txt");
  TChildProcess child(argv, {}, output);
  TRunResult r;
  r.Status = child.Wait(Timeout);
  r.Output = ReadWholeFile(output);
  return r;
}

// The map of Exe written into Dir, parsed; the test fails when it is not made.
std::string GenerateMap(const std::string& Exe, const TTempDir& Dir, const std::string& Name = "out.map") {
  const TRunResult r = RunGenerator({Exe, Dir.File(Name)}, Dir);
  EXPECT_EQ(r.Status, 0) << r.Output;
  return ReadWholeFile(Dir.File(Name));
}

// Each unit's name is first found in its own block's header, the way the
// reader looks a unit's line numbers up.
void ExpectEachUnitFindsItsBlock(const TParsedMap& M) {
  for (const TLineBlock& b : M.Blocks) {
    const std::size_t first = FindFrom(M.Lines, M.L, b.Unit);
    EXPECT_EQ(first, b.HeaderIndex) << b.Unit << " is found in: " << M.Lines[first];
  }
}

// ----------------------------------------------------------------------------
// The layout on hand-made content.

TEST(MapLayoutTest, WritesTheColumnsTheReaderTakes) {
  TMapImage image;
  image.TextSize = 0x5000;
  image.Segments = {{0x3A10, 0xE2C, "F_Main"}, {0x4900, 0x20, "U_VeryLongUnitName"}};
  image.Publics = {{0x3A10, "TfmMain.btnNextClick"}, {0x3B00, "vek::Demangle"}};
  TMapUnit unit{
      "F_Main", {"../../app/F_Main.cpp"}, {{0x3A10, 12}, {0x3A18, 13}, {0x3A20, 7}, {0x3A30, 1234}, {0x3A40, 0}}};
  image.Units = {unit};
  const TParsedMap m = ParseMap(FormatMapFile(image));

  EXPECT_TRUE(m.AllLinesEndInCrLf);
  EXPECT_GT(m.S, 0u) << "the segment marker must not stand on the first line";
  EXPECT_TRUE(m.S < m.N && m.N < m.V && m.V < m.L);
  EXPECT_EQ(m.Lines[m.S + 2], " 0001:00003A10 00000E2C C=CODE     S=.text    G=(none)   M=F_Main   ACBP=A9");
  EXPECT_EQ(m.Lines[m.S + 3], " 0001:00004900 00000020 C=CODE     S=.text    G=(none)   M=U_VeryLongUnitName ACBP=A9");
  EXPECT_EQ(m.Segments.size(), 2u);
  EXPECT_EQ(m.Segments[1].Unit, "U_VeryLongUnitName");
  EXPECT_EQ(m.Lines[m.V + 2], " 0001:00003A10       TfmMain.btnNextClick");
  ASSERT_EQ(m.ByValue.size(), 3u);
  EXPECT_EQ(m.ByValue[2].Name, EndOfTextName);
  EXPECT_EQ(m.ByValue[2].Offset, 0x5000u);
  EXPECT_EQ(m.Lines[m.L], "Line numbers for F_Main(../../app/F_Main.cpp) segment .text");
  EXPECT_EQ(m.Lines[m.L + 1], "");
  EXPECT_EQ(m.Lines[m.L + 2], "    12 0001:00003A10    13 0001:00003A18     7 0001:00003A20  1234 0001:00003A30");
  EXPECT_EQ(m.Lines[m.L + 3], "     0 0001:00003A40");
  EXPECT_EQ(m.Lines[m.L + 4], "");
}

TEST(MapLayoutTest, PublicsByNameAreSortedByName) {
  TMapImage image;
  image.TextSize = 0x100;
  image.Publics = {{0x10, "b"}, {0x20, "a"}, {0x30, "TfmMain.x"}};
  const TParsedMap m = ParseMap(FormatMapFile(image));
  ASSERT_EQ(m.ByName.size(), 3u);
  EXPECT_EQ(m.ByName[0].Name, "TfmMain.x");
  EXPECT_EQ(m.ByName[1].Name, "a");
  EXPECT_EQ(m.ByName[1].Offset, 0x20u);
  EXPECT_EQ(m.ByName[2].Name, "b");
}

TEST(MapLayoutTest, LinesTooLongForTheirColumnsAreLeftOut) {
  TMapUnit unit{"U", {"U.cpp"}, {{0x10, 5}, {0x20, MaxMapLine + 1}, {0x30, MaxMapLine}}};
  EXPECT_THAT(LineBlockLines(unit),
              ElementsAre("Line numbers for U(U.cpp) segment .text", "", "     5 0001:00000010999999 0001:00000030"));
}

TEST(MapLayoutTest, UnitNames) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"../../app/F_Main.cpp", "F_Main"},
      {"F_Main", "F_Main"},
      {"/abs/dir.v2/U_Util.cc", "U_Util"},
      {"a/b/c.d.cpp", "c.d"},
      {".hidden", ".hidden"},
      {"dir\\win\\Unit.pas", "Unit"},
      {"x/equal=sign.cpp", "equal_sign"},
      {"x/tab\there.cpp", "tab_here"},
      {"x/ blanks .cpp", "blanks"},
      {"", ""},
  };
  for (const auto& [source, name] : rows) EXPECT_EQ(MapUnitName(source), name) << source;
  EXPECT_EQ(MapLineText("a\r\nb\x7f"), "a??b?");
}

TEST(MapLayoutTest, HeaderUnitNamesTellTheirFilesApart) {
  struct TRow {
    std::vector<std::string> Paths;
    std::set<std::string> Taken;
    std::vector<std::string> Names;
  };
  const std::vector<TRow> rows = {
      {{"/usr/include/c++/12/bits/stl_vector.h", "/usr/include/c++/12/bits/vector.tcc"},
       {"F_Main"},
       {"stl_vector.h", "vector.tcc"}},
      // two headers of one name, a third elsewhere
      {{"/a/x/util.h", "/b/x/util.h", "/c/format.h"}, {}, {"a/x/util.h", "b/x/util.h", "format.h"}},
      // a header without extension beside a unit of the same name
      {{"/usr/include/c++/12/tuple"}, {"tuple"}, {"12/tuple"}},
      {{"/src/eq=sign.h"}, {}, {"eq_sign.h"}},
  };
  for (const TRow& row : rows) EXPECT_EQ(MapFileUnitNames(row.Paths, row.Taken), row.Names) << row.Paths.front();
}

TEST(MapLayoutTest, DefaultMapFileNames) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"app/Brevant", "app/Brevant.map"},
      {"/opt/q/tool.bin", "/opt/q/tool.map"},
      {"x.v2/tool", "x.v2/tool.map"},
      {"Brevant", "Brevant.map"},
  };
  for (const auto& [exe, map] : rows) EXPECT_EQ(DefaultMapFileName(exe), map) << exe;
}

struct TOrderRow {
  std::vector<TMapUnit> Units;
  std::vector<std::string> Order;
  std::vector<std::string> Lost;
};

TEST(MapLayoutTest, BlocksComeInAnOrderWhereEachUnitFindsItsOwn) {
  const std::vector<TOrderRow> rows = {
      // a name inside another name
      {{{"F_Main", {"app/F_Main.cpp"}, {}}, {"Main", {"app/Main.cpp"}, {}}}, {"Main", "F_Main"}, {}},
      // a name inside another unit's source path
      {{{"Fonts", {"/src/Brevant/Fonts.cpp"}, {}}, {"Brevant", {"/src/Brevant/Brevant.cpp"}, {}}},
       {"Brevant", "Fonts"},
       {}},
      // nothing to change: the given order stands
      {{{"B", {"B.cpp"}, {}}, {"A", {"A.cpp"}, {}}}, {"B", "A"}, {}},
      // a name that a row of entries holds (offset 0x1A, line 1)
      {{{"X", {"X.cpp"}, {{0x1A, 1}}}, {"1A", {"1A.cpp"}, {}}}, {"1A", "X"}, {}},
      // a name inside every header
      {{{"U", {"U.cpp"}, {}}, {"text", {"text.cpp"}, {}}}, {"text", "U"}, {}},
      // each inside the other's header: one of them cannot find its own
      {{{"Ab", {"Cd/Ab.cpp"}, {}}, {"Cd", {"Ab/Cd.cpp"}, {}}}, {"Ab", "Cd"}, {"Cd"}},
  };
  for (const TOrderRow& row : rows) {
    std::vector<TMapUnit> units = row.Units;
    const std::vector<std::string> lost = OrderLineBlocks(units);
    std::vector<std::string> order;
    for (const TMapUnit& u : units) order.push_back(u.Name);
    EXPECT_EQ(order, row.Order) << row.Order.front();
    EXPECT_EQ(lost, row.Lost) << row.Order.front();
    TMapImage image;
    image.Units = units;
    const TParsedMap m = ParseMap(FormatMapFile(image));
    if (lost.empty()) ExpectEachUnitFindsItsBlock(m);
  }
}

// ----------------------------------------------------------------------------
// The generator on the sample program.

struct TSampleFunction {
  std::string Public;  // in the map
  std::string Symbol;  // nm -C
  std::string Unit;
  std::string Source;  // file of the marker
};

const std::vector<TSampleFunction> SampleFunctions = {
    {"TSampleCounter.Add", "TSampleCounter::Add(int)", "MapSampleUnit", "MapSampleUnit.cpp"},
    {"mapsample::Twice", "mapsample::Twice(int)", "MapSampleUnit", "MapSampleUnit.cpp"},
    {"mapsample::TSampleBox<int>.Put", "mapsample::TSampleBox<int>::Put(int const&)", "MapSampleUnit",
     "MapSampleUnit.cpp"},
    {"main", "main", "MapSample", "MapSample.cpp"},
};

// The first and the last line of the function that the marker names: from
// the marker's line to the next closing brace in column 1.
std::pair<std::uint32_t, std::uint32_t> MarkedLines(const std::string& Source, const std::string& Marker) {
  std::ifstream in(std::string(MAP_SAMPLE_SOURCE_DIR) + "/" + Source);
  std::string line;
  std::uint32_t number = 0, first = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::size_t at = line.find("// map-sample: ");
    if (first == 0 && at != std::string::npos && line.substr(at + 15) == Marker)
      first = number;
    else if (first != 0 && line == "}")
      return {first, number};
  }
  return {first, 0};
}

std::pair<std::uint32_t, std::uint32_t> MarkedLines(const TSampleFunction& F) {
  return MarkedLines(F.Source, F.Public);
}

class MapGenSampleTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    Exe = GetParam();
    Text = GenerateMap(Exe, Dir);
    Map = ParseMap(Text);
    const auto text = TextAddress(Exe);
    ASSERT_TRUE(text.has_value());
    Text0 = *text;
  }
  std::string Exe;
  TTempDir Dir;
  std::string Text;
  TParsedMap Map;
  std::uint64_t Text0 = 0;
};

TEST_P(MapGenSampleTest, SectionsAndSegments) {
  EXPECT_TRUE(Map.AllLinesEndInCrLf);
  EXPECT_GT(Map.S, 0u);
  EXPECT_TRUE(Map.S < Map.N && Map.N < Map.V && Map.V < Map.L);
  std::vector<std::string> units;
  for (const TSegmentLine& s : Map.Segments) {
    EXPECT_GT(s.Length, 0u);
    EXPECT_LE(std::uint64_t{s.Start} + s.Length, Map.ByValue.back().Offset) << "beyond .text";
    if (std::find(units.begin(), units.end(), s.Unit) == units.end()) units.push_back(s.Unit);
  }
  // The two units of the program's own files; the code that the headers
  // emitted out of line (std::vector's members) has units of its headers',
  // named after the file their block lists.
  EXPECT_THAT(units, ::testing::IsSupersetOf({"MapSample", "MapSampleUnit"}));
  for (const std::string& unit : units) {
    const TLineBlock* block = Map.Block(unit);
    ASSERT_NE(block, nullptr) << unit;
    if (unit == "MapSample" || unit == "MapSampleUnit") continue;
    EXPECT_THAT(Map.Lines[block->HeaderIndex], ::testing::HasSubstr("/" + unit + ") segment .text")) << unit;
  }
  EXPECT_TRUE(std::is_sorted(Map.Segments.begin(), Map.Segments.end(),
                             [](const TSegmentLine& a, const TSegmentLine& b) { return a.Start < b.Start; }));
  // Each function lies inside a segment of its unit.
  for (const TSampleFunction& f : SampleFunctions) {
    const auto offset = Map.PublicOffset(f.Public);
    ASSERT_TRUE(offset) << f.Public;
    const bool inside = std::any_of(Map.Segments.begin(), Map.Segments.end(), [&](const TSegmentLine& s) {
      return s.Unit == f.Unit && *offset >= s.Start && *offset - s.Start < s.Length;
    });
    EXPECT_TRUE(inside) << f.Public;
  }
}

TEST_P(MapGenSampleTest, PublicsInClassMethodFormAtTheSymbolsOffsets) {
  const auto symbols = Symbols(Exe);
  for (const TSampleFunction& f : SampleFunctions) {
    const auto offset = Map.PublicOffset(f.Public);
    ASSERT_TRUE(offset) << f.Public;
    ASSERT_TRUE(symbols.count(f.Symbol)) << f.Symbol;
    EXPECT_EQ(*offset, symbols.at(f.Symbol) - Text0) << f.Public;
  }
  // By value: ascending, one name per offset, closed by the end of .text.
  for (std::size_t i = 1; i < Map.ByValue.size(); ++i) EXPECT_LT(Map.ByValue[i - 1].Offset, Map.ByValue[i].Offset);
  EXPECT_EQ(Map.ByValue.back().Name, EndOfTextName);
  // By name: the same publics, by name.
  EXPECT_EQ(Map.ByName.size() + 1, Map.ByValue.size());
  EXPECT_TRUE(std::is_sorted(Map.ByName.begin(), Map.ByName.end(),
                             [](const TPublicLine& a, const TPublicLine& b) { return a.Name < b.Name; }));
  // No parameter lists (a name may hold "(anonymous namespace)" or end in "operator()").
  for (const TPublicLine& p : Map.ByValue) {
    const std::string& n = p.Name;
    EXPECT_FALSE((n.ends_with(")") && !n.ends_with("operator()")) || n.ends_with(") const")) << n;
  }
}

TEST_P(MapGenSampleTest, LineEntriesAtTheFunctionsLines) {
  for (const TSampleFunction& f : SampleFunctions) {
    const auto [first, last] = MarkedLines(f);
    ASSERT_GT(last, first) << f.Public << ": marker not found";
    const TLineBlock* block = Map.Block(f.Unit);
    ASSERT_NE(block, nullptr) << f.Unit;
    const std::uint32_t start = *Map.PublicOffset(f.Public);
    auto next = std::upper_bound(Map.ByValue.begin(), Map.ByValue.end(), start,
                                 [](std::uint32_t o, const TPublicLine& p) { return o < p.Offset; });
    const std::uint32_t end = next->Offset;
    std::vector<std::uint32_t> lines;  // line 0: no line of the file (the end of the code)
    for (const TMapLine& e : block->Entries)
      if (e.Offset >= start && e.Offset < end && e.Line > 0) lines.push_back(e.Line);
    ASSERT_FALSE(lines.empty()) << f.Public;
    EXPECT_TRUE(
        std::any_of(block->Entries.begin(), block->Entries.end(), [&](const TMapLine& e) { return e.Offset == start; }))
        << f.Public << ": no entry at the function's start";
    EXPECT_EQ(lines.front(), first) << f.Public;
    for (std::uint32_t l : lines) {
      EXPECT_GE(l, first) << f.Public;
      EXPECT_LE(l, last) << f.Public;
    }
  }
}

TEST_P(MapGenSampleTest, LineEntriesAgreeWithTheOutermostFrame) {
  std::size_t compared = 0;
  for (const TLineBlock& b : Map.Blocks) {
    std::vector<std::uint64_t> addresses;
    std::vector<std::string> expected;
    // A unit of the program's own file, or one named after a header file.
    const bool own = b.Unit == "MapSample" || b.Unit == "MapSampleUnit";
    const std::string file = own ? b.Unit + ".cpp" : fs::path(b.Unit).filename().string();
    for (const TMapLine& e : b.Entries)
      if (e.Line > 0) {
        addresses.push_back(Text0 + e.Offset);
        expected.push_back(file + ":" + std::to_string(e.Line));
      }
    EXPECT_EQ(OutermostLines(Exe, addresses), expected) << b.Unit;
    compared += addresses.size();
  }
  EXPECT_GT(compared, 10u);
}

TEST_P(MapGenSampleTest, EachUnitFindsItsOwnLineNumbers) {
  ASSERT_NE(Map.Block("MapSample"), nullptr);
  ASSERT_NE(Map.Block("MapSampleUnit"), nullptr);
  ExpectEachUnitFindsItsBlock(Map);
}

TEST_P(MapGenSampleTest, SameExecutableSameMap) {
  EXPECT_EQ(GenerateMap(Exe, Dir, "again.map"), Text);
  // The map written after the link, beside the executable, is the same too.
  EXPECT_EQ(ReadWholeFile(DefaultMapFileName(Exe)), Text);
  // Wherever the executable lies, with the default map name beside it.
  const std::string copy = Dir.File("copy.bin");
  fs::copy_file(Exe, copy);
  const TRunResult r = RunGenerator({copy}, Dir);
  EXPECT_EQ(r.Status, 0) << r.Output;
  EXPECT_EQ(ReadWholeFile(Dir.File("copy.map")), Text);
}

// Every line entry and every public, looked up by the diagnostics library's
// reader at its offset, gives back its unit, line and name.
TEST_P(MapGenSampleTest, TheReaderFindsEveryEntry) {
  TVEKMapFile reader;
  reader.SetFileName(Dir.File("out.map"));
  ASSERT_TRUE(reader.Loaded());
  std::size_t looked = 0;
  for (const TLineBlock& b : Map.Blocks)
    for (const TMapLine& e : b.Entries) {
      if (e.Line == 0) continue;
      reader.LookupOffset(e.Offset);
      EXPECT_EQ(reader.UnitName(), b.Unit) << "offset " << e.Offset;
      EXPECT_EQ(reader.LineNumber(), std::to_string(e.Line)) << b.Unit << " offset " << e.Offset;
      ++looked;
    }
  EXPECT_GT(looked, 10u);
  for (std::size_t i = 0; i + 1 < Map.ByValue.size(); ++i) {
    const TPublicLine& p = Map.ByValue[i];
    // At its start and at its last byte.
    for (std::uint32_t offset : {p.Offset, Map.ByValue[i + 1].Offset - 1}) {
      reader.LookupOffset(offset);
      EXPECT_EQ(reader.PublicName(), p.Name) << "offset " << offset;
      EXPECT_EQ(reader.PublicOffset(), static_cast<std::int32_t>(p.Offset));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Executables, MapGenSampleTest, ::testing::Values(MAP_SAMPLE_EXE, MAP_SAMPLE_NOPIE_EXE),
                         [](const ::testing::TestParamInfo<const char*>& I) {
                           return std::string(I.param).find("NoPie") == std::string::npos ? "Pie" : "FixedAddress";
                         });

// ----------------------------------------------------------------------------
// Failures.

TEST(MapGenTest, FilesItCannotMapFailWithTheirName) {
  TTempDir dir;
  const std::string text = dir.Write("notes.txt", "not an executable\n");
  const std::string noDwarf = dir.File("nodwarf");
  ASSERT_TRUE(RunAndRead({"objcopy", "--strip-debug", MAP_SAMPLE_EXE, noDwarf}, {}, Timeout));
  const std::string stripped = dir.File("stripped");
  ASSERT_TRUE(RunAndRead({"strip", "-o", stripped, MAP_SAMPLE_EXE}, {}, Timeout));
  const std::string empty = dir.Write("empty", "");
  struct TRow {
    std::string File, Message;
  };
  const std::vector<TRow> rows = {
      {text, "not an ELF file"},
      {empty, "not an ELF file"},
      {dir.Path(), "not an ELF file"},
      {noDwarf, "has no DWARF debug information"},
      {stripped, "has no DWARF debug information"},
      {dir.File("missing"), "cannot open"},
  };
  for (const TRow& row : rows) {
    const std::string map = dir.File("out.map");
    const TRunResult r = RunGenerator({row.File, map}, dir);
    EXPECT_EQ(r.Status, 1) << row.File;
    EXPECT_THAT(r.Output, HasSubstr(row.File + ": " + row.Message));
    EXPECT_FALSE(fs::exists(map)) << row.File;
  }
}

TEST(MapGenTest, NeverWritesTheMapOverTheExecutable) {
  TTempDir dir;
  const std::string exe = dir.File("tool.map");
  fs::copy_file(MAP_SAMPLE_EXE, exe);
  const std::string before = ReadWholeFile(exe);
  const TRunResult r = RunGenerator({exe}, dir);
  EXPECT_EQ(r.Status, 1);
  EXPECT_THAT(r.Output, HasSubstr(exe + ": the map file would overwrite the executable"));
  EXPECT_EQ(ReadWholeFile(exe), before);
}

TEST(MapGenTest, ArgumentsAreChecked) {
  TTempDir dir;
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"a", "b", "c"}}) {
    const TRunResult r = RunGenerator(args, dir);
    EXPECT_EQ(r.Status, 2);
    EXPECT_THAT(r.Output, HasSubstr("usage: vek-mapgen EXECUTABLE [MAPFILE]"));
  }
}

// The program resolves its own functions through its map, as built and as a
// stripped copy that has neither symbols nor DWARF left, with the same map.
TEST(MapGenTest, AStrippedCopyResolvesLikeTheProgramWithTheSameMap) {
  std::string expected;
  for (const TSampleFunction& f : SampleFunctions)
    if (f.Public != "main") expected += f.Public + "|" + f.Unit + "|" + std::to_string(MarkedLines(f).first) + "\n";
  expected += "main|MapLookupSample|" + std::to_string(MarkedLines("MapLookupSample.cpp", "call in main").first) + "\n";

  const std::string exe = MAP_LOOKUP_SAMPLE_EXE;
  EXPECT_EQ(RunAndRead({exe, DefaultMapFileName(exe)}, {}, Timeout), expected);

  TTempDir dir;
  const std::string stripped = dir.File("MapLookupSample");
  ASSERT_TRUE(RunAndRead({"strip", "-o", stripped, exe}, {}, Timeout));
  EXPECT_EQ(RunAndRead({"nm", "--quiet", stripped}, {}, Timeout), std::string()) << "symbols left";
  fs::copy_file(DefaultMapFileName(exe), DefaultMapFileName(stripped));
  EXPECT_EQ(RunAndRead({stripped, DefaultMapFileName(stripped)}, {}, Timeout), expected);
}

// Calls in optimised code, resolved by the program itself as a report
// resolves a call: the unit, function and line of the outermost function,
// where code was inlined the line of the call; a template kept out of line
// answers its header's unit and line.
TEST(MapGenTest, OptimisedCodeAnswersTheOutermostFunctionsLine) {
  struct TRow {
    std::string Label, Unit, Function, Source, Marker;
  };
  const std::vector<TRow> rows = {
      {"inlined header code", "MapOptSample", "UseHeader", "MapOptSample.cpp", "header call"},
      {"inlined same-file helper", "MapOptSample", "UseHelper", "MapOptSample.cpp", "helper call"},
      {"cold part", "MapOptSample", "WithColdPart", "MapOptSample.cpp", "cold call"},
      {"out-of-line template", "MapOptSample.h", "HeaderTemplate<int>", "MapOptSample.h", "template call"},
  };
  const std::string exe = MAP_OPT_SAMPLE_EXE;
  const auto output = RunAndRead({exe, DefaultMapFileName(exe)}, {}, Timeout);
  ASSERT_TRUE(output);
  std::map<std::string, std::vector<std::string>> printed;  // label -> unit, function, line, function offset
  std::istringstream in(*output);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, '|');) fields.push_back(field);
    if (fields.size() == 5) printed[fields[0]] = {fields.begin() + 1, fields.end()};
  }
  for (const TRow& row : rows) {
    ASSERT_TRUE(printed.count(row.Label)) << row.Label << " in:\n" << *output;
    const std::vector<std::string>& p = printed[row.Label];
    EXPECT_EQ(p[0], row.Unit) << row.Label;
    EXPECT_EQ(p[1], row.Function) << row.Label;
    EXPECT_EQ(p[2], std::to_string(MarkedLines(row.Source, row.Marker).first)) << row.Label;
  }
#if defined(__GNUC__) && !defined(__clang__)
  // GCC moves the unlikely call into a part of its own, away from the
  // function's start.
  const auto text0 = TextAddress(exe);
  ASSERT_TRUE(text0);
  EXPECT_NE(std::stoull(printed["cold part"][3]), Symbols(exe).at("WithColdPart(int)") - *text0);
#endif
}

// ----------------------------------------------------------------------------
// Brevant.

TEST(MapGenBrevantTest, TheMapBesideBrevantNamesItsUnitsFunctionsAndLines) {
  TTempDir dir;
  const std::string text = GenerateMap(BREVANT_EXE, dir);
  EXPECT_EQ(ReadWholeFile(DefaultMapFileName(BREVANT_EXE)), text) << "Brevant.map is not up to date";
  const TParsedMap m = ParseMap(text);
  EXPECT_TRUE(m.AllLinesEndInCrLf);

  const auto btnNextClick = m.PublicOffset("TfmMain.btnNextClick");
  ASSERT_TRUE(btnNextClick);
  const bool inFMain = std::any_of(m.Segments.begin(), m.Segments.end(), [&](const TSegmentLine& s) {
    return s.Unit == "F_Main" && *btnNextClick >= s.Start && *btnNextClick - s.Start < s.Length;
  });
  EXPECT_TRUE(inFMain);
  for (const char* name : {"main", "TfmMain.FormCreate", "TVEKLogFile.Write", "Demangle", "PublicNameOf"})
    EXPECT_TRUE(m.PublicOffset(name)) << name;
  ExpectEachUnitFindsItsBlock(m);

  // The reader loads it and names the handler's unit, function and line.
  TVEKMapFile reader;
  reader.SetFileName(dir.File("out.map"));
  ASSERT_TRUE(reader.Loaded());
  reader.LookupOffset(*btnNextClick + 1);
  EXPECT_EQ(reader.UnitName(), "F_Main");
  EXPECT_EQ(reader.PublicName(), "TfmMain.btnNextClick");
  EXPECT_EQ(reader.PublicOffset(), static_cast<std::int32_t>(*btnNextClick));
  EXPECT_NE(reader.LineNumber(), "<Unknown>");

  // The optimised code's lines of F_Main: the line of the outermost
  // function, where code was inlined the line of the call.
  const TLineBlock* block = m.Block("F_Main");
  ASSERT_NE(block, nullptr);
  const auto text0 = TextAddress(BREVANT_EXE);
  ASSERT_TRUE(text0);
  std::vector<std::uint64_t> addresses;
  std::vector<std::string> expected;
  for (const TMapLine& e : block->Entries)
    if (e.Line > 0) {
      addresses.push_back(*text0 + e.Offset);
      expected.push_back("F_Main.cpp:" + std::to_string(e.Line));
    }
  EXPECT_GT(addresses.size(), 100u);
  EXPECT_EQ(OutermostLines(BREVANT_EXE, addresses), expected);
}

}  // namespace

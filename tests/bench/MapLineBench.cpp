// How far a map file's functions and lines can be trusted in optimised code.
// Samples the start, the middle and the last byte of every function that a
// program's DWARF describes, resolves each address through the map file with
// the diagnostics library's reader and through libdw, and prints:
//   - function: the reader's public starts where the outermost function that
//     holds the address starts (a cold part is a function of its own);
//   - own-file lines: where the outermost frame's line lies in the unit's own
//     source file, the reader's unit is that unit and its line that line;
//   - other files' code (out-of-line functions of headers, templates): how
//     often the reader answers a concrete line that is not that file's line
//     (wrong), how often it names the file and its exact line (a unit of its
//     own whose line block lists the file), and how often it has no line;
//   - code without a line in the DWARF: how often the reader gives one.
// The outermost frame is libdw's chain of scopes (dwarf_getscopes,
// dwarf_getscopes_die): for inlined code the call site of the outermost
// inlined subroutine, for other code the line table's row. addr2line and
// eu-addr2line, when installed, cross-check it (their last "inlined by"
// frame), and the figures are repeated for the addresses where both tools
// agree on the outermost function and its file and line.
//
// Usage: MapLineBench EXECUTABLE [MAPFILE] [--rows] [--no-cross-check] [--show N]
//                     [--at OFFSET]...
//   MAPFILE defaults to the map beside the executable; --rows adds the
//   address of every row of the line tables; --show prints up to N addresses
//   of each kind of miss; --at looks at the given offsets of .text (hex) only.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "MapLayout.h"
#include "MapPath.h"
#include "base/TextFile.h"
#include "diag/U_VEK_Debug.h"
#include "tests/support/DwarfFrames.h"
#include "tests/support/Process.h"

namespace {

namespace fs = std::filesystem;

// --- the samples ---------------------------------------------------------------

struct TSample {
  std::uint64_t Address = 0;
  TOutermostFrame Frame;  // the reference
  bool OwnFile = false;   // the frame's line lies in the unit's own source file
  std::string CuUnit;     // the map's name of the address's unit
  // The reader:
  std::string MapUnit, MapPublic, MapLine;
  std::int32_t MapPublicOffset = 0;
};

// --- the map ------------------------------------------------------------------

// The source files that the header of a unit's line-number block lists, for
// the block the reader takes (the first line from the line numbers on that
// holds the unit's name); empty when that line is not the unit's own header.
class TBlockSources {
 public:
  explicit TBlockSources(const std::vector<std::string>& Lines) {
    std::size_t first = 0;
    while (first < Lines.size() && Lines[first].find("Line numbers for ") == std::string::npos) ++first;
    FLines.assign(Lines.begin() + static_cast<std::ptrdiff_t>(first), Lines.end());
  }

  const std::vector<std::string>& Of(const std::string& Unit) {
    auto [it, added] = FCache.emplace(Unit, std::vector<std::string>{});
    if (!added || Unit.empty()) return it->second;
    for (const std::string& line : FLines) {
      if (line.find(Unit) == std::string::npos) continue;
      const std::string head = "Line numbers for " + Unit + "(";
      const std::string tail = ") segment .text";
      if (line.rfind(head, 0) == 0 && line.size() >= head.size() + tail.size() && line.ends_with(tail)) {
        std::string list = line.substr(head.size(), line.size() - head.size() - tail.size());
        for (std::size_t at = 0; at <= list.size();) {
          const std::size_t comma = list.find(", ", at);
          it->second.push_back(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
          if (comma == std::string::npos) break;
          at = comma + 2;
        }
      }
      break;
    }
    return it->second;
  }

 private:
  std::vector<std::string> FLines;
  std::map<std::string, std::vector<std::string>> FCache;
};

// True when Source (as a block header lists it) names File (normalized).
bool NamesFile(const std::string& Source, const std::string& File) {
  const fs::path source = fs::path(Source).lexically_normal();
  if (source.is_absolute()) return source.string() == File;
  // A relative path: its part below the leading "../" must end File.
  std::string rest = source.string();
  while (rest.rfind("../", 0) == 0) rest.erase(0, 3);
  return File.size() > rest.size() && File.ends_with("/" + rest);
}

// --- the tools ------------------------------------------------------------------

// The outermost frame of each address as "function|file:line" (file without
// its folder, column and discriminator dropped), from `Tool -a -f -i -C`.
std::vector<std::string> RunTool(const std::string& Tool, const std::string& Exe,
                                 const std::vector<std::uint64_t>& Addresses, bool& Available) {
  std::vector<std::string> out(Addresses.size());
  constexpr std::size_t Chunk = 4000;
  for (std::size_t from = 0; from < Addresses.size() && Available; from += Chunk) {
    std::vector<std::string> argv{Tool, "-a", "-f", "-i", "-C", "-e", Exe};
    const std::size_t to = std::min(Addresses.size(), from + Chunk);
    for (std::size_t i = from; i < to; ++i) {
      char hex[32];
      std::snprintf(hex, sizeof hex, "0x%" PRIx64, static_cast<std::uint64_t>(Addresses[i]));
      argv.push_back(hex);
    }
    const auto text = RunAndRead(argv, {}, std::chrono::minutes(10));
    if (!text) {
      Available = false;
      break;
    }
    std::istringstream in(*text);
    std::string line, function;
    std::size_t index = from - 1;
    bool expectFunction = true;
    while (std::getline(in, line)) {
      if (line.rfind("0x", 0) == 0 && line.find(':') == std::string::npos) {
        ++index;
        expectFunction = true;
        continue;
      }
      if (index < from || index >= to) continue;
      if (expectFunction) {
        function = line;
      } else {
        std::string where = line;
        if (const std::size_t d = where.find(" (discriminator"); d != std::string::npos) where.erase(d);
        if (const std::size_t slash = where.rfind('/'); slash != std::string::npos) where.erase(0, slash + 1);
        // eu-addr2line adds the column: "file:line:column".
        if (std::count(where.begin(), where.end(), ':') == 2) where.erase(where.rfind(':'));
        if (where.rfind("??", 0) == 0 || where.ends_with(":0")) where = "?";
        // Parameter lists differ between the tools; the name before them counts.
        std::string name = function;
        const std::size_t paren = name.find('(');
        if (paren != std::string::npos && paren > 0 && !(paren >= 8 && name.compare(paren - 8, 8, "operator") == 0))
          name.erase(paren);
        out[index] = name + "|" + where;
      }
      expectFunction = !expectFunction;
    }
  }
  return out;
}

// --- the figures ----------------------------------------------------------------

struct TTally {
  std::size_t Samples = 0, WithFunction = 0, FunctionRight = 0;
  std::size_t Own = 0, OwnExact = 0;
  std::size_t Other = 0, OtherWrong = 0, OtherExact = 0, OtherNone = 0;
  std::size_t NoLine = 0, NoLineConcrete = 0;
};

bool Concrete(const std::string& Line) {
  return Line != "<Unknown>" && Line != "0" && !Line.empty();
}

enum class TMiss { Function, OwnLine, OtherWrong, NoLineConcrete, None };

TMiss Score(const TSample& S, TBlockSources& Blocks, const std::uint64_t Text, TTally& T) {
  ++T.Samples;
  if (!S.Frame.HasFunction) return TMiss::None;
  ++T.WithFunction;
  TMiss miss = TMiss::None;
  if (static_cast<std::uint32_t>(S.MapPublicOffset) == static_cast<std::uint32_t>(S.Frame.FunctionStart - Text))
    ++T.FunctionRight;
  else
    miss = TMiss::Function;
  if (S.Frame.Line <= 0) {
    ++T.NoLine;
    if (Concrete(S.MapLine)) {
      ++T.NoLineConcrete;
      if (miss == TMiss::None) miss = TMiss::NoLineConcrete;
    }
  } else if (S.OwnFile) {
    ++T.Own;
    if (S.MapUnit == S.CuUnit && S.MapLine == std::to_string(S.Frame.Line))
      ++T.OwnExact;
    else if (miss == TMiss::None)
      miss = TMiss::OwnLine;
  } else {
    ++T.Other;
    if (!Concrete(S.MapLine)) {
      ++T.OtherNone;
    } else {
      const std::vector<std::string>& sources = Blocks.Of(S.MapUnit);
      const bool named =
          std::any_of(sources.begin(), sources.end(), [&](const std::string& s) { return NamesFile(s, S.Frame.File); });
      if (named && S.MapLine == std::to_string(S.Frame.Line)) {
        ++T.OtherExact;
      } else {
        ++T.OtherWrong;
        if (miss == TMiss::None) miss = TMiss::OtherWrong;
      }
    }
  }
  return miss;
}

std::string Share(std::size_t Part, std::size_t Whole) {
  char text[32];
  if (Whole == 0)
    std::snprintf(text, sizeof text, "     -");
  else
    std::snprintf(text, sizeof text, "%6.2f%%", 100.0 * static_cast<double>(Part) / static_cast<double>(Whole));
  return text;
}

void Print(const char* Title, const TTally& T) {
  std::printf("%s\n", Title);
  std::printf("  addresses                       %zu (%zu in a function the DWARF describes)\n", T.Samples,
              T.WithFunction);
  std::printf("  function right                  %s  (%zu of %zu)\n", Share(T.FunctionRight, T.WithFunction).c_str(),
              T.FunctionRight, T.WithFunction);
  std::printf("  own-file line exact             %s  (%zu of %zu)\n", Share(T.OwnExact, T.Own).c_str(), T.OwnExact,
              T.Own);
  std::printf("  other files' code: wrong line   %s  (%zu of %zu)\n", Share(T.OtherWrong, T.Other).c_str(),
              T.OtherWrong, T.Other);
  std::printf("                     exact line   %s  (its file's unit and line)\n",
              Share(T.OtherExact, T.Other).c_str());
  std::printf("                     no line      %s\n", Share(T.OtherNone, T.Other).c_str());
  std::printf("  code without a line: concrete   %s  (%zu of %zu)\n", Share(T.NoLineConcrete, T.NoLine).c_str(),
              T.NoLineConcrete, T.NoLine);
}

// The reference in the tools' form, for comparing with them.
std::string ReferenceText(const TSample& S, const std::string& Function) {
  return Function + "|" +
         (S.Frame.Line > 0 ? fs::path(S.Frame.File).filename().string() + ":" + std::to_string(S.Frame.Line) : "?");
}

std::string WhereOf(const std::string& ToolText) {
  const std::size_t bar = ToolText.find('|');
  return bar == std::string::npos ? std::string() : ToolText.substr(bar + 1);
}

}  // namespace

int main(int argc, char** argv) {
  std::string exe, map;
  bool crossCheck = true, rows = false;
  std::size_t show = 0;
  std::vector<std::uint32_t> at;  // offsets to look at instead of the sample
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--no-cross-check")
      crossCheck = false;
    else if (a == "--rows")
      rows = true;
    else if (a == "--at" && i + 1 < argc)
      at.push_back(static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 16)));
    else if (a == "--show" && i + 1 < argc)
      show = std::strtoul(argv[++i], nullptr, 10);
    else if (exe.empty())
      exe = a;
    else if (map.empty())
      map = a;
    else
      exe.clear(), i = argc;
  }
  if (exe.empty()) {
    std::fprintf(stderr, "usage: MapLineBench EXECUTABLE [MAPFILE] [--rows] [--no-cross-check] [--show N]\n");
    return 2;
  }
  if (map.empty()) map = DefaultMapFileName(exe);

  try {
    TDwarfFrames program(exe);
    const std::uint64_t text = program.TextAddress();
    const auto functions = program.FunctionRanges();
    std::set<std::uint64_t> sample;
    for (const auto& [start, end] : functions) sample.insert({start, start + (end - start) / 2, end - 1});
    if (rows)
      for (std::uint64_t a : program.RowAddresses()) sample.insert(a);
    std::vector<std::uint64_t> addresses(sample.begin(), sample.end());
    if (!at.empty()) {
      addresses.clear();
      for (std::uint32_t offset : at) addresses.push_back(text + offset);
      show = addresses.size();
    }
    std::printf("program %s\nmap     %s\n", exe.c_str(), map.c_str());
    std::printf("  %zu function ranges, %zu addresses (start, middle, last byte%s)\n", functions.size(),
                addresses.size(), rows ? ", every row of the line tables" : "");

    const std::vector<std::string> mapLines = LoadTextLines(map);
    TVEKMapFile reader;
    reader.SetFileName(map);
    if (!reader.Loaded()) throw std::runtime_error(map + ": not loaded");
    TBlockSources blocks(mapLines);

    std::vector<TSample> samples(addresses.size());
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < addresses.size(); ++i) {
      TSample& s = samples[i];
      s.Address = addresses[i];
      s.Frame = program.At(s.Address);
      s.CuUnit = MapUnitName(s.Frame.UnitSource);
      s.OwnFile = !s.Frame.File.empty() && s.Frame.File == s.Frame.UnitSource;
      reader.LookupOffset(static_cast<std::uint32_t>(s.Address - text));
      s.MapUnit = reader.UnitName();
      s.MapPublic = reader.PublicName();
      s.MapPublicOffset = reader.PublicOffset();
      s.MapLine = reader.LineNumber();
    }
    std::printf("  resolved in %.1f s\n\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());

    TTally all;
    std::map<TMiss, std::vector<const TSample*>> misses;
    for (const TSample& s : samples) {
      const TMiss miss = Score(s, blocks, text, all);
      if (miss != TMiss::None) misses[miss].push_back(&s);
    }
    Print("all sampled addresses", all);

    if (crossCheck) {
      bool binutils = true, elfutils = true;
      const auto a2l = RunTool("addr2line", exe, addresses, binutils);
      const auto eu = RunTool("eu-addr2line", exe, addresses, elfutils);
      if (!binutils || !elfutils) {
        std::printf("\ncross-check skipped: %s did not run\n", !binutils ? "addr2line" : "eu-addr2line");
      } else {
        TTally agreed;
        std::size_t toolsAgree = 0, libdwDiffers = 0, a2lWhere = 0, euWhere = 0, withLine = 0;
        for (std::size_t i = 0; i < samples.size(); ++i) {
          const TSample& s = samples[i];
          const std::string reference = ReferenceText(s, "");
          if (s.Frame.Line > 0) {
            ++withLine;
            a2lWhere += WhereOf(a2l[i]) == WhereOf(reference);
            euWhere += WhereOf(eu[i]) == WhereOf(reference);
          }
          if (a2l[i].empty() || a2l[i] != eu[i]) continue;
          ++toolsAgree;
          // Where both tools agree, libdw's outermost frame must say the same.
          if (WhereOf(a2l[i]) != WhereOf(reference)) {
            ++libdwDiffers;
            continue;
          }
          Score(s, blocks, text, agreed);
        }
        std::printf("\ncross-check of libdw's outermost frame (file name and line)\n");
        std::printf("  addr2line agrees               %s  (of %zu addresses with a line)\n",
                    Share(a2lWhere, withLine).c_str(), withLine);
        std::printf("  eu-addr2line agrees            %s\n", Share(euWhere, withLine).c_str());
        std::printf("  both tools agree (function, file, line): %zu addresses, libdw differs on %zu of them\n\n",
                    toolsAgree, libdwDiffers);
        Print("addresses where addr2line, eu-addr2line and libdw agree", agreed);
      }
    }

    auto printSample = [&](const TSample& S) {
      std::printf("  %08" PRIx64 " libdw %s:%d, function at %08" PRIx64 " | map %s, %s at %08x, line %s\n",
                  static_cast<std::uint64_t>(S.Address - text), S.Frame.File.c_str(), S.Frame.Line,
                  static_cast<std::uint64_t>(S.Frame.FunctionStart - text), S.MapUnit.c_str(), S.MapPublic.c_str(),
                  static_cast<unsigned>(S.MapPublicOffset), S.MapLine.c_str());
    };
    if (!at.empty()) {
      std::printf("\n");
      for (const TSample& s : samples) printSample(s);
    } else if (show > 0) {
      const char* names[] = {"function", "own-file line", "other file, wrong line", "no line, concrete"};
      for (const auto& [kind, list] : misses) {
        std::printf("\nmisses: %s (%zu)\n", names[static_cast<int>(kind)], list.size());
        for (std::size_t i = 0; i < list.size() && i < show; ++i) printSample(*list[i]);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "MapLineBench: %s\n", e.what());
    return 1;
  }
  return 0;
}

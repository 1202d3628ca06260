// What it costs to say where code of the program is through the map file,
// next to resolving the same addresses in process from the executable's
// DWARF with elfutils' libdw. Prints, in one run:
//   - Brevant's map: its size and the time to load it (paid at every start
//     of the program that reads it), one lookup in a fresh reader and the
//     same lookup again (the reader's cache);
//   - a 20-frame walk in this program through its own map (a recursion 20
//     levels deep, each level a function of its own, so that every frame has
//     an address of its own and the cache saves nothing), with the capture
//     and the 20 lookups on their own;
//   - the same 20 addresses resolved by libdw (unit, function, line): with a
//     new Dwfl session for every measurement (cold) and with one session
//     reused (warm), and the ratios.
// Usage: MapFileBench [MAPFILE] (default: the Brevant.map of this build).
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Exceptions.h"
#include "base/TextFile.h"
#include "diag/U_VEK_Debug.h"
#include "platform/CodeAddress.h"

namespace {

constexpr int Depth = 20;
constexpr int MapRounds = 101;    // measurements of the map reader
constexpr int ColdDwRounds = 21;  // new libdw sessions
constexpr int CachedLookups = 10000;

using TClock = std::chrono::steady_clock;

double MicrosecondsSince(TClock::time_point Start) {
  return std::chrono::duration<double, std::micro>(TClock::now() - Start).count();
}

double Median(std::vector<double> Values) {
  std::sort(Values.begin(), Values.end());
  return Values[Values.size() / 2];
}

// The median of Rounds measurements of Measure, which returns microseconds;
// First gets the first one on its own.
double MedianOf(int Rounds, const std::function<double()>& Measure, double* First = nullptr) {
  std::vector<double> times;
  for (int i = 0; i < Rounds; ++i) times.push_back(Measure());
  if (First) *First = times.front();
  return Median(times);
}

std::string Micro(double Microseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%10.1f us", Microseconds);
  return text;
}

struct TPublic {
  std::uint32_t Offset = 0;
  std::string Name;
};

// The functions of a map's publics-by-value section, read from its columns
// (without the public that closes .text).
std::vector<TPublic> PublicsOf(const std::vector<std::string>& Lines) {
  std::vector<TPublic> publics;
  bool inPublics = false;
  for (const std::string& line : Lines) {
    if (line.find("  Address         Publics by Value") != std::string::npos) {
      inPublics = true;
      continue;
    }
    if (!inPublics) continue;
    if (line.rfind("Line numbers for ", 0) == 0) break;
    TPublic p;
    if (line.size() < 22 || line[5] != ':' ||
        std::from_chars(line.data() + 6, line.data() + 14, p.Offset, 16).ptr != line.data() + 14)
      continue;
    p.Name = line.substr(21);
    if (p.Name != "<end of .text>") publics.push_back(std::move(p));
  }
  return publics;
}

// --- the walk ---------------------------------------------------------------

volatile int Sink = 0;

struct TWalkRun {
  TVEKMapFile* Map = nullptr;
  std::array<std::uintptr_t, Depth> Addresses{};  // return addresses of the frames
  int Frames = 0;
  double Microseconds = 0;
};

// Descend<1> walks; each level above it calls the one below from its own
// code, so the 20 frames have 20 different return addresses.
template <int N>
[[gnu::noinline]] void Descend(TWalkRun& Run) {
  if constexpr (N == 1) {
    const auto start = TClock::now();
    bool more = Run.Map->FirstFrame();
    Run.Frames = 0;
    while (true) {
      Run.Addresses[static_cast<std::size_t>(Run.Frames++)] = Run.Map->ReturnAddress();
      if (!more || Run.Frames == Depth) break;
      more = Run.Map->NextFrame();
    }
    Run.Microseconds = MicrosecondsSince(start);
  } else {
    Descend<N - 1>(Run);
  }
  Sink = Sink + N;  // work after the call keeps it a call, not a jump
}

// The stack capture that the walk starts with, alone.
template <int N>
[[gnu::noinline]] void DescendAndCapture(double& Microseconds) {
  if constexpr (N == 1) {
    std::array<TCodeFrame, TVEKMapFile::MaxFrames> frames;
    const auto start = TClock::now();
    Sink = Sink + static_cast<int>(CaptureStack(frames.data(), frames.size(), 0));
    Microseconds = MicrosecondsSince(start);
  } else {
    DescendAndCapture<N - 1>(Microseconds);
  }
  Sink = Sink + N;
}

// --- libdw ------------------------------------------------------------------

struct TDwLocation {
  std::string Unit, Function;
  int Line = 0;
};

const Dwfl_Callbacks ProcessCallbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr, nullptr};

struct TDwflDeleter {
  void operator()(Dwfl* D) const { dwfl_end(D); }
};
using TDwfl = std::unique_ptr<Dwfl, TDwflDeleter>;

// A session over the modules of this process, as a resolver in the program
// would open one.
TDwfl OpenSession() {
  TDwfl dwfl(dwfl_begin(&ProcessCallbacks));
  if (!dwfl) return nullptr;
  dwfl_report_begin(dwfl.get());
  if (dwfl_linux_proc_report(dwfl.get(), getpid()) != 0 || dwfl_report_end(dwfl.get(), nullptr, nullptr) != 0)
    return nullptr;
  return dwfl;
}

// Unit (the compilation unit's name), function (its symbol, as the symbol
// table has it) and line of a code address.
TDwLocation ResolveWithDwfl(Dwfl* D, std::uintptr_t Address) {
  TDwLocation where;
  Dwfl_Module* module = dwfl_addrmodule(D, Address);
  if (!module) return where;
  if (const char* name = dwfl_module_addrname(module, Address)) where.Function = name;
  Dwarf_Addr bias = 0;
  if (Dwarf_Die* cu = dwfl_module_addrdie(module, Address, &bias))
    if (const char* name = dwarf_diename(cu)) where.Unit = name;
  if (Dwfl_Line* line = dwfl_module_getsrc(module, Address))
    dwfl_lineinfo(line, nullptr, &where.Line, nullptr, nullptr, nullptr);
  return where;
}

// The unit name a map gives a source file: its name without folder and
// extension.
std::string UnitOfSource(const std::string& Source) {
  return std::filesystem::path(Source).stem().string();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string brevantMap = argc > 1 ? argv[1] : BREVANT_MAP;
  const std::string ownMap = std::filesystem::read_symlink("/proc/self/exe").string() + ".map";

  try {
    // --- Brevant's map: size, load, one lookup ---------------------------------
    const std::vector<std::string> lines = LoadTextLines(brevantMap);
    const auto bytes = std::filesystem::file_size(brevantMap);
    std::printf("map file %s\n", brevantMap.c_str());
    std::printf("  size                          %zu lines, %ju bytes\n", lines.size(), static_cast<uintmax_t>(bytes));

    double firstLoad = 0;
    const double load = MedianOf(
        MapRounds,
        [&] {
          TVEKMapFile map;
          const auto start = TClock::now();
          map.SetFileName(brevantMap);
          return MicrosecondsSince(start);
        },
        &firstLoad);
    std::printf("  load                       %s   (first in this process %s)\n", Micro(load).c_str(),
                Micro(firstLoad).c_str());

    // A handler of the wizard, and the last function of .text (the longest
    // scan of the publics).
    const std::vector<TPublic> publics = PublicsOf(lines);
    if (publics.empty()) throw Exception("no publics in " + brevantMap);
    const auto handler =
        std::find_if(publics.begin(), publics.end(), [](const TPublic& P) { return P.Name == "TfmMain.btnNextClick"; });
    const auto last = std::max_element(publics.begin(), publics.end(),
                                       [](const TPublic& A, const TPublic& B) { return A.Offset < B.Offset; });
    struct TTarget {
      const char* Title;
      std::vector<TPublic>::const_iterator Public;
    };
    for (const TTarget& target :
         {TTarget{"lookup in TfmMain.btnNextClick", handler}, TTarget{"lookup in the last function", last}}) {
      if (target.Public == publics.end()) {
        std::printf("  %s: no such public in the map\n", target.Title);
        continue;
      }
      const std::uint32_t offset = target.Public->Offset + 0x10;
      TVEKMapFile probe;
      probe.SetFileName(brevantMap);
      probe.LookupOffset(offset);
      const double first = MedianOf(MapRounds, [&] {
        TVEKMapFile map;
        map.SetFileName(brevantMap);
        const auto start = TClock::now();
        map.LookupOffset(offset);
        return MicrosecondsSince(start);
      });
      const double cached = MedianOf(11, [&] {
        const auto start = TClock::now();
        for (int i = 0; i < CachedLookups; ++i) probe.LookupOffset(offset);
        return MicrosecondsSince(start) / CachedLookups;
      });
      std::printf("  %s (offset %08X: %s, %s, line %s)\n", target.Title, offset, probe.UnitName().c_str(),
                  probe.PublicName().c_str(), probe.LineNumber().c_str());
      std::printf("    first (fresh reader)     %s\n", Micro(first).c_str());
      std::printf("    cached (same offset)     %13.3f us\n", cached);
    }
    // One lookup inside each function in turn: no two in a row share an
    // offset, so each one scans.
    {
      TVEKMapFile map;
      map.SetFileName(brevantMap);
      const double all = MedianOf(5, [&] {
        const auto start = TClock::now();
        for (const TPublic& p : publics) map.LookupOffset(p.Offset + 1);
        return MicrosecondsSince(start) / static_cast<double>(publics.size());
      });
      std::printf("  lookup, mean over its %zu functions %s\n", publics.size(), Micro(all).c_str());
    }

    // --- a 20-frame walk through this program's own map ------------------------
    const std::vector<std::string> ownLines = LoadTextLines(ownMap);
    std::printf("\nmap file %s\n", ownMap.c_str());
    std::printf("  size                          %zu lines, %ju bytes\n", ownLines.size(),
                static_cast<uintmax_t>(std::filesystem::file_size(ownMap)));
    const double ownLoad = MedianOf(MapRounds, [&] {
      TVEKMapFile map;
      const auto start = TClock::now();
      map.SetFileName(ownMap);
      return MicrosecondsSince(start);
    });
    std::printf("  load                       %s\n", Micro(ownLoad).c_str());

    TWalkRun run;
    double firstWalkInProcess = 0;
    const double firstWalk = MedianOf(
        MapRounds,
        [&] {
          TVEKMapFile map;
          map.SetFileName(ownMap);
          run.Map = &map;
          Descend<Depth>(run);
          run.Map = nullptr;
          return run.Microseconds;
        },
        &firstWalkInProcess);
    if (run.Frames != Depth) {
      std::fprintf(stderr, "the walk gave %d frames, not %d\n", run.Frames, Depth);
      return 1;
    }
    TVEKMapFile walker;
    walker.SetFileName(ownMap);
    run.Map = &walker;
    const double againWalk = MedianOf(MapRounds, [&] {
      Descend<Depth>(run);
      return run.Microseconds;
    });
    run.Map = nullptr;
    const double capture = MedianOf(MapRounds, [] {
      double us = 0;
      DescendAndCapture<Depth>(us);
      return us;
    });
    // The 20 lookups alone, as the walk makes them (the call, one byte
    // before each return address).
    std::vector<TCodeFrame> frames;
    for (std::uintptr_t address : run.Addresses) frames.push_back(TCodeFrame{address, 0, false});
    const double lookups = MedianOf(MapRounds, [&] {
      TVEKMapFile map;
      map.SetFileName(ownMap);
      const auto start = TClock::now();
      for (const TCodeFrame& f : frames) map.Lookup(CallSiteAddress(f));
      return MicrosecondsSince(start);
    });
    std::printf("  20-frame walk, first (fresh reader) %s   (first in this process %s)\n", Micro(firstWalk).c_str(),
                Micro(firstWalkInProcess).c_str());
    std::printf("  20-frame walk, again (same reader)  %s\n", Micro(againWalk).c_str());
    std::printf("    of which the stack capture        %s\n", Micro(capture).c_str());
    std::printf("  20 lookups alone (fresh reader)     %s\n", Micro(lookups).c_str());

    // --- the same 20 addresses through libdw -------------------------------------
    // Each cold session is measured right after a walk with a fresh reader,
    // so that both sides of the ratio meet the same load of a shared machine.
    std::vector<TDwLocation> dwLocations(frames.size());
    std::vector<double> pairedWalks;
    double dwFirstInProcess = 0;
    const double dwCold = MedianOf(
        ColdDwRounds,
        [&] {
          {
            TVEKMapFile map;
            map.SetFileName(ownMap);
            TWalkRun paired;
            paired.Map = &map;
            Descend<Depth>(paired);
            pairedWalks.push_back(paired.Microseconds);
          }
          const auto start = TClock::now();
          TDwfl session = OpenSession();
          if (!session) throw Exception(std::string("libdw: ") + dwfl_errmsg(-1));
          for (std::size_t i = 0; i < frames.size(); ++i)
            dwLocations[i] = ResolveWithDwfl(session.get(), CallSiteAddress(frames[i]));
          session.reset();
          return MicrosecondsSince(start);
        },
        &dwFirstInProcess);
    TDwfl warm = OpenSession();
    if (!warm) throw Exception(std::string("libdw: ") + dwfl_errmsg(-1));
    for (const TCodeFrame& f : frames) ResolveWithDwfl(warm.get(), CallSiteAddress(f));
    const double dwWarm = MedianOf(MapRounds, [&] {
      const auto start = TClock::now();
      for (const TCodeFrame& f : frames) Sink = Sink + ResolveWithDwfl(warm.get(), CallSiteAddress(f)).Line;
      return MicrosecondsSince(start);
    });

    // Both name the same unit and line for every frame.
    int sameUnit = 0, sameLine = 0;
    TVEKMapFile check;
    check.SetFileName(ownMap);
    for (std::size_t i = 0; i < frames.size(); ++i) {
      check.Lookup(CallSiteAddress(frames[i]));
      if (check.UnitName() == UnitOfSource(dwLocations[i].Unit)) ++sameUnit;
      if (check.LineNumber() == std::to_string(dwLocations[i].Line)) ++sameLine;
    }
    check.Lookup(CallSiteAddress(frames[0]));
    std::printf("  frame 0: map %s, %s, line %s; libdw %s, %s, line %d\n", check.UnitName().c_str(),
                check.PublicName().c_str(), check.LineNumber().c_str(), dwLocations[0].Unit.c_str(),
                dwLocations[0].Function.c_str(), dwLocations[0].Line);
    std::printf("  map and libdw agree on the unit of %d and the line of %d of %d frames\n", sameUnit, sameLine, Depth);

    std::printf("\nthe same 20 addresses through libdw (unit, function, line)\n");
    const double pairedWalk = Median(pairedWalks);
    std::printf("  cold (new Dwfl session each)        %s   (first in this process %s)\n", Micro(dwCold).c_str(),
                Micro(dwFirstInProcess).c_str());
    std::printf("    the first walk in the same rounds %s\n", Micro(pairedWalk).c_str());
    std::printf("  warm (one session reused)           %s\n", Micro(dwWarm).c_str());
    std::printf("\nratios\n");
    std::printf("  first walk / libdw cold             %10.4f   (aim: at most 0.1)\n", pairedWalk / dwCold);
    std::printf("    the first of each in this process %10.4f\n", firstWalkInProcess / dwFirstInProcess);
    std::printf("    with the map's load added         %10.4f\n", (ownLoad + pairedWalk) / dwCold);
    std::printf("  20 lookups / libdw cold             %10.4f\n", lookups / dwCold);
    std::printf("  20 lookups / libdw warm             %10.2f\n", lookups / dwWarm);
    std::printf("  Brevant map load                    %s   (aim: under 5 ms)\n", Micro(load).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "MapFileBench: %s\n", e.what());
    return 1;
  }
  return 0;
}

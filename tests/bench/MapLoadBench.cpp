// The first map load and the first exception report of a program, as a
// program pays them: every round runs in a process of its own. The probes
// (MapProbe.cpp with generated units, see MapProbeUnits.cmake) load a map
// and report a throw 20 frames deep, whose frames lie in units spread over
// the whole program; this bench runs them and prints, per map:
//   - its size (bytes, lines);
//   - the first load, the first report after it, both together (what the
//     first exception costs), and a later report (mean of 10), wall clock:
//     median, fastest and slowest round;
//   - the thread's CPU time of the load and the first report (medians;
//     page faults count here, other programs on the machine do not), and
//     their page faults (medians);
//   - memory: the resident set's growth over the load, and the peak
//     resident set of the process (VmHWM), medians.
// The maps: Brevant's own (read by the smallest probe: its lookups then
// resolve nonsense, at the cost of real scans), and the probes' own maps,
// about 1, 10 and 30 times Brevant's. Rounds are interleaved (one run of
// every map per round, after one round that is not counted), so a machine
// that slows down meanwhile slows all of them alike.
// Usage: MapLoadBench [--probes DIR] [ROUNDS]
//   ROUNDS: runs of each map (default 15).
//   --probes DIR: the probes (MapProbe1x, MapProbe10x, MapProbe30x, their
//   maps beside them) of another build, copied to DIR, instead of this
//   build's: for figures before and after a change.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Process.h"

namespace {

struct TCase {
  std::string Title;
  std::vector<std::string> Argv;
  std::string Map;
  std::vector<std::map<std::string, double>> Rounds;
};

// "key value key value ..." of a probe's line; the numbers only.
std::map<std::string, double> ParseFigures(const std::string& Line) {
  std::map<std::string, double> figures;
  std::istringstream in(Line);
  std::string key, value;
  while (in >> key >> value) {
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    if (end && *end == '\0') figures[key] = number;
  }
  return figures;
}

struct TStats {
  double Median = 0, Min = 0, Max = 0;
};

TStats StatsOf(const TCase& Case, const std::string& Key, double Scale = 1) {
  std::vector<double> values;
  for (const auto& round : Case.Rounds) {
    double v = 0;
    if (Key.find('+') != std::string::npos) {
      std::istringstream parts(Key);
      for (std::string part; std::getline(parts, part, '+');) v += round.at(part);
    } else {
      v = round.at(Key);
    }
    values.push_back(v * Scale);
  }
  std::sort(values.begin(), values.end());
  if (values.empty()) return {};
  return {values[values.size() / 2], values.front(), values.back()};
}

std::size_t LineCount(const std::string& File) {
  std::ifstream in(File, std::ios::binary);
  std::size_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  std::string probe1 = MAP_PROBE_1X, probe10 = MAP_PROBE_10X, probe30 = MAP_PROBE_30X;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--probes" && i + 1 < argc) {
      const std::string dir = argv[++i];
      probe1 = dir + "/MapProbe1x";
      probe10 = dir + "/MapProbe10x";
      probe30 = dir + "/MapProbe30x";
    } else {
      rounds = std::max(1, std::atoi(arg.c_str()));
    }
  }
  std::vector<TCase> cases = {
      {"Brevant.map", {probe1, BREVANT_MAP}, BREVANT_MAP, {}},
      {"MapProbe1x.map", {probe1}, probe1 + ".map", {}},
      {"MapProbe10x.map", {probe10}, probe10 + ".map", {}},
      {"MapProbe30x.map", {probe30}, probe30 + ".map", {}},
  };

  std::string sample;
  for (int round = 0; round <= rounds; ++round) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
      TCase& c = cases[(i + static_cast<std::size_t>(round)) % cases.size()];
      const auto out = RunAndRead(c.Argv, {}, std::chrono::seconds(60));
      if (!out || out->find("load ") != 0) {
        std::fprintf(stderr, "MapLoadBench: %s gave no figures\n", c.Argv[0].c_str());
        return 1;
      }
      if (round == 0) {
        if (c.Title == "MapProbe30x.map") sample = *out;
        continue;  // the round that warms the file cache
      }
      c.Rounds.push_back(ParseFigures(*out));
    }
  }

  std::printf("Each round in a new process; %d rounds, median (fastest - slowest) in ms, memory in KiB.\n", rounds);
  for (const TCase& c : cases) {
    const auto bytes = std::filesystem::file_size(c.Map);
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("\n%s: %ju bytes, %zu lines\n", c.Title.c_str(), static_cast<uintmax_t>(bytes), LineCount(c.Map));
    auto row = [&c](const char* Title, const std::string& Key) {
      const TStats s = StatsOf(c, Key, 1e-3);
      std::printf("  %-34s %9.3f  (%.3f - %.3f)\n", Title, s.Median, s.Min, s.Max);
    };
    row("first map load", "load");
    row("first report", "report");
    row("first report, map load included", "load+report");
    row("later report", "later");
    std::printf("  %-34s %9.3f  /  %.3f\n", "CPU time: load / first report", StatsOf(c, "loadcpu", 1e-3).Median,
                StatsOf(c, "reportcpu", 1e-3).Median);
    std::printf("  %-34s %9.0f  /  %.0f\n", "page faults: load / first report", StatsOf(c, "loadfaults").Median,
                StatsOf(c, "reportfaults").Median);
    const double rssMap = StatsOf(c, "rssmap").Median;
    std::printf("  %-34s %9.0f  (%.2f x the file)\n", "resident set added by the load", rssMap,
                rssMap * 1024 / static_cast<double>(bytes));
    std::printf("  %-34s %9.0f\n", "peak resident set", StatsOf(c, "hwm").Median);
    std::printf("  %-34s %9.3f\n", "first load per MB of map", StatsOf(c, "load", 1e-3).Median / mb);
  }
  std::printf(
      "\nAims: first report with the load at most 3 ms for Brevant.map, at most 30 ms for the map 30 times "
      "as large.\n");
  std::printf("A probe's line (MapProbe30x, first round): %s", sample.c_str());
  return 0;
}

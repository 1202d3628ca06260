// Start-up of the real wizard against an empty Qt dialog, measured side by
// side in one run: from the moment the bench starts the program (spawn and
// execve) to its window shown and painted, on Qt's offscreen platform.
//
// Brevant is copied into a folder of its own with 26 product descriptors and
// started plain, with "/LOGFILE", and from a second folder where its map file
// (Brevant.map, written by the build beside it) lies beside it. The yardstick
// is StartupDialog: a dialog of the same size with a list of 26 rows.
//
// How "shown" is seen: the offscreen platform has no window that another
// process could watch, so every program is started with Qt's own
// QT_QPA_GENERIC_PLUGINS naming StartupProbe, a generic plugin built beside
// this bench. The plugin writes the monotonic clock to a pipe once the first
// top-level window has been exposed and painted. Both programs load it the
// same way and neither knows of it; nothing in the product changes.
//
// The runs are interleaved (one run of every program per round, each round
// starting with the next program, after one round that is not counted), so
// a machine that slows down meanwhile slows all of them alike. Printed:
// median, fastest and slowest time; the ratio of each median to the
// dialog's, and the median of the ratios to the dialog's run of the same
// round (which a slow spell of the machine disturbs less); the same for the
// CPU time the program had until then (the scheduler's count, which a busy
// machine disturbs less than the wall clock); and the peak memory: VmHWM
// read from /proc/<pid>/status when the window is shown, and the kernel's
// maxrss at the end (the program is then ended with SIGTERM, its usual way
// out).
//
// Usage: StartupBench [--brevant PATH]... [ROUNDS]
//   ROUNDS: runs of each program (default 15).
//   --brevant PATH: measures that build of Brevant (its map file beside it)
//   instead of this build's; given more than once, measures each, side by
//   side in the same rounds.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;

namespace {

constexpr int Descriptors = 26;
constexpr auto ShowTimeout = 30s;

struct TSample {
  double Ms = 0;
  double CpuMs = 0;
  long HwmKiB = 0;
  long MaxRssKiB = 0;
};

struct TProgram {
  std::string Name;
  std::vector<std::string> Argv;
  std::vector<TSample> Samples;
};

long long MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// VmHWM of a running process in KiB, 0 when it cannot be read.
long PeakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

// The CPU time all threads of a running process have had so far, in ms: the
// scheduler's own count (first field of each thread's schedstat, in ns).
double CpuMilliseconds(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  long long ns = 0;
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    std::ifstream schedstat(task.path() / "schedstat");
    long long taskNs = 0;
    if (schedstat >> taskNs) ns += taskNs;
  }
  return static_cast<double>(ns) / 1e6;
}

// Reads one line from `fd`, waiting until `deadline` at most.
std::optional<std::string> ReadLine(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string text;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[64];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;  // the program ended without a window
    text.append(buffer, static_cast<std::size_t>(got));
    if (const auto eol = text.find('\n'); eol != std::string::npos) return text.substr(0, eol);
  }
}

// One start of `argv` up to its window shown; nothing when no window came.
std::optional<TSample> RunOnce(const std::vector<std::string>& argv) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  ::fcntl(fds[1], F_SETFD, 0);  // the write end goes to the child
  const std::vector<std::string> env = {
      "QT_QPA_PLATFORM=offscreen",
      std::string("QT_PLUGIN_PATH=") + STARTUP_PROBE_PLUGIN_DIR,
      "QT_QPA_GENERIC_PLUGINS=startupprobe:" + std::to_string(fds[1]),
  };
  const long long start = MonotonicNs();
  TChildProcess child(argv, env, "/dev/null");
  ::close(fds[1]);
  const auto line = ReadLine(fds[0], std::chrono::steady_clock::now() + ShowTimeout);
  ::close(fds[0]);
  if (!line) {
    std::fprintf(stderr, "%s showed no window within %lld s\n", argv[0].c_str(),
                 static_cast<long long>(ShowTimeout.count()));
    return std::nullopt;
  }
  TSample sample;
  sample.Ms = static_cast<double>(std::atoll(line->c_str()) - start) / 1e6;
  sample.CpuMs = CpuMilliseconds(child.Pid());
  sample.HwmKiB = PeakResidentKiB(child.Pid());
  child.Signal(SIGTERM);
  if (!child.Wait(10s)) {
    child.Signal(SIGKILL);
    child.Wait(5s);
  }
  sample.MaxRssKiB = child.PeakRssKiB();
  return sample;
}

template <class T>
T Median(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? T{} : v[v.size() / 2];
}

// Copies the executable `exe` into `dir` with the descriptors beside it.
std::string InstallWizardWithDescriptors(const std::string& exe, const TTempDir& dir) {
  const std::string copy = dir.File("Brevant");
  std::filesystem::copy_file(exe, copy);
  for (int i = 1; i <= Descriptors; ++i) {
    const std::string n = (i < 10 ? "0" : "") + std::to_string(i);
    dir.Write("product" + n + ".ini", "[Product]\r\nID=product" + n + "\r\nMODE=0\r\nVERSION=1." + std::to_string(i) +
                                          ".0\r\nTITLE=Quellmark Product " + n + "\r\nCODE=QP" + n +
                                          "\r\nDAY=5\r\nMONTH=6\r\nYEAR=2025\r\n");
  }
  return copy;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  std::vector<std::string> builds;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--brevant" && i + 1 < argc) {
      builds.push_back(argv[++i]);
    } else if (!arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos) {
      rounds = std::max(1, std::atoi(arg.c_str()));
    } else {
      std::fprintf(stderr, "usage: StartupBench [--brevant PATH]... [ROUNDS]\n");
      return 2;
    }
  }
  if (builds.empty()) builds.push_back(BREVANT_EXE);
  ::signal(SIGPIPE, SIG_IGN);

  std::vector<TProgram> programs = {{"empty dialog, 26 rows", {STARTUP_DIALOG_EXE}, {}}};
  std::vector<std::unique_ptr<TTempDir>> folders;
  for (std::size_t b = 0; b < builds.size(); ++b) {
    const std::string map = builds[b] + ".map";
    if (!std::filesystem::exists(builds[b]) || !std::filesystem::exists(map)) {
      std::fprintf(stderr, "no %s with its map file beside it\n", builds[b].c_str());
      return 1;
    }
    const std::string tag = builds.size() > 1 ? "#" + std::to_string(b + 1) + " " : "";
    const TTempDir& plain = *folders.emplace_back(std::make_unique<TTempDir>());
    const TTempDir& withMap = *folders.emplace_back(std::make_unique<TTempDir>());
    const std::string brevant = InstallWizardWithDescriptors(builds[b], plain);
    const std::string brevantWithMap = InstallWizardWithDescriptors(builds[b], withMap);
    std::filesystem::copy_file(map, withMap.File("Brevant.map"));
    programs.push_back({tag + "Brevant", {brevant}, {}});
    programs.push_back({tag + "Brevant /LOGFILE", {brevant, "/LOGFILE"}, {}});
    programs.push_back({tag + "Brevant, Brevant.map beside it", {brevantWithMap}, {}});
  }

  for (int round = 0; round <= rounds; ++round) {
    // Each round starts with the next program, so none always runs right
    // after the same other one.
    for (std::size_t i = 0; i < programs.size(); ++i) {
      TProgram& p = programs[(static_cast<std::size_t>(round) + i) % programs.size()];
      const auto sample = RunOnce(p.Argv);
      if (!sample) return 1;
      if (round > 0) p.Samples.push_back(*sample);  // round 0 warms the caches
    }
  }

  std::printf("Start-up to the window shown, offscreen, %d descriptors, %d interleaved runs each\n", Descriptors,
              rounds);
  std::printf(
      "wall: from spawn to the window painted; CPU: the time the program ran on a processor until then\n"
      "ratio: to the dialog's median; in round: the median of the ratios to the dialog's run of the same round\n");
  if (builds.size() > 1)
    for (std::size_t b = 0; b < builds.size(); ++b) std::printf("#%zu: %s\n", b + 1, builds[b].c_str());
  std::printf("\n%-34s %9s %9s %9s %6s %8s %9s %6s %11s %11s\n", "program", "wall", "fastest", "slowest", "ratio",
              "in round", "CPU", "ratio", "VmHWM", "maxrss");
  const auto column = [](const TProgram& p, auto field) {
    std::vector<std::decay_t<decltype(p.Samples[0].*field)>> values;
    for (const TSample& sample : p.Samples) values.push_back(sample.*field);
    return values;
  };
  const std::vector<double> dialogWall = column(programs[0], &TSample::Ms);
  const double dialogCpu = Median(column(programs[0], &TSample::CpuMs));
  for (const TProgram& p : programs) {
    const std::vector<double> wall = column(p, &TSample::Ms);
    std::vector<double> inRound;
    for (std::size_t i = 0; i < wall.size(); ++i) inRound.push_back(wall[i] / dialogWall[i]);
    const double cpu = Median(column(p, &TSample::CpuMs));
    std::printf("%-34s %6.1f ms %6.1f ms %6.1f ms %6.2f %8.2f %6.1f ms %6.2f %7.1f MiB %7.1f MiB\n", p.Name.c_str(),
                Median(wall), *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()),
                Median(wall) / Median(dialogWall), Median(inRound), cpu, cpu / dialogCpu,
                static_cast<double>(Median(column(p, &TSample::HwmKiB))) / 1024.0,
                static_cast<double>(Median(column(p, &TSample::MaxRssKiB))) / 1024.0);
  }
  return 0;
}

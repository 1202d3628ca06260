// One round of MapLoadBench in a process of its own, as a program meets its
// first exception: a Qt Widgets program whose window is up (on Qt's
// offscreen platform unless QT_QPA_PLATFORM names another), where the
// interceptor loads the map (the program's own, or the one named on the
// command line), reports a throw 20 frames deep through the generated units
// (MapUnits.h, written by MapProbeUnits.cmake), then reports the same throw
// again. Prints one line of figures:
//   load <us> report <us> later <us> loadcpu <us> reportcpu <us>
//   loadfaults <n> reportfaults <n> rssbefore <KiB> rssmap <KiB> hwm <KiB>
//   unit <unit> line <line>
// (wall-clock microseconds of the load, the first report and the mean of the
// later ones; the thread's CPU time and the process's page faults of the
// first two; the resident set before the load, its growth over the load,
// the peak; where the throw was located).
// Usage: MapProbeNx [MAPFILE]
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include <QApplication>
#include <QLabel>

#include "MapUnits.h"
#include "base/Exceptions.h"
#include "diag/U_VEK_Debug.h"

volatile int MapProbeSink = 0;

namespace {

struct TProbeError : Exception {
  TProbeError() : Exception("The probe's error.") {}
};

using TClock = std::chrono::steady_clock;

double MicrosecondsSince(TClock::time_point Start) {
  return std::chrono::duration<double, std::micro>(TClock::now() - Start).count();
}

double ThreadCpuMicroseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Page faults of the process so far that needed no reading from the disk
// (a fresh page given, a page of the file cache mapped).
long MinorFaults() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
long StatusKiB(const char* Field) {
  std::ifstream status("/proc/self/status");
  const std::string prefix = std::string(Field) + ":";
  for (std::string line; std::getline(status, line);)
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  return 0;
}

// The report of a throw 20 frames deep, as the interceptor builds it.
double Report(TVEKDebug& Debug, TVEKExceptionInfos& Infos, double* CpuMicroseconds = nullptr, long* Faults = nullptr) {
  try {
    MapProbeDescends[0](20);
  } catch (const std::exception& e) {
    const double cpu = ThreadCpuMicroseconds();
    const long faults = MinorFaults();
    const auto start = TClock::now();
    Debug.GetExceptionInfos(nullptr, &e, Infos);
    const std::string text = Debug.ReportText(Infos);
    const double wall = MicrosecondsSince(start);
    if (CpuMicroseconds) *CpuMicroseconds = ThreadCpuMicroseconds() - cpu;
    if (Faults) *Faults = MinorFaults() - faults;
    MapProbeSink = MapProbeSink + static_cast<int>(text.size());
    return wall;
  }
  return 0;
}

}  // namespace

void MapProbeThrow() {
  throw TProbeError();
}

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QLabel window("MapProbe");
  window.show();
  QApplication::processEvents();
  try {
    TVEKDebug debug;
    const std::string map = argc > 1 ? argv[1] : TVEKDebug::MapFileNameFor(argv[0]);
    // Everything the report needs but the map is set up first.
    debug.SetActive(true);
    const long rssBefore = StatusKiB("VmRSS");
    const double loadCpuStart = ThreadCpuMicroseconds();
    const long loadFaultsStart = MinorFaults();
    const auto start = TClock::now();
    debug.MapFile->SetFileName(map);
    const double load = MicrosecondsSince(start);
    const double loadCpu = ThreadCpuMicroseconds() - loadCpuStart;
    const long loadFaults = MinorFaults() - loadFaultsStart;
    const long rssMap = StatusKiB("VmRSS") - rssBefore;

    TVEKExceptionInfos infos;
    double reportCpu = 0;
    long reportFaults = 0;
    const double first = Report(debug, infos, &reportCpu, &reportFaults);
    constexpr int Later = 10;
    double later = 0;
    for (int i = 0; i < Later; ++i) later += Report(debug, infos);
    debug.SetActive(false);
    std::printf(
        "load %.1f report %.1f later %.1f loadcpu %.1f reportcpu %.1f loadfaults %ld reportfaults %ld rssbefore %ld "
        "rssmap %ld hwm %ld",
        load, first, later / Later, loadCpu, reportCpu, loadFaults, reportFaults, rssBefore, rssMap,
        StatusKiB("VmHWM"));
    std::printf(" unit %s line %s\n", infos.UnitName.c_str(), infos.LineNumber.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "MapProbe: %s\n", e.what());
    return 1;
  }
  return 0;
}

// What a traced call costs (EnterProc and LeaveProc, the log on, the
// location resolved through the bench's own map), next to one log entry.
// A traced call writes two entries and resolves one location: from one
// place the map reader's last result is reused, alternating between two
// traced procedures every enter scans the map. Prints the medians and the
// ratios to a log entry.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include <QCoreApplication>

#include "diag/U_VEK_Debug.h"
#include "diag/U_VEK_Global.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_System.h"
#include "runtime/Application.h"
#include "tests/support/FakeSystem.h"
#include "tests/support/TempDir.h"

__attribute__((noinline)) void TracedFirst() {
  VEKDebugger()->EnterProc(0, false);
  benchmark::ClobberMemory();
  VEKDebugger()->LeaveProc();
}

__attribute__((noinline)) void TracedSecond() {
  VEKDebugger()->EnterProc(0, false);
  benchmark::ClobberMemory();
  VEKDebugger()->LeaveProc();
}

namespace {

const std::string SampleMessage = "TraceBench::TracedFirst";

void BM_LogEntry(benchmark::State& state) {
  for (auto _ : state) VEKApplication->LogFile->Write(llEnter, SampleMessage, false);
  state.SetItemsProcessed(state.iterations());
}

void BM_TracedCallOnePlace(benchmark::State& state) {
  for (auto _ : state) TracedFirst();
  state.SetItemsProcessed(state.iterations());
}

// Two traced calls per iteration, reported per call.
void BM_TracedCallAlternating(benchmark::State& state) {
  for (auto _ : state) {
    TracedFirst();
    TracedSecond();
  }
  state.SetItemsProcessed(2 * state.iterations());
}

// Whole numbers of save cycles (an automatic save every 100 entries).
BENCHMARK(BM_LogEntry)->Iterations(3000)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_TracedCallOnePlace)->Iterations(1500)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_TracedCallAlternating)->Iterations(750)->Repetitions(3)->ReportAggregatesOnly(true);

class TRecorder : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> Median, MedianCpu;  // nanoseconds per iteration
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.aggregate_name == "median") {
        Median[r.run_name.function_name] = r.GetAdjustedRealTime();
        MedianCpu[r.run_name.function_name] = r.GetAdjustedCPUTime();
      }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  // The library of a program "Traced" with the log on and this bench's map.
  TTempDir dir;
  TFakeSystemScope system;
  system.Process.Exe = dir.File("Traced");
  system.Process.Params = {"/LOGFILE"};
  std::filesystem::copy_file(TVEKDebug::MapFileNameFor(QCoreApplication::applicationFilePath().toStdString()),
                             dir.File("Traced.map"));
  InitVEKDebug();
  if (!VEKDebug->MapFile->Loaded() || !VEKApplication->LogFile->Active()) {
    std::fprintf(stderr, "no map or no log\n");
    return 1;
  }

  // Every benchmark meets the log full (5000 lines), as a long session has it.
  TVEKLogFile& log = *VEKApplication->LogFile;
  while (log.Lines.size() < 5000) log.Write(llInfo, SampleMessage, false);
  log.Save();

  TRecorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  const auto row = [&recorder](const char* Label, const char* Name, double Calls, double EntryReal, double EntryCpu) {
    const double real = recorder.Median[Name] / Calls;
    const double cpu = recorder.MedianCpu[Name] / Calls;
    std::printf("%-32s %9.0f ns %9.0f ns", Label, real, cpu);
    if (EntryReal > 0 && EntryCpu > 0) std::printf("   %6.2f %6.2f", real / EntryReal, cpu / EntryCpu);
    std::printf("\n");
  };
  const double entryReal = recorder.Median["BM_LogEntry"];
  const double entryCpu = recorder.MedianCpu["BM_LogEntry"];
  std::printf("\n%-32s %12s %12s   %s\n", "", "real", "cpu", "per log entry (real, cpu)");
  row("log entry:", "BM_LogEntry", 1, 0, 0);
  row("traced call, one place:", "BM_TracedCallOnePlace", 1, entryReal, entryCpu);
  row("traced call, two places in turn:", "BM_TracedCallAlternating", 2, entryReal, entryCpu);
  benchmark::Shutdown();
  SafeFreeAndNil(VEKDebug);
  FinalizeVEKSystem();
  return 0;
}

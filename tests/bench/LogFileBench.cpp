// What one log entry costs, next to the file-system work the log's format
// forces on it: one existence check per entry and one rewrite of the whole
// file (5000 lines) per 100 entries. Prints both and their ratio; the
// bookkeeping in memory should add little to the I/O.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_LogStorage.h"
#include "tests/support/TempDir.h"

namespace {

const std::string SampleMessage = "Checking product \"Image Tool\" 2.1.0 against the update server";

// A log already holding 5000 items, in a real file.
struct TFullLog {
  TTempDir Dir;
  TVEKLogFile Log;
  TFullLog() {
    Log.FileName = Dir.File("Brevant.log");
    Log.SetActive(true);
    for (int i = 0; Log.Lines.size() < 5000; ++i) Log.Write(llInfo, SampleMessage + " " + std::to_string(i), false);
    Log.Save();
  }
};

void BM_LogEntry(benchmark::State& state) {
  TFullLog full;
  for (auto _ : state) full.Log.Write(llInfo, SampleMessage, false);
  state.SetItemsProcessed(state.iterations());
}

void BM_FileSystemWork(benchmark::State& state) {
  TFullLog full;
  TVEKLogStorage& storage = VEKLogStorage();
  const std::deque<std::string> lines = full.Log.Lines;
  const std::string& name = full.Log.FileName;
  std::int64_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(storage.FileExists(name));
    if (++n % 100 == 0) storage.ReplaceFile(name, lines);
  }
  state.SetItemsProcessed(state.iterations());
}

// Whole numbers of save cycles, so both sides pay the same share of rewrites.
BENCHMARK(BM_LogEntry)->Iterations(3000)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_FileSystemWork)->Iterations(3000)->Repetitions(3)->ReportAggregatesOnly(true);

// Keeps the median time per iteration of every benchmark.
class TRecorder : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> Median, MedianCpu;  // nanoseconds
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
  TRecorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  const auto entry = recorder.Median.find("BM_LogEntry");
  const auto fsWork = recorder.Median.find("BM_FileSystemWork");
  if (entry != recorder.Median.end() && fsWork != recorder.Median.end() && fsWork->second > 0) {
    const double entryCpu = recorder.MedianCpu["BM_LogEntry"];
    const double fsCpu = recorder.MedianCpu["BM_FileSystemWork"];
    std::printf("\n                     %12s %12s\n", "real", "cpu");
    std::printf("log entry:           %9.0f ns %9.0f ns\n", entry->second, entryCpu);
    std::printf("file-system work:    %9.0f ns %9.0f ns  per entry\n", fsWork->second, fsCpu);
    std::printf("entry / file system: %12.2f %12.2f\n", entry->second / fsWork->second,
                fsCpu > 0 ? entryCpu / fsCpu : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}

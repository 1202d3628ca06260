#pragma once
// Files the reports that arrive on many threads at once through one writer
// thread that commits them in batches: what came while a commit ran goes
// into the next one, so a commit's cost (a disk flush, a round trip) is
// shared by every report in it. Add returns once its report is committed;
// AddLater calls back then, from the writer thread.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ReportStore.h"

class TReportIntake {
 public:
  // The store must outlive the intake.
  explicit TReportIntake(IReportStore& store, std::size_t maxBatch = 256);
  ~TReportIntake();  // Close()
  TReportIntake(const TReportIntake&) = delete;
  TReportIntake& operator=(const TReportIntake&) = delete;

  // Files one report and waits until it is committed. Throws
  // EStoreUnavailable when the commit fails or takes longer than `patience`
  // (the report may then still be filed: a retry with its key finds it).
  TAddResult Add(TNewReport report, std::chrono::milliseconds patience = std::chrono::seconds(10));

  // Receives the report's number, or none and the reason it was not filed.
  using TDone = std::function<void(std::optional<TAddResult> result, const std::string& failure)>;
  // Files one report and calls `done` once it is committed or failed (at
  // once when the intake is closed).
  void AddLater(TNewReport report, TDone done);

  // Files what was handed in and stops the writer; from then on every report
  // fails at once. Safe to call more than once.
  void Close();

 private:
  struct TPending {
    TNewReport Report;
    TDone Done;
  };
  void Run();

  IReportStore& FStore;
  std::size_t FMaxBatch;
  std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<TPending> FQueue;
  bool FStopping = false;
  std::thread FWriter;
};

#pragma once
// Deletes the reports older than the days the collector keeps them, at start
// and every hour after, on a thread of its own; the groups keep their counts.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "ReportStore.h"

class TRetention {
 public:
  using TLogSink = std::function<void(const std::string& line)>;

  // The store must outlive the retention.
  TRetention(IReportStore& store, int keepDays, TLogSink logSink,
             std::chrono::seconds interval = std::chrono::hours(1));
  ~TRetention();
  TRetention(const TRetention&) = delete;
  TRetention& operator=(const TRetention&) = delete;

  // Deletes the reports received more than keepDays before `now` (seconds
  // since 1970), a batch at a time; returns how many.
  static std::int64_t DeleteExpired(IReportStore& store, int keepDays, std::int64_t now);

 private:
  void Run();

  IReportStore& FStore;
  int FKeepDays;
  TLogSink FLogSink;
  std::chrono::seconds FInterval;
  std::mutex FMutex;
  std::condition_variable FWake;
  bool FStopping = false;
  std::thread FThread;
};

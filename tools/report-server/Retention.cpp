#include "Retention.h"

#include <ctime>

TRetention::TRetention(IReportStore& store, int keepDays, TLogSink logSink, std::chrono::seconds interval)
    : FStore(store), FKeepDays(keepDays), FLogSink(std::move(logSink)), FInterval(interval), FThread([this] {
        Run();
      }) {}

TRetention::~TRetention() {
  {
    std::lock_guard lock(FMutex);
    FStopping = true;
  }
  FWake.notify_all();
  FThread.join();
}

std::int64_t TRetention::DeleteExpired(IReportStore& store, int keepDays, std::int64_t now) {
  constexpr int Batch = 5000;  // short transactions: the intake is not held up
  const std::int64_t before = now - static_cast<std::int64_t>(keepDays) * 86400;
  std::int64_t total = 0;
  for (;;) {
    const std::int64_t deleted = store.DeleteReportsBefore(before, Batch);
    total += deleted;
    if (deleted < Batch) return total;
  }
}

void TRetention::Run() {
  std::unique_lock lock(FMutex);
  while (!FStopping) {
    lock.unlock();
    try {
      const std::int64_t deleted = DeleteExpired(FStore, FKeepDays, static_cast<std::int64_t>(std::time(nullptr)));
      if (deleted > 0 && FLogSink)
        FLogSink("vek-report-server: deleted " + std::to_string(deleted) + " report(s) older than " +
                 std::to_string(FKeepDays) + " days");
    } catch (const EStoreUnavailable& e) {
      if (FLogSink) FLogSink(std::string("vek-report-server: retention waits for the database: ") + e.what());
    }
    lock.lock();
    FWake.wait_for(lock, FInterval, [this] { return FStopping; });
  }
}

#include "ReportIntake.h"

TReportIntake::TReportIntake(IReportStore& store, std::size_t maxBatch)
    : FStore(store), FMaxBatch(maxBatch), FWriter([this] { Run(); }) {}

TReportIntake::~TReportIntake() {
  {
    std::lock_guard lock(FMutex);
    FStopping = true;
  }
  FWake.notify_all();
  FWriter.join();
}

TAddResult TReportIntake::Add(TNewReport report, std::chrono::milliseconds patience) {
  std::future<TAddResult> result;
  {
    std::lock_guard lock(FMutex);
    if (FStopping) throw EStoreUnavailable("the collector is stopping");
    FQueue.push_back({std::move(report), {}});
    result = FQueue.back().Result.get_future();
  }
  FWake.notify_one();
  if (result.wait_for(patience) != std::future_status::ready)
    throw EStoreUnavailable("the database did not answer within " + std::to_string(patience.count()) + " ms");
  return result.get();
}

void TReportIntake::Run() {
  for (;;) {
    std::vector<TPending> batch;
    {
      std::unique_lock lock(FMutex);
      FWake.wait(lock, [this] { return FStopping || !FQueue.empty(); });
      if (FQueue.empty()) return;
      while (!FQueue.empty() && batch.size() < FMaxBatch) {
        batch.push_back(std::move(FQueue.front()));
        FQueue.pop_front();
      }
    }
    std::vector<TNewReport> reports;
    reports.reserve(batch.size());
    for (TPending& p : batch) reports.push_back(std::move(p.Report));
    try {
      std::vector<TAddResult> results = FStore.Add(reports);
      for (std::size_t i = 0; i < batch.size(); ++i) batch[i].Result.set_value(results.at(i));
    } catch (...) {
      const std::exception_ptr failure = std::current_exception();
      for (TPending& p : batch) {
        try {
          p.Result.set_exception(failure);
        } catch (...) {
        }
      }
    }
  }
}

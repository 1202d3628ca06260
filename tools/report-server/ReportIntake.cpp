#include "ReportIntake.h"

#include <memory>

TReportIntake::TReportIntake(IReportStore& store, std::size_t maxBatch)
    : FStore(store), FMaxBatch(maxBatch), FWriter([this] { Run(); }) {}

TReportIntake::~TReportIntake() {
  Close();
}

void TReportIntake::Close() {
  {
    std::lock_guard lock(FMutex);
    FStopping = true;
  }
  FWake.notify_all();
  if (FWriter.joinable()) FWriter.join();
}

void TReportIntake::AddLater(TNewReport report, TDone done) {
  {
    std::lock_guard lock(FMutex);
    if (!FStopping) {
      FQueue.push_back({std::move(report), std::move(done)});
      FWake.notify_one();
      return;
    }
  }
  done(std::nullopt, "the collector is stopping");
}

TAddResult TReportIntake::Add(TNewReport report, std::chrono::milliseconds patience) {
  auto promise = std::make_shared<std::promise<TAddResult>>();
  std::future<TAddResult> result = promise->get_future();
  AddLater(std::move(report), [promise](std::optional<TAddResult> added, const std::string& failure) {
    if (added)
      promise->set_value(*added);
    else
      promise->set_exception(std::make_exception_ptr(EStoreUnavailable(failure)));
  });
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
    std::vector<TAddResult> results;
    std::string failure;
    try {
      results = FStore.Add(reports);
      if (results.size() != batch.size()) failure = "the database answered for a part of the batch only";
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "the database failed";
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
      try {
        if (failure.empty())
          batch[i].Done(results[i], failure);
        else
          batch[i].Done(std::nullopt, failure);
      } catch (...) {
      }
    }
  }
}

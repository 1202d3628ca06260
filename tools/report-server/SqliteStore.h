#pragma once
// The embedded store: one SQLite file in write-ahead-log mode with full
// synchronisation, so that a report is on disk when Add returns (a killed
// process or a lost power supply keeps it). One connection writes; readers
// take connections of their own from a small pool and never wait for it.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ReportStore.h"

struct sqlite3;

class TSqliteStore final : public IReportStore {
 public:
  // Opens or creates the file and creates or migrates the schema. Throws
  // EStoreUnavailable.
  explicit TSqliteStore(const std::string& fileName);
  ~TSqliteStore() override;

  std::vector<TAddResult> Add(const std::vector<TNewReport>& reports) override;
  TGroupList Groups(const TGroupQuery& query) override;
  std::optional<TGroup> Group(std::int64_t id) override;
  std::vector<TDayCount> GroupDays(std::int64_t groupId, std::int64_t fromDay) override;
  std::vector<TStoredReport> GroupReports(std::int64_t groupId, std::int64_t offset, int limit) override;
  std::optional<TStoredReport> Report(std::int64_t id) override;
  std::vector<std::string> Programs() override;
  std::vector<std::string> Versions() override;
  std::int64_t DeleteReportsBefore(std::int64_t before, int limit) override;

 private:
  class TReader;  // a pooled connection, given back when it goes
  sqlite3* Open() const;
  TReader Reader();

  std::string FFileName;
  sqlite3* FWriter = nullptr;
  std::mutex FWriterMutex;
  std::mutex FPoolMutex;
  std::vector<sqlite3*> FPool;
};

#pragma once
// The store on a PostgreSQL database (libpq), for a maker who runs several
// collectors: each report is filed by a function the schema defines
// (vek_add_report), whose upserts count on the database's row locks, so
// collectors that file into the same group at once lose no count. A batch is
// one statement (vek_add_reports, the reports as arrays) and one
// transaction, its reports in the order of their signatures so that two
// collectors take the groups' locks in the same order; a batch that loses a
// deadlock or a serialization conflict is tried again.
//
// One connection writes; readers take connections of their own from a small
// pool. A connection that broke is dropped and opened again on the next use,
// so the store recovers when the database comes back.
#include <mutex>
#include <string>
#include <vector>

#include "ReportStore.h"

struct pg_conn;

class TPostgresStore final : public IReportStore {
 public:
  // Connects to the database a libpq URI names and creates or migrates the
  // schema. Throws EStoreUnavailable.
  explicit TPostgresStore(const std::string& url);
  ~TPostgresStore() override;

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
  pg_conn* Connect() const;
  pg_conn* Writer();
  TReader Reader();

  std::string FUrl;
  std::mutex FWriterMutex;
  pg_conn* FWriter = nullptr;
  std::mutex FPoolMutex;
  std::vector<pg_conn*> FPool;
};

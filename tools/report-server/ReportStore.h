#pragma once
// Where the collector keeps its reports: one narrow interface, two
// implementations (SqliteStore.h, the embedded default, one file;
// PostgresStore.h, for several collectors on one database).
//
// The data: a report belongs to the group of its signature (program, type,
// unit, function, line). A group keeps its own counters, kept up to date with
// every report filed: how many reports, per version and per day, and the
// first and last time one came; so its pages never count the reports, and
// the counts stay when retention deletes old reports.
//
// Thread rules: Add and DeleteReportsBefore are called by one thread at a
// time (the intake's, the retention's); the readers from any thread at once.
// Every failure of the database (down, full, busy, unreachable) throws
// EStoreUnavailable; the store recovers by itself once the database does.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class EStoreUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A report to file. Program, Type, Unit, Function and Line make its
// signature; Class and Message describe a new group.
struct TNewReport {
  std::string Program;
  std::string Version;
  std::string Executable;
  std::string Key;  // idempotency key; empty: none
  std::string Type;
  std::string Unit;
  std::string Class;
  std::string Function;
  std::string Line;
  std::string Message;
  std::string Text;           // the whole report text, UTF-8
  std::int64_t Received = 0;  // seconds since 1970, UTC
};

struct TAddResult {
  std::int64_t Id = 0;     // the report's number; its reference is "R-" and the number
  bool Duplicate = false;  // the key was filed before: Id is that report's
};

struct TVersionCount {
  std::string Version;
  std::int64_t Count = 0;
};

struct TGroup {
  std::int64_t Id = 0;
  std::string Program;
  std::string Type;
  std::string Unit;
  std::string Class;
  std::string Function;
  std::string Line;
  std::string Message;  // the first report's
  std::int64_t Count = 0;
  std::int64_t FirstSeen = 0;  // seconds since 1970, UTC
  std::int64_t LastSeen = 0;
  std::vector<TVersionCount> Versions;  // most reports first
};

struct TGroupQuery {
  enum class TOrder { Newest, Frequent };
  TOrder Order = TOrder::Newest;
  std::string Program;  // empty: every program
  std::string Version;  // empty: every version
  std::int64_t Offset = 0;
  int Limit = 50;
};

struct TGroupList {
  std::vector<TGroup> Groups;
  std::int64_t Total = 0;  // groups that match the filter
};

struct TDayCount {
  std::int64_t Day = 0;  // days since 1970-01-01, UTC
  std::int64_t Count = 0;
};

struct TStoredReport {
  std::int64_t Id = 0;
  std::int64_t GroupId = 0;
  std::int64_t Received = 0;
  std::string Program;
  std::string Version;
  std::string Executable;
  std::string Text;
};

class IReportStore {
 public:
  virtual ~IReportStore() = default;
  // Files the reports in one transaction: all or none. The results are in
  // the order of the reports.
  virtual std::vector<TAddResult> Add(const std::vector<TNewReport>& reports) = 0;

  virtual TGroupList Groups(const TGroupQuery& query) = 0;
  virtual std::optional<TGroup> Group(std::int64_t id) = 0;
  // The group's reports per day from `fromDay` on; days without reports are left out.
  virtual std::vector<TDayCount> GroupDays(std::int64_t groupId, std::int64_t fromDay) = 0;
  // The group's reports still kept, newest first.
  virtual std::vector<TStoredReport> GroupReports(std::int64_t groupId, std::int64_t offset, int limit) = 0;
  virtual std::optional<TStoredReport> Report(std::int64_t id) = 0;
  // The programs and the versions that have groups, for the filters.
  virtual std::vector<std::string> Programs() = 0;
  virtual std::vector<std::string> Versions() = 0;

  // Deletes up to `limit` reports received before `before` (seconds since
  // 1970) and the day counts before that day; returns how many reports.
  // The groups keep their counts.
  virtual std::int64_t DeleteReportsBefore(std::int64_t before, int limit) = 0;
};

// The signature of a report's group, as stored: a digest of its parts.
std::string GroupSignature(const TNewReport& report);
// The day of a time: days since 1970-01-01, UTC.
constexpr std::int64_t DayOf(std::int64_t seconds) {
  return seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
}
// Versions as stored in one text ("VERSION TAB COUNT" lines), most reports first.
std::vector<TVersionCount> ReadVersionList(const std::string& text);

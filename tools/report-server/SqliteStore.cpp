#include "SqliteStore.h"

#include <sqlite3.h>

#include <utility>

namespace {

// The schema, one step per version (PRAGMA user_version counts the steps
// done). A new version appends a step; none is ever changed.
constexpr const char* Migrations[] = {
    R"sql(
CREATE TABLE groups (
  id INTEGER PRIMARY KEY,
  signature TEXT NOT NULL UNIQUE,
  program TEXT NOT NULL, type TEXT NOT NULL, unit TEXT NOT NULL, class TEXT NOT NULL,
  function TEXT NOT NULL, line TEXT NOT NULL, message TEXT NOT NULL,
  total INTEGER NOT NULL, first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL);
CREATE INDEX groups_newest ON groups (last_seen, id);
CREATE INDEX groups_frequent ON groups (total, id);
CREATE INDEX groups_program ON groups (program);
CREATE TABLE group_versions (
  group_id INTEGER NOT NULL, version TEXT NOT NULL, total INTEGER NOT NULL,
  PRIMARY KEY (group_id, version)) WITHOUT ROWID;
CREATE INDEX group_versions_version ON group_versions (version, group_id);
CREATE TABLE group_days (
  group_id INTEGER NOT NULL, day INTEGER NOT NULL, total INTEGER NOT NULL,
  PRIMARY KEY (group_id, day)) WITHOUT ROWID;
CREATE TABLE reports (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  group_id INTEGER NOT NULL, received INTEGER NOT NULL,
  program TEXT NOT NULL, version TEXT NOT NULL, executable TEXT NOT NULL,
  key TEXT UNIQUE, text TEXT NOT NULL);
CREATE INDEX reports_group ON reports (group_id, id);
CREATE INDEX reports_received ON reports (received);
)sql",
};

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  throw EStoreUnavailable("SQLite database: " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

void Exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db, "cannot run a statement");
}

class TStatement {
 public:
  TStatement(sqlite3* db, const char* sql) : FDb(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &FStatement, nullptr) != SQLITE_OK) Fail(db, "cannot prepare a statement");
  }
  ~TStatement() { sqlite3_finalize(FStatement); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  TStatement& Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(FStatement, index, value);
    return *this;
  }
  TStatement& Bind(int index, const std::string& value) {
    sqlite3_bind_text(FStatement, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
    return *this;
  }
  TStatement& BindNull(int index) {
    sqlite3_bind_null(FStatement, index);
    return *this;
  }
  // True with a row, false at the end.
  bool Step() {
    const int rc = sqlite3_step(FStatement);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(FDb, "a statement failed");
  }
  void Reset() {
    sqlite3_reset(FStatement);
    sqlite3_clear_bindings(FStatement);
  }
  std::int64_t Int(int column) const { return sqlite3_column_int64(FStatement, column); }
  std::string Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(FStatement, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(FStatement, column))) : "";
  }

 private:
  sqlite3* FDb;
  sqlite3_stmt* FStatement = nullptr;
};

constexpr const char* GroupColumns =
    "g.id, g.program, g.type, g.unit, g.class, g.function, g.line, g.message, g.total, g.first_seen, g.last_seen, "
    "(SELECT group_concat(v.version || char(9) || v.total, char(10)) FROM group_versions v WHERE v.group_id = g.id)";

TGroup ReadGroup(const TStatement& s) {
  TGroup g;
  g.Id = s.Int(0);
  g.Program = s.Text(1);
  g.Type = s.Text(2);
  g.Unit = s.Text(3);
  g.Class = s.Text(4);
  g.Function = s.Text(5);
  g.Line = s.Text(6);
  g.Message = s.Text(7);
  g.Count = s.Int(8);
  g.FirstSeen = s.Int(9);
  g.LastSeen = s.Int(10);
  g.Versions = ReadVersionList(s.Text(11));
  return g;
}

TStoredReport ReadReport(const TStatement& s) {
  TStoredReport r;
  r.Id = s.Int(0);
  r.GroupId = s.Int(1);
  r.Received = s.Int(2);
  r.Program = s.Text(3);
  r.Version = s.Text(4);
  r.Executable = s.Text(5);
  r.Text = s.Text(6);
  return r;
}

constexpr const char* ReportColumns = "id, group_id, received, program, version, executable, text";

}  // namespace

class TSqliteStore::TReader {
 public:
  TReader(TSqliteStore& store, sqlite3* db) : FStore(store), FDb(db) {}
  TReader(TReader&& other) noexcept : FStore(other.FStore), FDb(std::exchange(other.FDb, nullptr)) {}
  ~TReader() {
    if (!FDb) return;
    std::lock_guard lock(FStore.FPoolMutex);
    FStore.FPool.push_back(FDb);
  }
  sqlite3* Db() const { return FDb; }

 private:
  TSqliteStore& FStore;
  sqlite3* FDb;
};

TSqliteStore::TSqliteStore(const std::string& fileName) : FFileName(fileName) {
  FWriter = Open();
  try {
    // Full synchronisation: a commit is on disk, write-ahead log included,
    // before the reply that acknowledges it.
    Exec(FWriter, "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;");
    TStatement version(FWriter, "PRAGMA user_version");
    version.Step();
    const std::int64_t done = version.Int(0);
    for (std::size_t step = static_cast<std::size_t>(done); step < std::size(Migrations); ++step) {
      Exec(FWriter, "BEGIN IMMEDIATE");
      try {
        Exec(FWriter, Migrations[step]);
        Exec(FWriter, ("PRAGMA user_version = " + std::to_string(step + 1)).c_str());
        Exec(FWriter, "COMMIT");
      } catch (...) {
        sqlite3_exec(FWriter, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
      }
    }
    if (done > static_cast<std::int64_t>(std::size(Migrations)))
      throw EStoreUnavailable("SQLite database " + fileName + " has schema version " + std::to_string(done) +
                              ", newer than this program's " + std::to_string(std::size(Migrations)));
  } catch (...) {
    sqlite3_close(FWriter);
    throw;
  }
}

TSqliteStore::~TSqliteStore() {
  for (sqlite3* db : FPool) sqlite3_close(db);
  sqlite3_close(FWriter);
}

sqlite3* TSqliteStore::Open() const {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(FFileName.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw EStoreUnavailable("SQLite database " + FFileName + " cannot be opened: " + message);
  }
  sqlite3_busy_timeout(db, 5000);
  sqlite3_extended_result_codes(db, 0);
  return db;
}

TSqliteStore::TReader TSqliteStore::Reader() {
  {
    std::lock_guard lock(FPoolMutex);
    if (!FPool.empty()) {
      sqlite3* db = FPool.back();
      FPool.pop_back();
      return TReader(*this, db);
    }
  }
  return TReader(*this, Open());
}

std::vector<TAddResult> TSqliteStore::Add(const std::vector<TNewReport>& reports) {
  std::lock_guard lock(FWriterMutex);
  std::vector<TAddResult> results;
  results.reserve(reports.size());
  Exec(FWriter, "BEGIN IMMEDIATE");
  try {
    TStatement findKey(FWriter, "SELECT id FROM reports WHERE key = ?1");
    TStatement group(
        FWriter,
        "INSERT INTO groups (signature, program, type, unit, class, function, line, message, total, "
        "first_seen, last_seen) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, 1, ?9, ?9) "
        "ON CONFLICT (signature) DO UPDATE SET total = total + 1, "
        "first_seen = min(first_seen, excluded.first_seen), last_seen = max(last_seen, excluded.last_seen) "
        "RETURNING id");
    TStatement version(FWriter,
                       "INSERT INTO group_versions (group_id, version, total) VALUES (?1, ?2, 1) "
                       "ON CONFLICT (group_id, version) DO UPDATE SET total = total + 1");
    TStatement day(FWriter,
                   "INSERT INTO group_days (group_id, day, total) VALUES (?1, ?2, 1) "
                   "ON CONFLICT (group_id, day) DO UPDATE SET total = total + 1");
    TStatement report(FWriter,
                      "INSERT INTO reports (group_id, received, program, version, executable, key, text) "
                      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) RETURNING id");
    for (const TNewReport& r : reports) {
      if (!r.Key.empty()) {
        findKey.Reset();
        if (findKey.Bind(1, r.Key).Step()) {
          results.push_back({findKey.Int(0), true});
          continue;
        }
      }
      const std::string signature = GroupSignature(r);
      group.Reset();
      group.Bind(1, signature).Bind(2, r.Program).Bind(3, r.Type).Bind(4, r.Unit).Bind(5, r.Class);
      group.Bind(6, r.Function).Bind(7, r.Line).Bind(8, r.Message).Bind(9, r.Received);
      if (!group.Step()) Fail(FWriter, "no group");
      const std::int64_t groupId = group.Int(0);
      group.Reset();
      version.Reset();
      version.Bind(1, groupId).Bind(2, r.Version).Step();
      day.Reset();
      day.Bind(1, groupId).Bind(2, DayOf(r.Received)).Step();
      report.Reset();
      report.Bind(1, groupId).Bind(2, r.Received).Bind(3, r.Program).Bind(4, r.Version).Bind(5, r.Executable);
      if (r.Key.empty())
        report.BindNull(6);
      else
        report.Bind(6, r.Key);
      report.Bind(7, r.Text);
      if (!report.Step()) Fail(FWriter, "no report number");
      results.push_back({report.Int(0), false});
      report.Reset();
    }
    Exec(FWriter, "COMMIT");
  } catch (...) {
    sqlite3_exec(FWriter, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  return results;
}

TGroupList TSqliteStore::Groups(const TGroupQuery& query) {
  const TReader reader = Reader();
  const std::string filter =
      " WHERE (?1 = '' OR g.program = ?1) AND (?2 = '' OR EXISTS (SELECT 1 FROM group_versions v "
      "WHERE v.group_id = g.id AND v.version = ?2))";
  const std::string order = query.Order == TGroupQuery::TOrder::Frequent ? " ORDER BY g.total DESC, g.id DESC"
                                                                         : " ORDER BY g.last_seen DESC, g.id DESC";
  // The page's groups first, then their versions: for those 50 only.
  TGroupList list;
  TStatement rows(reader.Db(), ("SELECT " + std::string(GroupColumns) + " FROM (SELECT g.id FROM groups g" + filter +
                                order + " LIMIT ?3 OFFSET ?4) page JOIN groups g ON g.id = page.id" + order)
                                   .c_str());
  rows.Bind(1, query.Program).Bind(2, query.Version).Bind(3, query.Limit).Bind(4, query.Offset);
  while (rows.Step()) list.Groups.push_back(ReadGroup(rows));
  TStatement total(reader.Db(), ("SELECT count(*) FROM groups g" + filter).c_str());
  total.Bind(1, query.Program).Bind(2, query.Version);
  if (total.Step()) list.Total = total.Int(0);
  return list;
}

std::optional<TGroup> TSqliteStore::Group(std::int64_t id) {
  const TReader reader = Reader();
  TStatement s(reader.Db(), ("SELECT " + std::string(GroupColumns) + " FROM groups g WHERE g.id = ?1").c_str());
  if (!s.Bind(1, id).Step()) return std::nullopt;
  return ReadGroup(s);
}

std::vector<TDayCount> TSqliteStore::GroupDays(std::int64_t groupId, std::int64_t fromDay) {
  const TReader reader = Reader();
  TStatement s(reader.Db(), "SELECT day, total FROM group_days WHERE group_id = ?1 AND day >= ?2 ORDER BY day");
  s.Bind(1, groupId).Bind(2, fromDay);
  std::vector<TDayCount> days;
  while (s.Step()) days.push_back({s.Int(0), s.Int(1)});
  return days;
}

std::vector<TStoredReport> TSqliteStore::GroupReports(std::int64_t groupId, std::int64_t offset, int limit) {
  const TReader reader = Reader();
  TStatement s(reader.Db(), ("SELECT " + std::string(ReportColumns) +
                             " FROM reports WHERE group_id = ?1 ORDER BY id DESC LIMIT ?2 OFFSET ?3")
                                .c_str());
  s.Bind(1, groupId).Bind(2, limit).Bind(3, offset);
  std::vector<TStoredReport> reports;
  while (s.Step()) reports.push_back(ReadReport(s));
  return reports;
}

std::optional<TStoredReport> TSqliteStore::Report(std::int64_t id) {
  const TReader reader = Reader();
  TStatement s(reader.Db(), ("SELECT " + std::string(ReportColumns) + " FROM reports WHERE id = ?1").c_str());
  if (!s.Bind(1, id).Step()) return std::nullopt;
  return ReadReport(s);
}

std::vector<std::string> TSqliteStore::Programs() {
  const TReader reader = Reader();
  TStatement s(reader.Db(), "SELECT DISTINCT program FROM groups ORDER BY program");
  std::vector<std::string> programs;
  while (s.Step()) programs.push_back(s.Text(0));
  return programs;
}

std::vector<std::string> TSqliteStore::Versions() {
  const TReader reader = Reader();
  TStatement s(reader.Db(), "SELECT DISTINCT version FROM group_versions ORDER BY version");
  std::vector<std::string> versions;
  while (s.Step()) versions.push_back(s.Text(0));
  return versions;
}

std::int64_t TSqliteStore::DeleteReportsBefore(std::int64_t before, int limit) {
  std::lock_guard lock(FWriterMutex);
  Exec(FWriter, "BEGIN IMMEDIATE");
  try {
    TStatement reports(FWriter,
                       "DELETE FROM reports WHERE id IN (SELECT id FROM reports WHERE received < ?1 LIMIT ?2)");
    reports.Bind(1, before).Bind(2, limit).Step();
    const std::int64_t deleted = sqlite3_changes(FWriter);
    TStatement days(FWriter, "DELETE FROM group_days WHERE day < ?1");
    days.Bind(1, DayOf(before)).Step();
    Exec(FWriter, "COMMIT");
    return deleted;
  } catch (...) {
    sqlite3_exec(FWriter, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

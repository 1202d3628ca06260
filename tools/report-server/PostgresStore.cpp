#include "PostgresStore.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <numeric>
#include <utility>

namespace {

// The schema, one step per version (the table schema_version counts the
// steps done). A new version appends a step; none is ever changed.
constexpr const char* Migrations[] = {
    R"sql(
CREATE TABLE groups (
  id BIGSERIAL PRIMARY KEY,
  signature TEXT NOT NULL UNIQUE,
  program TEXT NOT NULL, type TEXT NOT NULL, unit TEXT NOT NULL, class TEXT NOT NULL,
  function TEXT NOT NULL, line TEXT NOT NULL, message TEXT NOT NULL,
  total BIGINT NOT NULL, first_seen BIGINT NOT NULL, last_seen BIGINT NOT NULL);
CREATE INDEX groups_newest ON groups (last_seen, id);
CREATE INDEX groups_frequent ON groups (total, id);
CREATE INDEX groups_program ON groups (program);
CREATE TABLE group_versions (
  group_id BIGINT NOT NULL, version TEXT NOT NULL, total BIGINT NOT NULL,
  PRIMARY KEY (group_id, version));
CREATE INDEX group_versions_version ON group_versions (version, group_id);
CREATE TABLE group_days (
  group_id BIGINT NOT NULL, day BIGINT NOT NULL, total BIGINT NOT NULL,
  PRIMARY KEY (group_id, day));
CREATE TABLE reports (
  id BIGSERIAL PRIMARY KEY,
  group_id BIGINT NOT NULL, received BIGINT NOT NULL,
  program TEXT NOT NULL, version TEXT NOT NULL, executable TEXT NOT NULL,
  key TEXT UNIQUE, text TEXT NOT NULL);
CREATE INDEX reports_group ON reports (group_id, id);
CREATE INDEX reports_received ON reports (received);
CREATE FUNCTION vek_add_report(p_key TEXT, p_received BIGINT, p_program TEXT, p_version TEXT, p_executable TEXT,
    p_text TEXT, p_signature TEXT, p_type TEXT, p_unit TEXT, p_class TEXT, p_function TEXT, p_line TEXT,
    p_message TEXT)
  RETURNS TABLE (out_id BIGINT, out_duplicate BOOLEAN) LANGUAGE plpgsql AS $$
DECLARE
  g BIGINT;
  r BIGINT;
BEGIN
  IF p_key IS NOT NULL THEN
    SELECT reports.id INTO r FROM reports WHERE reports.key = p_key;
    IF FOUND THEN
      RETURN QUERY SELECT r, TRUE;
      RETURN;
    END IF;
  END IF;
  BEGIN
    INSERT INTO groups AS x (signature, program, type, unit, class, function, line, message, total,
                             first_seen, last_seen)
      VALUES (p_signature, p_program, p_type, p_unit, p_class, p_function, p_line, p_message, 1,
              p_received, p_received)
      ON CONFLICT (signature) DO UPDATE SET total = x.total + 1,
        first_seen = LEAST(x.first_seen, EXCLUDED.first_seen), last_seen = GREATEST(x.last_seen, EXCLUDED.last_seen)
      RETURNING x.id INTO g;
    INSERT INTO group_versions AS v (group_id, version, total) VALUES (g, p_version, 1)
      ON CONFLICT (group_id, version) DO UPDATE SET total = v.total + 1;
    INSERT INTO group_days AS d (group_id, day, total) VALUES (g, floor(p_received / 86400.0)::BIGINT, 1)
      ON CONFLICT (group_id, day) DO UPDATE SET total = d.total + 1;
    INSERT INTO reports (group_id, received, program, version, executable, key, text)
      VALUES (g, p_received, p_program, p_version, p_executable, p_key, p_text) RETURNING reports.id INTO r;
  EXCEPTION WHEN unique_violation THEN
    -- The same key, filed at the same time by another collector: its counts
    -- stand, these are undone.
    SELECT reports.id INTO r FROM reports WHERE reports.key = p_key;
    RETURN QUERY SELECT r, TRUE;
    RETURN;
  END;
  RETURN QUERY SELECT r, FALSE;
END $$;
-- A batch in one statement: the reports of the arrays in their order.
CREATE FUNCTION vek_add_reports(p_key TEXT[], p_received BIGINT[], p_program TEXT[], p_version TEXT[],
    p_executable TEXT[], p_text TEXT[], p_signature TEXT[], p_type TEXT[], p_unit TEXT[], p_class TEXT[],
    p_function TEXT[], p_line TEXT[], p_message TEXT[])
  RETURNS TABLE (out_id BIGINT, out_duplicate BOOLEAN) LANGUAGE plpgsql AS $$
BEGIN
  FOR i IN 1 .. coalesce(array_length(p_received, 1), 0) LOOP
    RETURN QUERY SELECT * FROM vek_add_report(p_key[i], p_received[i], p_program[i], p_version[i], p_executable[i],
      p_text[i], p_signature[i], p_type[i], p_unit[i], p_class[i], p_function[i], p_line[i], p_message[i]);
  END LOOP;
END $$;
)sql",
};

using TResult = std::unique_ptr<PGresult, decltype(&PQclear)>;

[[noreturn]] void Fail(pg_conn* db, const std::string& what, const PGresult* result = nullptr) {
  std::string message = result ? PQresultErrorMessage(result) : (db ? PQerrorMessage(db) : "out of memory");
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  throw EStoreUnavailable("PostgreSQL database: " + what + ": " + message);
}

bool IsConflict(const PGresult* result) {
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  return state && (std::string_view(state) == "40P01" || std::string_view(state) == "40001");
}

// Runs a statement with text parameters; throws on failure.
TResult Run(pg_conn* db, const char* sql, const std::vector<std::string>& params = {}, bool* conflict = nullptr) {
  std::vector<const char*> values;
  for (const std::string& p : params) values.push_back(p.c_str());
  TResult result(PQexecParams(db, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0),
                 PQclear);
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    if (conflict && result && IsConflict(result.get())) {
      *conflict = true;
      return result;
    }
    Fail(db, "a statement failed", result.get());
  }
  return result;
}

std::int64_t Int(const PGresult* r, int row, int column) {
  const char* text = PQgetvalue(r, row, column);
  std::int64_t n = 0;
  std::from_chars(text, text + PQgetlength(r, row, column), n);
  return n;
}

std::string Text(const PGresult* r, int row, int column) {
  return std::string(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

// A PostgreSQL array literal of texts: {"a","b\\"c",NULL}.
class TArrayText {
 public:
  void Add(const std::string& text) {
    FText += FText.empty() ? "{\"" : ",\"";
    for (char c : text) {
      if (c == '"' || c == '\\') FText += '\\';
      FText += c;
    }
    FText += '"';
  }
  void AddNull() { FText += FText.empty() ? "{NULL" : ",NULL"; }
  std::string Finish() { return FText.empty() ? "{}" : FText + "}"; }

 private:
  std::string FText;
};

constexpr const char* GroupColumns =
    "g.id, g.program, g.type, g.unit, g.class, g.function, g.line, g.message, g.total, g.first_seen, g.last_seen, "
    "(SELECT string_agg(v.version || E'\\t' || v.total, E'\\n') FROM group_versions v WHERE v.group_id = g.id)";

TGroup ReadGroup(const PGresult* r, int row) {
  TGroup g;
  g.Id = Int(r, row, 0);
  g.Program = Text(r, row, 1);
  g.Type = Text(r, row, 2);
  g.Unit = Text(r, row, 3);
  g.Class = Text(r, row, 4);
  g.Function = Text(r, row, 5);
  g.Line = Text(r, row, 6);
  g.Message = Text(r, row, 7);
  g.Count = Int(r, row, 8);
  g.FirstSeen = Int(r, row, 9);
  g.LastSeen = Int(r, row, 10);
  g.Versions = ReadVersionList(Text(r, row, 11));
  return g;
}

constexpr const char* ReportColumns = "id, group_id, received, program, version, executable, text";

TStoredReport ReadReport(const PGresult* r, int row) {
  TStoredReport report;
  report.Id = Int(r, row, 0);
  report.GroupId = Int(r, row, 1);
  report.Received = Int(r, row, 2);
  report.Program = Text(r, row, 3);
  report.Version = Text(r, row, 4);
  report.Executable = Text(r, row, 5);
  report.Text = Text(r, row, 6);
  return report;
}

}  // namespace

class TPostgresStore::TReader {
 public:
  TReader(TPostgresStore& store, pg_conn* db) : FStore(store), FDb(db) {}
  TReader(TReader&& other) noexcept : FStore(other.FStore), FDb(std::exchange(other.FDb, nullptr)) {}
  ~TReader() {
    if (!FDb) return;
    if (PQstatus(FDb) != CONNECTION_OK || PQtransactionStatus(FDb) != PQTRANS_IDLE) {
      PQfinish(FDb);  // broken: the next reader connects anew
      return;
    }
    std::lock_guard lock(FStore.FPoolMutex);
    FStore.FPool.push_back(FDb);
  }
  pg_conn* Db() const { return FDb; }

 private:
  TPostgresStore& FStore;
  pg_conn* FDb;
};

TPostgresStore::TPostgresStore(const std::string& url) : FUrl(url) {
  std::lock_guard lock(FWriterMutex);
  pg_conn* db = Writer();
  Run(db, "BEGIN");
  try {
    // One collector migrates at a time; the others wait and find it done.
    Run(db, "SELECT pg_advisory_xact_lock(4242024)");
    Run(db, "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    TResult version = Run(db, "SELECT max(version) FROM schema_version");
    const std::int64_t done = PQgetisnull(version.get(), 0, 0) ? 0 : Int(version.get(), 0, 0);
    if (done > static_cast<std::int64_t>(std::size(Migrations)))
      throw EStoreUnavailable("PostgreSQL database has schema version " + std::to_string(done) +
                              ", newer than this program's " + std::to_string(std::size(Migrations)));
    for (std::size_t step = static_cast<std::size_t>(done); step < std::size(Migrations); ++step) {
      TResult applied(PQexec(db, Migrations[step]), PQclear);
      if (PQresultStatus(applied.get()) != PGRES_COMMAND_OK) Fail(db, "the schema cannot be made", applied.get());
      Run(db, "INSERT INTO schema_version (version) VALUES ($1)", {std::to_string(step + 1)});
    }
    Run(db, "COMMIT");
  } catch (...) {
    PQfinish(FWriter);
    FWriter = nullptr;
    throw;
  }
}

TPostgresStore::~TPostgresStore() {
  for (pg_conn* db : FPool) PQfinish(db);
  if (FWriter) PQfinish(FWriter);
}

pg_conn* TPostgresStore::Connect() const {
  // The URI's own settings come after these defaults and win.
  const char* keys[] = {"connect_timeout", "application_name", "options", "dbname", nullptr};
  const char* values[] = {"5", "vek-report-server", "-c client_min_messages=warning", FUrl.c_str(), nullptr};
  pg_conn* db = PQconnectdbParams(keys, values, 1);
  if (!db || PQstatus(db) != CONNECTION_OK) {
    std::string message = db ? PQerrorMessage(db) : "out of memory";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    PQfinish(db);
    throw EStoreUnavailable("PostgreSQL database cannot be reached: " + message);
  }
  return db;
}

pg_conn* TPostgresStore::Writer() {
  if (FWriter && PQstatus(FWriter) != CONNECTION_OK) {
    PQfinish(FWriter);
    FWriter = nullptr;
  }
  if (!FWriter) FWriter = Connect();
  return FWriter;
}

TPostgresStore::TReader TPostgresStore::Reader() {
  {
    std::lock_guard lock(FPoolMutex);
    if (!FPool.empty()) {
      pg_conn* db = FPool.back();
      FPool.pop_back();
      return TReader(*this, db);
    }
  }
  return TReader(*this, Connect());
}

std::vector<TAddResult> TPostgresStore::Add(const std::vector<TNewReport>& reports) {
  std::lock_guard lock(FWriterMutex);
  if (reports.empty()) return {};
  // The groups' locks in one order for every collector: by signature.
  std::vector<std::string> signatures;
  for (const TNewReport& r : reports) signatures.push_back(GroupSignature(r));
  std::vector<std::size_t> order(reports.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return signatures[a] < signatures[b]; });
  // The batch as thirteen arrays, one statement, one round trip, its own
  // transaction.
  std::vector<TArrayText> arrays(13);
  for (const std::size_t i : order) {
    const TNewReport& r = reports[i];
    if (r.Key.empty())
      arrays[0].AddNull();
    else
      arrays[0].Add(r.Key);
    arrays[1].Add(std::to_string(r.Received));
    std::size_t column = 2;
    const std::string* const texts[] = {&r.Program, &r.Version, &r.Executable, &r.Text, &signatures[i], &r.Type,
                                        &r.Unit,    &r.Class,   &r.Function,   &r.Line, &r.Message};
    for (const std::string* text : texts) arrays[column++].Add(*text);
  }
  std::vector<std::string> params;
  for (TArrayText& a : arrays) params.push_back(a.Finish());
  constexpr int Attempts = 5;
  for (int attempt = 1;; ++attempt) {
    pg_conn* db = Writer();
    bool conflict = false;
    const TResult result = Run(
        db, "SELECT out_id, out_duplicate FROM vek_add_reports($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13)",
        params, &conflict);
    if (!conflict) {
      if (PQntuples(result.get()) != static_cast<int>(reports.size())) Fail(db, "a batch came back incomplete");
      std::vector<TAddResult> results(reports.size());
      for (std::size_t row = 0; row < order.size(); ++row)
        results[order[row]] = {Int(result.get(), static_cast<int>(row), 0),
                               Text(result.get(), static_cast<int>(row), 1) == "t"};
      return results;
    }
    if (attempt == Attempts) throw EStoreUnavailable("PostgreSQL database: the batch lost every try to other writers");
  }
}

TGroupList TPostgresStore::Groups(const TGroupQuery& query) {
  const TReader reader = Reader();
  const std::string filter =
      " WHERE ($1 = '' OR g.program = $1) AND ($2 = '' OR EXISTS (SELECT 1 FROM group_versions v "
      "WHERE v.group_id = g.id AND v.version = $2))";
  const std::string order = query.Order == TGroupQuery::TOrder::Frequent ? " ORDER BY g.total DESC, g.id DESC"
                                                                         : " ORDER BY g.last_seen DESC, g.id DESC";
  // The page's groups first, then their versions: for those 50 only.
  TGroupList list;
  const TResult rows = Run(reader.Db(),
                           ("SELECT " + std::string(GroupColumns) + " FROM (SELECT g.id FROM groups g" + filter +
                            order + " LIMIT $3 OFFSET $4) page JOIN groups g ON g.id = page.id" + order)
                               .c_str(),
                           {query.Program, query.Version, std::to_string(query.Limit), std::to_string(query.Offset)});
  for (int i = 0; i < PQntuples(rows.get()); ++i) list.Groups.push_back(ReadGroup(rows.get(), i));
  const TResult total =
      Run(reader.Db(), ("SELECT count(*) FROM groups g" + filter).c_str(), {query.Program, query.Version});
  list.Total = Int(total.get(), 0, 0);
  return list;
}

std::optional<TGroup> TPostgresStore::Group(std::int64_t id) {
  const TReader reader = Reader();
  const TResult r = Run(reader.Db(), ("SELECT " + std::string(GroupColumns) + " FROM groups g WHERE g.id = $1").c_str(),
                        {std::to_string(id)});
  if (PQntuples(r.get()) == 0) return std::nullopt;
  return ReadGroup(r.get(), 0);
}

std::vector<TDayCount> TPostgresStore::GroupDays(std::int64_t groupId, std::int64_t fromDay) {
  const TReader reader = Reader();
  const TResult r = Run(reader.Db(), "SELECT day, total FROM group_days WHERE group_id = $1 AND day >= $2 ORDER BY day",
                        {std::to_string(groupId), std::to_string(fromDay)});
  std::vector<TDayCount> days;
  for (int i = 0; i < PQntuples(r.get()); ++i) days.push_back({Int(r.get(), i, 0), Int(r.get(), i, 1)});
  return days;
}

std::vector<TStoredReport> TPostgresStore::GroupReports(std::int64_t groupId, std::int64_t offset, int limit) {
  const TReader reader = Reader();
  const TResult r = Run(
      reader.Db(),
      ("SELECT " + std::string(ReportColumns) + " FROM reports WHERE group_id = $1 ORDER BY id DESC LIMIT $2 OFFSET $3")
          .c_str(),
      {std::to_string(groupId), std::to_string(limit), std::to_string(offset)});
  std::vector<TStoredReport> reports;
  for (int i = 0; i < PQntuples(r.get()); ++i) reports.push_back(ReadReport(r.get(), i));
  return reports;
}

std::optional<TStoredReport> TPostgresStore::Report(std::int64_t id) {
  const TReader reader = Reader();
  const TResult r = Run(reader.Db(), ("SELECT " + std::string(ReportColumns) + " FROM reports WHERE id = $1").c_str(),
                        {std::to_string(id)});
  if (PQntuples(r.get()) == 0) return std::nullopt;
  return ReadReport(r.get(), 0);
}

std::vector<std::string> TPostgresStore::Programs() {
  const TReader reader = Reader();
  const TResult r = Run(reader.Db(), "SELECT DISTINCT program FROM groups ORDER BY program");
  std::vector<std::string> programs;
  for (int i = 0; i < PQntuples(r.get()); ++i) programs.push_back(Text(r.get(), i, 0));
  return programs;
}

std::vector<std::string> TPostgresStore::Versions() {
  const TReader reader = Reader();
  const TResult r = Run(reader.Db(), "SELECT DISTINCT version FROM group_versions ORDER BY version");
  std::vector<std::string> versions;
  for (int i = 0; i < PQntuples(r.get()); ++i) versions.push_back(Text(r.get(), i, 0));
  return versions;
}

std::int64_t TPostgresStore::DeleteReportsBefore(std::int64_t before, int limit) {
  std::lock_guard lock(FWriterMutex);
  pg_conn* db = Writer();
  const TResult reports =
      Run(db, "DELETE FROM reports WHERE id IN (SELECT id FROM reports WHERE received < $1 LIMIT $2)",
          {std::to_string(before), std::to_string(limit)});
  std::int64_t deleted = 0;
  const char* count = PQcmdTuples(reports.get());
  std::from_chars(count, count + std::char_traits<char>::length(count), deleted);
  Run(db, "DELETE FROM group_days WHERE day < $1", {std::to_string(DayOf(before))});
  return deleted;
}

#include "OpenStore.h"

#include "SqliteStore.h"

bool IsPostgresUrl(const std::string& database) {
  return database.starts_with("postgresql://") || database.starts_with("postgres://");
}

std::unique_ptr<IReportStore> OpenReportStore(const std::string& database) {
  if (IsPostgresUrl(database)) throw EStoreUnavailable("PostgreSQL is not built into this collector");
  return std::make_unique<TSqliteStore>(database);
}

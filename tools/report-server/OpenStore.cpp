#include "OpenStore.h"

#include "PostgresStore.h"
#include "SqliteStore.h"

bool IsPostgresUrl(const std::string& database) {
  return database.starts_with("postgresql://") || database.starts_with("postgres://");
}

std::unique_ptr<IReportStore> OpenReportStore(const std::string& database) {
  if (IsPostgresUrl(database)) return std::make_unique<TPostgresStore>(database);
  return std::make_unique<TSqliteStore>(database);
}

#pragma once
// The store that a --database value names.
#include <memory>
#include <string>

#include "ReportStore.h"

// "postgresql://..." or "postgres://..." names a PostgreSQL database (a
// libpq connection URI), anything else an SQLite file. Creates or migrates
// the schema. Throws EStoreUnavailable.
std::unique_ptr<IReportStore> OpenReportStore(const std::string& database);
// Whether the value names a PostgreSQL database.
bool IsPostgresUrl(const std::string& database);

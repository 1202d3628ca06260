#pragma once
// A PostgreSQL server of the test's own: a new cluster (initdb) in a
// temporary folder, run with pg_ctl on a free port of 127.0.0.1 and a Unix
// socket in that folder, as the user nobody when the tests run as root
// (PostgreSQL refuses root). Its one user "vek" needs no password. Every
// wait is bounded; the destructor stops it.
#include <string>

#include "tests/support/TempDir.h"

class TPostgresServer {
 public:
  TPostgresServer();
  ~TPostgresServer();
  TPostgresServer(const TPostgresServer&) = delete;
  TPostgresServer& operator=(const TPostgresServer&) = delete;

  // Whether the cluster was made and the server runs; Problem() says why not.
  bool Started() const { return FRunning; }
  const std::string& Problem() const { return FProblem; }
  // "postgresql://vek@127.0.0.1:PORT/postgres"
  std::string Url() const;
  // Stops the server (its clients see it go) and starts it again on the same port.
  bool Stop();
  bool Start();

 private:
  bool PgCtl(const std::string& action);

  TTempDir FDir;
  std::string FBin;
  int FPort = 0;
  bool FRunning = false;
  std::string FProblem;
};

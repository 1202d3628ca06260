#include "tests/support/PostgresProcess.h"

#include <filesystem>

#include "tests/support/NginxProcess.h"
#include "tests/support/Process.h"

namespace {
// The server programs of Debian's newest PostgreSQL, or empty.
std::string PostgresBin() {
  std::string best;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    const std::string bin = entry.path().string() + "/bin";
    if (std::filesystem::exists(bin + "/initdb") && bin > best) best = bin;
  }
  return best;
}
}  // namespace

TPostgresServer::TPostgresServer() : FBin(PostgresBin()) {
  if (FBin.empty()) {
    FProblem = "PostgreSQL's server is not installed (scripts/install-deps.sh installs it)";
    return;
  }
  GiveToNobody(FDir.Path());
  std::vector<std::string> argv = AsNobodyIfRoot();
  argv.insert(argv.end(), {FBin + "/initdb", "-D", FDir.File("data"), "-U", "vek", "--auth=trust", "-E", "UTF8",
                           "--locale=C", "--no-sync"});
  if (!RunAndRead(argv, {}, std::chrono::seconds(120))) {
    FProblem = "initdb failed";
    return;
  }
  FPort = FreeLoopbackPort();
  Start();
}

TPostgresServer::~TPostgresServer() {
  if (FRunning) Stop();
}

bool TPostgresServer::PgCtl(const std::string& action) {
  std::vector<std::string> argv = AsNobodyIfRoot();
  argv.insert(
      argv.end(),
      {FBin + "/pg_ctl", "-D", FDir.File("data"), "-l", FDir.File("server.log"), "-w", "-t", "60", "-m", "fast", "-o",
       "-p " + std::to_string(FPort) + " -k " + FDir.Path() + " -c listen_addresses=127.0.0.1 -c max_connections=200",
       action});
  return RunAndRead(argv, {}, std::chrono::seconds(90)).has_value();
}

bool TPostgresServer::Start() {
  FRunning = PgCtl("start");
  if (!FRunning) FProblem = "pg_ctl start failed: " + ReadWholeFile(FDir.File("server.log"));
  return FRunning;
}

bool TPostgresServer::Stop() {
  const bool stopped = PgCtl("stop");
  if (stopped) FRunning = false;
  return stopped;
}

std::string TPostgresServer::Url() const {
  return "postgresql://vek@127.0.0.1:" + std::to_string(FPort) + "/postgres";
}

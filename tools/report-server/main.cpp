// vek-report-server: the maker's collector of VEK's exception and crash
// reports. See README.md beside this file.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "LogImport.h"
#include "OpenStore.h"
#include "ReportServer.h"
#include "Retention.h"
#include "ServerMain.h"
#include "Users.h"

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
constexpr std::string_view Program = "vek-report-server";

constexpr std::string_view Usage =
    "Usage: vek-report-server [--database DB] [--address ADDR] [--port N] --users FILE\n"
    "                         [--keep-days N] [--reports-per-minute N] [--behind-proxy]\n"
    "                         [--max-connections N] [--threads N]\n"
    "       vek-report-server --users FILE --add-user NAME\n"
    "       vek-report-server [--database DB] [--keep-days N] --import LOG...\n"
    "\n"
    "Collects the exception and crash reports of programs that embed VEK\n"
    "(POST /reports), files them in groups of the same fault, and shows the\n"
    "groups to the maker's developers behind a login.\n"
    "\n"
    "  --database DB       an SQLite file (default reports.db in the working folder)\n"
    "                      or a PostgreSQL database, postgresql://USER@HOST/NAME\n"
    "  --address ADDR      address to listen on (default 127.0.0.1)\n"
    "  --port N            port to listen on, 0 picks a free one (default 8471)\n"
    "  --users FILE        the developers who may read the pages (NAME:HASH lines)\n"
    "  --add-user NAME     set NAME's password in the users file, read from the\n"
    "                      terminal or from standard input, and exit\n"
    "  --import LOG...     file every report of the VEK log files and exit; an\n"
    "                      entry imported before is not filed again\n"
    "  --keep-days N       delete reports older than N days, 1 to 36500 (default\n"
    "                      180); the groups keep their counts\n"
    "  --reports-per-minute N\n"
    "                      reports one address may send a minute (default 30,\n"
    "                      0: no limit)\n"
    "  --behind-proxy      take the client's address from the X-Real-IP header of\n"
    "                      requests that come from this machine (nginx in front)\n"
    "  --max-connections N connections open at once (default 4096)\n"
    "  --threads N         worker threads (default 8)\n"
    "  --help              show this text\n"
    "\n"
    "Prints one line \"Listening on http://ADDR:PORT/\" to stdout once it accepts\n"
    "connections, logs every request on one line to stderr, and stops cleanly on\n"
    "SIGINT, SIGTERM or SIGHUP.\n";

struct TOptions {
  std::string Database = "reports.db";
  std::string Address = "127.0.0.1";
  int Port = 8471;
  std::string Users;
  std::string AddUser;
  std::vector<std::string> Imports;
  int KeepDays = 180;
  TReportServerOptions Server;
  bool Help = false;
};

TOptions ParseArguments(int argc, char** argv) {
  TOptions options;
  options.Server.Http.Threads = 8;
  bool importing = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.Help = true;
      continue;
    }
    if (arg == "--behind-proxy") {
      options.Server.BehindProxy = true;
      continue;
    }
    if (arg == "--import") {
      importing = true;
      continue;
    }
    if (!arg.starts_with("--") && importing) {
      options.Imports.push_back(arg);
      continue;
    }
    std::optional<std::string> value;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    static const std::vector<std::string> Known = {
        "--database",           "--address", "--port", "--users", "--add-user", "--keep-days", "--max-connections",
        "--reports-per-minute", "--threads"};
    if (std::find(Known.begin(), Known.end(), arg) == Known.end())
      throw EUsage{"unknown option '" + std::string(argv[i]) + "'"};
    if (!value) {
      if (i + 1 >= argc) throw EUsage{arg + " needs a value"};
      value = argv[++i];
    }
    if (arg == "--database") {
      if (value->empty()) throw EUsage{"--database must not be empty"};
      options.Database = *value;
    } else if (arg == "--address") {
      if (value->empty()) throw EUsage{"--address must not be empty"};
      options.Address = *value;
    } else if (arg == "--port") {
      options.Port = OptionNumber(arg, *value, 0, 65535);
    } else if (arg == "--users") {
      options.Users = *value;
    } else if (arg == "--add-user") {
      if (!TUsers::IsValidName(*value)) throw EUsage{"--add-user: a name is 1 to 64 letters, digits and \". _ @ -\""};
      options.AddUser = *value;
    } else if (arg == "--keep-days") {
      options.KeepDays = OptionNumber(arg, *value, 1, 36500);
    } else if (arg == "--max-connections") {
      options.Server.Http.MaxConnections = OptionNumber(arg, *value, 1, 1000000);
    } else if (arg == "--reports-per-minute") {
      options.Server.ReportsPerMinute = OptionNumber(arg, *value, 0, 1000000);
    } else {
      options.Server.Http.Threads = OptionNumber(arg, *value, 1, 1024);
    }
  }
  if (options.Help) return options;
  if (importing && options.Imports.empty()) throw EUsage{"--import needs at least one log file"};
  if (!options.AddUser.empty() && options.Users.empty()) throw EUsage{"--add-user needs --users FILE"};
  if (options.AddUser.empty() && !importing && options.Users.empty())
    throw EUsage{"--users FILE is required: the pages need their developers' logins (see --add-user)"};
  return options;
}

// A password from the terminal (not shown, asked twice) or one line of
// standard input.
std::optional<std::string> ReadPassword(const std::string& name) {
  const auto readLine = [](std::string& line) { return static_cast<bool>(std::getline(std::cin, line)); };
  if (!::isatty(STDIN_FILENO)) {
    std::string line;
    if (!readLine(line)) return std::nullopt;
    if (line.ends_with('\r')) line.pop_back();
    return line;
  }
  termios saved{};
  ::tcgetattr(STDIN_FILENO, &saved);
  termios quiet = saved;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::string first, second;
  std::cerr << "Password for " << name << ": " << std::flush;
  const bool ok = readLine(first);
  std::cerr << "\nThe same again: " << std::flush;
  const bool ok2 = ok && readLine(second);
  std::cerr << std::endl;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!ok2) return std::nullopt;
  if (first != second) {
    WriteErrorLine(std::string(Program) + ": the two passwords differ");
    return std::nullopt;
  }
  return first;
}

int AddUser(const TOptions& options) {
  const std::optional<std::string> password = ReadPassword(options.AddUser);
  if (!password) {
    WriteErrorLine(std::string(Program) + ": no password read; nothing changed");
    return ExitFailure;
  }
  try {
    TUsers::SetPassword(options.Users, options.AddUser, *password);
  } catch (const EUsers& e) {
    WriteErrorLine(std::string(Program) + ": " + e.what());
    return ExitFailure;
  }
  std::cout << "Password of " << options.AddUser << " set in " << options.Users << std::endl;
  return ExitOk;
}

int Import(IReportStore& store, const TOptions& options) {
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  const std::int64_t oldest = now - static_cast<std::int64_t>(options.KeepDays) * 86400;
  int failures = 0;
  for (const std::string& file : options.Imports) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      WriteErrorLine(std::string(Program) + ": " + file + " cannot be read");
      ++failures;
      continue;
    }
    std::stringstream content;
    content << in.rdbuf();
    const TLogScan scan = ScanLogForReports(content.str());
    for (const std::string& problem : scan.Problems) WriteErrorLine(file + ":" + problem.substr(5));
    std::vector<TNewReport> reports;
    int old = 0;
    for (const TLoggedReport& logged : scan.Reports) {
      const std::int64_t received = logged.Time.value_or(now);
      if (received < oldest) {
        ++old;
        continue;
      }
      TNewReport r;
      r.Program = logged.Program.empty() ? std::filesystem::path(file).stem().string() : logged.Program;
      r.Key = logged.Key;
      r.Type = logged.Fields.Type;
      r.Unit = logged.Fields.Unit;
      r.Class = logged.Fields.Class;
      r.Function = logged.Fields.Function;
      r.Line = logged.Fields.Line;
      r.Message = logged.Fields.Message;
      r.Text = logged.Text;
      r.Received = received;
      reports.push_back(std::move(r));
    }
    try {
      int filed = 0, known = 0;
      for (std::size_t start = 0; start < reports.size(); start += 500) {
        const std::vector<TNewReport> batch(
            reports.begin() + static_cast<std::ptrdiff_t>(start),
            reports.begin() + static_cast<std::ptrdiff_t>(std::min(start + 500, reports.size())));
        for (const TAddResult& result : store.Add(batch)) (result.Duplicate ? known : filed)++;
      }
      std::cout << file << ": " << filed << " report(s) filed, " << known << " filed before, " << old << " older than "
                << options.KeepDays << " days, " << scan.Problems.size() << " not readable" << std::endl;
    } catch (const EStoreUnavailable& e) {
      WriteErrorLine(std::string(Program) + ": " + file + ": " + e.what());
      ++failures;
    }
  }
  return failures == 0 ? ExitOk : ExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  try {
    options = ParseArguments(argc, argv);
  } catch (const EUsage& e) {
    WriteErrorLine(std::string(Program) + ": " + e.Message);
    WriteErrorLine("Try 'vek-report-server --help'.");
    return ExitUsage;
  }
  if (options.Help) {
    std::cout << Usage << std::flush;
    return ExitOk;
  }
  if (!options.AddUser.empty()) return AddUser(options);

  // The signals are taken by WaitForStopSignal() below; block them before
  // any thread exists so that every server thread inherits the mask.
  BlockStopSignals();

  std::unique_ptr<IReportStore> store;
  try {
    store = OpenReportStore(options.Database);
  } catch (const EStoreUnavailable& e) {
    WriteErrorLine(std::string(Program) + ": " + e.what());
    return ExitFailure;
  }
  if (!options.Imports.empty()) return Import(*store, options);

  std::unique_ptr<TUsers> users;
  try {
    users = std::make_unique<TUsers>(options.Users);
  } catch (const EUsers& e) {
    WriteErrorLine(std::string(Program) + ": " + e.what());
    return ExitFailure;
  }
  options.Server.Http.MaxConnections =
      FitConnectionLimit(options.Server.Http.MaxConnections, std::string(Program), WriteErrorLine);
  TRetention retention(*store, options.KeepDays, WriteErrorLine);
  TReportServer server(*store, users.get(), WriteErrorLine, options.Server);
  try {
    server.Start(options.Address, options.Port);
  } catch (const EHttpServer& e) {
    WriteErrorLine(std::string(Program) + ": " + e.what());
    return ExitFailure;
  }
  WriteErrorLine(std::string(Program) + ": filing reports in " + options.Database + ", keeping them " +
                 std::to_string(options.KeepDays) + " days");
  std::cout << "Listening on " << server.BaseUrl() << std::endl;

  const int signal = WaitForStopSignal();
  WriteErrorLine(std::string(Program) + ": " + StopSignalName(signal) + ", stopping");
  server.Stop();
  return ExitOk;
}

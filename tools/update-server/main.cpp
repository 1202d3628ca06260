// brevant-update-server: the reference update server, run by the maker's web team,
// by the demo and by the tests. See README.md beside this file.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "ServerMain.h"
#include "StaticExport.h"
#include "UpdateServer.h"

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

constexpr std::string_view Usage =
    "Usage: brevant-update-server --catalogue DIR [--address ADDR] [--port N] [--public-url URL]\n"
    "                     [--max-connections N] [--max-connections-per-address N]\n"
    "       brevant-update-server --catalogue DIR --export FOLDER [--address ADDR] [--port N]\n"
    "                     [--public-url URL]\n"
    "\n"
    "Answers the update wizard's requests from a catalogue folder of *.product files,\n"
    "or, with --export, writes every reply as a static file into FOLDER with an nginx\n"
    "configuration that serves them on ADDR:PORT: nginx -p FOLDER -c nginx.conf\n"
    "\n"
    "  --catalogue DIR     the catalogue folder (required)\n"
    "  --address ADDR      address to listen on (default 127.0.0.1)\n"
    "  --port N            port to listen on, 0 picks a free one (default 8470)\n"
    "  --public-url URL    base address that the history pointers name, as clients\n"
    "                      reach the server (default http://ADDR:PORT/; required when\n"
    "                      ADDR is a wildcard such as 0.0.0.0 or ::)\n"
    "  --max-connections N connections open at once (default 4096)\n"
    "  --max-connections-per-address N\n"
    "                      connections open at once from one client address\n"
    "                      (default 0: no limit)\n"
    "  --export FOLDER     write the static export instead of serving; FOLDER must be\n"
    "                      new, empty or hold an earlier export. ADDR must be numeric\n"
    "                      and PORT fixed\n"
    "  --help              show this text\n"
    "\n"
    "Prints one line \"Listening on http://ADDR:PORT/\" to stdout once it accepts\n"
    "connections, logs every request on one line to stderr, and stops cleanly on\n"
    "SIGINT, SIGTERM or SIGHUP.\n";

struct TOptions {
  std::string Address = "127.0.0.1";
  int Port = 8470;
  std::string Catalogue;
  std::string ExportFolder;
  bool LimitsGiven = false;
  TUpdateServerOptions Server;
  bool Help = false;
};

TOptions ParseArguments(int argc, char** argv) {
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.Help = true;
      continue;
    }
    std::optional<std::string> value;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    if (arg != "--address" && arg != "--port" && arg != "--catalogue" && arg != "--public-url" &&
        arg != "--max-connections" && arg != "--max-connections-per-address" && arg != "--export")
      throw EUsage{"unknown option '" + std::string(argv[i]) + "'"};
    if (!value) {
      if (i + 1 >= argc) throw EUsage{arg + " needs a value"};
      value = argv[++i];
    }
    if (arg == "--address") {
      if (value->empty()) throw EUsage{"--address must not be empty"};
      options.Address = *value;
    } else if (arg == "--port") {
      options.Port = OptionNumber(arg, *value, 0, 65535);
    } else if (arg == "--public-url") {
      if (std::string problem = TUpdateServer::CheckPublicUrl(*value); !problem.empty())
        throw EUsage{"--public-url '" + *value + "': " + problem};
      options.Server.PublicUrl = *value;
    } else if (arg == "--max-connections") {
      options.Server.MaxConnections = OptionNumber(arg, *value, 1, 1000000);
      options.LimitsGiven = true;
    } else if (arg == "--max-connections-per-address") {
      options.Server.MaxConnectionsPerAddress = OptionNumber(arg, *value, 0, 1000000);
      options.LimitsGiven = true;
    } else if (arg == "--export") {
      if (value->empty()) throw EUsage{"--export must not be empty"};
      options.ExportFolder = *value;
    } else {
      options.Catalogue = *value;
    }
  }
  if (!options.Help && options.Catalogue.empty()) throw EUsage{"--catalogue DIR is required"};
  if (!options.ExportFolder.empty() && options.LimitsGiven)
    throw EUsage{"the connection limits do not apply to --export: nginx has its own"};
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  try {
    options = ParseArguments(argc, argv);
  } catch (const EUsage& e) {
    WriteErrorLine("brevant-update-server: " + e.Message);
    WriteErrorLine("Try 'brevant-update-server --help'.");
    return ExitUsage;
  }
  if (options.Help) {
    std::cout << Usage << std::flush;
    return ExitOk;
  }

  // The signals are taken by WaitForStopSignal() below; block them before
  // any thread exists so that every server thread inherits the mask.
  BlockStopSignals();

  std::optional<TCatalogue> catalogue;
  try {
    catalogue = TCatalogue::Load(options.Catalogue);
  } catch (const ECatalogue& e) {
    WriteErrorLine("brevant-update-server: the catalogue has errors:");
    for (const std::string& error : e.Errors) WriteErrorLine("  " + error);
    return ExitFailure;
  }
  const int productCount = catalogue->Count();

  if (!options.ExportFolder.empty()) {
    TStaticExportOptions exportOptions;
    exportOptions.Address = options.Address;
    exportOptions.Port = options.Port;
    exportOptions.PublicUrl = options.Server.PublicUrl;
    try {
      const std::string historyBaseUrl = StaticExport::Export(*catalogue, options.ExportFolder, exportOptions);
      const std::string folder = std::filesystem::absolute(options.ExportFolder).lexically_normal().string();
      std::cout << "Exported " << productCount << " product(s) to " << folder << "; history pointers name "
                << historyBaseUrl << "\nStart it with: nginx -p " << folder << " -c nginx.conf" << std::endl;
    } catch (const EStaticExport& e) {
      WriteErrorLine(std::string("brevant-update-server: ") + e.what());
      return ExitFailure;
    }
    return ExitOk;
  }

  options.Server.MaxConnections =
      FitConnectionLimit(options.Server.MaxConnections, "brevant-update-server", WriteErrorLine);
  TUpdateServer server(std::move(*catalogue), WriteErrorLine, options.Server);
  try {
    server.Start(options.Address, options.Port);
  } catch (const EUpdateServer& e) {
    WriteErrorLine(std::string("brevant-update-server: ") + e.what());
    return ExitFailure;
  }
  WriteErrorLine("brevant-update-server: serving " + std::to_string(productCount) + " product(s) from " +
                 options.Catalogue + "; history pointers name " + server.PublicUrl());
  std::cout << "Listening on " << server.BaseUrl() << std::endl;

  const int signal = WaitForStopSignal();
  WriteErrorLine(std::string("brevant-update-server: ") + StopSignalName(signal) + ", stopping");
  server.Stop();
  return ExitOk;
}

// update-server: the reference update server, run by the maker's web team,
// by the demo and by the tests. See README.md beside this file.
#include "UpdateServer.h"

#include <pthread.h>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

constexpr std::string_view Usage =
    "Usage: update-server --catalogue DIR [--address ADDR] [--port N]\n"
    "\n"
    "Answers the update wizard's requests from a catalogue folder of *.product files.\n"
    "\n"
    "  --catalogue DIR  the catalogue folder (required)\n"
    "  --address ADDR   address to listen on (default 127.0.0.1)\n"
    "  --port N         port to listen on, 0 picks a free one (default 8470)\n"
    "  --help           show this text\n"
    "\n"
    "Prints one line \"Listening on http://ADDR:PORT/\" to stdout once it accepts\n"
    "connections, logs every request on one line to stderr, and stops cleanly on\n"
    "SIGINT or SIGTERM.\n";

struct TOptions {
  std::string Address = "127.0.0.1";
  int Port = 8470;
  std::string Catalogue;
  bool Help = false;
};

struct EUsage {
  std::string Message;
};

int ParsePort(const std::string& text) {
  int port = -1;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, port);
  if (text.empty() || ec != std::errc() || ptr != end || port < 0 || port > 65535)
    throw EUsage{"--port wants a number from 0 to 65535, not '" + text + "'"};
  return port;
}

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
    if (arg != "--address" && arg != "--port" && arg != "--catalogue")
      throw EUsage{"unknown option '" + std::string(argv[i]) + "'"};
    if (!value) {
      if (i + 1 >= argc) throw EUsage{arg + " needs a value"};
      value = argv[++i];
    }
    if (arg == "--address") {
      if (value->empty()) throw EUsage{"--address must not be empty"};
      options.Address = *value;
    } else if (arg == "--port") {
      options.Port = ParsePort(*value);
    } else {
      options.Catalogue = *value;
    }
  }
  if (!options.Help && options.Catalogue.empty()) throw EUsage{"--catalogue DIR is required"};
  return options;
}

void WriteErrorLine(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  try {
    options = ParseArguments(argc, argv);
  } catch (const EUsage& e) {
    WriteErrorLine("update-server: " + e.Message);
    WriteErrorLine("Try 'update-server --help'.");
    return ExitUsage;
  }
  if (options.Help) {
    std::cout << Usage << std::flush;
    return ExitOk;
  }

  // The signals are taken by sigwait() below; block them before any thread
  // exists so that every server thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::optional<TCatalogue> catalogue;
  try {
    catalogue = TCatalogue::Load(options.Catalogue);
  } catch (const ECatalogue& e) {
    WriteErrorLine("update-server: the catalogue has errors:");
    for (const std::string& error : e.Errors) WriteErrorLine("  " + error);
    return ExitFailure;
  }
  const int productCount = catalogue->Count();

  TUpdateServer server(std::move(*catalogue), WriteErrorLine);
  try {
    server.Start(options.Address, options.Port);
  } catch (const EUpdateServer& e) {
    WriteErrorLine(std::string("update-server: ") + e.what());
    return ExitFailure;
  }
  WriteErrorLine("update-server: serving " + std::to_string(productCount) + " product(s) from " + options.Catalogue);
  std::cout << "Listening on " << server.BaseUrl() << std::endl;

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  WriteErrorLine(std::string("update-server: ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
  server.Stop();
  return ExitOk;
}

#include "ServerMain.h"

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>

namespace {
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}
}  // namespace

int OptionNumber(const std::string& name, const std::string& text, int lowest, int highest) {
  int number = -1;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, number);
  if (text.empty() || ec != std::errc() || ptr != end || number < lowest || number > highest)
    throw EUsage{name + " wants a number from " + std::to_string(lowest) + " to " + std::to_string(highest) +
                 ", not '" + text + "'"};
  return number;
}

void WriteErrorLine(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
}

void BlockStopSignals() {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

int WaitForStopSignal() {
  const sigset_t signals = StopSignals();
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  return signal;
}

const char* StopSignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "SIGTERM";
  }
}

int FitConnectionLimit(int maxConnections, const std::string& programName, void (*tell)(const std::string& line)) {
  constexpr int ReservedDescriptors = 64;  // data files, log, listening socket, the library's own
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return maxConnections;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur == RLIM_INFINITY) return maxConnections;
  const auto usable = static_cast<long long>(limit.rlim_cur) - ReservedDescriptors;
  if (usable >= maxConnections) return maxConnections;
  const int fitted = static_cast<int>(std::max(1LL, usable));
  if (tell)
    tell(programName + ": at most " + std::to_string(fitted) + " connections: the process may open only " +
         std::to_string(limit.rlim_cur) + " files");
  return fitted;
}

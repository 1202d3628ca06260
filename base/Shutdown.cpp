#include "base/Shutdown.h"

#include <cstdlib>
#include <vector>

namespace {
std::vector<std::function<void()>>& Procs() {
  static std::vector<std::function<void()>> procs;
  return procs;
}
}  // namespace

void AddShutdownProc(std::function<void()> proc) {
  Procs().push_back(std::move(proc));
}

void RunShutdown() {
  auto& procs = Procs();
  while (!procs.empty()) {
    auto proc = std::move(procs.back());
    procs.pop_back();
    proc();
  }
}

void Halt(int exitCode) {
  RunShutdown();
  std::exit(exitCode);
}

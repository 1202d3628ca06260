#pragma once
// The reference update server (or another server that prints the same
// "Listening on URL" line) as a child process on a free loopback port, with
// its stdout and stderr in one file. Every wait is bounded.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Process.h"

class TServerChild {
 public:
  // Starts argv (the port switch included, e.g. "--port 0") and waits up to
  // 10 s for the line "Listening on URL".
  TServerChild(const std::vector<std::string>& argv, const std::string& outputFile);
  // Starts argv, a server that prints no such line, and waits up to 10 s
  // until `ready(pid)` holds and 127.0.0.1:port accepts a connection.
  TServerChild(const std::vector<std::string>& argv, const std::string& outputFile, int port,
               const std::function<bool(pid_t)>& ready);
  // Stops a child still running with SIGTERM, waiting up to 10 s, before
  // it is killed: a server's own children end with it.
  ~TServerChild();

  bool Started() const { return !FUrl.empty(); }
  const std::string& Url() const { return FUrl; }  // "http://127.0.0.1:PORT/"
  int Port() const { return FPort; }
  TChildProcess& Process() { return *FProcess; }
  std::string Output() const;
  // Waits up to `timeout` until the output holds `text` as often as `count`.
  bool WaitForOutput(const std::string& text, int count = 1,
                     std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;

 private:
  std::string FOutputFile;
  std::unique_ptr<TChildProcess> FProcess;
  std::string FUrl;
  int FPort = 0;
};

// A field of /proc/PID/status in bytes ("VmHWM", "VmRSS"); 0 when unreadable.
std::uint64_t ProcessStatusBytes(int pid, const std::string& field);
// User plus system CPU time the process has used so far, in seconds.
double ProcessCpuSeconds(int pid);

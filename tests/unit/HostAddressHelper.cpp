// A small program for SystemInfoTest: prints the addresses the system
// services give for this machine's own name, one a line. The test runs it
// in a mount namespace of its own, with a hosts file and a name server of
// its choosing.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/SystemInfo.h"

int main() {
  TSystemInfo& sys = CurrentSystemInfo();
  std::string host;
  std::vector<std::string> addresses;
  if (!sys.HostName(host) || !sys.HostAddresses(host, addresses)) return 1;
  for (const auto& a : addresses) std::printf("%s\n", a.c_str());
  return 0;
}

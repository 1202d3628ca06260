// A small program for ProcessServicesTest: it creates the application object
// from its command line, as every program does, and prints the parameters
// the process services then report, one a line, then their count.
#include <cstdio>

#include "platform/Process.h"
#include "runtime/Application.h"

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  const auto params = CurrentProcessServices().CommandLineParams();
  for (const auto& p : params) std::printf("%s\n", p.c_str());
  std::printf("%zu\n", params.size());
  return 0;
}

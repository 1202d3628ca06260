// A small program for SystemInfoTest: it starts the system information and
// application objects (on stand-in services, logging on), registers the
// unit's shut-down and a marker step, and then waits in its message loop
// to be ended.
//
//   SystemSignalHelper <folder> wait         ended by a signal the test sends
//   SystemSignalHelper <folder> resignal     as wait; the marker step sends
//                                            itself SIGINT before writing
//   SystemSignalHelper <folder> endsession   a cancelled session end, then
//                                            the session's end
//
// <folder>/ready appears once the objects exist; <folder>/marker is written
// by the last shut-down step and tells whether the objects were released
// before it; the log is <folder>/Helper.log.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <QTimer>

#include "base/Shutdown.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_System.h"
#include "runtime/Application.h"
#include "tests/support/FakeSystem.h"

namespace {
void WriteFile(const std::string& path, const std::string& text) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string folder = argv[1];
  const std::string mode = argv[2];
  // Released by the last shut-down step: the program ends through exit(),
  // which leaves objects on main's stack alone.
  auto* app = new TApplication(argc, argv);

  static TFakeSystemScope fakes;  // outlives the exit's shut-down
  fakes.Process.Exe = folder + "/Helper.bin";
  fakes.Process.Params = {"/logfile"};

  AddShutdownProc([folder, mode, app] {
    if (mode == "resignal") ::kill(::getpid(), SIGINT);  // must not cut the shut-down short
    WriteFile(folder + "/marker",
              std::string("shut down, objects ") + (VEKWindows || VEKApplication ? "alive" : "released") + "\n");
    delete app;
  });
  InitVEKSystem();
  AddShutdownProc(FinalizeVEKSystem);

  if (mode == "endsession") {
    int result = 0;
    VEKWindows->AppHook(smEndSession, false, result);  // cancelled: goes on
    QTimer::singleShot(0, [] {
      int r = 0;
      VEKWindows->AppHook(smEndSession, true, r);
    });
  }
  WriteFile(folder + "/ready", VEKApplication && VEKApplication->LogFile->Active() ? "logging\n" : "not logging\n");
  const int code = app->Run();
  RunShutdown();
  return code == 0 ? 3 : code;  // never reached normally: the end comes through Halt
}

// An exception that reaches the interceptor while the application object is
// being destroyed: a plain error box through the library's error stop, then
// the "Error on processing Exception" message. Run in a child process, which
// ends with the application it destroys.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/Exceptions.h"
#include "diag/U_VEK_Debug.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_System.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "tests/support/FakeSystem.h"
#include "tests/support/TempDir.h"

namespace {

// Checks in the child; a failure is told on stderr and in the exit code.
int Failures = 0;
void Check(bool condition, const std::string& what) {
  if (condition) return;
  ++Failures;
  std::fprintf(stderr, "failed: %s\n", what.c_str());
}

void DestroyTheApplicationWhileAHandlerFails() {
  int argc = 1;
  char name[] = "InterceptorShutdownTest";
  char* argv[] = {name, nullptr};
  TFakeSystemScope system;
  TTempDir dir;
  system.Process.Exe = dir.File("Thrower");
  system.Process.Params = {"/DEBUG", "/LOGFILE"};
  TMessageBox::SetAutoAnswer(true);
  auto* app = new TApplication(argc, argv);
  InitVEKDebug();
  bool after = false;
  VEKDebugger()->SetAfterException([&after](QObject*, const std::exception*, bool) { after = true; });
  QObject::connect(app, &TApplication::destroyingStarted,
                   [] { Application->Guard([] { throw Exception("Failed at the end"); }); });
  delete app;

  const auto& shown = TMessageBox::History();
  Check(shown.size() == 2, "two boxes, not " + std::to_string(shown.size()));
  if (shown.size() == 2) {
    Check(shown[0].Text == "Failed at the end", "the error box: " + shown[0].Text);
    Check(shown[0].Icon == TMsgIcon::Error, "the error box's icon");
    Check(shown[1].Text == "Error on processing Exception : \r\n\r\nOperation aborted\r\n\r\n(Operation aborted)",
          "the second box: " + shown[1].Text);
  }
  Check(!after, "AfterException is left out");
  VEKApplication->LogFile->Save();
  const std::string log = ReadWholeFile(dir.File("Thrower.log"));
  Check(log.find("[ EXCEPT ] Type         : Exception ( std::exception )") != std::string::npos, "the report");
  Check(log.find("[ ERROR  ] Failed at the end") != std::string::npos, "the error stop's entry");
  Check(log.find("[ INFO   ] Error on processing Exception : ") != std::string::npos, "the message's entry");
  std::fflush(stderr);
  std::_Exit(Failures);
}

TEST(InterceptorShutdown, AnExceptionWhileTheApplicationIsDestroyedGoesThroughTheErrorStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(DestroyTheApplicationWhileAHandlerFails(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

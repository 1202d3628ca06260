// The running process: its priority classes on Linux (in a child process,
// so that the test runner's own priority stays), the watch on the signals
// that ask it to end, and its command line as it received it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>

#include "platform/Process_posix.h"
#include "tests/support/Process.h"

namespace {

// A signal watch needs the toolkit's application and its thread.
class TAppEnvironment : public ::testing::Environment {
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static int argc = 1;
    static char arg0[] = "ProcessServicesTest";
    static char* argv[] = {arg0, nullptr};
    FApp = new QCoreApplication(argc, argv);
  }
  void TearDown() override { delete FApp; }
  QCoreApplication* FApp = nullptr;
};
[[maybe_unused]] ::testing::Environment* const Env = ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

TEST(PosixProcess, PriorityClassesMapOntoNiceValues) {
  // In a child: the test runner's own priority stays as it is.
  EXPECT_EXIT(
      {
        TPosixProcessServices p;
        int error = 0;
        std::uint32_t cls = 0;
        auto check = [&](bool ok, const char* what) {
          if (!ok) {
            std::fprintf(stderr, "%s (error %d)\n", what, error);
            std::_Exit(1);
          }
        };
        check(!p.SetPriorityClass(0x1234, error) && error == EINVAL, "unknown class accepted");
        check(p.SetPriorityClass(pcIdle, error), "idle refused");
        check(getpriority(PRIO_PROCESS, 0) == 19, "idle is not nice 19");
        check(p.GetPriorityClass(cls, error) && cls == pcIdle, "idle not read back");
        if (geteuid() == 0) {
          check(p.SetPriorityClass(pcRealTime, error) && getpriority(PRIO_PROCESS, 0) == -20, "real time");
          check(p.GetPriorityClass(cls, error) && cls == pcRealTime, "real time not read back");
          check(p.SetPriorityClass(pcHigh, error) && getpriority(PRIO_PROCESS, 0) == -10, "high");
          check(p.GetPriorityClass(cls, error) && cls == pcHigh, "high not read back");
          check(setpriority(PRIO_PROCESS, 0, -3) == 0, "nice -3");
          check(p.GetPriorityClass(cls, error) && cls == pcAboveNormal, "above normal");
          check(p.SetPriorityClass(pcNormal, error) && getpriority(PRIO_PROCESS, 0) == 0, "normal");
        } else {
          // Back up from idle needs a privilege this user lacks.
          check(!p.SetPriorityClass(pcNormal, error) && (error == EACCES || error == EPERM), "raise allowed");
          check(getpriority(PRIO_PROCESS, 0) == 19, "refusal changed the priority");
        }
        std::fputs("priority ok\n", stderr);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "priority ok");
}

// ---------------------------------------------------------------------------
// The signals that ask the process to end

bool SameHandler(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sigaction(sig, nullptr, &sa);
  return sa.sa_handler == handler;
}

TEST(EndSignalWatch, NestsAndRestoresTheDispositions) {
  struct sigaction before {};
  sigaction(SIGTERM, nullptr, &before);
  {
    TEndSignalWatch outer([](int) {});
    ASSERT_TRUE(outer.Watching());
    EXPECT_FALSE(SameHandler(SIGTERM, before.sa_handler));
    EXPECT_FALSE(SameHandler(SIGHUP, SIG_DFL));
    EXPECT_FALSE(SameHandler(SIGINT, SIG_DFL));
    {
      TEndSignalWatch inner([](int) {});
      EXPECT_TRUE(inner.Watching());
    }
    EXPECT_FALSE(SameHandler(SIGTERM, before.sa_handler));
  }
  EXPECT_TRUE(SameHandler(SIGTERM, before.sa_handler));

  // Off the application's thread a watch does nothing.
  bool watching = true;
  std::thread([&] { watching = TEndSignalWatch([](int) {}).Watching(); }).join();
  EXPECT_FALSE(watching);
  EXPECT_TRUE(SameHandler(SIGTERM, before.sa_handler));
}

// ---------------------------------------------------------------------------
// The command line

TEST(CommandLineParams, AreEveryArgumentAsTheProcessReceivedIt) {
  // The toolkit takes -reverse, -style and its value, and -qwindowtitle with
  // its value out of its own list; the parameters keep them all, in order.
  const std::vector<std::string> args{"a", "-reverse", "b", "-style", "fusion", "c", "-qwindowtitle", "/LOGFILE", ""};
  std::vector<std::string> argv{PARAMS_HELPER_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto out = RunAndRead(argv, {"QT_QPA_PLATFORM=offscreen"}, std::chrono::seconds(60));
  ASSERT_TRUE(out.has_value());
  std::string expected;
  for (const auto& a : args) expected += a + "\n";
  EXPECT_EQ(*out, expected + std::to_string(args.size()) + "\n");
}

}  // namespace

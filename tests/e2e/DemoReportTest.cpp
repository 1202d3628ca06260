// The example program vek-demo on a virtual X display, naming a real report
// collector (vek-report-server on SQLite, a child on loopback): a report
// sent from its exception dialog, and a crash offered at its next start,
// each found on the collector's group page behind the login.
//
// With BREVANT_SCREENSHOTS set to a folder, the pictures of the dialog with
// its "Send report" button, of the send window and of the offer are kept
// there.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/LoopbackHttp.h"
#include "tests/support/Process.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tools/report-server/Users.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The demo's buttons, the dialog's "Send report" and the send window's
// "Send" (the window is 520 x 380, its buttons 8 pixels from the corner).
constexpr int ButtonX = 160, RuntimeErrorY = 21, NullPointerY = 105;
constexpr int SendReportX = 287 + 8 + 37, SendReportY = 50 + 12;
constexpr int SendX = 520 - 8 - 75 - 6 - 38, SendY = 380 - 8 - 13;
const char* const Login = "Authorization: Basic ZGV2OnBhc3N3b3Jk\r\n";  // dev:password

class DemoReport : public ::testing::Test {
 protected:
  void SetUp() override {
    if (X.Display().empty()) GTEST_SKIP() << "Xvfb could not start";
    Exe = Dir.File("vek-demo");
    fs::copy_file(VEK_DEMO_EXE, Exe);
    fs::copy_file(std::string(VEK_DEMO_EXE) + ".map", Dir.File("vek-demo.map"));
    TUsers::SetPassword(Dir.File("users"), "dev", "password");
    Collector =
        std::make_unique<TServerChild>(std::vector<std::string>{REPORT_SERVER_EXE, "--port", "0", "--database",
                                                                Dir.File("reports.db"), "--users", Dir.File("users")},
                                       Dir.File("collector.txt"));
    ASSERT_TRUE(Collector->Started()) << Collector->Output();
  }
  std::unique_ptr<TChildProcess> Start() {
    // The sanitizers' own handlers would end a crash with their exit code.
    const char* asan = std::getenv("ASAN_OPTIONS");
    return std::make_unique<TChildProcess>(
        std::vector<std::string>{Exe, "/DEBUG", "/LOGFILE"},
        std::vector<std::string>{X.DisplayEnv(), "QT_QPA_PLATFORM=xcb", "XDG_STATE_HOME=" + Dir.File("state"),
                                 "VEK_DEMO_REPORT_SERVER=" + Collector->Url(),
                                 "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":handle_segv=0"},
        Dir.File("output.txt"));
  }
  std::string Output() const { return ReadWholeFile(Dir.File("output.txt")); }
  void Keep(const std::string& window, const std::string& name) const {
    const std::string file = Dir.File(name);
    ASSERT_TRUE(X.Screenshot(window, file));
    if (const char* folder = std::getenv("BREVANT_SCREENSHOTS"))
      fs::copy_file(file, std::string(folder) + "/" + name, fs::copy_options::overwrite_existing);
  }
  // Presses the send window's "Send" and waits for the collector's answer.
  void Send(const std::string& window) {
    ASSERT_TRUE(X.Click(window, SendX, SendY));
    ASSERT_TRUE(Collector->WaitForOutput("POST /reports 201")) << Collector->Output();
  }
  std::string GroupPage() const { return HttpGet(Collector->Port(), "/groups/1", "", Login).Body; }

  TXvfb X;
  TTempDir Dir;
  std::string Exe;
  std::unique_ptr<TServerChild> Collector;
};

TEST_F(DemoReport, TheDialogsReportReachesTheGroupPage) {
  auto demo = Start();
  const auto window = X.WaitForWindow("^VEK Demo$", 30s);
  ASSERT_TRUE(window) << Output();
  ASSERT_TRUE(X.Click(*window, ButtonX, RuntimeErrorY));
  const auto dialog = X.WaitForWindow("^vek-demo$", 30s);
  ASSERT_TRUE(dialog) << Output();
  ASSERT_TRUE(WaitUntil([&] { return X.WindowSize(*dialog) == std::make_pair(377, 125); }, 10s));
  Keep(*dialog, "exception-dialog-send.png");
  ASSERT_TRUE(X.Click(*dialog, SendReportX, SendReportY));
  const auto send = X.WaitForWindow("^vek-demo - Send report$", 30s);
  ASSERT_TRUE(send) << Output();
  Keep(*send, "send-report.png");
  Send(*send);
  Keep(*send, "send-report-sent.png");
  ASSERT_TRUE(X.PressKey(*send, "Escape"));
  ASSERT_TRUE(WaitUntil([&] { return !X.HasWindow("^vek-demo - Send report$"); }, 10s));
  ASSERT_TRUE(X.PressKey(*dialog, "Escape"));
  ASSERT_TRUE(WaitUntil([&] { return !X.HasWindow("^vek-demo$"); }, 10s));
  ASSERT_TRUE(X.RequestClose(*window));
  EXPECT_EQ(demo->Wait(30s), 0) << Output();

  const std::string page = GroupPage();
  EXPECT_NE(page.find("<span id=\"count\">1</span>"), std::string::npos) << page;
  EXPECT_NE(page.find("btnRuntimeErrorClick"), std::string::npos) << page;
  EXPECT_NE(page.find("The demo&#39;s runtime error."), std::string::npos) << page;
}

TEST_F(DemoReport, ACrashIsOfferedAtTheNextStartAndReachesTheGroupPage) {
  auto demo = Start();
  const auto window = X.WaitForWindow("^VEK Demo$", 30s);
  ASSERT_TRUE(window) << Output();
  ASSERT_TRUE(X.Click(*window, ButtonX, NullPointerY));
  ASSERT_EQ(demo->Wait(30s), -SIGSEGV) << Output();
  const std::string pending = Dir.File("state/quellmark/pending-reports");
  ASSERT_EQ(std::distance(fs::directory_iterator(pending), {}), 1);

  auto again = Start();
  const auto offer = X.WaitForWindow("^vek-demo - Send report$", 30s);
  ASSERT_TRUE(offer) << Output();
  Keep(*offer, "crash-offer.png");
  Send(*offer);
  ASSERT_TRUE(X.PressKey(*offer, "Escape"));
  ASSERT_TRUE(WaitUntil([&] { return !X.HasWindow("^vek-demo - Send report$"); }, 10s));
  EXPECT_EQ(std::distance(fs::directory_iterator(pending), {}), 0);
  const auto shown = X.WaitForWindow("^VEK Demo$", 30s);
  ASSERT_TRUE(shown);
  ASSERT_TRUE(X.RequestClose(*shown));
  EXPECT_EQ(again->Wait(30s), 0) << Output();

  const std::string page = GroupPage();
  EXPECT_NE(page.find("SIGSEGV ( Fatal signal )"), std::string::npos) << page;
  EXPECT_NE(page.find("btnNullPointerClick"), std::string::npos) << page;
}

}  // namespace

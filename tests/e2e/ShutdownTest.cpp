// Every way out of the real wizard runs the same shut-down: with /LOGFILE
// the log beside the executable ends with its closing block.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "tests/e2e/WizardRun.h"
#include "tests/support/FaultServer.h"
#include "tests/support/Wait.h"

using namespace std::chrono_literals;
using namespace WizardAt;

namespace {
const std::string Dashes(89, '-');

// The log holds one run: the opening block, then anything, then the closing
// block as its very end.
void ExpectOneFramedRun(const std::string& log, const std::string& exe) {
  const std::string stamp = "[^\\r\\n]+";
  const std::regex opening("^# " + Dashes + "\r\n# START LOGGING : Brevant at " + stamp + "\r\n# " + Dashes +
                           "\r\n# PROCESS  : " + exe + "\r\n# USER     : [^\r\n]+\r\n# COMPUTER : [^\r\n]+\r\n" +
                           "# SYSTEM   : Linux v[0-9]+\\.[0-9]+\\.[0-9]+ [^\r\n]*\r\n# " + Dashes + "\r\n# \r\n");
  const std::regex closing("# \r\n# " + Dashes + "\r\n# STOP LOGGING at " + stamp + "\r\n# " + Dashes + "\r\n# \r\n$");
  EXPECT_TRUE(std::regex_search(log, opening)) << log;
  EXPECT_TRUE(std::regex_search(log, closing)) << log;
  EXPECT_EQ(log.find("START LOGGING"), log.rfind("START LOGGING")) << log;
}
}  // namespace

class WaysOut : public ::testing::Test {
 protected:
  void SetUp() override {
    if (X.Display().empty()) GTEST_SKIP() << "Xvfb could not start";
    Exe = InstallWizard(Dir);
  }
  // Starts the wizard with /LOGFILE and waits for its window.
  std::string Start(std::vector<std::string> env = {}) {
    env.push_back(X.DisplayEnv());
    env.push_back("QT_QPA_PLATFORM=xcb");
    Wizard = std::make_unique<TChildProcess>(std::vector<std::string>{Exe, "/logfile"}, env, Dir.File("output.txt"));
    const auto window = X.WaitForWindow("^Quellmark$", 30s);
    return window.value_or("");
  }
  std::string Log() const { return ReadWholeFile(Dir.File("Brevant.log")); }
  // Starts the wizard against `server` with the opener of `bin` first on
  // PATH, presses Next and waits for the check of one product to end with
  // the results and their Download button; empty when any of it failed.
  std::string StartAndCheck(const TServerProcess& server, const std::string& bin) {
    const std::string window =
        Start({"BREVANT_UPDATE_SERVER=" + server.Url(), "PATH=" + bin + ":" + std::getenv("PATH")});
    if (window.empty() || !X.Click(window, LeftButtonX, ButtonY) || !server.WaitForRequests(3) ||
        !WaitUntil([&] { return ButtonShowsAt(X, window, LeftButtonX, ButtonY); }, 15s))
      return {};
    return window;
  }

  TXvfb X;
  TTempDir Dir;
  std::string Exe;
  std::unique_ptr<TChildProcess> Wizard;
};

TEST_F(WaysOut, Cancel) {
  Dir.Write("imagetool.ini", ListedDescriptor);
  const std::string window = Start();
  ASSERT_FALSE(window.empty()) << ReadWholeFile(Dir.File("output.txt"));
  ASSERT_TRUE(X.Click(window, RightButtonX, ButtonY));
  ASSERT_EQ(Wizard->Wait(15s), 0);
  ExpectOneFramedRun(Log(), Exe);
}

TEST_F(WaysOut, TheCloseBox) {
  Dir.Write("imagetool.ini", ListedDescriptor);
  const std::string window = Start();
  ASSERT_FALSE(window.empty());
  ASSERT_TRUE(X.RequestClose(window));
  ASSERT_EQ(Wizard->Wait(15s), 0);
  ExpectOneFramedRun(Log(), Exe);
}

TEST_F(WaysOut, ExitAfterAFailedCheck) {
  Dir.Write("imagetool.ini", ListedDescriptor);
  const std::string window =
      Start({"BREVANT_UPDATE_SERVER=http://127.0.0.1:" + std::to_string(TFaultServer::ClosedPort()) + "/"});
  ASSERT_FALSE(window.empty());
  ASSERT_TRUE(X.Click(window, LeftButtonX, ButtonY));  // Next
  // The check page shows before the HTTP library is loaded; its Exit button
  // shows when the check has failed.
  ASSERT_TRUE(WaitUntil([&] { return HasLibrary(*Wizard, "libcurl"); }, 15s));
  ASSERT_TRUE(WaitUntil([&] { return ButtonShowsAt(X, window, RightButtonX, ButtonY); }, 15s));
  ASSERT_TRUE(X.Click(window, RightButtonX, ButtonY));  // Exit
  ASSERT_EQ(Wizard->Wait(15s), 0);
  ExpectOneFramedRun(Log(), Exe);
}

TEST_F(WaysOut, ExitOnTheResultsAndDownload) {
  for (const bool download : {false, true}) {
    SCOPED_TRACE(download ? "Download" : "Exit");
    TTempDir dir;
    TServerProcess server(dir, DemoCatalogue());
    ASSERT_FALSE(server.Url().empty());
    Dir.Write("imagetool.ini", OlderImageToolDescriptor);
    std::filesystem::remove(Dir.File("Brevant.log"));
    const std::string bin = InstallOpener(dir);
    const std::string window = StartAndCheck(server, bin);
    ASSERT_FALSE(window.empty()) << server.Log() << ReadWholeFile(Dir.File("output.txt"));
    ASSERT_TRUE(X.Click(window, download ? LeftButtonX : RightButtonX, ButtonY));
    ASSERT_EQ(Wizard->Wait(15s), 0);
    EXPECT_EQ(ReadWholeFile(dir.File("opened.txt")).empty(), !download);
    ExpectOneFramedRun(Log(), Exe);
  }
}

TEST_F(WaysOut, NoProductFound) {
  Wizard = std::make_unique<TChildProcess>(std::vector<std::string>{Exe, "/LOGFILE"},
                                           std::vector<std::string>{X.DisplayEnv(), "QT_QPA_PLATFORM=xcb"},
                                           Dir.File("output.txt"));
  const auto box = X.WaitForWindow("^Information$", 30s);
  ASSERT_TRUE(box);
  ASSERT_TRUE(X.PressKey(*box, "Return"));
  ASSERT_EQ(Wizard->Wait(15s), 0);
  ExpectOneFramedRun(Log(), Exe);
}

TEST_F(WaysOut, TerminationSignals) {
  Dir.Write("imagetool.ini", ListedDescriptor);
  for (const int sig : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    std::filesystem::remove(Dir.File("Brevant.log"));
    ASSERT_FALSE(Start().empty()) << "running: " << Wizard->Running()
                                  << ", windows: " << X.XDoTool({"search", "--name", "."}).value_or("?")
                                  << ", output:\n"
                                  << ReadWholeFile(Dir.File("output.txt"));
    Wizard->Signal(sig);
    ASSERT_EQ(Wizard->Wait(15s), 128 + sig);
    ExpectOneFramedRun(Log(), Exe);
    // The next round must not find this round's window.
    ASSERT_TRUE(WaitUntil([&] { return !X.HasWindow("^Quellmark$"); }, 15s));
  }
}

TEST_F(WaysOut, WithoutTheSwitchNoLogIsWritten) {
  Dir.Write("imagetool.ini", ListedDescriptor);
  Wizard = std::make_unique<TChildProcess>(std::vector<std::string>{Exe},
                                           std::vector<std::string>{X.DisplayEnv(), "QT_QPA_PLATFORM=xcb"},
                                           Dir.File("output.txt"));
  const auto window = X.WaitForWindow("^Quellmark$", 30s);
  ASSERT_TRUE(window);
  ASSERT_TRUE(X.Click(*window, RightButtonX, ButtonY));
  ASSERT_EQ(Wizard->Wait(15s), 0);
  EXPECT_FALSE(std::filesystem::exists(Dir.File("Brevant.log")));
}

// The wizard installed where its user cannot write keeps its log in the
// user's state folder, under the same name, without a message.
TEST_F(WaysOut, AFolderWithoutWriteAccessKeepsTheLogInTheStateFolder) {
  Dir.Write("imagetool.ini", ListedDescriptor);
  TTempDir state;
  std::vector<std::string> argv{Exe, "/LOGFILE"};
  if (::geteuid() == 0) {
    // Root writes anywhere: run the wizard as nobody in a folder it may read only.
    ::chmod(Dir.Path().c_str(), 0755);
    GiveToNobody(state.Path());
    argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  } else {
    ::chmod(Dir.Path().c_str(), 0555);
  }
  std::vector<std::string> env{X.DisplayEnv(), "QT_QPA_PLATFORM=xcb", "HOME=/nonexistent",
                               "XDG_STATE_HOME=" + state.Path()};
  for (auto& entry : SanitizerEnvironmentIn(Dir.Path())) env.push_back(entry);
  Wizard = std::make_unique<TChildProcess>(argv, env, "/dev/null");
  const auto window = X.WaitForWindow("^Quellmark$", 30s);
  ASSERT_TRUE(window);
  EXPECT_FALSE(X.HasWindow("^Brevant$"));  // no message
  ASSERT_TRUE(X.Click(*window, RightButtonX, ButtonY));
  EXPECT_EQ(Wizard->Wait(15s), 0);
  EXPECT_FALSE(std::filesystem::exists(Dir.File("Brevant.log")));
  ExpectOneFramedRun(ReadWholeFile(state.File("quellmark/Brevant.log")), Exe);
  ::chmod(Dir.Path().c_str(), 0700);
}

TEST_F(WaysOut, ARefusedDownloadIsLoggedAsAnErrorEntry) {
  TTempDir dir;
  TServerProcess server(dir, DemoCatalogue());
  ASSERT_FALSE(server.Url().empty());
  Dir.Write("imagetool.ini", OlderImageToolDescriptor);
  const std::string bin = InstallOpener(dir, 4);  // the desktop's action failed
  const std::string window = StartAndCheck(server, bin);
  ASSERT_FALSE(window.empty()) << server.Log();
  ASSERT_TRUE(X.Click(window, LeftButtonX, ButtonY));  // Download
  const auto box = X.WaitForWindow("^Brevant$", 30s);  // the error box, titled with the application's title
  ASSERT_TRUE(box);
  ASSERT_TRUE(X.PressKey(*box, "Return"));
  ASSERT_TRUE(WaitUntil([&] { return !X.HasWindow("^Brevant$"); }, 15s));
  ASSERT_TRUE(Wizard->Running());                       // it stays on the results
  ASSERT_TRUE(X.Click(window, RightButtonX, ButtonY));  // Exit
  ASSERT_EQ(Wizard->Wait(15s), 0);
  const std::string log = Log();
  ExpectOneFramedRun(log, Exe);
  const std::regex entry(
      "# [^\r\n]+ \\[ ERROR  \\] Error on executing :\r\n +\r\n( +)   File : "
      "[^\r\n]+/soft_download\\.php\\?productID=imagetool\r\n"
      "\\1   Params : \r\n\\1   Path : http://127\\.0\\.0\\.1:\r\n\\1\r\n\\1   Message : Bad file association\r\n");
  EXPECT_TRUE(std::regex_search(log, entry)) << log;
}

// Under a real window manager, against a server that accepts the check's
// first request and never answers: the window goes on answering the window
// manager's pings while the check waits (so the desktop never calls it "Not
// Responding"), and the close box ends the check at once and the program
// through its usual shut-down, with nothing more fetched.
class WaysOutUnderAWindowManager : public WaysOut {
 protected:
  void SetUp() override {
    WaysOut::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(X.StartWindowManager()) << "openbox could not start";
  }
  // Keeps a screenshot where BREVANT_TEST_SCREENSHOTS names a folder.
  void KeepScreenshot(const std::string& name) const {
    const char* folder = std::getenv("BREVANT_TEST_SCREENSHOTS");
    if (folder && *folder) {
      EXPECT_TRUE(X.Screenshot(std::string(folder) + "/" + name));
    }
  }
};

namespace {
const char* const SecondDescriptor =
    "ID=8\r\nMODE=0\r\nVERSION=1.0\r\nTITLE=Second Tool\r\nCODE=SEC\r\nDAY=1\r\nMONTH=1\r\nYEAR=2025\r\n";
}  // namespace

TEST_F(WaysOutUnderAWindowManager, TheCloseBoxWhileTheServerIsSilent) {
  TFaultServer server;
  server.Silent("/soft_update.php");
  Dir.Write("imagetool.ini", ListedDescriptor);
  Dir.Write("second.ini", SecondDescriptor);
  const std::string window = Start({"BREVANT_UPDATE_SERVER=" + server.BaseUrl()});
  ASSERT_FALSE(window.empty()) << ReadWholeFile(Dir.File("output.txt"));
  ASSERT_TRUE(X.Ping(window, 10s)) << "no answer before the check";
  ASSERT_TRUE(X.Click(window, LeftButtonX, ButtonY));  // Next
  WaitUntil([&] { return server.RequestCount() > 0; }, 15s);
  ASSERT_EQ(server.RequestCount(), 1u);
  // The check now waits for the server, for up to a minute.
  for (int ping = 0; ping < 3; ++ping) EXPECT_TRUE(X.Ping(window, 5s)) << "ping " << ping << " unanswered";
  KeepScreenshot("check-waiting.png");
  EXPECT_TRUE(Wizard->Running());
  ASSERT_TRUE(X.RequestCloseThroughWindowManager(window));
  ASSERT_EQ(Wizard->Wait(15s), 0) << ReadWholeFile(Dir.File("output.txt"));
  ExpectOneFramedRun(Log(), Exe);
  EXPECT_EQ(server.RequestCount(), 1u) << "the second product was asked";
  WaitUntil([&] { return server.OpenConnections() == 0; }, 5s);
  EXPECT_EQ(server.OpenConnections(), 0);
}

TEST_F(WaysOutUnderAWindowManager, ASignalWhileTheServerIsSilent) {
  TFaultServer server;
  server.Silent("/soft_update.php");
  Dir.Write("imagetool.ini", ListedDescriptor);
  Dir.Write("second.ini", SecondDescriptor);
  const std::string window = Start({"BREVANT_UPDATE_SERVER=" + server.BaseUrl()});
  ASSERT_FALSE(window.empty()) << ReadWholeFile(Dir.File("output.txt"));
  ASSERT_TRUE(X.Click(window, LeftButtonX, ButtonY));  // Next
  WaitUntil([&] { return server.RequestCount() > 0; }, 15s);
  ASSERT_EQ(server.RequestCount(), 1u);
  Wizard->Signal(SIGTERM);
  ASSERT_EQ(Wizard->Wait(15s), 128 + SIGTERM);
  ExpectOneFramedRun(Log(), Exe);
  EXPECT_EQ(server.RequestCount(), 1u);
}

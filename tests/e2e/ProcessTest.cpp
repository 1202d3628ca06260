// The real Brevant executable as a process, on a virtual X display, driven
// by key presses and clicks as a user would.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>

#include <QImage>
#include <QRect>

#include "app/U_FileList.h"
#include "app/U_Products.h"
#include "platform/DirEnum.h"
#include "tests/e2e/WizardRun.h"
#include "tests/support/LoopbackHttp.h"
#include "tests/support/NginxProcess.h"
#include "tests/support/Wait.h"

using namespace std::chrono_literals;
using namespace WizardAt;

class WizardProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (X.Display().empty()) GTEST_SKIP() << "Xvfb could not start";
  }
  TXvfb X;
  TTempDir Dir;
};

TEST_F(WizardProcess, WithoutDescriptorsOnlyTheMessageShowsThenExitCodeZero) {
  Dir.Write("readme.txt", "not a descriptor");
  TChildProcess wizard({InstallWizard(Dir)}, {X.DisplayEnv(), "QT_QPA_PLATFORM=xcb"}, Dir.File("output.txt"));
  const auto box = X.WaitForWindow("^Information$", 30s);
  ASSERT_TRUE(box) << ReadWholeFile(Dir.File("output.txt"));
  EXPECT_FALSE(X.HasWindow("^Quellmark$"));
  EXPECT_TRUE(wizard.Running());  // it waits for the box to be answered
  ASSERT_TRUE(X.PressKey(*box, "Return"));
  EXPECT_EQ(wizard.Wait(15s), 0);
}

TEST_F(WizardProcess, CancelOnStartEndsWithoutTouchingTheNetwork) {
  Dir.Write("imagetool.ini", ListedDescriptor);
  TListener server;
  TChildProcess wizard({InstallWizard(Dir)},
                       {X.DisplayEnv(), "QT_QPA_PLATFORM=xcb", "BREVANT_UPDATE_SERVER=" + server.Url()},
                       Dir.File("output.txt"));
  const auto window = X.WaitForWindow("^Quellmark$", 30s);
  ASSERT_TRUE(window) << ReadWholeFile(Dir.File("output.txt"));
  EXPECT_FALSE(HasLibrary(wizard, "libcurl"));           // the HTTP library is loaded by the check only
  ASSERT_TRUE(X.Click(*window, RightButtonX, ButtonY));  // Cancel
  EXPECT_EQ(wizard.Wait(15s), 0);
  EXPECT_EQ(server.Accepted(), 0);
}

// The reference server, and nginx serving its static export of the same
// catalogue: the wizard cannot tell them apart.
class WizardAgainst : public WizardProcess, public ::testing::WithParamInterface<std::string> {};

TEST_P(WizardAgainst, NextThenDownloadOpensTheTickedPagesInRowOrderOneSecondApart) {
  InstallDemoDescriptors(Dir);
  std::unique_ptr<TServerProcess> reference;
  std::unique_ptr<TNginxExport> nginx;
  if (GetParam() == "nginx") {
    ASSERT_FALSE(NginxProgram().empty()) << "nginx is not installed: scripts/install-deps.sh installs it";
    nginx = std::make_unique<TNginxExport>(DemoCatalogue());
    ASSERT_TRUE(nginx->Started()) << nginx->Output();
  } else {
    reference = std::make_unique<TServerProcess>(Dir, DemoCatalogue());
    ASSERT_FALSE(reference->Url().empty()) << reference->Log();
  }
  const std::string base = nginx ? nginx->Url() : reference->Url();
  const std::string bin = InstallOpener(Dir);
  TChildProcess wizard({InstallWizard(Dir)},
                       {X.DisplayEnv(), "QT_QPA_PLATFORM=xcb", "BREVANT_UPDATE_SERVER=" + base,
                        "PATH=" + bin + ":" + std::getenv("PATH")},
                       Dir.File("output.txt"));
  const auto window = X.WaitForWindow("^Quellmark$", 30s);
  ASSERT_TRUE(window) << ReadWholeFile(Dir.File("output.txt"));

  // The rows of the results follow the product table, which follows the
  // order the file system lists the descriptors in; the demo has three
  // newer products: every one but the packer.
  std::vector<std::pair<std::string, int>> newer;  // ID and MODE
  TFileList files(Dir.Path(), "*.ini", faAnyFile);
  for (int i = 0; i < files.Count; ++i) {
    const TDescriptor d = ReadDescriptor(files.Items(i).FullName);
    if (d.ID != "packer") newer.emplace_back(d.ID, d.Mode);
  }
  ASSERT_EQ(newer.size(), 3u);

  EXPECT_FALSE(HasLibrary(wizard, "libcurl"));
  ASSERT_TRUE(X.Click(*window, LeftButtonX, ButtonY));                               // Next
  ASSERT_TRUE(nginx ? nginx->WaitForRequests(12) : reference->WaitForRequests(12));  // three per product
  EXPECT_TRUE(HasLibrary(wizard, "libcurl"));
  // After the check's closing pauses the results show, with their Download button.
  ASSERT_TRUE(WaitUntil([&] { return ButtonShowsAt(X, *window, LeftButtonX, ButtonY); }, 15s));
  const QRect tick(ListX + 8 - 6, ListY + 13 + 6 - 6, 13, 13);  // the second row's tick
  const QImage ticked = X.Grab(*window).copy(tick);
  ASSERT_TRUE(X.Click(*window, tick.center().x(), tick.center().y()));
  ASSERT_TRUE(WaitUntil([&] { return X.Grab(*window).copy(tick) != ticked; }, 5s));
  ASSERT_TRUE(X.Click(*window, LeftButtonX, ButtonY));  // Download
  ASSERT_EQ(wizard.Wait(30s), 0) << ReadWholeFile(Dir.File("output.txt"));

  std::istringstream opened(ReadWholeFile(Dir.File("opened.txt")));
  std::vector<double> times;
  std::vector<std::string> urls;
  double t;
  std::string url;
  while (opened >> t >> url) {
    times.push_back(t);
    urls.push_back(url);
  }
  auto page = [&](const std::pair<std::string, int>& p) {
    return base + (p.second == 0 ? "soft_download.php" : "soft_download_reg.php") + "?productID=" + p.first;
  };
  EXPECT_EQ(urls, (std::vector<std::string>{page(newer[0]), page(newer[2])}));
  ASSERT_EQ(times.size(), 2u);
  EXPECT_GE(times[1] - times[0], 0.9);
  EXPECT_LE(times[1] - times[0], 5.0);

  // Behind nginx a download page is a redirect to the product's download.
  if (nginx)
    for (const auto& p : {newer[0], newer[2]}) {
      const THttpReply reply = HttpGet(nginx->Port(), page(p).substr(base.size() - 1));
      EXPECT_EQ(reply.Status, 302) << p.first;
      EXPECT_EQ(reply.Header("Location"), nginx->Download(p.first, p.second != 0)) << p.first;
      EXPECT_NE(reply.Header("Location"), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, WizardAgainst, ::testing::Values("update-server", "nginx"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param == "nginx" ? std::string("Nginx") : std::string("UpdateServer");
                         });

// --help, -h and --version are answered on standard output with status 0
// before anything needs a display: with none to open, a window would have
// ended the program with an error. No log is started either.
TEST(WizardCommandLine, HelpAndVersionPrintWithoutAWindow) {
  TTempDir dir;
  dir.Write("imagetool.ini", ListedDescriptor);
  const std::string exe = InstallWizard(dir);
  const std::vector<std::string> noDisplay{"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=xcb"};
  EXPECT_EQ(RunAndRead({exe, "--version"}, noDisplay, 30s), std::optional<std::string>("Brevant 1.0.0\n"));
  for (const char* help : {"--help", "-h"}) {
    SCOPED_TRACE(help);
    const auto out = RunAndRead({exe, "/LOGFILE", help}, noDisplay, 30s);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->substr(0, out->find('\n')), "Usage: Brevant [/LOGFILE | /NOLOGFILE] [/DEBUG | /NODEBUG]");
    EXPECT_NE(out->find("\n  " + dir.File("Brevant.log") + "\n"), std::string::npos) << *out;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("Brevant.log")));
  // Without those, the same command line wants its display.
  EXPECT_FALSE(RunAndRead({exe, "/NOLOGFILE"}, noDisplay, 30s));
}

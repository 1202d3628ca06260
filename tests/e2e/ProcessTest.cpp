// The real Brevant executable as a process, on a virtual X display, driven
// by key presses and clicks as a user would.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/U_FileList.h"
#include "app/U_Products.h"
#include "platform/DirEnum.h"

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;

namespace {
// A copy of the executable in a folder of its own: the wizard reads the
// descriptors that lie beside it.
std::string InstallWizard(const TTempDir& dir) {
  const std::string exe = dir.File("Brevant");
  std::filesystem::copy_file(BREVANT_EXE, exe);
  return exe;
}

// A listening loopback socket that only counts who connects to it.
class TListener {
public:
  TListener() {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(FFd, 8);
    socklen_t len = sizeof a;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
  }
  ~TListener() { ::close(FFd); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/"; }
  int Accepted() {
    int n = 0;
    for (int c; (c = ::accept(FFd, nullptr, nullptr)) >= 0; ++n) ::close(c);
    return n;
  }

private:
  int FFd;
  int FPort = 0;
};

const char* const kDescriptor =
    "[Product]\r\nID=7\r\nMODE=0\r\nVERSION=2.1.0\r\nTITLE=Image Tool\r\nCODE=IMT\r\nDAY=14\r\nMONTH=03\r\nYEAR=2025\r\n";
}  // namespace

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
  Dir.Write("imagetool.ini", kDescriptor);
  TListener server;
  TChildProcess wizard({InstallWizard(Dir)}, {X.DisplayEnv(), "QT_QPA_PLATFORM=xcb", "BREVANT_UPDATE_SERVER=" + server.Url()},
                       Dir.File("output.txt"));
  const auto window = X.WaitForWindow("^Quellmark$", 30s);
  ASSERT_TRUE(window) << ReadWholeFile(Dir.File("output.txt"));
  // Cancel: the right button of the page's strip (frame 5 + bevel 1 + page 141/57 + 197/231).
  ASSERT_TRUE(X.Click(*window, 5 + 1 + 141 + 197 + 37, 5 + 1 + 57 + 231 + 12));
  EXPECT_EQ(wizard.Wait(15s), 0);
  EXPECT_EQ(server.Accepted(), 0);
}


namespace {
// The reference update server as a process on a port of its own choosing.
class TServerProcess {
public:
  TServerProcess(const TTempDir& dir, const std::string& catalogue)
      : FOut(dir.File("server-out.txt")),
        FProcess({UPDATE_SERVER_EXE, "--port", "0", "--catalogue", catalogue}, {}, FOut) {
    for (int i = 0; i < 200 && FUrl.empty(); ++i) {
      const std::string out = ReadWholeFile(FOut);
      const auto at = out.find("Listening on ");
      const auto eol = out.find('\n', at);
      if (at != std::string::npos && eol != std::string::npos) FUrl = out.substr(at + 13, eol - at - 13);
      else std::this_thread::sleep_for(50ms);
    }
  }
  const std::string& Url() const { return FUrl; }

private:
  std::string FOut;
  TChildProcess FProcess;
  std::string FUrl;
};

// A stand-in for the desktop's opener: records each document with the time.
std::string InstallOpener(const TTempDir& dir) {
  const std::string bin = dir.File("bin");
  std::filesystem::create_directory(bin);
  std::ofstream(bin + "/xdg-open") << "#!/bin/sh\nprintf '%s %s\\n' \"$(date +%s.%N)\" \"$1\" >> '" << dir.File("opened.txt")
                                   << "'\n";
  ::chmod((bin + "/xdg-open").c_str(), 0755);
  return bin;
}
}  // namespace

TEST_F(WizardProcess, NextThenDownloadOpensTheTickedPagesInRowOrderOneSecondApart) {
  const std::string demo = std::string(BREVANT_SOURCE_DIR) + "/demo";
  for (const auto& e : std::filesystem::directory_iterator(demo + "/descriptors"))
    std::filesystem::copy_file(e.path(), Dir.File(e.path().filename().string()));
  TServerProcess server(Dir, demo + "/catalogue");
  ASSERT_FALSE(server.Url().empty()) << ReadWholeFile(Dir.File("server-out.txt"));
  const std::string bin = InstallOpener(Dir);
  TChildProcess wizard({InstallWizard(Dir)},
                       {X.DisplayEnv(), "QT_QPA_PLATFORM=xcb", "BREVANT_UPDATE_SERVER=" + server.Url(),
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

  constexpr int kPageX = 5 + 1 + 141, kPageY = 5 + 1 + 57;
  ASSERT_TRUE(X.Click(*window, kPageX + 117 + 37, kPageY + 231 + 12));  // Next
  // Wait for the check's 12 requests, then for its closing pause.
  for (int i = 0; i < 300; ++i) {
    const std::string log = ReadWholeFile(Dir.File("server-out.txt"));
    if (std::count(log.begin(), log.end(), '\n') >= 12 + 2) break;
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_for(1500ms);
  // Untick the second row: its check box sits at the row's left end.
  constexpr int kListX = kPageX + 5 + 1, kListY = kPageY + 5 + 80 + 1;
  ASSERT_TRUE(X.Click(*window, kListX + 8, kListY + 13 + 6));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(X.Click(*window, kPageX + 117 + 37, kPageY + 231 + 12));  // Download
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
    return server.Url() + (p.second == 0 ? "soft_download.php" : "soft_download_reg.php") + "?productID=" + p.first;
  };
  EXPECT_EQ(urls, (std::vector<std::string>{page(newer[0]), page(newer[2])}));
  ASSERT_EQ(times.size(), 2u);
  EXPECT_GE(times[1] - times[0], 0.9);
  EXPECT_LE(times[1] - times[0], 5.0);
}

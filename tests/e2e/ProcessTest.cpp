// The real Brevant executable as a process, on a virtual X display, driven
// by key presses and clicks as a user would.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

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


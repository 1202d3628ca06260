// System and application information: the facts and their texts through
// stand-in services, the command-line switches, the priority, the one-time
// start-up, the Linux readers and services, and the program's end by a
// signal or the session's end (in a child process).
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include <QLocale>
#include <QObject>

#include "diag/U_VEK_FileVersion.h"
#include "diag/U_VEK_Global.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_LogStorage.h"
#include "diag/U_VEK_System.h"
#include "platform/Process_posix.h"
#include "platform/SystemInfo_posix.h"
#include "runtime/Application.h"
#include "runtime/LocaleText.h"
#include "runtime/MessageBox.h"
#include "tests/support/FakeSystem.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

class TAppEnvironment : public ::testing::Environment {
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A locale whose thousands separator is not a comma.
    setenv("LC_ALL", "fr_FR.UTF-8", 1);
    static int argc = 1;
    static char arg0[] = "SystemInfoTest";
    static char* argv[] = {arg0, nullptr};
    new TApplication(argc, argv);
    Application->SetTitle("Brevant");
    TMessageBox::SetAutoAnswer(true);
  }
  void TearDown() override { delete Application; }
};
[[maybe_unused]] ::testing::Environment* const Env = ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogActive = false;
    TMessageBox::ClearHistory();
  }
  void TearDown() override {
    FinalizeVEKSystem();
    LogActive = false;
  }
  TFakeSystemScope Fake;
  TFakeSystemInfo& Info = Fake.Info;
  TFakeProcessServices& Process = Fake.Process;
};

std::string Sep() {
  return FromQString(QLocale::system().groupSeparator());
}

// ---------------------------------------------------------------------------
// TVEKWindows

TEST_F(SystemTest, FactsComeFromThePlatform) {
  Info.Environment = {"=C:=C:\\", "PATH=/usr/bin", "EMPTY="};
  TVEKWindows w;
  EXPECT_TRUE(w.PlatformIsNT);
  EXPECT_EQ("Linux v6.1.0 Debian GNU/Linux 12 (bookworm)", w.OSVersion);
  EXPECT_EQ("testhost", w.ComputerName);
  EXPECT_EQ("tester", w.UserName);
  EXPECT_EQ("", w.WindowsDir);
  EXPECT_EQ("/tmp/", w.TempDir);
  EXPECT_THAT(w.Environment, ElementsAre("=C:=C:\\", "PATH=/usr/bin", "EMPTY="));
  EXPECT_THAT(w.DisplayModes, ElementsAre("1920 x 1080 (24 bits)"));
  EXPECT_EQ("127.0.0.1", w.IPAddress);
  EXPECT_EQ("testhost", Info.ResolvedName);
  EXPECT_EQ("37 %", w.MemoryLoad);
  EXPECT_EQ("8" + Sep() + "388" + Sep() + "608 Ko", w.TotalPhys);
}

TEST_F(SystemTest, SystemDescription) {
  auto described = [&](std::uint32_t id, std::uint32_t major, std::uint32_t minor, std::uint32_t build,
                       const std::string& name, const std::string& pack) {
    Info.Version = {id, major, minor, build, pack, name};
    TVEKWindows w;
    return w.OSVersion + (w.PlatformIsNT ? "|NT" : "|not NT");
  };
  EXPECT_EQ("Windows NT v5.1.2600 Service Pack 2|NT", described(2, 5, 1, 2600, "", "Service Pack 2"));
  // Without a service pack the description ends with a blank.
  EXPECT_EQ("Linux v6.18.44 |NT", described(2, 6, 18, 44, "Linux", ""));
  // The 9x family reports only the low 16 bits of its build number.
  EXPECT_EQ("Win32 on Windows 95 v4.10.2222 A|not NT", described(1, 4, 10, 0x040A08AE, "", "A"));
  EXPECT_EQ("Win32s on Windows 3.1 v3.10.0 |not NT", described(0, 3, 10, 0, "", ""));
  EXPECT_EQ("Platform 7 v1.0.4000000000 |not NT", described(7, 1, 0, 4000000000u, "", ""));
}

TEST_F(SystemTest, FailedNameAndFolderCallsLeaveTheirErrorText) {
  Info.User = {false, "", 0};
  Info.Computer = {false, "ignored", EACCES};
  Info.Temp = {false, "", ENOENT};
  Info.System = {true, std::string("/sys\0tail", 9), 0};
  TVEKWindows w;
  EXPECT_EQ("A call to an OS function failed", w.UserName);
  EXPECT_EQ(SysErrorMessage(EACCES), w.ComputerName);
  EXPECT_NE("", w.ComputerName);
  EXPECT_EQ(SysErrorMessage(ENOENT), w.TempDir);
  EXPECT_EQ("/sys", w.SystemDir);
  EXPECT_EQ("37 %", w.MemoryLoad);  // nothing was raised: the rest is there
}

TEST_F(SystemTest, AValueOfTheWrongTypeEndsTheGathering) {
  Info.FolderReads[static_cast<int>(TShellFolder::CommonDesktop)] = TFolderRead::WrongType;
  try {
    TVEKWindows w;
    ADD_FAILURE() << "no error";
  } catch (const ERegistryException& e) {
    EXPECT_EQ("Invalid data type for 'Common Desktop'", e.Message());
  }
  EXPECT_EQ(6, Info.ShellFolderCalls);
  EXPECT_EQ(0, Info.EnvironmentCalls);
  EXPECT_EQ(0, Info.MemoryCalls);

  // Refreshed later: the facts before the error are new, the rest old.
  Info.FolderReads[static_cast<int>(TShellFolder::CommonDesktop)] = TFolderRead::Missing;
  TVEKWindows w;
  Info.User.Text = "second";
  Info.Environment = {"NEW=1"};
  Info.FolderReads[static_cast<int>(TShellFolder::Templates)] = TFolderRead::WrongType;
  EXPECT_THROW(w.Refresh(), ERegistryException);
  EXPECT_EQ("second", w.UserName);
  EXPECT_THAT(w.Environment, ElementsAre("HOME=/home/tester", "LANG=C.UTF-8"));

  // In the program's start-up the error ends the start.
  EXPECT_THROW(InitVEKSystem(), ERegistryException);
  EXPECT_EQ(nullptr, VEKWindows);
  EXPECT_EQ(nullptr, VEKApplication);
}

TEST_F(SystemTest, DisplayModesAreListedOnceInEnumerationOrder) {
  Info.Modes = {{1920, 1080, 32}, {1920, 1080, 32}, {1280, 1024, 32}, {1920, 1080, 16}, {1280, 1024, 32}};
  TVEKWindows w;
  EXPECT_THAT(w.DisplayModes, ElementsAre("1920 x 1080 (32 bits)", "1280 x 1024 (32 bits)", "1920 x 1080 (16 bits)"));
  Info.Modes.clear();
  w.Refresh();
  EXPECT_TRUE(w.DisplayModes.empty());
}

TEST_F(SystemTest, TheLastAddressWinsAndFailuresGiveUnknown) {
  Info.Addresses = {"10.0.0.5", "192.168.1.20", "172.16.0.9"};
  TVEKWindows w;
  EXPECT_EQ("172.16.0.9", w.IPAddress);

  Info.Addresses.clear();
  w.Refresh();
  EXPECT_EQ("<Unknown>", w.IPAddress);

  Info.Addresses = {"10.0.0.5"};
  Info.ResolveOk = false;
  w.Refresh();
  EXPECT_EQ("<Unknown>", w.IPAddress);
  EXPECT_EQ("37 %", w.MemoryLoad);

  Info.ResolveOk = true;
  Info.HostNameOk = false;
  Info.ResolvedName.clear();
  w.Refresh();
  EXPECT_EQ("<Unknown>", w.IPAddress);
  EXPECT_EQ("", Info.ResolvedName);  // nothing to resolve
  EXPECT_NE("", w.AvailVirtual);
}

TEST_F(SystemTest, MemoryTextsInKiloBytes) {
  const std::string s = Sep();
  ASSERT_NE("", s);
  Info.Memory = {37, 1536, 1023, 4294967295u, std::uint64_t{5} << 32, 511, 512};
  TVEKWindows w;
  EXPECT_EQ("37 %", w.MemoryLoad);
  EXPECT_EQ("2 Ko", w.TotalPhys);
  EXPECT_EQ("1 Ko", w.AvailPhys);
  EXPECT_EQ("4" + s + "194" + s + "304 Ko", w.TotalPageFile);
  EXPECT_EQ("20" + s + "971" + s + "520 Ko", w.AvailPageFile);  // 20 GiB keeps its full value
  EXPECT_EQ("0 Ko", w.TotalVirtual);
  EXPECT_EQ("1 Ko", w.AvailVirtual);

  Info.Memory = {0, std::numeric_limits<std::uint64_t>::max(), 0, 0, 0, 0, 0};
  w.Refresh();
  EXPECT_EQ("18" + s + "014" + s + "398" + s + "509" + s + "481" + s + "984 Ko", w.TotalPhys);
  EXPECT_EQ("0 %", w.MemoryLoad);
}

TEST_F(SystemTest, TheSessionQueryAsksTheHandler) {
  TVEKWindows w;
  int result = 7;
  EXPECT_FALSE(w.AppHook(smQueryEndSession, true, result));
  EXPECT_EQ(7, result);  // no handler: nothing happens

  std::vector<bool> flagsSeen;
  bool answer = true;
  w.OnQueryEndSession = [&](TVEKWindows* Sender, bool& CanEnd) {
    EXPECT_EQ(&w, Sender);
    flagsSeen.push_back(CanEnd);
    if (answer) CanEnd = true;
  };
  EXPECT_FALSE(w.AppHook(smQueryEndSession, true, result));
  EXPECT_EQ(1, result);
  answer = false;
  EXPECT_FALSE(w.AppHook(smQueryEndSession, true, result));
  EXPECT_EQ(0, result);
  EXPECT_THAT(flagsSeen, ElementsAre(false, false));

  // A cancelled ending and other messages leave the program running.
  result = 5;
  EXPECT_FALSE(w.AppHook(smEndSession, false, result));
  EXPECT_FALSE(w.AppHook(smOther, true, result));
  EXPECT_EQ(5, result);
}

// ---------------------------------------------------------------------------
// TVEKApplication

TEST_F(SystemTest, PathsExtensionAndLogName) {
  struct TCase {
    const char* Exe;
    const char* Path;
    const char* Parent;
    const char* Ext;
    const char* Log;
  };
  const TCase cases[] = {
      {"/no-such-root/Tools/Brevant.exe", "/no-such-root/Tools/", "/no-such-root/", ".exe",
       "/no-such-root/Tools/Brevant.log"},
      {"/no-such-root/Tools/Brevant", "/no-such-root/Tools/", "/no-such-root/", "", "/no-such-root/Tools/Brevant.log"},
      {"/no-such-root/v1.2/Brevant", "/no-such-root/v1.2/", "/no-such-root/", "", "/no-such-root/v1.2/Brevant.log"},
      {"/no-such-root/a.b.c", "/no-such-root/", "/", ".c", "/no-such-root/a.b.log"},
      {"/no-such-root.exe", "/", "/", ".exe", "/no-such-root.log"},
  };
  for (const TCase& c : cases) {
    Process.Exe = c.Exe;
    TVEKApplication a;
    EXPECT_EQ(c.Exe, a.ExeName);
    EXPECT_EQ(c.Path, a.ExePath) << c.Exe;
    EXPECT_EQ(c.Parent, a.ParentPath) << c.Exe;
    EXPECT_EQ(c.Ext, a.ExeExt) << c.Exe;
    EXPECT_EQ(c.Log, a.LogFile->FileName) << c.Exe;
  }
}

TEST_F(SystemTest, TheExecutableIsSpelledAsStoredAndItsVersionRead) {
  TTempDir dir;
  fs::create_directory(dir.File("Tools"));
  dir.Write("Tools/Brevant", "not a program");
  Process.Exe = dir.Path() + "/TOOLS/brevant";
  // On a file system that folds case the stored spelling is taken.
  const TFolderIgnoresCaseProc saved = FolderIgnoresCaseProc;
  FolderIgnoresCaseProc = [](const std::string&) { return true; };
  TVEKApplication a;
  FolderIgnoresCaseProc = saved;
  EXPECT_EQ(dir.Path() + "/Tools/Brevant", a.ExeName);
  EXPECT_EQ(dir.Path() + "/Tools/Brevant.log", a.LogFile->FileName);
  EXPECT_EQ("Brevant", a.Title);
  EXPECT_EQ("0.0.0", a.Version);  // no version block
  EXPECT_EQ("Brevant 0.0.0", a.FullTitle);

  Process.Exe = dir.Path() + "/missing";
  TVEKApplication b;
  EXPECT_EQ(FileVersionText(b.ExeName), b.Version);
  EXPECT_NE("0.0.0", b.Version);
  EXPECT_EQ("Brevant " + b.Version, b.FullTitle);
}

TEST_F(SystemTest, ParamsAreUpperCasedAsciiOnly) {
  TVEKApplication none;
  EXPECT_TRUE(none.Params.empty());
  EXPECT_FALSE(LogActive);

  Process.Params = {"my file.txt", "/d\xC3\xA9j\xC3\xA0", "-x=ab_Z9"};
  TVEKApplication a;
  EXPECT_THAT(a.Params, ElementsAre("MY FILE.TXT", "/D\xC3\xA9J\xC3\xA0", "-X=AB_Z9"));
}

TEST_F(SystemTest, LogSwitchTable) {
  struct TCase {
    std::vector<std::string> Params;
    bool Before;
    bool After;
  };
  const TCase cases[] = {
      {{}, false, false},
      {{}, true, true},
      {{"/nologfile", "/logfile"}, false, true},
      {{"/LogFile", "x", "/NOLOGFILE"}, false, true},
      {{"/NOLOGFILE"}, true, false},
      {{"/LOGFILE=1", "-LOGFILE", "LOGFILE", "/LOG", " /LOGFILE"}, false, false},
      {{"/NOLOGFILE=1", "/NOLOG"}, true, true},
  };
  for (const TCase& c : cases) {
    Process.Params = c.Params;
    LogActive = c.Before;
    TVEKApplication a;
    EXPECT_EQ(c.After, LogActive) << ::testing::PrintToString(c.Params);
    EXPECT_FALSE(a.InsideIDE);
  }

  // Inside the development environment's process logging stays off.
  auto* builder = new QObject(Application);
  builder->setObjectName("appBuilder");
  Process.Params = {"/LOGFILE"};
  LogActive = true;
  {
    TVEKApplication a;
    EXPECT_TRUE(a.InsideIDE);
    EXPECT_FALSE(LogActive);
  }
  delete builder;
}

TEST_F(SystemTest, DevelopmentEnvironmentAndDebugger) {
  Process.Windows = {"TAlignPalette", "TAppBuilder"};
  Process.Debugged = true;
  {
    TVEKApplication a;
    EXPECT_FALSE(a.IDERunning);
    EXPECT_TRUE(a.DebuggerPresent);
    EXPECT_THAT(Process.WindowQueries, ElementsAre("TAlignPalette", "TPropertyInspector"));
  }
  Process.Windows.push_back("TPropertyInspector");
  TVEKApplication b;
  EXPECT_TRUE(b.IDERunning);
}

TEST_F(SystemTest, ConstructionErrorsAreRaisedAgain) {
  Process.ParamsError = "command line unreadable";
  try {
    TVEKApplication a;
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ("command line unreadable", e.Message());
  }
  // Start-up: the system object stays, the application object does not come.
  EXPECT_THROW(InitVEKSystem(), Exception);
  EXPECT_NE(nullptr, VEKWindows);
  EXPECT_EQ(nullptr, VEKApplication);
}

TEST_F(SystemTest, Priority) {
  TVEKApplication a;
  const std::pair<std::uint32_t, TVEKPriority> reads[] = {
      {pcHigh, prHigh},          {pcIdle, prIdle},          {pcNormal, prNormal}, {pcRealTime, prRealTime},
      {pcAboveNormal, prNormal}, {pcBelowNormal, prNormal}, {0x1234, prNormal}};
  for (auto [cls, priority] : reads) {
    Process.PriorityClass = cls;
    EXPECT_EQ(priority, a.GetPriority()) << cls;
  }
  const std::pair<TVEKPriority, std::uint32_t> sets[] = {
      {prHigh, pcHigh}, {prIdle, pcIdle}, {prNormal, pcNormal}, {prRealTime, pcRealTime}};
  for (auto [priority, cls] : sets) {
    a.SetPriority(priority);
    EXPECT_EQ(cls, Process.PriorityClass);
  }

  Process.SetError = EACCES;
  try {
    a.SetPriority(prHigh);
    ADD_FAILURE() << "no error";
  } catch (const EOSError& e) {
    EXPECT_EQ("System Error.  Code: " + std::to_string(EACCES) + ".\r\n" + SysErrorMessage(EACCES), e.Message());
    EXPECT_EQ(EACCES, e.ErrorCode);
  }
  EXPECT_EQ(pcRealTime, Process.PriorityClass);
  Process.SetError = 0;
  try {
    a.SetPriority(prIdle);
    ADD_FAILURE() << "no error";
  } catch (const EOSError& e) {
    EXPECT_EQ("A call to an OS function failed", e.Message());
  }
  Process.GetError = EPERM;
  EXPECT_THROW(a.GetPriority(), EOSError);
}

TEST_F(SystemTest, ShowAndLogShowsAlsoWhenLoggingIsOff) {
  TTempDir dir;
  Process.Exe = dir.File("Brevant");
  TVEKApplication a;
  Application->SetTitle("Brevant Updates");
  a.ShowAndLog("Handler failed\r\nsecond line");
  Application->SetTitle("Brevant");
  ASSERT_EQ(1u, TMessageBox::History().size());
  EXPECT_EQ("Handler failed\r\nsecond line", TMessageBox::History()[0].Text);
  EXPECT_EQ("Brevant Updates", TMessageBox::History()[0].Caption);
  EXPECT_TRUE(a.LogFile->Lines.empty());

  a.LogFile->SetActive(true);
  a.ShowAndLog("Handler failed again");
  EXPECT_EQ(2u, TMessageBox::History().size());
  ASSERT_FALSE(a.LogFile->Lines.empty());
  EXPECT_THAT(a.LogFile->Lines.back(), HasSubstr("[ INFO   ] Handler failed again"));
}

// ---------------------------------------------------------------------------
// Start-up and shut-down

TEST_F(SystemTest, StartUpCreatesEachObjectOnceAndLogsOneOpening) {
  TTempDir dir;
  Process.Exe = dir.File("Brevant");
  Process.Params = {"/logfile"};
  Info.User = {false, "", 0};
  InitVEKSystem();
  ASSERT_NE(nullptr, VEKWindows);
  ASSERT_NE(nullptr, VEKApplication);
  EXPECT_TRUE(VEKApplication->LogFile->Active());
  TVEKWindows* const windows = VEKWindows;
  TVEKApplication* const application = VEKApplication;
  const std::size_t lines = VEKApplication->LogFile->Lines.size();
  const int refreshes = Info.MemoryCalls;

  InitVEKSystem();
  EXPECT_EQ(windows, VEKWindows);
  EXPECT_EQ(application, VEKApplication);
  EXPECT_EQ(lines, VEKApplication->LogFile->Lines.size());
  EXPECT_EQ(refreshes, Info.MemoryCalls);

  FinalizeVEKSystem();
  EXPECT_EQ(nullptr, VEKWindows);
  EXPECT_EQ(nullptr, VEKApplication);
  FinalizeVEKSystem();

  // The saved log has one opening block, whose USER line shows the failure.
  const std::string log = ReadWholeFile(dir.File("Brevant.log"));
  const std::string failed = "A call to an OS function failed";
  const auto at = log.find(failed);
  ASSERT_NE(std::string::npos, at) << log;
  EXPECT_EQ(std::string::npos, log.find(failed, at + 1)) << log;
  const std::size_t lineStart = log.rfind('\n', at);
  EXPECT_THAT(log.substr(lineStart + 1, at - lineStart - 1), HasSubstr("USER"));
}

TEST_F(SystemTest, WithoutTheSwitchLoggingStaysOff) {
  TTempDir dir;
  Process.Exe = dir.File("Brevant");
  InitVEKSystem();
  EXPECT_FALSE(VEKApplication->LogFile->Active());
  FinalizeVEKSystem();
  EXPECT_FALSE(fs::exists(dir.File("Brevant.log")));
}

// ---------------------------------------------------------------------------
// Readers of the Linux sources

TEST(LinuxSources, KernelRelease) {
  auto parsed = [](const std::string& release) {
    std::uint32_t a = 9, b = 9, c = 9;
    ParseKernelRelease(release, a, b, c);
    return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
  };
  EXPECT_EQ("6.1.0", parsed("6.1.0-18-amd64"));
  EXPECT_EQ("6.18.44", parsed("6.18.44-fc-v1300"));
  EXPECT_EQ("5.15.133", parsed("5.15.133.1-microsoft-standard-WSL2"));
  EXPECT_EQ("6.8.0", parsed("6.8"));
  EXPECT_EQ("6.0.0", parsed("6.rc1"));
  EXPECT_EQ("0.0.0", parsed(""));
  EXPECT_EQ("0.0.0", parsed("-1.2.3"));
  EXPECT_EQ("4294967295.1.0", parsed("99999999999999999999999.1.0"));
}

TEST(LinuxSources, OsRelease) {
  const std::string content =
      "NAME=\"Debian GNU/Linux\"\n"
      "# PRETTY_NAME=\"commented\"\n"
      "  PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\r\n"
      "ID=debian\n"
      "VERSION='12 (bookworm)'\n"
      "QUOTED=\"say \\\"hi\\\" \\\\ $x\"\n"
      "OPEN=\"never closed\n"
      "BARE=plain text  \n"
      "PRETTY=wrong key\n";
  EXPECT_EQ("Debian GNU/Linux 12 (bookworm)", OsReleaseValue(content, "PRETTY_NAME"));
  EXPECT_EQ("debian", OsReleaseValue(content, "ID"));
  EXPECT_EQ("12 (bookworm)", OsReleaseValue(content, "VERSION"));
  EXPECT_EQ("say \"hi\" \\ $x", OsReleaseValue(content, "QUOTED"));
  EXPECT_EQ("", OsReleaseValue(content, "OPEN"));
  EXPECT_EQ("plain text", OsReleaseValue(content, "BARE"));
  EXPECT_EQ("", OsReleaseValue(content, "VERSION_ID"));
  EXPECT_EQ("", OsReleaseValue("PRETTY_NAME", "PRETTY_NAME"));
  EXPECT_EQ("b", OsReleaseValue("K=a\nK=b", "K"));
}

TEST(LinuxSources, UserDirs) {
  const std::string content =
      "# written by xdg-user-dirs-update\n"
      "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n"
      "XDG_DOCUMENTS_DIR=\"/data/My \\\"Docs\\\"\"\n"
      "XDG_PICTURES_DIR=\"Pictures\"\n"
      "XDG_MUSIC_DIR=\"$HOMEWORK/Music\"\n"
      "XDG_TEMPLATES_DIR=\"$HOME\"\n"
      "XDG_VIDEOS_DIR=$HOME/Videos\n"
      "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\n"
      "XDG_PUBLICSHARE_DIR=\"/first\"\n"
      "XDG_PUBLICSHARE_DIR=\"/second\"\n";
  const std::string home = "/home/t";
  EXPECT_EQ("/home/t/Bureau", UserDirsValue(content, "XDG_DESKTOP_DIR", home));
  EXPECT_EQ("/data/My \"Docs\"", UserDirsValue(content, "XDG_DOCUMENTS_DIR", home));
  EXPECT_EQ("", UserDirsValue(content, "XDG_PICTURES_DIR", home));  // relative
  EXPECT_EQ("", UserDirsValue(content, "XDG_MUSIC_DIR", home));     // another variable
  EXPECT_EQ("/home/t", UserDirsValue(content, "XDG_TEMPLATES_DIR", home));
  EXPECT_EQ("", UserDirsValue(content, "XDG_VIDEOS_DIR", home));    // not quoted
  EXPECT_EQ("", UserDirsValue(content, "XDG_DOWNLOAD_DIR", home));  // quote not closed
  EXPECT_EQ("/second", UserDirsValue(content, "XDG_PUBLICSHARE_DIR", home));
  EXPECT_EQ("", UserDirsValue(content, "XDG_DESKTOP_DIR", ""));  // no home to put in
  EXPECT_EQ("", UserDirsValue("XDG_DESKTOP_DIR=\"\\", "XDG_DESKTOP_DIR", home));
}

TEST(LinuxSources, ProcFields) {
  const std::string meminfo =
      "MemTotal:       16318480 kB\n"
      "MemTotalX:      1 kB\n"
      "HugePages_Total:       7\n"
      "Bad:            12 MB\n"
      "Huge:           99999999999999999999 kB\n"
      "Big:            18014398509481984 kB\n";
  std::uint64_t v = 0;
  EXPECT_TRUE(ProcFieldBytes(meminfo, "MemTotal", v));
  EXPECT_EQ(std::uint64_t{16318480} * 1024, v);
  EXPECT_TRUE(ProcFieldBytes(meminfo, "HugePages_Total", v));
  EXPECT_EQ(7u, v);
  EXPECT_FALSE(ProcFieldBytes(meminfo, "MemAvailable", v));
  EXPECT_FALSE(ProcFieldBytes(meminfo, "Bad", v));
  EXPECT_FALSE(ProcFieldBytes(meminfo, "Huge", v));
  EXPECT_FALSE(ProcFieldBytes(meminfo, "Big", v));  // times 1024 does not fit
  EXPECT_FALSE(ProcFieldBytes(meminfo, "Mem", v));
  EXPECT_TRUE(ProcFieldNumber("Name:\tx\nTracerPid:\t4711\n", "TracerPid", v));
  EXPECT_EQ(4711u, v);
  EXPECT_FALSE(ProcFieldNumber("TracerPid:\t\n", "TracerPid", v));
  EXPECT_FALSE(ProcFieldNumber("TracerPid:\t12 kB\n", "TracerPid", v));
}

// ---------------------------------------------------------------------------
// The Linux services themselves

// Sets environment variables for one scope and restores them.
class TEnvScope {
 public:
  void Set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    FSaved.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~TEnvScope() {
    for (auto it = FSaved.rbegin(); it != FSaved.rend(); ++it)
      if (it->second)
        setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        unsetenv(it->first.c_str());
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> FSaved;
};

TEST(PosixSystemInfo, VersionNamesAndFolders) {
  TPosixSystemInfo sys;
  const TOSVersionRecord v = sys.VersionRecord();
  utsname u{};
  ASSERT_EQ(0, uname(&u));
  EXPECT_EQ(u.sysname, v.SystemName);
  EXPECT_EQ(2u, v.PlatformId);
  EXPECT_EQ(0u, std::string(u.release).rfind(std::to_string(v.Major) + "." + std::to_string(v.Minor) + ".", 0))
      << u.release;

  char host[300] = {};
  ASSERT_EQ(0, gethostname(host, sizeof host - 1));
  const TOSCallResult computer = sys.ComputerName();
  EXPECT_TRUE(computer.Ok);
  EXPECT_EQ(host, computer.Text);
  const TOSCallResult user = sys.UserName();
  EXPECT_TRUE(user.Ok);
  EXPECT_NE("", user.Text);
  EXPECT_TRUE(sys.WindowsDir().Ok);
  EXPECT_EQ("", sys.SystemDir().Text);

  TEnvScope env;
  env.Set("TMPDIR", "/var/tmp");
  EXPECT_EQ("/var/tmp/", sys.TempDir().Text);
  env.Set("TMPDIR", "/var/tmp/");
  EXPECT_EQ("/var/tmp/", sys.TempDir().Text);
  env.Set("TMPDIR", nullptr);
  EXPECT_EQ("/tmp/", sys.TempDir().Text);

  env.Set("SYSTEM_INFO_TEST_MARK", "a=b");
  const auto list = sys.EnvironmentStrings();
  EXPECT_EQ(1, std::count(list.begin(), list.end(), "SYSTEM_INFO_TEST_MARK=a=b"));
}

TEST(PosixSystemInfo, ShellFoldersFollowTheXdgRules) {
  TTempDir dir;
  TEnvScope env;
  env.Set("HOME", (dir.Path() + "/").c_str());
  env.Set("XDG_CONFIG_HOME", (dir.Path() + "/conf/").c_str());
  env.Set("XDG_DATA_HOME", "relative/ignored");
  env.Set("XDG_CACHE_HOME", nullptr);
  fs::create_directory(dir.File("conf"));
  dir.Write("conf/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\nXDG_PICTURES_DIR=\"/srv/pics/\"\n");
  TPosixSystemInfo sys;
  auto folder = [&](TShellFolder f) {
    std::string value = "stale";
    const TFolderRead r = sys.ShellFolder(f, value);
    return (r == TFolderRead::Found ? "found " : r == TFolderRead::Missing ? "missing " : "wrong ") + value;
  };
  const std::string home = dir.Path();
  EXPECT_EQ("found " + home + "/conf", folder(TShellFolder::AppData));
  EXPECT_EQ("found " + home + "/.local/share", folder(TShellFolder::LocalAppData));
  EXPECT_EQ("found " + home + "/.cache", folder(TShellFolder::Cache));
  EXPECT_EQ("found " + home + "/.local/share/fonts", folder(TShellFolder::Fonts));
  EXPECT_EQ("found " + home + "/.local/share/applications", folder(TShellFolder::Programs));
  EXPECT_EQ("found " + home + "/conf/autostart", folder(TShellFolder::Startup));
  EXPECT_EQ("found " + home + "/Bureau", folder(TShellFolder::Desktop));
  EXPECT_EQ("found " + home + "/Documents", folder(TShellFolder::Personal));
  EXPECT_EQ("found /srv/pics", folder(TShellFolder::MyPictures));
  EXPECT_EQ("found " + home + "/Templates", folder(TShellFolder::Templates));
  EXPECT_EQ("missing ", folder(TShellFolder::ProgramFilesDir));
  EXPECT_EQ("missing ", folder(TShellFolder::CommonAppData));
  EXPECT_EQ("missing ", folder(TShellFolder::Cookies));
}

// Every folder the system names lands in the field of its own name: with
// HOME, XDG_CACHE_HOME and the XDG user-dirs file of the test, each field
// holds a folder of its own; folders without an equivalent stay empty.
TEST(SystemFacts, ShellFoldersAreTheFoldersTheSystemNames) {
  TTempDir dir;
  TEnvScope env;
  const std::string home = dir.Path();
  env.Set("HOME", home.c_str());
  env.Set("XDG_CONFIG_HOME", nullptr);
  env.Set("XDG_DATA_HOME", nullptr);
  env.Set("XDG_CACHE_HOME", (home + "/cache").c_str());
  fs::create_directory(dir.File(".config"));
  dir.Write(".config/user-dirs.dirs",
            "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n"
            "XDG_PICTURES_DIR=\"$HOME/Bilder\"\nXDG_TEMPLATES_DIR=\"$HOME/Vorlagen\"\n");
  TVEKWindows w;
  EXPECT_EQ(home + "/.config", w.AppData);
  EXPECT_EQ(home + "/.local/share", w.LocalAppData);
  EXPECT_EQ(home + "/cache", w.Cache);
  EXPECT_EQ(home + "/.local/share/fonts", w.Fonts);
  EXPECT_EQ(home + "/.local/share/applications", w.Programs);
  EXPECT_EQ(home + "/.config/autostart", w.Startup);
  EXPECT_EQ(home + "/Schreibtisch", w.Desktop);
  EXPECT_EQ(home + "/Dokumente", w.Personal);
  EXPECT_EQ(home + "/Bilder", w.MyPictures);
  EXPECT_EQ(home + "/Vorlagen", w.Templates);
  EXPECT_EQ("", w.ProgramFilesDir);
  EXPECT_EQ("", w.CommonAppData);
  EXPECT_EQ("", w.StartMenu);
  EXPECT_EQ("", w.Cookies);
  EXPECT_STREQ("Common Start Menu", ShellFolderValueNames[static_cast<int>(TShellFolder::CommonStartMenu)]);
  EXPECT_STREQ("My Pictures", ShellFolderValueNames[static_cast<int>(TShellFolder::MyPictures)]);
}

TEST(PosixSystemInfo, ScreenAndMemory) {
  TPosixSystemInfo sys;
  TDisplayMode mode;
  ASSERT_TRUE(sys.DisplayMode(0, mode));  // the offscreen platform has one screen
  EXPECT_GT(mode.Width, 0);
  EXPECT_GT(mode.Height, 0);
  EXPECT_GT(mode.BitsPerPixel, 0);
  EXPECT_FALSE(sys.DisplayMode(1, mode));

  const TMemoryStatus m = sys.MemoryStatus();
  EXPECT_GT(m.TotalPhys, 0u);
  EXPECT_LE(m.AvailPhys, m.TotalPhys);
  EXPECT_LE(m.MemoryLoad, 100u);
  EXPECT_GE(m.TotalPageFile, m.TotalPhys);
  EXPECT_GE(m.AvailPageFile, m.AvailPhys);
  EXPECT_GT(m.AvailVirtual, 0u);
  EXPECT_LT(m.AvailVirtual, m.TotalVirtual);
  rlimit limit{};
  ASSERT_EQ(0, getrlimit(RLIMIT_AS, &limit));
  if (limit.rlim_cur == RLIM_INFINITY) {
    EXPECT_GE(m.TotalVirtual, std::uint64_t{1} << 46);
  }
}

// ---------------------------------------------------------------------------
// Signals and the session's end

// The places where tests put stand-ins keep one contract: installing returns
// the service it replaces (null for the platform's own) and null brings the
// platform's own back.
template <class TService, class TStandIn>
void ExpectSwapPoint(TService& (*Current)(), TService* (*Install)(TService*)) {
  TService& own = Current();
  TStandIn first, second;
  EXPECT_EQ(Install(&first), nullptr);
  EXPECT_EQ(&Current(), &first);
  EXPECT_EQ(Install(&second), &first);
  EXPECT_EQ(Install(nullptr), &second);
  EXPECT_EQ(&Current(), &own);
}

TEST(SwapPoints, ReturnTheServiceTheyReplaceAndNullRestoresThePlatformsOwn) {
  ExpectSwapPoint<TSystemInfo, TFakeSystemInfo>(CurrentSystemInfo, SetCurrentSystemInfo);
  ExpectSwapPoint<TProcessServices, TFakeProcessServices>(CurrentProcessServices, SetCurrentProcessServices);
  ExpectSwapPoint<TVEKLogStorage, TVEKFileSystemLogStorage>(VEKLogStorage, SetVEKLogStorage);
}

struct TEnding {
  const char* Mode;
  int Signal;  // 0: none sent
  int ExitCode;
  friend std::ostream& operator<<(std::ostream& out, const TEnding& e) {
    return out << e.Mode << " signal " << e.Signal << " exit " << e.ExitCode;
  }
};

class ProgramEndTest : public ::testing::TestWithParam<TEnding> {};

TEST_P(ProgramEndTest, RunsTheShutDownAndSavesTheLog) {
  const TEnding e = GetParam();
  TTempDir dir;
  TChildProcess child({SIGNAL_HELPER_EXE, dir.Path(), e.Mode}, {"QT_QPA_PLATFORM=offscreen"}, dir.File("output.txt"));
  if (e.Signal) {
    WaitUntil([&] { return fs::exists(dir.File("ready")) || !child.Running(); }, std::chrono::seconds(60));
    ASSERT_TRUE(fs::exists(dir.File("ready"))) << ReadWholeFile(dir.File("output.txt"));
    child.Signal(e.Signal);
  }
  const auto code = child.Wait(std::chrono::seconds(60));
  ASSERT_TRUE(code.has_value()) << "still running";
  EXPECT_EQ(e.ExitCode, *code) << ReadWholeFile(dir.File("output.txt"));
  EXPECT_EQ("logging\n", ReadWholeFile(dir.File("ready")));
  EXPECT_EQ("shut down, objects released\n", ReadWholeFile(dir.File("marker")));
  // The log was saved by the shut-down: the opening block holds the user,
  // and the closing block ends the file.
  const std::string log = ReadWholeFile(dir.File("Helper.log"));
  EXPECT_THAT(log, HasSubstr("# USER     : tester\r\n"));
  EXPECT_TRUE(std::regex_search(log, std::regex("# STOP LOGGING at [^\r\n]+\r\n# -{89}\r\n# \r\n$"))) << log;
}

INSTANTIATE_TEST_SUITE_P(Endings, ProgramEndTest,
                         ::testing::Values(TEnding{"wait", SIGTERM, 128 + SIGTERM},
                                           TEnding{"wait", SIGHUP, 128 + SIGHUP}, TEnding{"wait", SIGINT, 128 + SIGINT},
                                           TEnding{"resignal", SIGTERM, 128 + SIGTERM}, TEnding{"endsession", 0, 0}),
                         [](const auto& info) {
                           return std::string(info.param.Mode) + "_" + std::to_string(info.param.Signal);
                         });

}  // namespace

namespace {

TEST(ProgramEndTest, ASignalIgnoredAtTheStartStaysIgnored) {
  // Started through nohup: SIGHUP does nothing, SIGTERM still ends the
  // program through its shut-down. Had SIGHUP been taken, the exit status
  // would be 129: the signals are handled in the order they were sent.
  TTempDir dir;
  TChildProcess child({"nohup", SIGNAL_HELPER_EXE, dir.Path(), "wait"}, {"QT_QPA_PLATFORM=offscreen"},
                      dir.File("output.txt"));
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir.File("ready")) || !child.Running(); }, std::chrono::seconds(60)));
  ASSERT_TRUE(child.Running()) << ReadWholeFile(dir.File("output.txt"));
  child.Signal(SIGHUP);
  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(std::chrono::seconds(60)), 128 + SIGTERM);
  EXPECT_EQ("shut down, objects released\n", ReadWholeFile(dir.File("marker")));
}

}  // namespace

namespace {

// A name server on 127.0.0.1:53 that reads and never answers.
class TSilentNameServer {
 public:
  TSilentNameServer() {
    FFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (FFd >= 0 && ::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(FFd);
      FFd = -1;
    }
  }
  ~TSilentNameServer() {
    if (FFd >= 0) ::close(FFd);
  }
  bool Listening() const { return FFd >= 0; }
  // Whether a query has arrived (it is read, never answered).
  bool Asked() const {
    char buf[512];
    return ::recv(FFd, buf, sizeof buf, 0) >= 0;
  }

 private:
  int FFd = -1;
};

// Runs the address helper in a mount namespace of its own, where
// /etc/hosts and /etc/resolv.conf are the given texts.
std::optional<std::string> AddressesWith(const TTempDir& dir, const std::string& hosts) {
  const std::string hostsFile = dir.Write("hosts", hosts);
  const std::string resolvFile = dir.Write("resolv.conf", "nameserver 127.0.0.1\noptions timeout:5 attempts:2\n");
  return RunAndRead({"unshare", "--mount", "sh", "-c",
                     "mount --bind \"$1\" /etc/hosts && mount --bind \"$2\" /etc/resolv.conf && exec \"$3\"", "sh",
                     hostsFile, resolvFile, HOST_ADDRESS_HELPER_EXE},
                    {}, std::chrono::seconds(60));
}

TEST(HostAddresses, ComeFromTheHostsFileOrTheInterfacesAndNeverAskANameServer) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace and port 53";
  TSilentNameServer dns;
  if (!dns.Listening()) GTEST_SKIP() << "port 53 of 127.0.0.1 is taken";
  if (!RunAndRead({"unshare", "--mount", "true"}, {}, std::chrono::seconds(30)))
    GTEST_SKIP() << "mount namespaces are not available here";
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  std::string upper = host;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  TTempDir dir;

  // Listed in the hosts file (in another case, among aliases): its entries.
  auto out = AddressesWith(dir, "# comment " + std::string(host) + "\n127.0.0.1 localhost\n10.1.2.3 alias " + upper +
                                    " # here\n::1 " + host + "\n10.9.8.7\t" + host + "\n");
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, "10.1.2.3\n10.9.8.7\n");

  // Not listed: the machine's own interfaces, at least the loopback one.
  out = AddressesWith(dir, "127.0.0.1 localhost\n");
  ASSERT_TRUE(out.has_value());
  EXPECT_TRUE(std::regex_match(*out, std::regex("([0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+\n)+"))) << *out;
  EXPECT_THAT(*out, HasSubstr("127.0.0.1\n"));

  EXPECT_FALSE(dns.Asked());
}

}  // namespace

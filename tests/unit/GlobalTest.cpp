#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <QObject>

#include "base/Shutdown.h"
#include "diag/U_VEK_Global.h"
#include "platform/DirEnum.h"
#include "platform/Shell.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

// Test objects, outside any namespace: their class names appear in texts.
struct TPlainBase {
  virtual ~TPlainBase() noexcept(false) {}
};
struct TPlainThrower : TPlainBase {
  ~TPlainThrower() noexcept(false) override { throw Exception("disk gone"); }
};
struct TStdThrower : TPlainBase {
  ~TStdThrower() noexcept(false) override { throw std::runtime_error("bad state"); }
};
struct TFlatThrower {  // not polymorphic: the static type names it
  ~TFlatThrower() noexcept(false) { throw Exception("flat"); }
};
struct TCounted : TPlainBase {
  static inline int Alive = 0;
  TCounted() { ++Alive; }
  ~TCounted() override { --Alive; }
};

// A component another variable refers to; its destructor releases that
// variable with SafeFreeAndNil, as the library's destructors do.
class TRegisteredComponent : public QObject, public TPlainBase {
  Q_OBJECT
 public:
  static inline QObject* Registry = nullptr;
  static inline bool RegistryKept = false;
  TPlainBase* Owned = new TCounted;
  ~TRegisteredComponent() noexcept override {
    MarkBeingDestroyed(this);
    SafeFreeAndNil(Registry);
    RegistryKept = Registry == this;
    SafeFreeAndNil(Owned);
  }
};

namespace {

TApplication* TestApp = nullptr;

class TAppEnvironment : public ::testing::Environment {
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static int argc = 1;
    static char arg0[] = "GlobalTest";
    static char* argv[] = {arg0, nullptr};
    TestApp = new TApplication(argc, argv);
  }
  void TearDown() override {
    delete TestApp;
    TestApp = nullptr;
  }
};
[[maybe_unused]] ::testing::Environment* const Env = ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

std::vector<std::string> Logged;

// Answers every box and records RaiseError's log entries.
class TBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TMessageBox::ClearHistory();
    TMessageBox::SetAutoAnswer(true);
    Logged.clear();
    RaiseErrorLogHook = [](const std::string& msg) { Logged.push_back(msg); };
    Application->SetTitle("Brevant Test");
  }
  void TearDown() override {
    TMessageBox::SetAutoAnswer(false);
    RaiseErrorLogHook = nullptr;
    ShellExecuteProc = &ShellExecute;
  }
  // The text of the one box shown: an error box with the application's
  // title, whose text the log holds too.
  static std::string OnlyErrorBox() {
    const auto& shown = TMessageBox::History();
    if (shown.size() != 1) return "<" + std::to_string(shown.size()) + " boxes>";
    EXPECT_EQ("Brevant Test", shown[0].Caption);
    EXPECT_EQ(TMsgIcon::Error, shown[0].Icon);
    EXPECT_EQ(std::vector<std::string>{shown[0].Text}, Logged);
    return shown[0].Text;
  }
};

TEST(IndentText, IndentsAfterCrLfPairsOnly) {
  EXPECT_EQ("line one\r\n    line two", IndentText("line one\r\nline two", 0, 4, ' '));
  EXPECT_EQ("ends\r\n    ", IndentText("ends\r\n", 0, 4, ' '));
  EXPECT_EQ("\r\n#", IndentText("\r\n", 0, 1, '#'));
  EXPECT_EQ("-a\r\n--\r\n--b", IndentText("a\r\n\r\nb", 1, 2, '-'));
  EXPECT_EQ("..a\nb\rc\n\rd", IndentText("a\nb\rc\n\rd", 2, 4, '.'));
  EXPECT_EQ("x\r\ny", IndentText("x\r\ny", -3, -1, ' '));
}

using TRaiseErrorTest = TBoxTest;

TEST_F(TRaiseErrorTest, LogsShowsBoxAndAbortsAlsoAfterTerminate) {
  const bool terminated = Application->Terminated();  // false but in a repeated run
  EXPECT_THROW(RaiseError("Disk full\r\nTry again", false, smTerminate), EAbort);
  EXPECT_EQ("Disk full\r\nTry again", OnlyErrorBox());
  EXPECT_EQ(terminated, Application->Terminated());
  EXPECT_THROW(RaiseError("stop", true, smTerminate), EAbort);
  EXPECT_TRUE(Application->Terminated());
}

TEST_F(TRaiseErrorTest, HaltRunsTheShutDownAndExitsWithZero) {
  EXPECT_EXIT(
      {
        AddShutdownProc([] {
          std::fprintf(stderr, "shut down after %zu box\n", TMessageBox::History().size());
          delete TestApp;  // nothing else would free it before the exit
        });
        try {
          RaiseError("fatal", true, smHalt);
        } catch (...) {
        }
        std::_Exit(3);
      },
      ::testing::ExitedWithCode(0), "shut down after 1 box");
}

TEST_F(TRaiseErrorTest, WithoutApplicationOrOffTheGuiThreadWritesToStderr) {
  ::testing::internal::CaptureStderr();
  std::thread([] { EXPECT_THROW(RaiseError("from a worker", false, smTerminate), EAbort); }).join();
  EXPECT_EQ("Brevant Test: from a worker\n", ::testing::internal::GetCapturedStderr());
  EXPECT_TRUE(TMessageBox::History().empty());
  EXPECT_EQ(std::vector<std::string>{"from a worker"}, Logged);

  EXPECT_EXIT(
      {
        delete TestApp;
        try {
          RaiseError("no window", true, smTerminate);
        } catch (const EAbort&) {
          std::fputs("aborted\n", stderr);
        }
        std::_Exit(TMessageBox::History().empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "(^|\n)no window\naborted\n");
}

using TSafeFreeAndNilTest = TBoxTest;

TEST_F(TSafeFreeAndNilTest, FreesAndClears) {
  TPlainBase* p = nullptr;
  SafeFreeAndNil(p);
  EXPECT_EQ(nullptr, p);
  p = new TCounted;
  SafeFreeAndNil(p);
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(0, TCounted::Alive);
  EXPECT_TRUE(TMessageBox::History().empty());
}

TEST_F(TSafeFreeAndNilTest, ThrowingDestructorIsReportedAndTheObjectFreed) {
  TPlainBase* p = new TPlainThrower;
  EXPECT_THROW(SafeFreeAndNil(p), EAbort);
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ("Error on destroying objet [TPlainThrower] :\r\n\r\ndisk gone", OnlyErrorBox());

  auto text = [](auto* q) {
    TMessageBox::ClearHistory();
    EXPECT_THROW(SafeFreeAndNil(q), EAbort);
    return TMessageBox::History().empty() ? std::string() : TMessageBox::History().back().Text;
  };
  EXPECT_EQ("Error on destroying objet [TStdThrower] :\r\n\r\nbad state",
            text(static_cast<TPlainBase*>(new TStdThrower)));
  EXPECT_EQ("Error on destroying objet [TFlatThrower] :\r\n\r\nflat", text(new TFlatThrower));
}

TEST_F(TSafeFreeAndNilTest, Components) {
  // A QObject's destructor cannot throw, so its description is checked alone.
  {
    TRegisteredComponent named;
    named.setObjectName("MainLog");
    std::string d;
    EXPECT_TRUE(VEKDescribeForFree(&named, typeid(named), d));
    EXPECT_EQ("MainLog: TRegisteredComponent", d);
    named.setObjectName("");
    EXPECT_TRUE(VEKDescribeForFree(&named, typeid(named), d));
    EXPECT_EQ(": TRegisteredComponent", d);
  }

  // Being destroyed: the variable keeps it, nothing is freed twice.
  auto* c = new TRegisteredComponent;
  TRegisteredComponent::Registry = c;
  delete c;
  EXPECT_TRUE(TRegisteredComponent::RegistryKept);
  TRegisteredComponent::Registry = nullptr;
  // Also when it is held through a base that is no QObject.
  auto* mixed = new TRegisteredComponent;
  MarkBeingDestroyed(mixed);
  TPlainBase* base = mixed;
  SafeFreeAndNil(base);
  EXPECT_EQ(mixed, base);
  delete mixed;
  EXPECT_EQ(0, TCounted::Alive);
}

QObject* AppVariable = nullptr;
class TAppChild : public QObject {
 public:
  using QObject::QObject;
  ~TAppChild() override {
    SafeFreeAndNil(AppVariable);
    std::fputs(AppVariable ? "kept" : "freed", stderr);
  }
};

TEST_F(TSafeFreeAndNilTest, ApplicationCountsOnceItsDestructionBegan) {
  EXPECT_FALSE(IsBeingDestroyed(TestApp));
  EXPECT_EXIT(
      {
        AppVariable = TestApp;
        new TAppChild(TestApp);  // goes while the application object is destroyed
        delete TestApp;
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "kept");
}

TEST(CreateEmptyFile, CreatesEmptiesOrRaises) {
  TTempDir dir;
  CreateEmptyFile(dir.File("new.log"));
  EXPECT_EQ("", ReadWholeFile(dir.File("new.log")));
  EXPECT_EQ(0, ::access(dir.File("new.log").c_str(), F_OK));
  const std::string old = dir.Write("old.log", "previous content");
  CreateEmptyFile(old);
  EXPECT_EQ("", ReadWholeFile(old));
  try {
    CreateEmptyFile(dir.File("missing/x.log"));
    ADD_FAILURE();
  } catch (const EInOutError& e) {
    EXPECT_EQ("Cannot create file \"" + dir.File("missing/x.log") + "\". No such file or directory", e.Message());
    EXPECT_EQ(ENOENT, e.ErrorCode);
  }
  EXPECT_THROW(CreateEmptyFile(dir.Path()), EInOutError);
}

TEST(ExpandLongPath, SpellsComponentsAsStoredAndTellsCaseApartWhereTheFileSystemDoes) {
  TTempDir t;
  const std::string root = t.Path();
  ::mkdir(t.File("Long Folder Name").c_str(), 0755);
  t.Write("Long Folder Name/MixedCase.Exe", "");
  ::mkdir(t.File("data").c_str(), 0755);
  ::mkdir(t.File("DATA").c_str(), 0755);
  t.Write("a?b", "");

  // The test folder lies on a file system that tells case apart: a name in
  // another case is another file, so the path stays as given from there on.
  ASSERT_FALSE(FolderIgnoresCase(root));
  EXPECT_EQ(root + "/Long Folder Name/MixedCase.Exe", ExpandLongPath(root + "//Long Folder Name/MixedCase.Exe/"));
  EXPECT_EQ(root + "/long folder name/mixedcase.exe", ExpandLongPath(root + "/long folder name/mixedcase.exe"));
  EXPECT_EQ(root + "/Long Folder Name/mixedcase.exe", ExpandLongPath(root + "/Long Folder Name/mixedcase.exe"));
  EXPECT_EQ(root + "/data", ExpandLongPath(root + "/data"));
  EXPECT_EQ(root + "/DATA", ExpandLongPath(root + "/DATA"));
  EXPECT_EQ(root + "/A?B", ExpandLongPath(root + "/A?B"));

  // Where the file system folds case, the stored spelling is taken; one of
  // exactly the same case is preferred.
  const TFolderIgnoresCaseProc saved = FolderIgnoresCaseProc;
  FolderIgnoresCaseProc = [](const std::string&) { return true; };
  EXPECT_EQ(root + "/Long Folder Name/MixedCase.Exe", ExpandLongPath(root + "/long folder name/mixedcase.exe"));
  EXPECT_EQ(root + "/Long Folder Name", ExpandLongPath(root + "//LONG FOLDER NAME/"));
  EXPECT_EQ(root + "/data", ExpandLongPath(root + "/data"));
  EXPECT_EQ(root + "/DATA", ExpandLongPath(root + "/DATA"));
  EXPECT_EQ(root + "/a?b", ExpandLongPath(root + "/A?B"));
  // From a component that is not there on, the path stays as given.
  EXPECT_EQ(root + "/Long Folder Name/missing/mixedcase.exe/",
            ExpandLongPath(root + "/long folder name/missing/mixedcase.exe/"));
  FolderIgnoresCaseProc = saved;

  for (const char* unchanged : {"C:\\PROGRA~1\\Vendor\\app.exe", "docs/readme", "", "/"})
    EXPECT_EQ(unchanged, ExpandLongPath(unchanged));
}

// ---------------------------------------------------------------------------
// ExecuteFile with a stand-in shell call, then ShellExecute with a stand-in
// xdg-open first on PATH.

std::string ShellVerb, ShellParams;
int ShellResult = 0;
int FakeShell(const std::string& verb, const std::string&, const std::string& params, const std::string&, int) {
  ShellVerb = verb;
  ShellParams = params;
  return ShellResult;
}

using TExecuteFileTest = TBoxTest;

TEST_F(TExecuteFileTest, ReturnsAbove32AndReportsTheRest) {
  ShellExecuteProc = &FakeShell;
  ShellResult = 42;
  EXPECT_EQ(42, ExecuteFile("http://host/page", svOpen, "", "", 5));
  EXPECT_EQ("open", ShellVerb);
  EXPECT_EQ(42, ExecuteFile("notes.txt", svDefault, "-x", "", 1));
  EXPECT_EQ("", ShellVerb);
  EXPECT_EQ("-x", ShellParams);
  EXPECT_TRUE(TMessageBox::History().empty());

  ShellResult = 30;
  EXPECT_THROW(ExecuteFile("http://host/soft_download.php?productID=X", svOpen, "", "", 5), EAbort);
  EXPECT_EQ(
      "Error on executing :\r\n\r\n   File : //host/soft_download.php?productID=X\r\n   Params : \r\n"
      "   Path : http:\r\n\r\n   Message : 30",
      OnlyErrorBox());

  TMessageBox::ClearHistory();
  ShellResult = 32;
  EXPECT_THROW(ExecuteFile("C:\\Program Files\\App\\readme.txt", svOpen, "p q", "", 5), EAbort);
  ASSERT_EQ(1u, TMessageBox::History().size());
  EXPECT_EQ(
      "Error on executing :\r\n\r\n   File : readme.txt\r\n   Params : p q\r\n"
      "   Path : C:\\Program Files\\App\\\r\n\r\n   Message : File not found",
      TMessageBox::History()[0].Text);
}

class TShellTest : public TBoxTest {
 protected:
  TTempDir Bin, Work;
  std::string OldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  std::string Calls = Work.File("calls");

  void SetUp() override {
    TBoxTest::SetUp();
    ::setenv("PATH", (Bin.Path() + ":" + OldPath).c_str(), 1);
  }
  void TearDown() override {
    ::setenv("PATH", OldPath.c_str(), 1);
    TBoxTest::TearDown();
  }
  // The stand-in records its arguments and working folder, then runs `then`.
  void Opener(const std::string& then) {
    const std::string script = "#!/bin/sh\n{ echo \"argc=$#\"; pwd; for a in \"$@\"; do echo \"[$a]\"; done; } > '" +
                               Calls + ".tmp'\nmv '" + Calls + ".tmp' '" + Calls + "'\n" + then + "\n";
    ::chmod(Bin.Write("xdg-open", script).c_str(), 0755);
  }
};

TEST_F(TShellTest, DocumentArrivesAsOneUnchangedArgument) {
  Opener("exit 0");
  const std::string doc = "http://127.0.0.1/a?x=1&y=2; rm -rf \"$HOME\" $(touch PWNED) `touch PWNED` 'q' & echo hi";
  EXPECT_EQ(seSuccess, ShellExecute("open", doc, "--new-window extra", Work.Path(), 5));
  EXPECT_EQ("argc=1\n" + Work.Path() + "\n[" + doc + "]\n", ReadWholeFile(Calls));
  EXPECT_NE(0, ::access(Work.File("PWNED").c_str(), F_OK));

  EXPECT_EQ(seSuccess, ShellExecute("", "-help.txt", "", Work.Path(), 5));
  EXPECT_EQ("argc=1\n" + Work.Path() + "\n[./-help.txt]\n", ReadWholeFile(Calls));
}

TEST_F(TShellTest, VerdictOfTheOpener) {
  for (const auto& [then, expected] : std::vector<std::pair<std::string, int>>{{"exit 1", seBadFormat},
                                                                               {"exit 2", seFileNotFound},
                                                                               {"exit 3", seNoAssoc},
                                                                               {"kill -9 $$", seAssocIncomplete}}) {
    Opener(then);
    EXPECT_EQ(expected, ShellExecute("open", "doc.pdf", "", "", 5)) << then;
  }
  // Through ExecuteFile: the default shell call is this one.
  Opener("exit 2");
  EXPECT_THROW(ExecuteFile("/nowhere/missing.pdf", svOpen, "", "", 5), EAbort);
  EXPECT_EQ(
      "Error on executing :\r\n\r\n   File : /nowhere/missing.pdf\r\n   Params : \r\n   Path : \r\n\r\n"
      "   Message : File not found",
      OnlyErrorBox());
}

TEST_F(TShellTest, RefusedBeforeStarting) {
  Opener("exit 0");
  EXPECT_EQ(seNoAssoc, ShellExecute("print", "doc.pdf", "", "", 5));
  EXPECT_EQ(seFileNotFound, ShellExecute("open", "", "", "", 5));
  EXPECT_EQ(seFileNotFound, ShellExecute("open", std::string("a\0b", 3), "", "", 5));
  EXPECT_EQ(sePathNotFound, ShellExecute("open", "doc.pdf", "", Work.File("missing"), 5));
  EXPECT_NE(0, ::access(Calls.c_str(), F_OK));
  ::setenv("PATH", Work.Path().c_str(), 1);  // no xdg-open there
  EXPECT_EQ(seNoAssoc, ShellExecute("open", "doc.pdf", "", "", 5));
}

TEST_F(TShellTest, DoesNotWaitForARunningOpenerAndLeavesNoChild) {
  // Ends with 4 once released (at the latest after 10 s): waiting for it
  // would give seAssocIncomplete.
  const std::string release = Work.File("release"), done = Work.File("done");
  Opener("i=0; while [ ! -e '" + release + "' ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done; touch '" + done +
         "'; exit 4");
  EXPECT_EQ(seSuccess, ShellExecute("open", "doc.pdf", "", "", 5));
  EXPECT_EQ(-1, ::waitpid(-1, nullptr, WNOHANG));
  EXPECT_EQ(ECHILD, errno);
  ::close(::open(release.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  WaitUntil([&] { return ::access(done.c_str(), F_OK) == 0; }, std::chrono::seconds(15), std::chrono::milliseconds(50));
}

}  // namespace

#include "GlobalTest.moc"

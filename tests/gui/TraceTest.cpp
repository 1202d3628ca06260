// The procedure trace through the real log of a program "Traced" whose map
// is the one the build wrote for this test: the ENTER and LEAVE entries with
// their indentation and locations, the reports of handled exceptions, the
// Action table, the silent unwinding and the scoped helper.
#include <filesystem>
#include <memory>

#include <QtTest>

#include "base/Exceptions.h"
#include "diag/U_VEK_Debug.h"
#include "diag/U_VEK_Global.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_System.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "tests/support/FakeSystem.h"
#include "tests/support/TempDir.h"

// An abort of a class of its own: no exact EAbort.
class EDerivedAbort : public EAbort {};

// Outside any namespace: the locations read "TraceTest::TTraced.<name>".
class TTraced {
 public:
  void Outer();
  void Inner();
  void WithParams(const std::vector<TTypedValue>& Params);
  bool Failing(std::uint8_t Action, bool Derived, bool ShowErrors);
  void Chain();
  void Middle();
  void Innermost();
  void Scoped();
  void ScopedPlain();
  bool ScopedHandled();
  std::size_t DepthInside = 0;
};

__attribute__((noinline)) void TTraced::Outer() {
  VEKDebugger()->EnterProc(0, false);
  Inner();
  VEKDebugger()->LeaveProc();
}

__attribute__((noinline)) void TTraced::Inner() {
  VEKDebugger()->EnterProc(1, true);
  DepthInside = VEKDebug->ProcStack->size();
  VEKDebugger()->LeaveProc();
}

__attribute__((noinline)) void TTraced::WithParams(const std::vector<TTypedValue>& Params) {
  VEKDebugger()->EnterProcParams(Params, 7, true);
  DepthInside = VEKDebug->ProcStack->size();
  VEKDebugger()->LeaveProc();
}

__attribute__((noinline)) bool TTraced::Failing(std::uint8_t Action, bool Derived, bool ShowErrors) {
  VEKDebugger()->EnterProc(Action, ShowErrors);
  try {
    if (Derived) throw EDerivedAbort();
    throw Exception("failed inside");
  } catch (...) {
    return VEKDebugger()->HandleException();
  }
}

// Three traced levels; the innermost ends with the silent abort.
__attribute__((noinline)) void TTraced::Chain() {
  VEKDebugger()->EnterProc(1, false);
  try {
    Middle();
    VEKDebugger()->LeaveProc();
  } catch (...) {
    VEKDebugger()->HandleException();
  }
}

__attribute__((noinline)) void TTraced::Middle() {
  VEKDebugger()->EnterProc(1, false);
  try {
    Innermost();
    VEKDebugger()->LeaveProc();
  } catch (...) {
    VEKDebugger()->HandleException();
  }
}

__attribute__((noinline)) void TTraced::Innermost() {
  VEKDebugger()->EnterProc(2, false);
  try {
    throw Exception("deep failure");
  } catch (...) {
    VEKDebugger()->HandleException();
  }
}

__attribute__((noinline)) void TTraced::Scoped() {
  TVEKTraceScope trace({7});
  throw Exception("leaves the function");
}

__attribute__((noinline)) void TTraced::ScopedPlain() {
  TVEKTraceScope trace;
  DepthInside = VEKDebug->ProcStack->size();
}

__attribute__((noinline)) bool TTraced::ScopedHandled() {
  TVEKTraceScope trace({}, 1, false);
  try {
    throw Exception("handled");
  } catch (...) {
    return VEKDebugger()->HandleException();
  }
}

namespace {

// The texts of the log entries at one level ("ENTER ", "LEAVE ", "EXCEPT"),
// the prefix taken off.
std::vector<std::string> Entries(const char* Level) {
  const std::string marker = std::string("[ ") + Level + " ] ";
  std::vector<std::string> texts;
  for (const std::string& line : VEKApplication->LogFile->Lines) {
    const auto at = line.find(marker);
    if (line.rfind("# ", 0) == 0 && at != std::string::npos) texts.push_back(line.substr(at + marker.size()));
  }
  return texts;
}

const std::string TracedUnit = "TraceTest::TTraced.";

}  // namespace

class TraceTest : public QObject {
  Q_OBJECT
  std::unique_ptr<TTempDir> FDir;
  std::unique_ptr<TFakeSystemScope> FSystem;
  int FDisplays = 0;

 private slots:
  // A fresh library with the log on and the test's map, for every case.
  void init() {
    SafeFreeAndNil(VEKDebug);
    FinalizeVEKSystem();
    LogActive = false;
    FSystem.reset();
    FDir = std::make_unique<TTempDir>();
    FSystem = std::make_unique<TFakeSystemScope>();
    FSystem->Process.Exe = FDir->File("Traced");
    FSystem->Process.Params = {"/LOGFILE"};
    std::filesystem::copy_file(TVEKDebug::MapFileNameFor(QCoreApplication::applicationFilePath().toStdString()),
                               FDir->File("Traced.map"));
    InitVEKDebug();
    QVERIFY(VEKDebug->MapFile->Loaded());
    FDisplays = 0;
    VEKDebugger()->SetOnDisplayException([this](QObject*, const std::exception*) { ++FDisplays; });
    TMessageBox::ClearHistory();
  }
  void cleanupTestCase() {
    SafeFreeAndNil(VEKDebug);
    FinalizeVEKSystem();
    FSystem.reset();
    FDir.reset();
  }

  void nestedProceduresAreIndentedByDepth() {
    TTraced traced;
    traced.Outer();
    QCOMPARE(traced.DepthInside, std::size_t(2));
    QCOMPARE(Entries("ENTER "), (std::vector<std::string>{TracedUnit + "Outer", "  " + TracedUnit + "Inner"}));
    QCOMPARE(Entries("LEAVE "), (std::vector<std::string>{"  " + TracedUnit + "Inner", TracedUnit + "Outer"}));
    QCOMPARE(VEKDebug->Indent, 0);
    QVERIFY(VEKDebug->ProcStack->empty());
  }

  void parametersFollowTheLocationButNotInTheLeaveEntry_data() {
    QTest::addColumn<std::vector<TTypedValue>>("params");
    QTest::addColumn<std::string>("enter");
    QTest::newRow("int and text") << std::vector<TTypedValue>{42, std::string("abc")}
                                  << TracedUnit + "WithParams ( 42 , 'abc' )";
    QTest::newRow("one") << std::vector<TTypedValue>{true} << TracedUnit + "WithParams ( True )";
    QTest::newRow("none") << std::vector<TTypedValue>{} << TracedUnit + "WithParams";
  }
  void parametersFollowTheLocationButNotInTheLeaveEntry() {
    QFETCH(std::vector<TTypedValue>, params);
    QFETCH(std::string, enter);
    TTraced traced;
    traced.WithParams(params);
    QCOMPARE(Entries("ENTER "), std::vector<std::string>{enter});
    QCOMPARE(Entries("LEAVE "), std::vector<std::string>{TracedUnit + "WithParams"});
  }

  void theFurtherArgumentsFillTheEntry() {
    VEKDebugger()->EnterProcParams({1}, 2, true);
    QCOMPARE(VEKDebug->ProcStack->back().Action, std::uint8_t(2));
    QVERIFY(VEKDebug->ProcStack->back().ShowErrors);
    VEKDebugger()->LeaveProc();
    VEKDebugger()->EnterProcParams({1});
    QCOMPARE(VEKDebug->ProcStack->back().Action, std::uint8_t(0));
    QVERIFY(!VEKDebug->ProcStack->back().ShowErrors);
    VEKDebugger()->LeaveProc();
  }

  void leaveOnAnEmptyStackChangesNothing() {
    VEKDebug->Indent = 4;
    VEKDebugger()->LeaveProc();
    QCOMPARE(VEKDebug->Indent, 4);
    QVERIFY(Entries("LEAVE ").empty());
  }

  void anExceptionOutsideTracedProceduresIsReportedWithoutDialog() {
    bool result = false;
    try {
      throw Exception("untraced");
    } catch (...) {
      result = VEKDebugger()->HandleException();
    }
    QVERIFY(result);
    const auto reports = Entries("EXCEPT");
    QCOMPARE(reports.size(), std::size_t(1));
    QVERIFY(reports[0].rfind("Type         : Exception ( std::exception )", 0) == 0);
    QVERIFY(reports[0].find("Message      : untraced") != std::string::npos);
    QCOMPARE(FDisplays, 0);
    QVERIFY(TMessageBox::History().empty());
  }

  void theActionDecidesResultAndPop_data() {
    QTest::addColumn<int>("action");
    QTest::addColumn<bool>("derived");
    QTest::addColumn<bool>("result");
    QTest::addColumn<bool>("popped");
    QTest::addColumn<bool>("shown");
    QTest::newRow("0") << 0 << false << false << true << false;
    QTest::newRow("1") << 1 << false << true << true << false;
    QTest::newRow("1, errors shown") << 1 << false << true << true << true;
    QTest::newRow("other value") << 9 << false << false << false << false;
    QTest::newRow("a class derived from the abort is reported") << 1 << true << true << true << false;
  }
  void theActionDecidesResultAndPop() {
    QFETCH(int, action);
    QFETCH(bool, derived);
    QFETCH(bool, result);
    QFETCH(bool, popped);
    QFETCH(bool, shown);
    TTraced traced;
    QCOMPARE(traced.Failing(static_cast<std::uint8_t>(action), derived, shown), result);
    QCOMPARE(VEKDebug->ProcStack->empty(), popped);
    QCOMPARE(Entries("LEAVE ").size(), std::size_t(popped ? 1 : 0));
    // Reported inside the procedure: indented by its depth.
    const auto reports = Entries("EXCEPT");
    QCOMPARE(reports.size(), std::size_t(1));
    QVERIFY(reports[0].rfind("  Type         : ", 0) == 0);
    const std::string message = derived ? "Operation aborted" : "failed inside";
    QVERIFY(reports[0].find("Message      : " + message) != std::string::npos);
    QCOMPARE(FDisplays, shown ? 1 : 0);
  }

  void actionTwoUnwindsOuterProceduresSilently() {
    TTraced traced;
    std::string abortMessage = "(none)";
    try {
      traced.Chain();
    } catch (const EAbort& abort) {
      abortMessage = abort.Message();
    }
    QCOMPARE(abortMessage, std::string());
    const auto reports = Entries("EXCEPT");
    QCOMPARE(reports.size(), std::size_t(1));
    QVERIFY(reports[0].find("Message      : deep failure") != std::string::npos);
    QCOMPARE(Entries("LEAVE "), (std::vector<std::string>{"    " + TracedUnit + "Innermost",
                                                          "  " + TracedUnit + "Middle", TracedUnit + "Chain"}));
    QVERIFY(VEKDebug->ProcStack->empty());
    QCOMPARE(VEKDebug->Indent, 0);
  }

  void anExactAbortKeepsItsMessage() {
    VEKDebugger()->EnterProc(1, false);
    std::string message;
    try {
      try {
        Abort();
      } catch (...) {
        VEKDebugger()->HandleException();
      }
    } catch (const EAbort& abort) {
      message = abort.Message();
    }
    QCOMPARE(message, std::string("Operation aborted"));
    QVERIFY(VEKDebug->ProcStack->empty());
    QVERIFY(Entries("EXCEPT").empty());
  }

  void theScopeLeavesWhenAnExceptionLeavesTheFunction() {
    TTraced traced;
    QVERIFY_THROWS_EXCEPTION(Exception, traced.Scoped());
    QCOMPARE(Entries("ENTER "), std::vector<std::string>{TracedUnit + "Scoped ( 7 )"});
    QCOMPARE(Entries("LEAVE "), std::vector<std::string>{TracedUnit + "Scoped"});
    QVERIFY(VEKDebug->ProcStack->empty());
  }

  void theScopeWithoutValuesTracesItsFunction() {
    TTraced traced;
    traced.ScopedPlain();
    QCOMPARE(traced.DepthInside, std::size_t(1));
    QCOMPARE(Entries("ENTER "), std::vector<std::string>{TracedUnit + "ScopedPlain"});
    QCOMPARE(Entries("LEAVE "), std::vector<std::string>{TracedUnit + "ScopedPlain"});
  }

  void theScopeDoesNotLeaveTwiceAfterHandleException() {
    TTraced traced;
    QVERIFY(traced.ScopedHandled());
    QCOMPARE(Entries("LEAVE "), std::vector<std::string>{TracedUnit + "ScopedHandled"});
    QCOMPARE(VEKDebug->Indent, 0);
  }

  void anExceptionOfNoStdClassIsReported() {
    try {
      throw 42;
    } catch (...) {
      QVERIFY(VEKDebugger()->HandleException());
    }
    const auto reports = Entries("EXCEPT");
    QCOMPARE(reports.size(), std::size_t(1));
    QVERIFY(reports[0].rfind("Type         : int", 0) == 0);
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  app.SetTitle("TraceTest");
  TMessageBox::SetAutoAnswer(true);
  TraceTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "TraceTest.moc"

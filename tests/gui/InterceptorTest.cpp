// The exception interceptor in a real window of a small program whose
// buttons' handlers throw, on Qt's offscreen platform: the report in the
// log, the events in their order, the dialog, the switches and the texts of
// every failure.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <vector>

#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

#include "base/Exceptions.h"
#include "diag/F_VEK_Exception.h"
#include "diag/U_VEK_Debug.h"
#include "diag/U_VEK_Global.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_System.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "tests/support/FakeSystem.h"
#include "tests/support/LogEntries.h"
#include "tests/support/Modal.h"
#include "tests/support/TempDir.h"

// Outside any namespace: the report names its class "TfmThrower".
class TfmThrower : public QWidget {
 public:
  TfmThrower() {
    setObjectName(QStringLiteral("fmThrower"));
    btnRaise = AddButton("btnRaise", 10, &TfmThrower::btnRaiseClick);
    btnAbort = AddButton("btnAbort", 40, &TfmThrower::btnAbortClick);
    btnInt = AddButton("btnInt", 70, &TfmThrower::btnIntClick);
    resize(200, 110);
  }
  QPushButton* btnRaise;
  QPushButton* btnAbort;
  QPushButton* btnInt;
  void btnRaiseClick();
  void btnAbortClick();
  void btnIntClick();

 private:
  QPushButton* AddButton(const char* name, int top, void (TfmThrower::*handler)()) {
    auto* button = new QPushButton(QString::fromLatin1(name), this);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(10, top, 180, 25);
    connect(button, &QPushButton::clicked, this,
            [this, handler] { Application->Guard([this, handler] { (this->*handler)(); }); });
    return button;
  }
};

__attribute__((noinline)) void TfmThrower::btnRaiseClick() {
  throw Exception("First line of the failure\r\nSecond line of the failure");  // thrown here
}

__attribute__((noinline)) void TfmThrower::btnAbortClick() {
  Abort();
}

__attribute__((noinline)) void TfmThrower::btnIntClick() {
  throw 42;
}

namespace {

int ThrowLine() {
  return SourceLineOf("tests/gui/InterceptorTest.cpp",
                      "// thrown "
                      "here");
}

}  // namespace

class InterceptorTest : public QObject {
  Q_OBJECT
  std::unique_ptr<TTempDir> FDir;
  std::unique_ptr<TFakeSystemScope> FSystem;
  std::vector<std::string> FOrder;

  // The library's start-up for a program "Thrower" in a folder of its own,
  // with these switches, with or without the map the build wrote (its
  // header naming OtherBuild instead, where given).
  void Start(const std::vector<std::string>& Params, bool WithMap, const std::string& OtherBuild = {}) {
    SafeFreeAndNil(VEKDebug);
    FinalizeVEKSystem();
    LogActive = false;
    FSystem.reset();
    FDir = std::make_unique<TTempDir>();
    FSystem = std::make_unique<TFakeSystemScope>();
    FSystem->Process.Exe = FDir->File("Thrower");
    FSystem->Process.Params = Params;
    if (WithMap)
      std::filesystem::copy_file(TVEKDebug::MapFileNameFor(QCoreApplication::applicationFilePath().toStdString()),
                                 FDir->File("Thrower.map"));
    if (!OtherBuild.empty()) {
      std::string map = ReadWholeFile(FDir->File("Thrower.map"));
      const std::size_t label = map.find("Executable identity : ");
      QVERIFY2(label != std::string::npos, "the generator named no identity");
      const std::size_t at = label + 22;
      FDir->Write("Thrower.map", map.replace(at, map.find("\r\n", at) - at, OtherBuild));
    }
    InitVEKDebug();
  }
  std::string Log() const { return ReadWholeFile(FDir->File("Thrower.log")); }

  // Records the events in FOrder.
  void RecordEvents() {
    IVEKDebug* debug = VEKDebugger();
    debug->SetBeforeException([this](QObject*, const std::exception*, bool&) { FOrder.push_back("Before"); });
    debug->SetOnException([this](QObject*, const std::exception*) { FOrder.push_back("OnException"); });
    debug->SetAfterException([this](QObject*, const std::exception*, bool Continue) {
      FOrder.push_back(Continue ? "After(true)" : "After(false)");
    });
  }
  // Closes the next exception dialog, noting it in FOrder.
  void CloseDialog(bool* DetailShown = nullptr) {
    WhenModal([this, DetailShown](QWidget* modal) {
      auto* dialog = qobject_cast<TfmVEKException*>(modal);
      if (!dialog) return false;
      FOrder.push_back("Dialog");
      if (DetailShown) *DetailShown = !dialog->btnDetail->isHidden();
      QTest::keyClick(dialog->btnClose, Qt::Key_Escape);
      return true;
    });
  }
  void Click(QPushButton* TfmThrower::*Button) {
    TfmThrower form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(form.*Button, Qt::LeftButton);
  }

 private slots:
  void init() {
    FOrder.clear();
    TMessageBox::ClearHistory();
  }
  void cleanupTestCase() {
    SafeFreeAndNil(VEKDebug);
    FinalizeVEKSystem();
    FSystem.reset();
    FDir.reset();
  }

  void aClickIsReportedThenTheEventsAndTheDialogRunInOrder() {
    Start({"/DEBUG", "/LOGFILE"}, true);
    QVERIFY(VEKDebugger()->GetActive());
    RecordEvents();
    bool detailShown = false;
    CloseDialog(&detailShown);
    Click(&TfmThrower::btnRaise);
    QCOMPARE(FOrder, (std::vector<std::string>{"Before", "OnException", "Dialog", "After(true)"}));
    QVERIFY(detailShown);

    // The entry reached the file at once.
    const auto entries = ExceptEntries(Log());
    QCOMPARE(entries.size(), std::size_t(1));
    const std::vector<std::string>& report = entries[0];
    QCOMPARE(report[0], std::string("Type         : Exception ( std::exception )"));
    QCOMPARE(ReportValue(report, "Unit         : "), std::string("InterceptorTest"));
    QCOMPARE(ReportValue(report, "Line         : "), std::to_string(ThrowLine()));
    QCOMPARE(ReportValue(report, "Class        : "), std::string("TfmThrower"));
    QCOMPARE(ReportValue(report, "Function     : "), std::string("btnRaiseClick"));
    QVERIFY(std::regex_match(ReportValue(report, "Address      : "), std::regex("0x[0-9A-F]{16}")));
    QCOMPARE(ReportValue(report, "Sender Class : "), std::string("QPushButton > QAbstractButton > QWidget > QObject"));
    QCOMPARE(ReportValue(report, "Sender Name  : "), std::string("btnRaise"));
    const auto message = std::find(report.begin(), report.end(), "Message      : First line of the failure");
    QVERIFY(message != report.end() && message + 1 != report.end());
    QCOMPARE(*(message + 1), std::string("               Second line of the failure"));
    const auto stack =
        std::find(report.begin(), report.end(), "Call Stack   : InterceptorTest::TfmThrower.btnRaiseClick");
    QVERIFY(stack != report.end());
    QVERIFY(std::find(stack, report.end(), "               InterceptorTest::main") != report.end());
  }

  void continueFalseSuppressesOnExceptionAndTheDisplay() {
    Start({"/DEBUG"}, true);
    RecordEvents();
    IVEKDebug* debug = VEKDebugger();
    debug->SetBeforeException([this](QObject*, const std::exception*, bool& Continue) {
      FOrder.push_back("Before");
      Continue = false;
    });
    debug->SetOnDisplayException([this](QObject*, const std::exception*) { FOrder.push_back("Display"); });
    Click(&TfmThrower::btnRaise);
    QCOMPARE(FOrder, (std::vector<std::string>{"Before", "After(false)"}));
  }

  void onDisplayExceptionTakesTheDialogsPlace() {
    Start({"/DEBUG"}, true);
    QObject* sender = nullptr;
    std::string message;
    VEKDebugger()->SetOnDisplayException([&](QObject* Sender, const std::exception* E) {
      sender = Sender;
      message = E->what();
    });
    TfmThrower form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(form.btnRaise, Qt::LeftButton);
    QCOMPARE(sender, static_cast<QObject*>(form.btnRaise));
    QCOMPARE(message, std::string("First line of the failure\r\nSecond line of the failure"));
    // Read back through the interface.
    QVERIFY(static_cast<bool>(VEKDebugger()->GetOnDisplayException()));
    QVERIFY(!VEKDebugger()->GetBeforeException());
  }

  void theSilentAbortGivesNothing() {
    Start({"/DEBUG", "/LOGFILE"}, true);
    RecordEvents();
    VEKDebugger()->SetOnDisplayException([this](QObject*, const std::exception*) { FOrder.push_back("Display"); });
    Click(&TfmThrower::btnAbort);
    QVERIFY(FOrder.empty());
    VEKApplication->LogFile->Save();
    QVERIFY(ExceptEntries(Log()).empty());
    QVERIFY(TMessageBox::History().empty());
  }

  void withoutTheSwitchTheToolkitShowsTheMessageAndNothingIsLogged() {
    Start({"/LOGFILE"}, true);
    QVERIFY(!VEKDebugger()->GetActive());
    QVERIFY(!Application->OnException);
    Click(&TfmThrower::btnRaise);
    QCOMPARE(TMessageBox::History().size(), std::size_t(1));
    QCOMPARE(TMessageBox::History()[0].Text, std::string("First line of the failure\r\nSecond line of the failure"));
    QVERIFY(TMessageBox::History()[0].Icon == TMsgIcon::Error);
    VEKApplication->LogFile->Save();
    QVERIFY(ExceptEntries(Log()).empty());
  }

  void withoutAMapTheDialogHasNoDetailsAndTheLocationIsUnknown() {
    Start({"/DEBUG", "/LOGFILE"}, false);
    QVERIFY(!VEKDebugger()->GetMapFile()->Loaded());
    bool detailShown = true;
    CloseDialog(&detailShown);
    Click(&TfmThrower::btnRaise);
    QCOMPARE(FOrder, std::vector<std::string>{"Dialog"});
    QVERIFY(!detailShown);
    const auto entries = ExceptEntries(Log());
    QCOMPARE(entries.size(), std::size_t(1));
    for (const char* label : {"Unit         : ", "Line         : ", "Class        : ", "Function     : "})
      QCOMPARE(ReportValue(entries[0], label), std::string("<Unknown>"));
    QCOMPARE(ReportValue(entries[0], "Call Stack   : "), std::string("<Unknown>::<Unknown>"));
  }

  // A stale map, or another program's, would give plausible wrong places.
  void aMapOfAnotherBuildIsNotRead() {
    Start({}, true, "gnu-build-id 00112233445566778899aabbccddeeff00112233");
    QVERIFY(!VEKDebugger()->GetMapFile()->Loaded());
  }

  // Without a map, a frame of the program after one of a library reads
  // unknown, not the library frame's name once more.
  void withoutAMapEachFrameOfTheWalkStandsAlone() {
    Start({}, false);
    static std::string stack;
    int values[] = {2, 1};
    std::qsort(values, 2, sizeof(int), [](const void* a, const void* b) {
      VEKDebugger()->GetCallStack(0, false, stack);
      return *static_cast<const int*>(a) - *static_cast<const int*>(b);
    });
    const auto lines = LogLines(stack);
    const auto inLibc = [](const std::string& line) { return line.starts_with("libc.so.6::"); };
    const auto caller = std::find_if_not(std::find_if(lines.begin(), lines.end(), inLibc), lines.end(), inLibc);
    QVERIFY2(caller != lines.end(), stack.c_str());
    QCOMPARE(*caller, std::string("<Unknown>::<Unknown>"));
  }

  // A lookup that fails while the throw site's frames are written ends the
  // call stack there, keeping the lines before it.
  void aFailedLookupKeepsTheCallStackSoFar() {
    Start({"/DEBUG"}, false);  // the throwing stacks are recorded
    // The one segment's length is no number: every lookup in the program fails.
    VEKDebug->MapFile->LoadFromText("Thrower.map",
                                    "\r\nDetailed map of segments\r\n"
                                    " 0001:00000000 LENGTH?? C=CODE     S=.text    G=(none)   M=Thrower  ACBP=A9\r\n"
                                    "  Address         Publics by Name\r\n  Address         Publics by Value\r\n"
                                    "Line numbers for Thrower\r\n");
    TVEKExceptionInfos infos;
    try {
      (void)std::vector<int>().at(1);  // thrown in the C++ library
    } catch (const std::exception& e) {
      VEKDebug->GetExceptionInfos(nullptr, &e, infos);
    }
    QVERIFY2(infos.CallStack.starts_with("libstdc++.so.6::"), infos.CallStack.c_str());
  }

  void somethingThatIsNoStdExceptionIsReportedWithItsType() {
    Start({"/DEBUG", "/LOGFILE"}, true);
    VEKDebugger()->SetOnDisplayException([](QObject*, const std::exception*) {});
    Click(&TfmThrower::btnInt);
    const auto entries = ExceptEntries(Log());
    QCOMPARE(entries.size(), std::size_t(1));
    QCOMPARE(ReportValue(entries[0], "Type         : "), std::string("int ( <N/A> )"));
    QCOMPARE(ReportValue(entries[0], "Message      : "), std::string("42"));
    QCOMPARE(ReportValue(entries[0], "Function     : "), std::string("btnIntClick"));
  }

  void theSwitchIsDebugOverNoDebugAndNothingInsideTheIde_data() {
    QTest::addColumn<bool>("insideIde");
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<bool>("current");
    QTest::addColumn<bool>("active");
    QTest::newRow("none") << false << QStringList{} << false << false;
    QTest::newRow("none keeps the value") << false << QStringList{"/LOGFILE"} << true << true;
    QTest::newRow("debug") << false << QStringList{"/DEBUG"} << false << true;
    QTest::newRow("nodebug") << false << QStringList{"/NODEBUG"} << true << false;
    QTest::newRow("both") << false << QStringList{"/NODEBUG", "/DEBUG"} << false << true;
    QTest::newRow("both, other order") << false << QStringList{"/DEBUG", "/NODEBUG"} << false << true;
    QTest::newRow("not whole") << false << QStringList{"/DEBUG=1", "-DEBUG", "DEBUG"} << false << false;
    QTest::newRow("inside the ide") << true << QStringList{"/DEBUG"} << true << false;
  }
  void theSwitchIsDebugOverNoDebugAndNothingInsideTheIde() {
    QFETCH(bool, insideIde);
    QFETCH(QStringList, params);
    QFETCH(bool, current);
    QFETCH(bool, active);
    std::vector<std::string> list;
    for (const QString& p : params) list.push_back(p.toStdString());
    QCOMPARE(VEKDebugSwitch(insideIde, list, current), active);
  }

  void theCommandLineIsReadUpperCased() {
    Start({"/nodebug", "/debug"}, true);  // the application information upper-cases them
    QVERIFY(VEKDebugger()->GetActive());
  }

  void aFailedLogStartIsToldOnceInTheStartUpOrder() {
    SafeFreeAndNil(VEKDebug);
    FinalizeVEKSystem();
    LogActive = false;
    FSystem.reset();
    FDir = std::make_unique<TTempDir>();
    FSystem = std::make_unique<TFakeSystemScope>();
    FSystem->Process.Exe = FDir->File("missing-folder/Thrower");  // the log cannot be created
    FSystem->Process.Params = {"/LOGFILE", "/DEBUG"};
    VEKDebugger();    // the exception reporting's set-up
    InitVEKSystem();  // the system unit's own start-up
    QCOMPARE(TMessageBox::History().size(), std::size_t(1));
    QVERIFY(TMessageBox::History()[0].Text.rfind("Error on starting logging ", 0) == 0);
    QVERIFY(!VEKApplication->LogFile->Active());
    QVERIFY(VEKDebugger()->GetActive());
  }

  void setActiveReplacesTheApplicationsEventAndPutsItBack() {
    Start({}, true);
    int savedCalls = 0;
    Application->OnException = [&](QObject*, const std::exception&) { ++savedCalls; };
    IVEKDebug* debug = VEKDebugger();
    debug->SetActive(true);
    debug->SetActive(true);  // no second save of its own handler
    bool displayed = false;
    debug->SetOnDisplayException([&](QObject*, const std::exception*) { displayed = true; });
    Application->Guard([] { throw Exception("x"); });
    QVERIFY(displayed);
    QCOMPARE(savedCalls, 0);  // replaced, not chained
    debug->SetActive(false);
    Application->Guard([] { throw Exception("x"); });
    QCOMPARE(savedCalls, 1);
    Application->OnException = nullptr;
  }

  void failuresOfTheEventsAreShownAndLogged_data() {
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QStringList>("order");
    const QString m = QStringLiteral("The event failed");
    QTest::newRow("BeforeException") << "Before"
                                     << "Error on BeforeException :\r\n\r\n" + m
                                     << QStringList{"OnException", "Display", "After(true)"};
    QTest::newRow("OnException") << "OnException"
                                 << "Error on OnException :\r\n\r\n" + m
                                 << QStringList{"Before", "Display", "After(true)"};
    QTest::newRow("OnDisplayException") << "Display"
                                        << "Error on displaying Exception :\r\n\r\n" + m + "\r\n\r\n(" + m + ")"
                                        << QStringList{"Before", "OnException", "After(true)"};
    QTest::newRow("AfterException") << "After"
                                    << "Error on AfterException :\r\n\r\n" + m
                                    << QStringList{"Before", "OnException", "Display"};
  }
  void failuresOfTheEventsAreShownAndLogged() {
    QFETCH(QString, failing);
    QFETCH(QString, shown);
    QFETCH(QStringList, order);
    Start({"/DEBUG", "/LOGFILE"}, true);
    const std::string f = failing.toStdString();
    auto step = [this, f](const std::string& name) {
      if (name.rfind(f, 0) == 0) throw Exception("The event failed");
      FOrder.push_back(name);
    };
    IVEKDebug* debug = VEKDebugger();
    debug->SetBeforeException([step](QObject*, const std::exception*, bool&) { step("Before"); });
    debug->SetOnException([step](QObject*, const std::exception*) { step("OnException"); });
    debug->SetOnDisplayException([step](QObject*, const std::exception*) { step("Display"); });
    debug->SetAfterException(
        [step](QObject*, const std::exception*, bool Continue) { step(Continue ? "After(true)" : "After(false)"); });
    Click(&TfmThrower::btnRaise);
    QStringList seen;
    for (const std::string& s : FOrder) seen << QString::fromStdString(s);
    QCOMPARE(seen, order);
    QCOMPARE(TMessageBox::History().size(), std::size_t(1));
    QCOMPARE(QString::fromStdString(TMessageBox::History()[0].Text), shown);
    VEKApplication->LogFile->Save();
    QVERIFY(Log().find("[ INFO   ] " + shown.toStdString().substr(0, shown.indexOf('\r'))) != std::string::npos);
  }

  void withoutShowFlagFailuresOfTheEventsAreSilentAndNothingIsDisplayed() {
    Start({"/DEBUG", "/LOGFILE"}, true);
    IVEKDebug* debug = VEKDebugger();
    bool displayed = false;
    debug->SetBeforeException([](QObject*, const std::exception*, bool&) { throw Exception("before"); });
    debug->SetOnDisplayException([&](QObject*, const std::exception*) { displayed = true; });
    debug->SetAfterException([](QObject*, const std::exception*, bool) { throw Exception("after"); });
    try {
      throw EConvertError("Not a number");
    } catch (const std::exception& e) {
      debug->ProcessException(nullptr, &e, false);
    }
    QVERIFY(!displayed);
    QVERIFY(TMessageBox::History().empty());
    const auto entries = ExceptEntries(Log());
    QCOMPARE(entries.size(), std::size_t(1));
    QCOMPARE(ReportValue(entries[0], "Type         : "), std::string("EConvertError ( Exception )"));
    QCOMPARE(ReportValue(entries[0], "Sender Class : "), std::string("<N/A>"));
    QCOMPARE(ReportValue(entries[0], "Sender Name  : "), std::string("<N/A>"));
    QCOMPARE(ReportValue(entries[0], "Function     : "),
             std::string("withoutShowFlagFailuresOfTheEventsAreSilentAndNothingIsDisplayed"));
  }

  void theInfosOfNothingAreUnknownAndOutsideAHandlerTheAddressIsZero() {
    Start({}, true);
    IVEKDebug* debug = VEKDebugger();
    TVEKExceptionInfos infos;
    infos.Message = "stale";
    debug->GetExceptionInfos(nullptr, nullptr, infos);
    for (const std::string* text :
         {&infos.ExceptionClass, &infos.ExceptionParent, &infos.ExceptionType, &infos.Message, &infos.Address,
          &infos.AppTitle, &infos.AppPath, &infos.AppVersion, &infos.DateTime, &infos.UserName, &infos.ComputerName,
          &infos.UnitName, &infos.LineNumber, &infos.ClassName, &infos.FunctionName, &infos.SenderClass,
          &infos.SenderName, &infos.CallStack})
      QCOMPARE(*text, std::string("<Unknown>"));
    QVERIFY(infos.ExceptionObject == nullptr);

    VEKApplication->ExeName = "/Opt/Demo/Thrower";
    const std::string version = VEKApplication->Version;
    VEKApplication->Version.clear();
    const EConvertError error("Not a number");
    QPushButton button;
    button.setObjectName(QStringLiteral("btnX"));
    debug->GetExceptionInfos(&button, &error, infos);
    VEKApplication->Version = version;
    QVERIFY(infos.ExceptionObject == &error);
    QCOMPARE(infos.Address, std::string("0x0000000000000000"));
    QCOMPARE(infos.UnitName, std::string("<Unknown>"));
    QCOMPARE(infos.AppPath, std::string("/opt/demo/thrower"));
    QCOMPARE(infos.AppVersion, std::string("<Unknown>"));
    QCOMPARE(infos.AppTitle, VEKApplication->Title);
    QCOMPARE(infos.UserName, VEKWindows->UserName);
    QCOMPARE(infos.ComputerName, VEKWindows->ComputerName);
    QCOMPARE(infos.SenderName, std::string("btnX"));
    QCOMPARE(infos.SenderClass, std::string("QPushButton > QAbstractButton > QWidget > QObject"));
    // The walk of GetCallStack, taken here.
    QVERIFY2(infos.CallStack.rfind("U_VEK_Debug::TVEKDebug.GetCallStack\r\n", 0) == 0, infos.CallStack.c_str());
  }

  void theCallStackSkipsFramesAndStopsAfterOne() {
    Start({}, true);
    IVEKDebug* debug = VEKDebugger();
    std::string all, skipped, one;
    debug->GetCallStack(0, false, all);
    debug->GetCallStack(1, false, skipped);
    debug->GetCallStack(1, true, one);
    const auto lines = LogLines(all);
    QVERIFY(lines.size() > 3);
    QCOMPARE(lines[0], std::string("U_VEK_Debug::TVEKDebug.GetCallStack"));
    QCOMPARE(lines[1], std::string("InterceptorTest::InterceptorTest.theCallStackSkipsFramesAndStopsAfterOne"));
    QCOMPARE(LogLines(skipped).front(), lines[1]);
    QCOMPARE(one, lines[1]);
  }

  void reportLinesCarryTheIndentAndAlignTheirContinuations() {
    Start({}, true);
    const std::vector<std::string> expected = {
        "    Type         : E ( P )", "    Unit         : ",    "    Line         : ",     "    Class        : ",
        "    Function     : ",        "    Address      : ",    "    Sender Class : ",     "    Sender Name  : ",
        "    Message      : one",     "                   two", "    Call Stack   : a::b", "                   c::d"};
    // Line breaks as CR LF, or bare as most messages have them.
    for (const char* lineBreak : {"\r\n", "\n", "\r"}) {
      TVEKExceptionInfos infos;
      infos.ExceptionType = "E ( P )";
      infos.Message = std::string("one") + lineBreak + "two";
      infos.CallStack = "a::b\r\nc::d";
      VEKDebug->Indent = 4;
      const auto lines = LogLines(VEKDebug->ReportText(infos));
      VEKDebug->Indent = 0;
      QCOMPARE(lines, expected);
    }
  }

  void theInterfaceCountsNothingAndOffersNoOtherInterface() {
    Start({}, true);
    IVEKDebug* debug = VEKDebugger();
    QCOMPARE(VEKDebugger(), debug);  // one interceptor
    void* other = &other;
    QVERIFY(debug->QueryInterface(nullptr, &other) != 0);
    QVERIFY(other == nullptr);
    QCOMPARE(debug->AddRef(), -1);
    QCOMPARE(debug->Release(), -1);
    QCOMPARE(debug->GetMapFile(), VEKDebug->MapFile);
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  app.SetTitle("InterceptorTest");
  TMessageBox::SetAutoAnswer(true);
  InterceptorTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "InterceptorTest.moc"

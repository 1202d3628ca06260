// A program that embeds the diagnostics library, run as a process on a
// virtual X display: its button's handler throws, and with "/DEBUG" the log
// gets the report and the exception dialog opens.
//
// With BREVANT_SCREENSHOTS set to a folder, the dialog's pictures, compact
// and expanded, are kept there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/LogEntries.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

using namespace std::chrono_literals;

namespace {

// The demo's window and its buttons' centres; the dialog's Details button.
const char* const DemoTitle = "^Embedder Demo$";
// The application's title, the dialog's and the toolkit box's caption.
const char* const AppTitle = "^Embedderdemo$";
constexpr int RaiseX = 120, RaiseY = 25, AbortY = 65;
constexpr int DetailX = 287 + 8 + 37, DetailY = 96 + 12;

// The line of the demo's throw statement.
int ReportedLine() {
  return SourceLineOf("tests/e2e/EmbedderDemo.cpp", "// the reported line");
}

class Embedder : public ::testing::Test {
 protected:
  void SetUp() override {
    if (X.Display().empty()) GTEST_SKIP() << "Xvfb could not start";
    Exe = Dir.File("EmbedderDemo");
    std::filesystem::copy_file(EMBEDDER_DEMO_EXE, Exe);
  }
  // The map file the build wrote beside the demo.
  void InstallMap() {
    std::filesystem::copy_file(std::string(EMBEDDER_DEMO_EXE) + ".map", Dir.File("EmbedderDemo.map"));
  }
  std::unique_ptr<TChildProcess> Start(const std::vector<std::string>& switches) {
    std::vector<std::string> argv{Exe};
    argv.insert(argv.end(), switches.begin(), switches.end());
    return std::make_unique<TChildProcess>(argv, std::vector<std::string>{X.DisplayEnv(), "QT_QPA_PLATFORM=xcb"},
                                           Dir.File("output.txt"));
  }
  std::string Log() const { return ReadWholeFile(Dir.File("EmbedderDemo.log")); }
  std::string Output() const { return ReadWholeFile(Dir.File("output.txt")); }
  bool SizeIs(const std::string& window, int width, int height) const {
    return WaitUntil([&] { return X.WindowSize(window) == std::make_pair(width, height); }, 10s);
  }
  void Keep(const std::string& window, const std::string& name) const {
    const std::string file = Dir.File(name);
    ASSERT_TRUE(X.Screenshot(window, file));
    if (const char* folder = std::getenv("BREVANT_SCREENSHOTS"))
      std::filesystem::copy_file(file, std::string(folder) + "/" + name,
                                 std::filesystem::copy_options::overwrite_existing);
  }

  TXvfb X;
  TTempDir Dir;
  std::string Exe;
};

TEST_F(Embedder, WithDebugTheLogGetsTheReportAtOnceAndTheDialogOpens) {
  InstallMap();
  auto demo = Start({"/DEBUG", "/LOGFILE"});
  const auto window = X.WaitForWindow(DemoTitle, 30s);
  ASSERT_TRUE(window) << Output();
  ASSERT_TRUE(X.Click(*window, RaiseX, RaiseY));
  const auto dialog = X.WaitForWindow(AppTitle, 30s);
  ASSERT_TRUE(dialog) << Output();
  ASSERT_TRUE(SizeIs(*dialog, 377, 125));
  Keep(*dialog, "exception-dialog.png");

  // The report is in the file while the dialog is still open.
  const auto entries = ExceptEntries(Log());
  ASSERT_EQ(entries.size(), 1u) << Log();
  const std::vector<std::string>& report = entries[0];
  EXPECT_EQ(report[0], "Type         : Exception ( std::exception )");
  EXPECT_EQ(ReportValue(report, "Unit         : "), "EmbedderDemo");
  EXPECT_EQ(ReportValue(report, "Line         : "), std::to_string(ReportedLine()));
  EXPECT_EQ(ReportValue(report, "Class        : "), "TfmDemo");
  EXPECT_EQ(ReportValue(report, "Function     : "), "btnRaiseClick");
  EXPECT_TRUE(std::regex_match(ReportValue(report, "Address      : "), std::regex("0x[0-9A-F]{16}")));
  EXPECT_EQ(ReportValue(report, "Sender Class : "), "QPushButton > QAbstractButton > QWidget > QObject");
  EXPECT_EQ(ReportValue(report, "Sender Name  : "), "btnRaise");
  // The message's second line lies under its first.
  const auto message = std::find(report.begin(), report.end(), "Message      : The demo's button failed.");
  ASSERT_NE(message, report.end()) << Log();
  ASSERT_NE(message + 1, report.end());
  EXPECT_EQ(*(message + 1), "               Its second line.");
  // The call stack runs from the handler out to main.
  const auto stack = std::find(report.begin(), report.end(), "Call Stack   : EmbedderDemo::TfmDemo.btnRaiseClick");
  ASSERT_NE(stack, report.end()) << Log();
  EXPECT_NE(std::find(stack, report.end(), "               EmbedderDemo::main"), report.end()) << Log();
  EXPECT_EQ(report.back().find("Call Stack"), std::string::npos);

  ASSERT_TRUE(X.Click(*dialog, DetailX, DetailY));
  ASSERT_TRUE(SizeIs(*dialog, 377, 344));
  Keep(*dialog, "exception-dialog-details.png");
  ASSERT_TRUE(X.PressKey(*dialog, "Escape"));
  ASSERT_TRUE(WaitUntil([&] { return !X.HasWindow(AppTitle); }, 10s));

  ASSERT_TRUE(X.RequestClose(*window));
  EXPECT_EQ(demo->Wait(30s), 0) << Output();
  const std::string log = Log();
  EXPECT_EQ(ExceptEntries(log).size(), 1u);
  EXPECT_NE(log.find("# STOP LOGGING at "), std::string::npos);
}

TEST_F(Embedder, TheSilentAbortGivesNoReport) {
  InstallMap();
  auto demo = Start({"/DEBUG", "/LOGFILE"});
  const auto window = X.WaitForWindow(DemoTitle, 30s);
  ASSERT_TRUE(window) << Output();
  ASSERT_TRUE(X.Click(*window, RaiseX, AbortY));
  // Events are handled in order: once the raise's dialog is open, the abort
  // has been handled.
  ASSERT_TRUE(X.Click(*window, RaiseX, RaiseY));
  const auto dialog = X.WaitForWindow(AppTitle, 30s);
  ASSERT_TRUE(dialog) << Output();
  EXPECT_EQ(ExceptEntries(Log()).size(), 1u) << Log();
  ASSERT_TRUE(X.PressKey(*dialog, "Escape"));
  ASSERT_TRUE(WaitUntil([&] { return !X.HasWindow(AppTitle); }, 10s));
  ASSERT_TRUE(X.RequestClose(*window));
  EXPECT_EQ(demo->Wait(30s), 0) << Output();
}

TEST_F(Embedder, WithoutTheSwitchTheToolkitShowsTheMessageAndNothingIsLogged) {
  InstallMap();
  auto demo = Start({"/LOGFILE", "/NODEBUG"});
  const auto window = X.WaitForWindow(DemoTitle, 30s);
  ASSERT_TRUE(window) << Output();
  ASSERT_TRUE(X.Click(*window, RaiseX, RaiseY));
  const auto box = X.WaitForWindow(AppTitle, 30s);
  ASSERT_TRUE(box) << Output();
  const auto size = X.WindowSize(*box);
  ASSERT_TRUE(size);
  EXPECT_NE(*size, std::make_pair(377, 125));  // the toolkit's box, not the dialog
  Keep(*box, "toolkit-box.png");
  ASSERT_TRUE(X.PressKey(*box, "Return"));
  ASSERT_TRUE(WaitUntil([&] { return !X.HasWindow(AppTitle); }, 10s));
  ASSERT_TRUE(X.RequestClose(*window));
  EXPECT_EQ(demo->Wait(30s), 0) << Output();
  const std::string log = Log();
  EXPECT_NE(log.find("# STOP LOGGING at "), std::string::npos);
  EXPECT_TRUE(ExceptEntries(log).empty()) << log;
}

TEST_F(Embedder, WithoutAMapTheLocationIsUnknown) {
  auto demo = Start({"/NODEBUG", "/DEBUG", "/LOGFILE"});  // /DEBUG wins
  const auto window = X.WaitForWindow(DemoTitle, 30s);
  ASSERT_TRUE(window) << Output();
  ASSERT_TRUE(X.Click(*window, RaiseX, RaiseY));
  const auto dialog = X.WaitForWindow(AppTitle, 30s);
  ASSERT_TRUE(dialog) << Output();
  ASSERT_TRUE(SizeIs(*dialog, 377, 125));
  Keep(*dialog, "exception-dialog-without-map.png");
  const auto entries = ExceptEntries(Log());
  ASSERT_EQ(entries.size(), 1u) << Log();
  for (const char* label : {"Unit         : ", "Line         : ", "Class        : ", "Function     : "})
    EXPECT_EQ(ReportValue(entries[0], label), "<Unknown>") << label;
  EXPECT_EQ(ReportValue(entries[0], "Sender Name  : "), "btnRaise");
  EXPECT_EQ(ReportValue(entries[0], "Call Stack   : "), "<Unknown>::<Unknown>");
  ASSERT_TRUE(X.PressKey(*dialog, "Escape"));
  ASSERT_TRUE(WaitUntil([&] { return !X.HasWindow(AppTitle); }, 10s));
  ASSERT_TRUE(X.RequestClose(*window));
  EXPECT_EQ(demo->Wait(30s), 0) << Output();
}

}  // namespace

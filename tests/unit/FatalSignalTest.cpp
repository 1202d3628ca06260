// Crashes that are no C++ exception, in a child process (CrashHelper) that
// embeds the diagnostics library with its map file: with "/DEBUG" the log
// holds the report and the child still ends by its signal.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
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

// Far more than any crash takes, also the one whose report waits for its
// bound of one second; far less than the hour the helper's report may take
// when it faults.
constexpr auto RunBound = 60s;

class FatalSignal : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(CRASH_HELPER_EXE, Dir.File("CrashHelper"));
    std::filesystem::copy_file(std::string(CRASH_HELPER_EXE) + ".map", Dir.File("CrashHelper.map"));
  }
  void TearDown() override {
    if (HasFailure()) std::fprintf(stderr, "%s\n", ReadWholeFile(Dir.File("output.txt")).c_str());
  }
  std::unique_ptr<TChildProcess> Start(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), Dir.File("CrashHelper"));
    // The sanitizers' own handlers would end the child with their exit code
    // instead of the signal.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options =
        std::string(asan ? asan : "") + ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
    env.insert(env.end(), {"QT_QPA_PLATFORM=offscreen", "ASAN_OPTIONS=" + options});
    return std::make_unique<TChildProcess>(args, env, Dir.File("output.txt"));
  }
  // Runs the helper to its end; its exit code, -signal, or 1000 when it
  // still runs after RunBound.
  int Run(const std::vector<std::string>& args) { return Start(args)->Wait(RunBound).value_or(1000); }
  std::vector<std::vector<std::string>> Reports() const {
    return ExceptEntries(ReadWholeFile(Dir.File("CrashHelper.log")));
  }

  TTempDir Dir;
};

// The lines of a report's value from its label on, the value's
// continuation lines without their blanks.
std::vector<std::string> ValueLines(const std::vector<std::string>& Entry, const std::string& Label) {
  auto line = std::find_if(Entry.begin(), Entry.end(), [&](const std::string& l) { return l.rfind(Label, 0) == 0; });
  if (line == Entry.end()) return {};
  std::vector<std::string> lines{line->substr(Label.size())};
  for (++line; line != Entry.end() && line->rfind(std::string(Label.size(), ' '), 0) == 0; ++line)
    lines.push_back(line->substr(Label.size()));
  return lines;
}

std::vector<std::string> StackOf(const std::vector<std::string>& Entry) {
  return ValueLines(Entry, "Call Stack   : ");
}

bool Holds(const std::vector<std::string>& Lines, const std::string& Line) {
  return std::find(Lines.begin(), Lines.end(), Line) != Lines.end();
}

TEST_F(FatalSignal, EachCrashIsReportedAndEndsTheProcessByItsSignal) {
  struct TRow {
    const char* How;
    int Signal;
    const char* Type;
    const char* Message;   // a regular expression for the message's first line
    const char* Function;  // TCrasher's function that crashed
    // The report's location is that function's statement marked
    // "// crashes: <How>", or any of its statements (the overflow)...
    bool AtTheStatement;
    // ...or it lies in the C library, which the function called (the
    // abort): the function is in the call stack.
    bool InTheFunction;
  };
  const TRow rows[] = {
      {"segv", SIGSEGV, "SIGSEGV ( Fatal signal )",
       "Segmentation fault \\(address not mapped to object\\) at 0x0000000000000000", "NullPointer", true, true},
      {"bus", SIGBUS, "SIGBUS ( Fatal signal )", "Bus error \\(nonexistent physical address\\) at 0x[0-9A-F]{16}",
       "BeyondTheFile", true, true},
      {"fpe", SIGFPE, "SIGFPE ( Fatal signal )", "Floating-point exception \\(integer divide by zero\\)",
       "DivideByZero", true, true},
      {"ill", SIGILL, "SIGILL ( Fatal signal )", "Illegal instruction \\(illegal operand\\)", "Trap", true, true},
      {"overflow", SIGSEGV, "SIGSEGV ( Fatal signal )",
       "Segmentation fault \\((address not mapped to object|invalid permissions for mapped object)\\) at "
       "0x[0-9A-F]{16}",
       "Recurse", false, true},
      {"abort", SIGABRT, "SIGABRT ( Fatal signal )", "Aborted \\(sent by this process\\)", "ThrowInWorker", false,
       false},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.How);
    std::filesystem::remove(Dir.File("CrashHelper.log"));
    ASSERT_EQ(Run({"/DEBUG", "/LOGFILE", row.How}), -row.Signal);
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    const auto& report = reports[0];
    EXPECT_EQ(ReportValue(report, "Type         : "), row.Type);
    EXPECT_TRUE(std::regex_match(ReportValue(report, "Message      : "), std::regex(row.Message)))
        << ReportValue(report, "Message      : ");
    EXPECT_TRUE(std::regex_match(ReportValue(report, "Address      : "), std::regex("0x[0-9A-F]{16}")));
    EXPECT_EQ(ReportValue(report, "Sender Name  : "), "<N/A>");
    const std::vector<std::string> stack = StackOf(report);
    const std::string frame = std::string("CrashHelper::TCrasher.") + row.Function;
    if (row.InTheFunction) {
      EXPECT_EQ(ReportValue(report, "Unit         : "), "CrashHelper");
      EXPECT_EQ(ReportValue(report, "Class        : "), "TCrasher");
      EXPECT_EQ(ReportValue(report, "Function     : "), row.Function);
      ASSERT_FALSE(stack.empty());
      EXPECT_EQ(stack[0], frame);
    } else {
      EXPECT_TRUE(Holds(stack, frame)) << ReportValue(report, "Call Stack   : ");
    }
    if (row.AtTheStatement) {
      EXPECT_EQ(ReportValue(report, "Line         : "),
                std::to_string(SourceLineOf("tests/unit/CrashHelper.cpp", std::string("// crashes: ") + row.How)));
      // The walk went through the signal's frame to the program's start.
      EXPECT_TRUE(Holds(stack, "CrashHelper::main"));
    }
  }
}

TEST_F(FatalSignal, AbortNamesTheExceptionNobodyCaught) {
  ASSERT_EQ(Run({"/DEBUG", "/LOGFILE", "abort"}), -SIGABRT);
  const auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(ValueLines(reports[0], "Message      : "),
            (std::vector<std::string>{"Aborted (sent by this process)",
                                      "Exception being handled : Exception ( std::exception ) : The worker failed."}));
  // Where it was thrown, not where the C library aborts.
  EXPECT_EQ(ReportValue(reports[0], "Unit         : "), "CrashHelper");
  EXPECT_EQ(ReportValue(reports[0], "Line         : "),
            std::to_string(SourceLineOf("tests/unit/CrashHelper.cpp", "// thrown: abort")));
  EXPECT_EQ(ReportValue(reports[0], "Class        : "), "TCrasher");
  EXPECT_EQ(ReportValue(reports[0], "Function     : "), "ThrowInWorker");
}

// Whatever happens to the report, the process ends as it would have
// without the library.
TEST_F(FatalSignal, OtherEnds) {
  struct TRow {
    std::vector<std::string> Args;
    int End;  // exit code, or -signal
    std::size_t Reports;
  };
  const TRow rows[] = {
      // Without the switch: no handler at all.
      {{"/LOGFILE", "segv"}, -SIGSEGV, 0},
      // A handler the program had: it runs after the report, or without
      // one once interception is switched off again.
      {{"/DEBUG", "/LOGFILE", "chained"}, 42, 1},
      {{"/DEBUG", "/LOGFILE", "chainedoff"}, 42, 0},
      // The report faults, or never ends: the first signal ends the process.
      {{"/DEBUG", "/LOGFILE", "faultinreport"}, -SIGFPE, 0},
      {{"/DEBUG", "/LOGFILE", "hanginreport"}, -SIGFPE, 0},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Args.back() + " " + row.Args.front());
    std::filesystem::remove(Dir.File("CrashHelper.log"));
    ASSERT_EQ(Run(row.Args), row.End);
    EXPECT_EQ(Reports().size(), row.Reports);
  }
}

// With a report collector named, the crash is also kept for it as a pending
// report in the user's state folder: the log's report under the head of the
// collector's wire format. Without one nothing is kept.
TEST_F(FatalSignal, WithACollectorNamedTheCrashIsKeptAsAPendingReport) {
  const std::string state = Dir.File("state");
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "none");
    std::filesystem::remove(Dir.File("CrashHelper.log"));
    std::vector<std::string> env{"XDG_STATE_HOME=" + state};
    if (named) env.push_back("CRASH_REPORT_SERVER=http://127.0.0.1:9/");
    ASSERT_EQ(Start({"/DEBUG", "/LOGFILE", "segv"}, env)->Wait(RunBound).value_or(1000), -SIGSEGV);
    if (!named) {
      EXPECT_FALSE(std::filesystem::exists(state));
      continue;
    }
    const std::vector<std::filesystem::path> files(
        std::filesystem::directory_iterator(state + "/quellmark/pending-reports"), {});
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(std::filesystem::status(files[0]).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(std::filesystem::status(state + "/quellmark").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    EXPECT_TRUE(
        std::regex_match(files[0].filename().string(), std::regex("CrashHelper\\.[0-9]{20}\\.[0-9]+\\.vekreport")));
    const std::string content = ReadWholeFile(files[0]);
    const std::size_t text = content.find("\r\n\r\n") + 4;
    EXPECT_TRUE(std::regex_match(content.substr(0, text),
                                 std::regex("VEK-Report 1\r\nProgram: Crashhelper\r\nVersion: [^\r\n]*\r\n"
                                            "Executable: gnu-build-id:[0-9a-f]+\r\nKey: [0-9a-f]{32}\r\n\r\n")))
        << content;
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_EQ(LogLines(content.substr(text)), Reports()[0]);
  }
}

TEST_F(FatalSignal, EndSignalsStillEndThroughTheShutDown) {
  auto child = Start({"/DEBUG", "/LOGFILE", "wait"});
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(Dir.File("ready")); }, RunBound));
  child->Signal(SIGTERM);
  ASSERT_EQ(child->Wait(RunBound), 128 + SIGTERM);
  const std::string log = ReadWholeFile(Dir.File("CrashHelper.log"));
  EXPECT_NE(log.find("STOP LOGGING"), std::string::npos) << log;
  EXPECT_TRUE(ExceptEntries(log).empty());
}

}  // namespace

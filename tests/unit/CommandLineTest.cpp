// The command line's requests answered without a window: --help, -h and
// --version.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/U_CommandLine.h"
#include "app/U_ReportServer.h"
#include "app/U_UpdateCheck.h"
#include "tests/support/TempDir.h"

namespace {
const std::string ExpectedUsage =
    "Usage: Brevant [/LOGFILE | /NOLOGFILE] [/DEBUG | /NODEBUG]\n"
    "       Brevant --help | -h | --version\n"
    "\n"
    "The update wizard of Quellmark. It lists the Quellmark products installed on\n"
    "this computer (the *.ini descriptor files in its own folder), asks the update\n"
    "server which of them have a newer version, and opens the download pages of\n"
    "those you choose in your web browser.\n"
    "\n"
    "Switches (in any letter case, written whole):\n"
    "  /LOGFILE          keep a log of this run in the log file below\n"
    "  /NOLOGFILE        no log (the default); when both are given, /LOGFILE wins\n"
    "  /DEBUG            report every exception that escapes an event handler in\n"
    "                    the log and show it in the exception dialog\n"
    "  /NODEBUG          no exception reports (the default); /DEBUG wins\n"
    "  -h, --help        print this help and end\n"
    "  --version         print the version and end\n"
    "\n"
    "Environment:\n"
    "  BREVANT_UPDATE_SERVER  the update server's address for this run; built in:\n"
    "                         " +
    std::string(BuiltInUpdateServer()) +
    "\n"
    "  BREVANT_REPORT_SERVER  the report collector that an exception or crash\n"
    "                         report may be sent to, when you agree; built in:\n"
    "                         " +
    (std::string(BuiltInReportServer()).empty() ? std::string("none") : std::string(BuiltInReportServer())) +
    "\n"
    "  XDG_STATE_HOME         your folder for what programs keep (see below);\n"
    "                         ~/.local/state when not set\n"
    "  http_proxy, https_proxy, no_proxy  the proxy settings, as usual\n"
    "\n"
    "Log file (with /LOGFILE; the newest 5000 lines of all runs):\n"
    "  /opt/quellmark/Brevant.log\n"
    "  or, where you may not write into that folder:\n"
    "  /home/ada/.local/state/quellmark/Brevant.log\n"
    "Crash reports waiting to be sent to the report collector (with /DEBUG):\n"
    "  /home/ada/.local/state/quellmark/pending-reports\n";
}  // namespace

TEST(CommandLine, HelpAndVersionAreAnsweredEverythingElseIsLeftToTheWizard) {
  TTempDir dir;
  dir.Write("Brevant", "a file without a version block");
  const std::string exe = dir.File("Brevant");
  struct TRow {
    std::vector<std::string> Params;
    std::optional<std::string> Answer;  // none: the wizard runs
  };
  const std::string usage = UsageText(exe), version = "Brevant 0.0.0\n";
  const TRow rows[] = {
      {{"--help"}, usage},
      {{"-h"}, usage},
      {{"--version"}, version},
      {{"/LOGFILE", "--help"}, usage},  // wherever it stands
      {{"--version", "--help"}, version},
      {{"-h", "--version"}, usage},  // the first one given wins
      {{}, std::nullopt},
      {{"/LOGFILE", "/DEBUG"}, std::nullopt},
      {{"--HELP"}, std::nullopt},  // written exactly so
      {{"-help"}, std::nullopt},
      {{"--help=1"}, std::nullopt},
      {{"/?"}, std::nullopt},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.Params));
    std::ostringstream out;
    const std::optional<int> status = AnswerInfoRequest(row.Params, exe, out);
    EXPECT_EQ(status.has_value(), row.Answer.has_value());
    EXPECT_EQ(status.value_or(0), 0);
    EXPECT_EQ(out.str(), row.Answer.value_or(""));
  }
}

TEST(CommandLine, TheUsageNamesTheSwitchesTheServerVariablesAndTheLogFile) {
  ::setenv("XDG_STATE_HOME", "/home/ada/.local/state", 1);
  EXPECT_EQ(UsageText("/opt/quellmark/Brevant"), ExpectedUsage);
  // The log file is the executable's name with ".log" for its extension.
  const std::string usage = UsageText("/opt/quellmark/Brevant.exe");
  EXPECT_NE(usage.find("\n  /opt/quellmark/Brevant.log\n  or, where you may not write into that folder:\n"
                       "  /home/ada/.local/state/quellmark/Brevant.log\n"),
            std::string::npos);
  ::unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(usage.substr(0, usage.find('\n')), "Usage: Brevant.exe [/LOGFILE | /NOLOGFILE] [/DEBUG | /NODEBUG]");
}

TEST(CommandLine, AFailedWriteEndsWithStatusOne) {
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  EXPECT_EQ(AnswerInfoRequest({"--version"}, "/opt/quellmark/Brevant", out), 1);
}

#include "app/U_CommandLine.h"

#include "app/U_ReportServer.h"
#include "app/U_UpdateCheck.h"
#include "diag/U_VEK_FileVersion.h"
#include "diag/U_VEK_PendingReports.h"
#include "diag/U_VEK_StateFolder.h"
#include "diag/U_VEK_System.h"

namespace {
std::string FileNameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

std::string UsageText(const std::string& exeName) {
  const std::string name = FileNameOf(exeName);
  std::string text;
  const auto line = [&text](const std::string& s) { text += s + "\n"; };
  line("Usage: " + name + " [/LOGFILE | /NOLOGFILE] [/DEBUG | /NODEBUG]");
  line("       " + name + " --help | -h | --version");
  line("");
  line("The update wizard of Quellmark. It lists the Quellmark products installed on");
  line("this computer (the *.ini descriptor files in its own folder), asks the update");
  line("server which of them have a newer version, and opens the download pages of");
  line("those you choose in your web browser.");
  line("");
  line("Switches (in any letter case, written whole):");
  line("  /LOGFILE          keep a log of this run in the log file below");
  line("  /NOLOGFILE        no log (the default); when both are given, /LOGFILE wins");
  line("  /DEBUG            report every exception that escapes an event handler in");
  line("                    the log and show it in the exception dialog");
  line("  /NODEBUG          no exception reports (the default); /DEBUG wins");
  line("  -h, --help        print this help and end");
  line("  --version         print the version and end");
  line("");
  line("Environment:");
  line("  BREVANT_UPDATE_SERVER  the update server's address for this run; built in:");
  line("                         " + std::string(BuiltInUpdateServer()));
  line("  BREVANT_REPORT_SERVER  the report collector that an exception or crash");
  line("                         report may be sent to, when you agree; built in:");
  const std::string collector = BuiltInReportServer();
  line("                         " + (collector.empty() ? std::string("none") : collector));
  line("  XDG_STATE_HOME         your folder for what programs keep (see below);");
  line("                         ~/.local/state when not set");
  line("  http_proxy, https_proxy, no_proxy  the proxy settings, as usual");
  line("");
  line("Log file (with /LOGFILE; the newest 5000 lines of all runs):");
  line("  " + LogFileNameOf(exeName));
  const std::string state = VEKStateFolder();
  if (state.empty()) return text;  // no home folder: nowhere else
  line("  or, where you may not write into that folder:");
  line("  " + state + "/" + FileNameOf(LogFileNameOf(exeName)));
  line("Crash reports waiting to be sent to the report collector (with /DEBUG):");
  line("  " + VEKPendingReportsFolder());
  return text;
}

std::string VersionText(const std::string& exeName) {
  return FileNameOf(exeName) + " " + FileVersionText(exeName) + "\n";
}

std::optional<int> AnswerInfoRequest(const std::vector<std::string>& params, const std::string& exeName,
                                     std::ostream& out) {
  for (const std::string& p : params) {
    if (p == "--help" || p == "-h" || p == "--version") {
      out << (p == "--version" ? VersionText(exeName) : UsageText(exeName)) << std::flush;
      return out ? 0 : 1;
    }
  }
  return std::nullopt;
}

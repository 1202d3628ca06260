#include "diag/U_VEK_PendingReports.h"

#include <algorithm>
#include <iterator>

#include "base/ReportWire.h"
#include "base/TextUtil.h"
#include "diag/U_VEK_StateFolder.h"
#include "platform/DirEnum.h"
#include "platform/FileSystem.h"
#include "platform/SignalSafeFile.h"

namespace {

const char* const ReportFileSuffix = ".vekreport";
constexpr std::size_t MaxFieldLines = 32;

// The crash reports' folder and the head of the running program's report:
// prepared on the GUI thread, read by the signal handler. Initialised
// before the program runs, so the handler never starts them (the folder at
// compile time; the empty text as the program loads: clang does not take
// libstdc++'s string as a constant initialiser).
constinit TSignalSafeFolder CrashFolder;
std::string CrashHead;

}  // namespace

std::string VEKPendingReportsFolder() {
  const std::string state = VEKStateFolder();
  return state.empty() ? state : state + "/pending-reports";
}

std::optional<TVEKReport> ParsePendingReport(std::string_view Text) {
  if (Text.size() > MaxPendingReportBytes || Text.find('\0') != std::string_view::npos) return std::nullopt;
  TLineReader lines(Text);
  std::string_view line;
  if (!lines.Next(line) || line != std::string(WireFormatName) + " " + std::to_string(WireFormatVersion))
    return std::nullopt;
  TVEKReport report;
  bool program = false;
  for (std::size_t count = 0;; ++count) {
    if (count > MaxFieldLines || !lines.Next(line)) return std::nullopt;
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string name = LowerAscii(TrimBlanks(line.substr(0, colon)));
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (HasControlChars(value)) return std::nullopt;
    if (name == "program") {
      if (value.empty() || value.size() > MaxWireProgramLength) return std::nullopt;
      report.Program = value;
      program = true;
    } else if (name == "version") {
      if (value.size() > MaxWireVersionLength) return std::nullopt;
      report.Version = value;
    } else if (name == "executable") {
      if (!value.empty() && !IsWireToken(value)) return std::nullopt;
      report.Executable = value;
    } else if (name == "key") {
      if (!IsWireToken(value)) return std::nullopt;
      report.Key = value;
    }
  }
  std::string_view text = lines.Rest();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  if (!program || report.Key.empty() || TrimBlanks(text).empty()) return std::nullopt;
  report.Text = text;
  return report;
}

bool PrepareCrashReports(const std::string& Folder, const std::string& ProgramFile, const TVEKReport& Head) {
  // No handler reads the head while it changes: it is written before the
  // folder is prepared, and the folder cleared first.
  CrashFolder.Clear();
  CrashHead = VEKReportHead(Head);
  return !ProgramFile.empty() && CrashFolder.Prepare(Folder, ProgramFile + ".", ReportFileSuffix, MaxPendingReports);
}

void StopCrashReports() {
  CrashFolder.Clear();
}

bool KeepCrashReport(std::string_view Text) noexcept {
  const TSignalSafeFolder& folder = CrashFolder;
  if (!folder.Prepared()) return false;
  const std::string_view parts[] = {CrashHead, Text, "\r\n"};
  return folder.Write(parts, std::size(parts));
}

std::vector<TVEKPendingReport> PendingReports(const std::string& Folder, const std::string& ProgramFile) {
  std::vector<TVEKPendingReport> reports;
  if (Folder.empty() || ProgramFile.empty()) return reports;
  const std::string prefix = ProgramFile + ".";
  std::vector<std::string> stale;
  TDirEnum entries(Folder, "*", faHidden);
  for (TDirEntry entry; entries.Next(entry);) {
    const std::string file = Folder + "/" + entry.Name;
    // A write cut short leaves its hidden temporary file.
    if (entry.Name.starts_with("." + prefix) && entry.Name.ends_with(".tmp")) {
      stale.push_back(file);
      continue;
    }
    std::uint64_t seconds = 0, process = 0;
    if (!TSignalSafeFolder::ParseName(entry.Name, prefix, ReportFileSuffix, seconds, process)) continue;
    std::optional<TVEKReport> report;
    try {
      std::uintmax_t skipped = 0;
      const std::string text = ReadFileTail(file, MaxPendingReportBytes + 1, skipped);
      if (skipped == 0) report = ParsePendingReport(text);
    } catch (...) {
      // Unreadable now: left for a later start.
      continue;
    }
    if (!report) {
      stale.push_back(file);
      continue;
    }
    reports.push_back({file, static_cast<std::time_t>(seconds), std::move(*report)});
  }
  for (const std::string& file : stale) RemoveFile(file);
  std::sort(reports.begin(), reports.end(),
            [](const TVEKPendingReport& a, const TVEKPendingReport& b) { return a.FileName < b.FileName; });
  return reports;
}

void RemovePendingReport(const TVEKPendingReport& Report) {
  RemoveFile(Report.FileName);
}

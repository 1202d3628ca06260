#pragma once
// Crash reports kept for the maker's report collector until the program
// starts again.
//
// A crash (a fatal signal while exceptions are intercepted, "/DEBUG") is
// reported in the log from inside the signal handler (U_VEK_Debug.h). When
// the program names a collector, the same report is also kept here, as a
// pending report of its own:
//   <VEKStateFolder()>/pending-reports/<program file>.<seconds since 1970,
//   20 digits>.<process id>.vekreport
// written with the calls a signal handler may make (no network, nothing
// allocated beyond the report the crash path made; platform/SignalSafeFile.h),
// atomically, at most MaxPendingReports of one program, the oldest dropped.
// The file holds the report's body as it is sent (U_VEK_Report.h), with the
// idempotency key that every try keeps. At the next start the program offers
// its pending reports to the user (F_VEK_SendReport.h); a report that was
// sent or declined is removed, one whose send failed stays.
//
// Only the running program's own reports (<program file>: the executable's
// file name) are listed and offered. GUI thread, but for KeepCrashReport.
#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diag/U_VEK_Report.h"

inline constexpr std::size_t MaxPendingReports = 20;
// A larger file is no pending report.
inline constexpr std::size_t MaxPendingReportBytes = 512 * 1024;

struct TVEKPendingReport {
  std::string FileName;  // its file, the full path
  std::time_t Time = 0;  // when the program ended
  TVEKReport Report;
};

// The folder of the pending reports; empty without a state folder.
std::string VEKPendingReportsFolder();

// A pending report's content read back: the first line "VEK-Report 1",
// "Name: value" lines up to an empty line (Program of 1 to 128 characters,
// Version of at most 64, Executable of at most 128 letters, digits and
// ". _ : -", and the Key, of 1 to 128 of those, which is required; no
// control characters; other names are passed over), then the report's text,
// which is not empty. None when the content is not so, is larger than
// MaxPendingReportBytes or holds a NUL byte.
std::optional<TVEKReport> ParsePendingReport(std::string_view Text);

// Keeps the crash report of the running program from now on: Head holds its
// program, version, executable and key (a crash ends the process, so one key
// serves). ProgramFile is the executable's file name. Nothing is created
// until a crash. False when the folder's name cannot serve.
bool PrepareCrashReports(const std::string& Folder, const std::string& ProgramFile, const TVEKReport& Head);
// Keeps no crash report from now on.
void StopCrashReports();
// From the fatal-signal handler: Text, the report's ten lines, as a pending
// report of the running program when PrepareCrashReports came first. Never
// raises, allocates nothing; false when nothing was kept.
bool KeepCrashReport(std::string_view Text) noexcept;

// The pending reports of ProgramFile in Folder, oldest first. A file of
// ProgramFile that is no pending report is removed, and so are the
// temporary files of writes that never ended.
std::vector<TVEKPendingReport> PendingReports(const std::string& Folder, const std::string& ProgramFile);
// Removes a pending report's file.
void RemovePendingReport(const TVEKPendingReport& Report);

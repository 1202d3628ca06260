#pragma once
// The running program and the system it runs on: TVEKWindows (operating
// system, computer, user, folders, environment, display modes, memory) and
// TVEKApplication (executable, title, version, command line, the log file it
// owns), with their one instance each, created by InitVEKSystem.
//
// The facts come from the platform services of platform/SystemInfo.h and
// platform/Process.h (CurrentSystemInfo(), CurrentProcessServices()).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <QObject>

#include "diag/U_VEK_LogFile.h"

class TEndSignalWatch;
class TVEKSessionHook;

// The desktop's session messages that TVEKWindows::AppHook handles.
enum TVEKSessionMessage : std::uint8_t {
  smQueryEndSession = 0,  // may the user's session end?
  smEndSession = 1,       // the session ends (flag set) or its ending was cancelled (flag clear)
  smOther = 2,            // anything else
};

// The system's name for each platform identifier.
extern const char* const PlatformNames[3];

class TVEKWindows {
 public:
  // Gathers every fact (Refresh) and starts watching the session's end: the
  // desktop's session manager (see AppHook) and the signals SIGTERM, SIGHUP
  // and SIGINT, which end the program at once through its normal shut-down
  // with exit code 128 + the signal's number (143, 129, 130), as a shell
  // reports a program ended by that signal. An error of Refresh (the
  // registry's "Invalid data type for '<value>'") is raised again and the
  // object does not come into being. Watching needs the GUI application
  // object and its thread; an object made without them watches nothing.
  TVEKWindows();
  virtual ~TVEKWindows();
  TVEKWindows(const TVEKWindows&) = delete;
  TVEKWindows& operator=(const TVEKWindows&) = delete;

  // Sees the session messages before the application's own handling; never
  // consumes one (returns false).
  //   smQueryEndSession: with OnQueryEndSession set, calls it with a may-end
  //     flag starting false and sets Result to 1 (true) or 0 (false);
  //     without a handler nothing happens.
  //   smEndSession with Flag set: ends the program at once through its
  //     normal shut-down (Halt(0)); with Flag clear nothing happens.
  virtual bool AppHook(TVEKSessionMessage Msg, bool Flag, int& Result);
  // Gathers every fact again.
  virtual void Refresh();

  bool PlatformIsNT = false;
  std::string ComputerName;
  std::string UserName;
  std::string IPAddress;
  std::string OSVersion;
  std::vector<std::string> Environment;
  std::vector<std::string> DisplayModes;
  std::string WindowsDir, SystemDir, TempDir;
  std::string ProgramFilesDir, CommonFilesDir, MediaPath;
  std::string CommonAdministrativeTools, CommonAppData, CommonDesktop, CommonDocuments, CommonFavorites, CommonPrograms,
      CommonStartMenu, CommonStartup, CommonTemplates;
  std::string AdministrativeTools, AppData, Cookies, Desktop, Personal, Favorites, Fonts, History, LocalSettings,
      LocalAppData, Cache, NetHood, MyPictures, PrintHood, Programs, Recent, SendTo, StartMenu, Startup, Templates;
  std::string MemoryLoad;
  std::string TotalPhys, AvailPhys, TotalPageFile, AvailPageFile, TotalVirtual, AvailVirtual;
  // Asked when the desktop wants to end the user's session; the flag starts false.
  std::function<void(TVEKWindows* Sender, bool& CanEndSession)> OnQueryEndSession;

 private:
  void ReadMemoryStatus();
  [[noreturn]] static void EndProgram(int ExitCode);
  void InstallHooks();
  void RemoveHooks();
  TVEKSessionHook* FSessionHook = nullptr;
  TEndSignalWatch* FSignalWatch = nullptr;
};

enum TVEKPriority : std::uint8_t { prHigh = 0, prIdle = 1, prNormal = 2, prRealTime = 3 };

class TVEKApplication {
 public:
  // Gathers every fact, names the log file and hands it the facts of its
  // opening block (its own, and those of VEKWindows when that exists);
  // decides LogActive from the command line. An error on the way is raised again after the object's
  // parts are released.
  TVEKApplication();
  virtual ~TVEKApplication();
  TVEKApplication(const TVEKApplication&) = delete;
  TVEKApplication& operator=(const TVEKApplication&) = delete;

  // The process's priority, asked from and set on the system each time. A
  // refusal raises EOSError "System Error.  Code: <n>.\r\n<system message>".
  virtual void SetPriority(TVEKPriority Value);
  virtual TVEKPriority GetPriority();
  TVEKPriority Priority() { return GetPriority(); }

  bool IDERunning = false;
  bool InsideIDE = false;
  bool DebuggerPresent = false;
  std::vector<std::string> Params;
  std::string Title;
  std::string FullTitle;
  std::string Version;
  std::string ExeName;
  std::string ExeExt;
  std::string ExePath;
  std::string ParentPath;
  TVEKLogFile* LogFile = nullptr;

  // Logs Msg as INFO and shows it in a box captioned with the title.
  void ShowAndLog(const std::string& Msg);
};

// The log file's name for an executable: its full path with the extension
// replaced by ".log" (appended when the name has none).
std::string LogFileNameOf(const std::string& ExeName);

extern TVEKApplication* VEKApplication;
extern TVEKWindows* VEKWindows;
extern bool LogActive;

// Creates VEKWindows, then VEKApplication, each once, then hands LogActive to
// the log file; when its start fails, LogActive becomes false. Safe to call
// again: a later call neither writes a second opening block nor retries a
// failed start.
void InitVEKSystem();
// The unit's shut-down: releases VEKWindows, then VEKApplication (each
// with SafeFreeAndNil, so a second call does nothing).
void FinalizeVEKSystem();

// RaiseError's log entry: Msg at level llError, without a save request, in
// the log file of VEKApplication when both exist. Installed as
// RaiseErrorLogHook when the program starts (static initialisation of this
// unit); InstallLogHooks installs it again, e.g. after a test replaced it.
void VEKLogRaiseError(const std::string& Msg);
void InstallLogHooks();

#pragma once
// The running program and the system it runs on: TVEKWindows (operating
// system, computer, user, folders, environment, display modes, memory) and
// TVEKApplication (executable, title, version, command line, the log file it
// owns), with their one instance each, created by InitVEKSystem.
#include <QObject>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TVEKLogFile;

class TVEKWindows {
public:
  TVEKWindows();
  virtual ~TVEKWindows();
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
  std::string CommonAdministrativeTools, CommonAppData, CommonDesktop, CommonDocuments, CommonFavorites,
      CommonPrograms, CommonStartMenu, CommonStartup, CommonTemplates;
  std::string AdministrativeTools, AppData, Cookies, Desktop, Personal, Favorites, Fonts, History, LocalSettings,
      LocalAppData, Cache, NetHood, MyPictures, PrintHood, Programs, Recent, SendTo, StartMenu, Startup, Templates;
  std::string MemoryLoad;
  std::string TotalPhys, AvailPhys, TotalPageFile, AvailPageFile, TotalVirtual, AvailVirtual;
  // Asked when the desktop wants to end the user's session; the flag starts false.
  std::function<void(TVEKWindows* Sender, bool& CanEndSession)> OnQueryEndSession;
};

enum TVEKPriority : std::uint8_t { prHigh = 0, prIdle = 1, prNormal = 2, prRealTime = 3 };

class TVEKApplication {
public:
  TVEKApplication();
  ~TVEKApplication();
  virtual void SetPriority(TVEKPriority Value);
  virtual TVEKPriority GetPriority();

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

extern TVEKApplication* VEKApplication;
extern TVEKWindows* VEKWindows;
extern bool LogActive;

// Creates VEKWindows, then VEKApplication, each once, then hands LogActive to
// the log file. Safe to call again.
void InitVEKSystem();
// The unit's shut-down: releases VEKWindows, then VEKApplication.
void FinalizeVEKSystem();

#include "diag/U_VEK_System.h"

#include <algorithm>
#include <iterator>

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QSessionManager>
#include <QThread>

#include "base/Exceptions.h"
#include "base/Shutdown.h"
#include "base/TextUtil.h"
#include "diag/U_VEK_FileVersion.h"
#include "diag/U_VEK_Files.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_RaiseError.h"
#include "diag/U_VEK_SafeFree.h"
#include "platform/Process.h"
#include "platform/SystemInfo.h"
#include "runtime/Application.h"
#include "runtime/LocaleText.h"
#include "runtime/QtText.h"

TVEKApplication* VEKApplication = nullptr;
TVEKWindows* VEKWindows = nullptr;
bool LogActive = false;

const char* const PlatformNames[3] = {"Win32s on Windows 3.1", "Win32 on Windows 95", "Windows NT"};

namespace {

constexpr const char* OSCallFailed = "A call to an OS function failed";

// A platform that never says "no more" must not hold Refresh forever.
constexpr int MaxDisplayModes = 4096;

// Installed before main runs. The hook variable is constant-initialised, so
// the order of the units' static initialisation does not matter.
[[maybe_unused]] const bool HooksInstalled = (InstallLogHooks(), true);

// The text of a name or folder call: the name up to its first zero byte on
// success, else the system's message for the error, or OSCallFailed when
// the system gave no error number.
std::string OSCallText(const TOSCallResult& r) {
  if (r.Ok) return r.Text.substr(0, r.Text.find('\0'));
  if (r.Error != 0) return SysErrorMessage(r.Error);
  return OSCallFailed;
}

// The field of each registry fact, indexed by TShellFolder: each field has
// the name of its folder.
#define VEK_SHELL_FIELD(Name, ValueName) &TVEKWindows::Name,
std::string TVEKWindows::*const ShellFields[] = {BREVANT_SHELL_FOLDERS(VEK_SHELL_FIELD)};
#undef VEK_SHELL_FIELD

// "<kilobytes> Ko": the amount divided by 1024, rounded half up, its digits
// grouped by the locale's thousands separator. Any 64-bit amount.
std::string KiloText(std::uint64_t bytes) {
  return GroupedNumber(bytes / 1024 + (bytes % 1024 >= 512 ? 1 : 0)) + " Ko";
}

// Raises the platform error for `code`.
[[noreturn]] void RaiseLastOSError(int code) {
  if (code == 0) throw EOSError(OSCallFailed, 0);
  throw EOSError("System Error.  Code: " + std::to_string(code) + ".\r\n" + SysErrorMessage(code), code);
}

// The folder part of a path up to and including its last "/", with "/"
// appended when missing.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

// The extension of the file name (from the last "." after the last "/",
// dot included), or empty.
std::string ExtensionOf(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  const std::size_t slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return path.substr(dot);
}

}  // namespace

std::string LogFileNameOf(const std::string& ExeName) {
  return ExeName.substr(0, ExeName.size() - ExtensionOf(ExeName).size()) + ".log";
}

// ---------------------------------------------------------------------------
// TVEKSessionHook: the desktop session's messages, as the toolkit reports
// them.
//
// - QGuiApplication::commitDataRequest is the session manager's question
//   whether the session may end: AppHook(smQueryEndSession). What a handler
//   answers stays with this library: the toolkit's own handling answers the
//   session manager (it lets the session end).
// - The end itself: when the session manager tells the program to die, the
//   toolkit sends the application object a Quit event. A Quit event after
//   the question is the session's end: AppHook(smEndSession, true), which
//   ends the program before anything else runs.
// - The session manager cancels an ending without telling the program; it
//   only gives the user back the desktop (the toolkit blocks the program's
//   input while the session ends). A key or mouse press after the question
//   therefore counts as the cancellation: AppHook(smEndSession, false), and
//   a later Quit event is an ordinary one again.
class TVEKSessionHook : public QObject {
 public:
  explicit TVEKSessionHook(TVEKWindows* Owner) : FOwner(Owner) {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    app->installEventFilter(this);
    connect(
        app, &QGuiApplication::commitDataRequest, this,
        [this](QSessionManager&) {
          FEnding = true;
          int result = 0;
          FOwner->AppHook(smQueryEndSession, true, result);
        },
        Qt::DirectConnection);
  }

  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (!FEnding) return false;
    int result = 0;
    switch (Event->type()) {
      case QEvent::Quit:
        if (Watched == QCoreApplication::instance()) FOwner->AppHook(smEndSession, true, result);
        break;
      case QEvent::KeyPress:
      case QEvent::MouseButtonPress:
        FEnding = false;
        FOwner->AppHook(smEndSession, false, result);
        break;
      default:
        break;
    }
    return false;
  }

 private:
  TVEKWindows* FOwner;
  bool FEnding = false;
};

// ---------------------------------------------------------------------------
// TVEKWindows

TVEKWindows::TVEKWindows() {
  InstallHooks();
  try {
    Refresh();
  } catch (...) {
    RemoveHooks();
    throw;
  }
}

TVEKWindows::~TVEKWindows() {
  RemoveHooks();
  Environment.clear();
  DisplayModes.clear();
}

// The session hook needs the GUI application object and its thread; the
// signal watch makes the same check of its own.
void TVEKWindows::InstallHooks() {
  const QCoreApplication* app = QCoreApplication::instance();
  if (qobject_cast<const QGuiApplication*>(app) && QThread::currentThread() == app->thread())
    FSessionHook = new TVEKSessionHook(this);
  FSignalWatch = new TEndSignalWatch([](int Signal) { EndProgram(128 + Signal); });
}

void TVEKWindows::RemoveHooks() {
  SafeFreeAndNil(FSignalWatch);
  SafeFreeAndNil(FSessionHook);
}

void TVEKWindows::EndProgram(int ExitCode) {
  TEndSignalWatch::IgnoreEndSignals();
  Halt(ExitCode);
}

bool TVEKWindows::AppHook(TVEKSessionMessage Msg, bool Flag, int& Result) {
  switch (Msg) {
    case smEndSession:
      if (Flag) EndProgram(0);
      break;
    case smQueryEndSession:
      if (OnQueryEndSession) {
        bool canEnd = false;
        OnQueryEndSession(this, canEnd);
        Result = canEnd ? 1 : 0;
      }
      break;
    default:
      break;
  }
  return false;
}

void TVEKWindows::Refresh() {
  TSystemInfo& sys = CurrentSystemInfo();

  const TOSVersionRecord v = sys.VersionRecord();
  PlatformIsNT = v.PlatformId == 2;
  // The system's own name where the platform gives one ("Linux"), else the
  // name of its platform identifier.
  std::string name = v.SystemName;
  if (name.empty())
    name = v.PlatformId < std::size(PlatformNames) ? PlatformNames[v.PlatformId]
                                                   : "Platform " + std::to_string(v.PlatformId);
  const std::uint32_t build = v.PlatformId == 1 ? (v.Build & 0xFFFF) : v.Build;
  OSVersion = name + " v" + std::to_string(v.Major) + "." + std::to_string(v.Minor) + "." + std::to_string(build) +
              " " + v.ServicePack;

  ComputerName = OSCallText(sys.ComputerName());
  UserName = OSCallText(sys.UserName());
  WindowsDir = OSCallText(sys.WindowsDir());
  SystemDir = OSCallText(sys.SystemDir());
  TempDir = OSCallText(sys.TempDir());

  for (int i = 0; i < ShellFolderCount; ++i) {
    std::string value;
    const TFolderRead read = sys.ShellFolder(static_cast<TShellFolder>(i), value);
    if (read == TFolderRead::WrongType)
      throw ERegistryException(std::string("Invalid data type for '") + ShellFolderValueNames[i] + "'");
    this->*ShellFields[i] = read == TFolderRead::Found ? value : std::string();
  }

  Environment = sys.EnvironmentStrings();

  DisplayModes.clear();
  TDisplayMode mode;
  for (int i = 0; i < MaxDisplayModes && sys.DisplayMode(i, mode); ++i) {
    std::string text = std::to_string(mode.Width) + " x " + std::to_string(mode.Height) + " (" +
                       std::to_string(mode.BitsPerPixel) + " bits)";
    if (std::find(DisplayModes.begin(), DisplayModes.end(), text) == DisplayModes.end())
      DisplayModes.push_back(std::move(text));
  }

  IPAddress = UnknownText;
  std::string host;
  std::vector<std::string> addresses;
  if (sys.HostName(host) && sys.HostAddresses(host, addresses))
    for (const std::string& a : addresses) IPAddress = a;

  ReadMemoryStatus();
}

void TVEKWindows::ReadMemoryStatus() {
  const TMemoryStatus m = CurrentSystemInfo().MemoryStatus();
  MemoryLoad = std::to_string(m.MemoryLoad) + " %";
  TotalPhys = KiloText(m.TotalPhys);
  AvailPhys = KiloText(m.AvailPhys);
  TotalPageFile = KiloText(m.TotalPageFile);
  AvailPageFile = KiloText(m.AvailPageFile);
  TotalVirtual = KiloText(m.TotalVirtual);
  AvailVirtual = KiloText(m.AvailVirtual);
}

// ---------------------------------------------------------------------------
// TVEKApplication
//
// The library is only ever linked into a program, never loaded as a package
// of the development environment: an error during construction is always
// raised again (after the parts made so far are released), and the
// package's way of keeping a half-built object is not built.

TVEKApplication::TVEKApplication() {
  try {
    LogFile = new TVEKLogFile;
    Params.clear();

    // The development environment's own process holds a component named
    // "AppBuilder" owned by the application object; a program never does.
    if (Application)
      for (const QObject* child : Application->children())
        if (SameTextAscii(FromQString(child->objectName()), "AppBuilder")) InsideIDE = true;

    TProcessServices& process = CurrentProcessServices();
    DebuggerPresent = process.BeingDebugged();
    IDERunning = process.TopLevelWindowExists("TAlignPalette") && process.TopLevelWindowExists("TPropertyInspector") &&
                 process.TopLevelWindowExists("TAppBuilder");

    ExeName = ExpandLongPath(process.ExecutablePath());
    ExePath = FolderOf(ExeName);
    std::string folder = ExePath;
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    ParentPath = FolderOf(folder);
    ExeExt = ExtensionOf(ExeName);

    Version = FileVersionText(ExeName);
    Title = Application ? Application->Title() : std::string();
    FullTitle = Title + " " + Version;

    LogFile->FileName = LogFileNameOf(ExeName);
    LogFile->Opening.Title = Title;
    LogFile->Opening.ExeName = ExeName;
    if (VEKWindows) {
      LogFile->Opening.UserName = VEKWindows->UserName;
      LogFile->Opening.ComputerName = VEKWindows->ComputerName;
      LogFile->Opening.OSVersion = VEKWindows->OSVersion;
    }

    for (const std::string& p : process.CommandLineParams()) Params.push_back(UpperAscii(p));

    const auto given = [this](const char* Switch) {
      return std::find(Params.begin(), Params.end(), Switch) != Params.end();
    };
    if (InsideIDE)
      LogActive = false;
    else if (given("/LOGFILE"))
      LogActive = true;
    else if (given("/NOLOGFILE"))
      LogActive = false;
  } catch (...) {
    SafeFreeAndNil(LogFile);
    throw;
  }
}

TVEKApplication::~TVEKApplication() {
  SafeFreeAndNil(LogFile);
  Params.clear();
}

void TVEKApplication::ShowAndLog(const std::string& Msg) {
  if (LogFile) {
    try {
      LogFile->Write(llInfo, Msg, false);
    } catch (...) {
      // The message is shown all the same.
    }
  }
  ShowMessage(Msg);
}

void TVEKApplication::SetPriority(TVEKPriority Value) {
  static constexpr std::uint32_t Classes[] = {pcHigh, pcIdle, pcNormal, pcRealTime};
  // A value outside the table asks for no class, which the platform refuses.
  const std::uint32_t cls = Value < std::size(Classes) ? Classes[Value] : 0;
  int error = 0;
  if (!CurrentProcessServices().SetPriorityClass(cls, error)) RaiseLastOSError(error);
}

TVEKPriority TVEKApplication::GetPriority() {
  std::uint32_t cls = 0;
  int error = 0;
  if (!CurrentProcessServices().GetPriorityClass(cls, error)) RaiseLastOSError(error);
  switch (cls) {
    case pcHigh:
      return prHigh;
    case pcIdle:
      return prIdle;
    case pcNormal:
      return prNormal;
    case pcRealTime:
      return prRealTime;
    default:
      return prNormal;
  }
}

// ---------------------------------------------------------------------------

void InitVEKSystem() {
  if (!VEKWindows) VEKWindows = new TVEKWindows;
  if (!VEKApplication) VEKApplication = new TVEKApplication;
  if (VEKApplication && VEKApplication->LogFile) {
    VEKApplication->LogFile->SetActive(LogActive);
    // A start that failed leaves logging off for the rest of the run: the
    // next call (start-up calls this twice) must not try, and tell, again.
    LogActive = VEKApplication->LogFile->Active();
  }
}

void FinalizeVEKSystem() {
  SafeFreeAndNil(VEKWindows);
  SafeFreeAndNil(VEKApplication);
}

void VEKLogRaiseError(const std::string& Msg) {
  if (VEKApplication && VEKApplication->LogFile) VEKApplication->LogFile->Write(llError, Msg, false);
}

void InstallLogHooks() {
  RaiseErrorLogHook = &VEKLogRaiseError;
}

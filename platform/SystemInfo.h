#pragma once
// Facts about the operating system, the computer and the user, in the shape
// of the original platform's calls: a version record, the name and folder
// calls (each reporting success or an error number), the shell folders of
// the registry, the environment block, the display modes, the host's IPv4
// addresses and the memory status.
//
// TSystemInfo is the service; TPosixSystemInfo (SystemInfo_posix.h) the
// Linux implementation.
// Callers reach the one in use through CurrentSystemInfo(); tests install a
// stand-in with SetCurrentSystemInfo(). Where each value comes from on Linux
// is written beside the code that reads it (SystemInfo_posix.cpp).
//
// None of the calls throws. All run on the GUI thread.
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "base/Exceptions.h"

// The version record of the running system.
struct TOSVersionRecord {
  std::uint32_t PlatformId = 2;  // 0 Win32s, 1 Windows 9x, 2 NT family (also every modern kernel)
  std::uint32_t Major = 0;
  std::uint32_t Minor = 0;
  std::uint32_t Build = 0;
  std::string ServicePack;  // the service-pack text; on Linux the distribution's name
  std::string SystemName;   // the system's own name ("Linux"); empty: the platform identifier names it
};

// The outcome of a name or folder call.
struct TOSCallResult {
  bool Ok = false;
  std::string Text;  // on success: the name or folder (may hold a zero byte; callers stop there)
  int Error = 0;     // on failure: the system's error number, 0 when the system gave none
};

// The registry facts and shell folders, in the order of their fields: the
// one list of them. Each entry is X(Name, ValueName): Name is the
// enumeration value here and the field of the same name wherever the facts
// are kept (the diagnostics library's system facts), ValueName the registry
// value the original platform reads it from.
#define BREVANT_SHELL_FOLDERS(X)                              \
  X(ProgramFilesDir, "ProgramFilesDir")                       \
  X(CommonFilesDir, "CommonFilesDir")                         \
  X(MediaPath, "MediaPath")                                   \
  X(CommonAdministrativeTools, "Common Administrative Tools") \
  X(CommonAppData, "Common AppData")                          \
  X(CommonDesktop, "Common Desktop")                          \
  X(CommonDocuments, "Common Documents")                      \
  X(CommonFavorites, "Common Favorites")                      \
  X(CommonPrograms, "Common Programs")                        \
  X(CommonStartMenu, "Common Start Menu")                     \
  X(CommonStartup, "Common Startup")                          \
  X(CommonTemplates, "Common Templates")                      \
  X(AdministrativeTools, "Administrative Tools")              \
  X(AppData, "AppData")                                       \
  X(Cookies, "Cookies")                                       \
  X(Desktop, "Desktop")                                       \
  X(Personal, "Personal")                                     \
  X(Favorites, "Favorites")                                   \
  X(Fonts, "Fonts")                                           \
  X(History, "History")                                       \
  X(LocalSettings, "Local Settings")                          \
  X(LocalAppData, "Local AppData")                            \
  X(Cache, "Cache")                                           \
  X(NetHood, "NetHood")                                       \
  X(MyPictures, "My Pictures")                                \
  X(PrintHood, "PrintHood")                                   \
  X(Programs, "Programs")                                     \
  X(Recent, "Recent")                                         \
  X(SendTo, "SendTo")                                         \
  X(StartMenu, "Start Menu")                                  \
  X(Startup, "Startup")                                       \
  X(Templates, "Templates")

#define BREVANT_SHELL_FOLDER_NAME(Name, ValueName) Name,
enum class TShellFolder : std::uint8_t { BREVANT_SHELL_FOLDERS(BREVANT_SHELL_FOLDER_NAME) };
#undef BREVANT_SHELL_FOLDER_NAME

// The registry value name of each shell folder, indexed by TShellFolder.
#define BREVANT_SHELL_FOLDER_VALUE_NAME(Name, ValueName) ValueName,
inline constexpr const char* ShellFolderValueNames[] = {BREVANT_SHELL_FOLDERS(BREVANT_SHELL_FOLDER_VALUE_NAME)};
#undef BREVANT_SHELL_FOLDER_VALUE_NAME

inline constexpr int ShellFolderCount = static_cast<int>(std::size(ShellFolderValueNames));

enum class TFolderRead : std::uint8_t {
  Found,      // Value holds the folder
  Missing,    // no such key or value: Value is empty
  WrongType,  // the value exists but is not text: Value is empty
};

// One display mode.
struct TDisplayMode {
  int Width = 0;   // pixels
  int Height = 0;  // pixels
  int BitsPerPixel = 0;
};

// Memory amounts in bytes, full 64-bit values.
struct TMemoryStatus {
  std::uint32_t MemoryLoad = 0;  // percentage of physical memory in use, 0 to 100
  std::uint64_t TotalPhys = 0;
  std::uint64_t AvailPhys = 0;
  std::uint64_t TotalPageFile = 0;
  std::uint64_t AvailPageFile = 0;
  std::uint64_t TotalVirtual = 0;
  std::uint64_t AvailVirtual = 0;
};

// The registry error: a value exists with a type other than text.
class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

class TSystemInfo {
 public:
  virtual ~TSystemInfo() = default;

  virtual TOSVersionRecord VersionRecord() = 0;
  virtual TOSCallResult ComputerName() = 0;
  virtual TOSCallResult UserName() = 0;
  virtual TOSCallResult WindowsDir() = 0;
  virtual TOSCallResult SystemDir() = 0;
  // The folder for temporary files, ending with the folder separator.
  virtual TOSCallResult TempDir() = 0;
  // Reads one registry fact. `value` is empty unless the result is Found.
  virtual TFolderRead ShellFolder(TShellFolder folder, std::string& value) = 0;
  // The process's environment strings ("NAME=value"), in block order.
  virtual std::vector<std::string> EnvironmentStrings() = 0;
  // Display mode number index (0, 1, 2, ...) of the current display; false
  // when there is no such mode.
  virtual bool DisplayMode(int index, TDisplayMode& mode) = 0;
  // The host's name; false when it cannot be got.
  virtual bool HostName(std::string& name) = 0;
  // The IPv4 addresses of the host called `name`, dotted; false when none
  // is known. Only local sources are asked, never a name server: a start-up
  // must not wait on the network (see the platform's implementation).
  virtual bool HostAddresses(const std::string& name, std::vector<std::string>& addresses) = 0;
  virtual TMemoryStatus MemoryStatus() = 0;
};

// The service in use: the platform's own unless another was installed.
TSystemInfo& CurrentSystemInfo();
// Installs `info` (null: the platform's own again) and returns the one it
// replaces (null when that was the platform's own). The caller keeps
// ownership and keeps `info` alive while it is installed.
TSystemInfo* SetCurrentSystemInfo(TSystemInfo* info);

// The user's own folder for state that programs keep between runs (logs,
// reports waiting to be sent): $XDG_STATE_HOME when it holds an absolute
// path, else ~/.local/state (the home folder from $HOME, else the user
// database); empty when there is no home folder. Not created here.
std::string UserStateFolder();

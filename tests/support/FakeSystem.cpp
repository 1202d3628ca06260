#include "tests/support/FakeSystem.h"

#include <algorithm>

TFakeSystemInfo::TFakeSystemInfo() {
  Version.PlatformId = 2;
  Version.Major = 6;
  Version.Minor = 1;
  Version.Build = 0;
  Version.SystemName = "Linux";
  Version.ServicePack = "Debian GNU/Linux 12 (bookworm)";
  Computer = {true, "testhost", 0};
  User = {true, "tester", 0};
  Windows = {true, "", 0};
  System = {true, "", 0};
  Temp = {true, "/tmp/", 0};
  FolderReads.fill(TFolderRead::Missing);
  Environment = {"HOME=/home/tester", "LANG=C.UTF-8"};
  Modes = {{1920, 1080, 24}};
  Memory.MemoryLoad = 37;
  Memory.TotalPhys = std::uint64_t{8} << 30;
  Memory.AvailPhys = std::uint64_t{5} << 30;
  Memory.TotalPageFile = std::uint64_t{10} << 30;
  Memory.AvailPageFile = std::uint64_t{7} << 30;
  Memory.TotalVirtual = std::uint64_t{1} << 47;
  Memory.AvailVirtual = (std::uint64_t{1} << 47) - (std::uint64_t{1} << 30);
}

TFolderRead TFakeSystemInfo::ShellFolder(TShellFolder Folder, std::string& Value) {
  ++ShellFolderCalls;
  const auto i = static_cast<std::size_t>(Folder);
  Value = FolderReads[i] == TFolderRead::Found ? FolderValues[i] : std::string();
  return FolderReads[i];
}

std::vector<std::string> TFakeSystemInfo::EnvironmentStrings() {
  ++EnvironmentCalls;
  return Environment;
}

bool TFakeSystemInfo::DisplayMode(int Index, TDisplayMode& Mode) {
  if (Index < 0 || static_cast<std::size_t>(Index) >= Modes.size()) return false;
  Mode = Modes[static_cast<std::size_t>(Index)];
  return true;
}

bool TFakeSystemInfo::HostName(std::string& Name) {
  if (!HostNameOk) return false;
  Name = Host;
  return true;
}

bool TFakeSystemInfo::HostAddresses(const std::string& Name, std::vector<std::string>& List) {
  ResolvedName = Name;
  List.clear();
  if (!ResolveOk) return false;
  List = Addresses;
  return true;
}

TMemoryStatus TFakeSystemInfo::MemoryStatus() {
  ++MemoryCalls;
  return Memory;
}

std::vector<std::string> TFakeProcessServices::CommandLineParams() {
  if (!ParamsError.empty()) throw Exception(ParamsError);
  return Params;
}

bool TFakeProcessServices::TopLevelWindowExists(const std::string& ClassName) {
  WindowQueries.push_back(ClassName);
  return std::find(Windows.begin(), Windows.end(), ClassName) != Windows.end();
}

bool TFakeProcessServices::GetPriorityClass(std::uint32_t& Class, int& Error) {
  if (GetError >= 0) {
    Error = GetError;
    return false;
  }
  Class = PriorityClass;
  return true;
}

bool TFakeProcessServices::SetPriorityClass(std::uint32_t Class, int& Error) {
  if (SetError >= 0) {
    Error = SetError;
    return false;
  }
  PriorityClass = Class;
  return true;
}

TFakeSystemScope::TFakeSystemScope()
    : FPreviousInfo(SetCurrentSystemInfo(&Info)), FPreviousProcess(SetCurrentProcessServices(&Process)) {}

TFakeSystemScope::~TFakeSystemScope() {
  SetCurrentSystemInfo(FPreviousInfo);
  SetCurrentProcessServices(FPreviousProcess);
}

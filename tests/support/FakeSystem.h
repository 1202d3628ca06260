#pragma once
// Stand-ins for the system information and process services: every answer
// is a field a test sets, so a test can make "the user-name call failed
// with error 0" or "the host has three addresses" happen. TFakeSystemScope
// installs both for the life of a scope.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/SystemInfo.h"

class TFakeSystemInfo final : public TSystemInfo {
 public:
  TFakeSystemInfo();  // a plausible machine: every call succeeds

  TOSVersionRecord Version;
  TOSCallResult Computer, User, Windows, System, Temp;
  std::array<TFolderRead, ShellFolderCount> FolderReads{};
  std::array<std::string, ShellFolderCount> FolderValues;
  std::vector<std::string> Environment;
  std::vector<TDisplayMode> Modes;
  bool HostNameOk = true;
  std::string Host = "testhost";
  bool ResolveOk = true;
  std::vector<std::string> Addresses = {"127.0.0.1"};
  TMemoryStatus Memory;

  // How often each call was made.
  int ShellFolderCalls = 0;
  int EnvironmentCalls = 0;
  int MemoryCalls = 0;
  std::string ResolvedName;

  TOSVersionRecord VersionRecord() override { return Version; }
  TOSCallResult ComputerName() override { return Computer; }
  TOSCallResult UserName() override { return User; }
  TOSCallResult WindowsDir() override { return Windows; }
  TOSCallResult SystemDir() override { return System; }
  TOSCallResult TempDir() override { return Temp; }
  TFolderRead ShellFolder(TShellFolder Folder, std::string& Value) override;
  std::vector<std::string> EnvironmentStrings() override;
  bool DisplayMode(int Index, TDisplayMode& Mode) override;
  bool HostName(std::string& Name) override;
  bool HostAddresses(const std::string& Name, std::vector<std::string>& List) override;
  TMemoryStatus MemoryStatus() override;
};

class TFakeProcessServices final : public TProcessServices {
 public:
  std::string Exe = "/opt/brevant/Brevant.bin";
  std::vector<std::string> Params;
  std::string ParamsError;  // not empty: CommandLineParams raises Exception with this text
  bool Debugged = false;
  std::vector<std::string> Windows;  // classes of the "existing" top-level windows
  std::vector<std::string> WindowQueries;
  std::uint32_t PriorityClass = pcNormal;
  int GetError = -1;  // >= 0: GetPriorityClass fails with this error number
  int SetError = -1;  // >= 0: SetPriorityClass fails with this error number

  std::string ExecutablePath() override { return Exe; }
  std::vector<std::string> CommandLineParams() override;
  bool BeingDebugged() override { return Debugged; }
  bool TopLevelWindowExists(const std::string& ClassName) override;
  bool GetPriorityClass(std::uint32_t& Class, int& Error) override;
  bool SetPriorityClass(std::uint32_t Class, int& Error) override;
};

// Installs a fresh TFakeSystemInfo and TFakeProcessServices; restores the
// services in use before when it goes.
class TFakeSystemScope {
 public:
  TFakeSystemScope();
  ~TFakeSystemScope();
  TFakeSystemScope(const TFakeSystemScope&) = delete;
  TFakeSystemScope& operator=(const TFakeSystemScope&) = delete;

  TFakeSystemInfo Info;
  TFakeProcessServices Process;

 private:
  TSystemInfo* FPreviousInfo;
  TProcessServices* FPreviousProcess;
};

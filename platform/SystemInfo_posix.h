#pragma once
// The Linux implementation of the system facts (SystemInfo.h) and the
// readers of the Linux sources it takes them from. Callers use the service
// through CurrentSystemInfo(); this header is for the platform's own sources
// and for tests that check the Linux side itself.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SystemInfo.h"

class TPosixSystemInfo final : public TSystemInfo {
 public:
  TOSVersionRecord VersionRecord() override;
  TOSCallResult ComputerName() override;
  TOSCallResult UserName() override;
  TOSCallResult WindowsDir() override;
  TOSCallResult SystemDir() override;
  TOSCallResult TempDir() override;
  TFolderRead ShellFolder(TShellFolder folder, std::string& value) override;
  std::vector<std::string> EnvironmentStrings() override;
  bool DisplayMode(int index, TDisplayMode& mode) override;
  bool HostName(std::string& name) override;
  bool HostAddresses(const std::string& name, std::vector<std::string>& addresses) override;
  TMemoryStatus MemoryStatus() override;
};

// Readers of the Linux sources, exposed for tests. Each takes the text as
// read and never fails: what does not parse gives zeros or an empty text.

// Major, minor and patch level of a kernel release such as
// "6.1.0-18-amd64": the leading decimal numbers separated by dots; missing
// ones are 0; a number too large for 32 bits is cut at the largest value.
void ParseKernelRelease(const std::string& release, std::uint32_t& major, std::uint32_t& minor, std::uint32_t& build);

// The value of `key` in an os-release file (KEY=value lines, the value
// optionally in single or double quotes, a backslash escaping the next
// character inside double quotes); empty when the key is missing.
std::string OsReleaseValue(const std::string& content, const std::string& key);

// The folder of `key` (such as "XDG_DESKTOP_DIR") in a user-dirs.dirs file:
// lines KEY="$HOME/path" or KEY="/path", a backslash escaping the next
// character; "$HOME" is replaced by `home`. Empty when the key is missing or
// its value has another form (a relative path, another variable). The last
// line of a key counts.
std::string UserDirsValue(const std::string& content, const std::string& key, const std::string& home);

// The `key` field ("Key:  <number> kB") of /proc/meminfo or /proc/self/status, in
// bytes; false when the field is missing or malformed.
bool ProcFieldBytes(const std::string& content, const std::string& key, std::uint64_t& bytes);
// The `key` field ("Key:\t<number>") of /proc/self/status as a plain number.
bool ProcFieldNumber(const std::string& content, const std::string& key, std::uint64_t& value);

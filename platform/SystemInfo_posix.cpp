#include "platform/SystemInfo_posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pwd.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include <QGuiApplication>
#include <QScreen>

#include "base/ServiceSlot.h"

extern char** environ;

namespace {

// Files read here are small; anything beyond this is not looked at.
constexpr std::size_t MaxSourceBytes = 256 * 1024;

// The first MaxSourceBytes of a file (also of /proc files, whose size the
// file system does not know); empty when it cannot be read.
std::string ReadSource(const char* path) {
  std::string text;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buf[4096];
  while (text.size() < MaxSourceBytes) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buf, static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (text.size() > MaxSourceBytes) text.resize(MaxSourceBytes);
  return text;
}

// Calls `each` with every line of `text` (without its LF or CR LF).
template <class F>
void ForEachLine(const std::string& text, F each) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::size_t len = end - pos;
    if (len > 0 && text[pos + len - 1] == '\r') --len;
    each(std::string_view(text).substr(pos, len));
    pos = end + 1;
  }
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// For a line "KEY=..." (leading blanks allowed) with the given key: the part
// after "=", else false.
bool AssignmentOf(std::string_view line, const std::string& key, std::string_view& value) {
  std::size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  line.remove_prefix(i);
  if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 || line[key.size()] != '=') return false;
  value = line.substr(key.size() + 1);
  return true;
}

// The text of a double-quoted value whose opening quote is at value[0]; a
// backslash takes the next character as it is. False without the closing
// quote.
bool UnquoteDouble(std::string_view value, std::string& out) {
  out.clear();
  for (std::size_t i = 1; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '"') return true;
    if (c == '\\') {
      if (++i >= value.size()) return false;
      out += value[i];
    } else {
      out += c;
    }
  }
  return false;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// A folder without trailing separators (the root stays "/").
std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The passwd entry's field of the effective user, through getpwuid_r with a
// growing (bounded) buffer. Returns 0 and sets `found` as getpwuid_r does.
template <class F>
int WithOwnPasswdEntry(F use) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::size_t bufSize = size > 0 ? static_cast<std::size_t>(size) : 16384;
  for (;;) {
    std::string buf(bufSize, '\0');
    passwd pw{};
    passwd* result = nullptr;
    const int rc = ::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE && bufSize < 1024 * 1024) {
      bufSize *= 4;
      continue;
    }
    if (rc == 0 && result) use(*result);
    return rc;
  }
}

// The user's home folder: $HOME, else the passwd entry's; empty when neither.
std::string HomeDir() {
  std::string home = Env("HOME");
  if (home.empty())
    WithOwnPasswdEntry([&](const passwd& pw) {
      if (pw.pw_dir) home = pw.pw_dir;
    });
  return WithoutTrailingSlash(home);
}

// An XDG base folder: the variable when it holds an absolute path (the
// base-directory rules ignore relative ones), else home + "/" + fallback.
std::string XdgBase(const char* variable, const char* fallback, const std::string& home) {
  const std::string v = Env(variable);
  if (!v.empty() && v[0] == '/') return WithoutTrailingSlash(v);
  if (home.empty()) return {};
  return home + "/" + fallback;
}

// A user folder named in $XDG_CONFIG_HOME/user-dirs.dirs, else the folder
// of that name in the home folder (the name the desktop creates it with).
std::string XdgUserDir(const char* key, const char* fallback, const std::string& home) {
  const std::string config = XdgBase("XDG_CONFIG_HOME", ".config", home);
  if (!config.empty()) {
    const std::string v = UserDirsValue(ReadSource((config + "/user-dirs.dirs").c_str()), key, home);
    if (!v.empty()) return WithoutTrailingSlash(v);
  }
  if (home.empty()) return {};
  return home + "/" + fallback;
}

bool ParseUnsigned(std::string_view s, std::size_t& i, std::uint64_t& value) {
  const std::size_t start = i;
  value = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    const unsigned digit = static_cast<unsigned>(s[i] - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
    ++i;
  }
  return i > start;
}

// The text after "Key:" on the line of that key, or false.
bool ProcField(const std::string& content, const std::string& key, std::string_view& rest) {
  bool found = false;
  ForEachLine(content, [&](std::string_view line) {
    if (found || line.size() <= key.size() || line.compare(0, key.size(), key) != 0 || line[key.size()] != ':') return;
    rest = line.substr(key.size() + 1);
    found = true;
  });
  if (!found) return false;
  std::size_t i = 0;
  while (i < rest.size() && IsBlank(rest[i])) ++i;
  rest.remove_prefix(i);
  return true;
}

// The size of the user part of the address space where no limit is set:
// 47 bits less the guard page on x86-64 (4-level page tables), 48 bits on
// 64-bit ARM, 47 bits elsewhere on 64-bit systems, 3 GiB on 32-bit ones.
std::uint64_t UserAddressSpace() {
#if defined(__x86_64__)
  return (std::uint64_t{1} << 47) - 4096;
#elif defined(__aarch64__)
  return std::uint64_t{1} << 48;
#else
  return sizeof(void*) >= 8 ? std::uint64_t{1} << 47 : std::uint64_t{3} << 30;
#endif
}

constinit TServiceSlot<TSystemInfo, TPosixSystemInfo> Slot;

}  // namespace

// ---------------------------------------------------------------------------

void ParseKernelRelease(const std::string& release, std::uint32_t& major, std::uint32_t& minor, std::uint32_t& build) {
  std::uint32_t* parts[3] = {&major, &minor, &build};
  for (auto* p : parts) *p = 0;
  std::size_t i = 0;
  for (int n = 0; n < 3; ++n) {
    if (n > 0) {
      if (i >= release.size() || release[i] != '.') return;
      ++i;
    }
    if (i >= release.size() || release[i] < '0' || release[i] > '9') return;
    std::uint64_t v = 0;
    while (i < release.size() && release[i] >= '0' && release[i] <= '9') {
      if (v < std::numeric_limits<std::uint32_t>::max()) v = v * 10 + static_cast<unsigned>(release[i] - '0');
      ++i;
    }
    *parts[n] = v > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                              : static_cast<std::uint32_t>(v);
  }
}

std::string OsReleaseValue(const std::string& content, const std::string& key) {
  std::string result;
  ForEachLine(content, [&](std::string_view line) {
    std::string_view value;
    if (!AssignmentOf(line, key, value)) return;
    std::string text;
    if (!value.empty() && value[0] == '"') {
      if (!UnquoteDouble(value, text)) return;
    } else if (!value.empty() && value[0] == '\'') {
      const std::size_t close = value.find('\'', 1);
      if (close == std::string_view::npos) return;
      text = std::string(value.substr(1, close - 1));
    } else {
      while (!value.empty() && IsBlank(value.back())) value.remove_suffix(1);
      text = std::string(value);
    }
    result = std::move(text);
  });
  return result;
}

std::string UserStateFolder() {
  return XdgBase("XDG_STATE_HOME", ".local/state", HomeDir());
}

std::string UserDirsValue(const std::string& content, const std::string& key, const std::string& home) {
  std::string result;
  ForEachLine(content, [&](std::string_view line) {
    std::string_view value;
    if (!AssignmentOf(line, key, value)) return;
    std::string text;
    if (value.empty() || value[0] != '"' || !UnquoteDouble(value, text)) {
      result.clear();
      return;
    }
    if (text.compare(0, 5, "$HOME") == 0 && (text.size() == 5 || text[5] == '/'))
      result = home.empty() ? std::string() : home + text.substr(5);
    else if (!text.empty() && text[0] == '/')
      result = text;
    else
      result.clear();
  });
  return result;
}

namespace {
// A /proc field's number and the unit text after it (blanks trimmed).
bool ProcFieldValue(const std::string& content, const std::string& key, std::uint64_t& value, std::string_view& unit) {
  std::string_view rest;
  if (!ProcField(content, key, rest)) return false;
  std::size_t i = 0;
  if (!ParseUnsigned(rest, i, value)) return false;
  while (i < rest.size() && IsBlank(rest[i])) ++i;
  unit = rest.substr(i);
  while (!unit.empty() && IsBlank(unit.back())) unit.remove_suffix(1);
  return true;
}
}  // namespace

bool ProcFieldNumber(const std::string& content, const std::string& key, std::uint64_t& value) {
  std::uint64_t v = 0;
  std::string_view unit;
  if (!ProcFieldValue(content, key, v, unit) || !unit.empty()) return false;
  value = v;
  return true;
}

bool ProcFieldBytes(const std::string& content, const std::string& key, std::uint64_t& bytes) {
  std::uint64_t v = 0;
  std::string_view unit;
  if (!ProcFieldValue(content, key, v, unit)) return false;
  if (unit == "kB") {
    if (v > std::numeric_limits<std::uint64_t>::max() / 1024) return false;
    v *= 1024;
  } else if (!unit.empty()) {
    return false;
  }
  bytes = v;
  return true;
}

TSystemInfo& CurrentSystemInfo() {
  return Slot.Current();
}

TSystemInfo* SetCurrentSystemInfo(TSystemInfo* info) {
  return Slot.Install(info);
}

// ---------------------------------------------------------------------------
// TPosixSystemInfo

// Every current kernel is of the NT kind (platform identifier 2). Major,
// minor and build are the kernel release's first three numbers (uname
// release, "6.1.0-18-amd64" -> 6, 1, 0); the system's name is uname's
// sysname ("Linux"); the service-pack text is the distribution's
// PRETTY_NAME from /etc/os-release (or /usr/lib/os-release when the former
// is missing), empty when neither names it.
TOSVersionRecord TPosixSystemInfo::VersionRecord() {
  TOSVersionRecord r;
  r.PlatformId = 2;
  utsname u{};
  if (::uname(&u) == 0) {
    r.SystemName = u.sysname;
    ParseKernelRelease(u.release, r.Major, r.Minor, r.Build);
  }
  std::string osRelease = ReadSource("/etc/os-release");
  if (osRelease.empty()) osRelease = ReadSource("/usr/lib/os-release");
  r.ServicePack = OsReleaseValue(osRelease, "PRETTY_NAME");
  return r;
}

// gethostname(). Names are kept whole: the kernel limits them to 64 bytes.
TOSCallResult TPosixSystemInfo::ComputerName() {
  TOSCallResult r;
  char buf[256 + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) {
    r.Error = errno;
    return r;
  }
  r.Ok = true;
  r.Text = buf;
  return r;
}

// The login name of the effective user from the user database
// (getpwuid_r(geteuid())); when it has no entry for that user, or cannot be
// read, $LOGNAME. Failing both, the user database's error number (0 when it
// simply has no entry). Names are kept whole, whatever their length.
TOSCallResult TPosixSystemInfo::UserName() {
  TOSCallResult r;
  std::string name;
  const int rc = WithOwnPasswdEntry([&](const passwd& pw) {
    if (pw.pw_name) name = pw.pw_name;
  });
  if (name.empty()) name = Env("LOGNAME");
  if (name.empty()) {
    r.Error = rc;
    return r;
  }
  r.Ok = true;
  r.Text = std::move(name);
  return r;
}

// The Windows and system folders have no equivalent: empty, successfully.
TOSCallResult TPosixSystemInfo::WindowsDir() {
  return {true, {}, 0};
}
TOSCallResult TPosixSystemInfo::SystemDir() {
  return {true, {}, 0};
}

// $TMPDIR when set and not empty, else /tmp; with a trailing "/".
TOSCallResult TPosixSystemInfo::TempDir() {
  std::string dir = Env("TMPDIR");
  if (dir.empty()) dir = "/tmp";
  if (dir.back() != '/') dir += '/';
  return {true, dir, 0};
}

// No registry here. The shell folders with a near equivalent in the XDG
// base-directory and user-directory rules are filled from those; the rest
// (program and common files, media, every machine-wide "Common" folder,
// administrative tools, cookies, favourites, history, local settings,
// network and printer neighbourhoods, recent documents, send-to, start menu)
// have none and read as missing:
//   AppData       $XDG_CONFIG_HOME, else ~/.config
//   LocalAppData  $XDG_DATA_HOME, else ~/.local/share
//   Cache         $XDG_CACHE_HOME, else ~/.cache
//   Fonts         <LocalAppData>/fonts (the user's own fonts)
//   Programs      <LocalAppData>/applications (the user's menu entries)
//   Startup       <AppData>/autostart (programs started at log-in)
//   Desktop       XDG_DESKTOP_DIR of <AppData>/user-dirs.dirs, else ~/Desktop
//   Personal      XDG_DOCUMENTS_DIR, else ~/Documents
//   MyPictures    XDG_PICTURES_DIR, else ~/Pictures
//   Templates     XDG_TEMPLATES_DIR, else ~/Templates
// "~" is $HOME, else the user database's home folder; without either, the
// folders read as missing. Folders are given without a trailing "/". Nothing
// here is ever of the wrong type.
TFolderRead TPosixSystemInfo::ShellFolder(TShellFolder folder, std::string& value) {
  value.clear();
  const std::string home = HomeDir();
  const auto below = [](std::string base, const char* sub) { return base.empty() ? base : base + "/" + sub; };
  switch (folder) {
    case TShellFolder::AppData:
      value = XdgBase("XDG_CONFIG_HOME", ".config", home);
      break;
    case TShellFolder::LocalAppData:
      value = XdgBase("XDG_DATA_HOME", ".local/share", home);
      break;
    case TShellFolder::Cache:
      value = XdgBase("XDG_CACHE_HOME", ".cache", home);
      break;
    case TShellFolder::Fonts:
      value = below(XdgBase("XDG_DATA_HOME", ".local/share", home), "fonts");
      break;
    case TShellFolder::Programs:
      value = below(XdgBase("XDG_DATA_HOME", ".local/share", home), "applications");
      break;
    case TShellFolder::Startup:
      value = below(XdgBase("XDG_CONFIG_HOME", ".config", home), "autostart");
      break;
    case TShellFolder::Desktop:
      value = XdgUserDir("XDG_DESKTOP_DIR", "Desktop", home);
      break;
    case TShellFolder::Personal:
      value = XdgUserDir("XDG_DOCUMENTS_DIR", "Documents", home);
      break;
    case TShellFolder::MyPictures:
      value = XdgUserDir("XDG_PICTURES_DIR", "Pictures", home);
      break;
    case TShellFolder::Templates:
      value = XdgUserDir("XDG_TEMPLATES_DIR", "Templates", home);
      break;
    default:
      break;
  }
  return value.empty() ? TFolderRead::Missing : TFolderRead::Found;
}

// The process's environment (environ), in order.
std::vector<std::string> TPosixSystemInfo::EnvironmentStrings() {
  std::vector<std::string> list;
  if (environ)
    for (char** e = environ; *e; ++e) list.emplace_back(*e);
  return list;
}

// The toolkit offers no list of a screen's modes: the one mode is the
// primary screen's current size in device pixels (its geometry times its
// device-pixel ratio) and colour depth. No GUI application or no screen:
// no mode.
bool TPosixSystemInfo::DisplayMode(int index, TDisplayMode& mode) {
  if (index != 0 || !qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return false;
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return false;
  const double ratio = screen->devicePixelRatio();
  mode.Width = static_cast<int>(std::lround(screen->geometry().width() * ratio));
  mode.Height = static_cast<int>(std::lround(screen->geometry().height() * ratio));
  mode.BitsPerPixel = screen->depth();
  return true;
}

// gethostname().
bool TPosixSystemInfo::HostName(std::string& name) {
  char buf[256 + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0 || !buf[0]) return false;
  name = buf;
  return true;
}

// The local sources only, as the C library's "files" and "myhostname"
// lookups would answer, so that a name server that does not answer (a VPN
// that is down) never holds the start-up for its time-outs:
// 1. the entries of /etc/hosts that carry `name` (without regard to case)
//    among their names, IPv4 addresses only, in file order;
// 2. else, when `name` is this machine's own name, the IPv4 addresses of its
//    network interfaces (getifaddrs), in the kernel's order.
bool TPosixSystemInfo::HostAddresses(const std::string& name, std::vector<std::string>& addresses) {
  addresses.clear();
  if (name.empty() || name.find('\0') != std::string::npos) return false;
  if (FILE* hosts = std::fopen("/etc/hosts", "re")) {
    char* line = nullptr;
    std::size_t capacity = 0;
    while (::getline(&line, &capacity, hosts) > 0) {
      if (char* comment = std::strchr(line, '#')) *comment = '\0';
      char* save = nullptr;
      const char* address = ::strtok_r(line, " \t\r\n", &save);
      in_addr parsed{};
      if (!address || ::inet_pton(AF_INET, address, &parsed) != 1) continue;
      while (const char* alias = ::strtok_r(nullptr, " \t\r\n", &save)) {
        if (::strcasecmp(alias, name.c_str()) == 0) {
          addresses.emplace_back(address);
          break;
        }
      }
    }
    std::free(line);
    std::fclose(hosts);
  }
  if (!addresses.empty()) return true;

  std::string own;
  if (!HostName(own) || ::strcasecmp(own.c_str(), name.c_str()) != 0) return false;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) addresses.emplace_back(text);
  }
  ::freeifaddrs(list);
  return !addresses.empty();
}

// Physical memory: MemTotal and MemAvailable of /proc/meminfo. Paging file
// (the nearest to the commit limit): RAM plus swap, SwapTotal and SwapFree
// added to the former. Where /proc/meminfo lacks a field, sysinfo() gives it
// (available memory then is free plus buffer memory). Load: the part of
// physical memory in use, in whole percent rounded half up. Virtual: the
// address space the process may use (RLIMIT_AS when set, else the size of
// the user address space), available: that less the process's VmSize from
// /proc/self/status.
TMemoryStatus TPosixSystemInfo::MemoryStatus() {
  TMemoryStatus m;
  const std::string info = ReadSource("/proc/meminfo");
  std::uint64_t total = 0, avail = 0, swapTotal = 0, swapFree = 0;
  bool haveTotal = ProcFieldBytes(info, "MemTotal", total);
  bool haveAvail = ProcFieldBytes(info, "MemAvailable", avail);
  bool haveSwapTotal = ProcFieldBytes(info, "SwapTotal", swapTotal);
  bool haveSwapFree = ProcFieldBytes(info, "SwapFree", swapFree);
  if (!haveTotal || !haveAvail || !haveSwapTotal || !haveSwapFree) {
    struct sysinfo si {};
    if (::sysinfo(&si) == 0) {
      const std::uint64_t unit = si.mem_unit ? si.mem_unit : 1;
      if (!haveTotal) total = si.totalram * unit;
      if (!haveAvail) avail = (static_cast<std::uint64_t>(si.freeram) + si.bufferram) * unit;
      if (!haveSwapTotal) swapTotal = si.totalswap * unit;
      if (!haveSwapFree) swapFree = si.freeswap * unit;
    }
  }
  if (avail > total) avail = total;
  if (swapFree > swapTotal) swapFree = swapTotal;
  m.TotalPhys = total;
  m.AvailPhys = avail;
  m.TotalPageFile = total + swapTotal;
  m.AvailPageFile = avail + swapFree;
  if (total > 0) {
    // In floating point: used * 100 could overflow 64 bits for huge amounts.
    const std::uint64_t used = total - avail;
    const long double load = static_cast<long double>(used) * 100.0L / static_cast<long double>(total);
    m.MemoryLoad = static_cast<std::uint32_t>(std::floor(load + 0.5L));
  }

  rlimit limit{};
  m.TotalVirtual = (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
                       ? static_cast<std::uint64_t>(limit.rlim_cur)
                       : UserAddressSpace();
  std::uint64_t vmSize = 0;
  ProcFieldBytes(ReadSource("/proc/self/status"), "VmSize", vmSize);
  m.AvailVirtual = vmSize < m.TotalVirtual ? m.TotalVirtual - vmSize : 0;
  return m;
}

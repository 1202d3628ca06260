// A file written from a signal handler with the async-signal-safe calls of
// POSIX only: mkdir, open/openat, write, fsync, renameat, unlinkat, lseek,
// clock_gettime, getpid, and getdents64 (through syscall) to find the oldest
// files. Every buffer lies on the stack.
#include "platform/SignalSafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t Digits = 20;  // the seconds in a name
constexpr std::size_t LeafSize = 256;
constexpr std::size_t PathSize = TSignalSafeFolder::MaxFolderLength + 2;

// Appends text to the NUL-terminated buffer of size bytes holding length;
// false when it does not fit.
bool Append(char* buffer, std::size_t size, std::size_t& length, std::string_view text) noexcept {
  if (text.size() >= size - length) return false;
  std::memcpy(buffer + length, text.data(), text.size());
  length += text.size();
  buffer[length] = '\0';
  return true;
}

// Value in decimal, at least Width digits (zeros in front).
bool AppendDecimal(char* buffer, std::size_t size, std::size_t& length, std::uint64_t value,
                   std::size_t width) noexcept {
  char digits[Digits];
  std::size_t count = 0;
  do {
    digits[Digits - 1 - count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count < width && count < Digits) digits[Digits - 1 - count++] = '0';
  return Append(buffer, size, length, std::string_view(digits + Digits - count, count));
}

// A run of decimal digits as a number; false when it holds anything else or
// overflows.
bool Decimal(std::string_view text, std::uint64_t& value) noexcept {
  if (text.empty()) return false;
  std::uint64_t number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(number, 10u, &number) ||
        __builtin_add_overflow(number, static_cast<unsigned>(c - '0'), &number))
      return false;
  }
  value = number;
  return true;
}

// Makes folder and the folders above it that are missing.
bool MakeFolders(const std::string& folder) noexcept {
  char path[PathSize];
  for (std::size_t i = 1; i <= folder.size(); ++i) {
    if (i < folder.size() && folder[i] != '/') continue;
    std::memcpy(path, folder.data(), i);
    path[i] = '\0';
    if (::mkdir(path, 0700) == 0 || errno == EEXIST) continue;
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  }
  return true;
}

bool WriteAll(int file, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t written = ::write(file, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// The layout of one entry that getdents64 returns: inode (8 bytes), offset
// (8), record length (2), type (1), then the name with its NUL.
constexpr std::size_t RecordLengthAt = 16;
constexpr std::size_t NameAt = 19;

}  // namespace

bool TSignalSafeFolder::Prepare(const std::string& folder, const std::string& prefix, const std::string& suffix,
                                std::size_t maxFiles) {
  const auto affixOk = [](const std::string& Text) {
    return Text.size() <= MaxAffixLength && Text.find('/') == std::string::npos && Text.find('\0') == std::string::npos;
  };
  if (folder.empty() || folder[0] != '/' || folder.size() > MaxFolderLength || folder.find('\0') != std::string::npos ||
      prefix.empty() || !affixOk(prefix) || !affixOk(suffix) || maxFiles == 0)
    return false;
  // Each preparation stays reachable from the next, so that a handler that
  // still reads an earlier one reads valid memory.
  struct TKept : TPrepared {
    const TKept* Earlier = nullptr;
  };
  static const TKept* kept = nullptr;
  auto* prepared = new TKept;
  prepared->Folder = folder;
  while (prepared->Folder.size() > 1 && prepared->Folder.back() == '/') prepared->Folder.pop_back();
  prepared->Prefix = prefix;
  prepared->Suffix = suffix;
  prepared->MaxFiles = maxFiles;
  prepared->Earlier = kept;
  kept = prepared;
  FPrepared.store(prepared);
  return true;
}

void TSignalSafeFolder::Clear() {
  FPrepared.store(nullptr);
}

bool TSignalSafeFolder::ParseName(std::string_view name, std::string_view prefix, std::string_view suffix,
                                  std::uint64_t& seconds, std::uint64_t& processId) {
  if (name.size() < prefix.size() + suffix.size() || name.substr(0, prefix.size()) != prefix ||
      name.substr(name.size() - suffix.size()) != suffix)
    return false;
  const std::string_view middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  if (middle.size() < Digits + 2 || middle[Digits] != '.') return false;
  return Decimal(middle.substr(0, Digits), seconds) && Decimal(middle.substr(Digits + 1), processId);
}

bool TSignalSafeFolder::Write(const std::string_view* parts, std::size_t count) const noexcept {
  const TPrepared* prepared = FPrepared.load();
  if (!prepared) return false;
  const int savedErrno = errno;
  const TPrepared& p = *prepared;
  bool ok = MakeFolders(p.Folder);
  const int folder = ok ? ::open(p.Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  ok = folder >= 0;

  // The oldest files go until there is room for this one.
  for (int round = 0; ok && round < 64; ++round) {
    std::size_t kept = 0;
    char oldest[LeafSize] = "";
    if (::lseek(folder, 0, SEEK_SET) != 0) break;
    alignas(8) char entries[4096];
    for (;;) {
      const long got = ::syscall(SYS_getdents64, folder, entries, sizeof entries);
      if (got <= 0) break;
      for (std::size_t at = 0; at + NameAt < static_cast<std::size_t>(got);) {
        unsigned short length = 0;
        std::memcpy(&length, entries + at + RecordLengthAt, sizeof length);
        if (length <= NameAt || at + length > static_cast<std::size_t>(got)) break;
        const char* name = entries + at + NameAt;
        const std::size_t nameLength = ::strnlen(name, length - NameAt);
        at += length;
        std::uint64_t seconds = 0, process = 0;
        if (nameLength >= LeafSize ||
            !ParseName(std::string_view(name, nameLength), p.Prefix, p.Suffix, seconds, process))
          continue;
        ++kept;
        if (oldest[0] == '\0' || std::strcmp(name, oldest) < 0) std::memcpy(oldest, name, nameLength + 1);
      }
    }
    if (kept < p.MaxFiles || oldest[0] == '\0' || ::unlinkat(folder, oldest, 0) != 0) break;
  }

  // The file's name, and its temporary name: hidden, ending in ".tmp".
  char leaf[LeafSize] = "";
  char temp[LeafSize + 8] = ".";
  std::size_t leafLength = 0, tempLength = 1;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  ok = ok && Append(leaf, sizeof leaf, leafLength, p.Prefix) &&
       AppendDecimal(leaf, sizeof leaf, leafLength, static_cast<std::uint64_t>(now.tv_sec), Digits) &&
       Append(leaf, sizeof leaf, leafLength, ".") &&
       AppendDecimal(leaf, sizeof leaf, leafLength, static_cast<std::uint64_t>(::getpid()), 1) &&
       Append(leaf, sizeof leaf, leafLength, p.Suffix) && Append(temp, sizeof temp, tempLength, leaf) &&
       Append(temp, sizeof temp, tempLength, ".tmp");

  int file = -1;
  if (ok) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    file = ::openat(folder, temp, flags, 0600);
    if (file < 0 && errno == EEXIST) {
      // Left by a write that did not end; this process's name is its own.
      ::unlinkat(folder, temp, 0);
      file = ::openat(folder, temp, flags, 0600);
    }
    ok = file >= 0;
  }
  for (std::size_t i = 0; ok && i < count; ++i) ok = WriteAll(file, parts[i]);
  ok = ok && ::fsync(file) == 0;
  if (file >= 0 && ::close(file) != 0) ok = false;
  ok = ok && ::renameat(folder, temp, folder, leaf) == 0;
  if (file >= 0 && !ok) ::unlinkat(folder, temp, 0);
  if (ok) ::fsync(folder);  // the new name made durable, where the file system can
  if (folder >= 0) ::close(folder);
  errno = savedErrno;
  return ok;
}

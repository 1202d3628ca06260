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

constexpr std::size_t kDigits = 20;  // the seconds in a name
constexpr std::size_t kLeafSize = 256;
constexpr std::size_t kPathSize = TSignalSafeFolder::MaxFolderLength + 2;

// Appends Text to the NUL-terminated Buffer of Size bytes holding Length;
// false when it does not fit.
bool Append(char* Buffer, std::size_t Size, std::size_t& Length, std::string_view Text) noexcept {
  if (Text.size() >= Size - Length) return false;
  std::memcpy(Buffer + Length, Text.data(), Text.size());
  Length += Text.size();
  Buffer[Length] = '\0';
  return true;
}

// Value in decimal, at least Width digits (zeros in front).
bool AppendDecimal(char* Buffer, std::size_t Size, std::size_t& Length, std::uint64_t Value,
                   std::size_t Width) noexcept {
  char digits[kDigits];
  std::size_t count = 0;
  do {
    digits[kDigits - 1 - count++] = static_cast<char>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  while (count < Width && count < kDigits) digits[kDigits - 1 - count++] = '0';
  return Append(Buffer, Size, Length, std::string_view(digits + kDigits - count, count));
}

// A run of decimal digits as a number; false when it holds anything else or
// overflows.
bool Decimal(std::string_view Text, std::uint64_t& Value) noexcept {
  if (Text.empty()) return false;
  std::uint64_t value = 0;
  for (const char c : Text) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(value, 10u, &value) ||
        __builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value))
      return false;
  }
  Value = value;
  return true;
}

// Makes Folder and the folders above it that are missing.
bool MakeFolders(const std::string& Folder) noexcept {
  char path[kPathSize];
  for (std::size_t i = 1; i <= Folder.size(); ++i) {
    if (i < Folder.size() && Folder[i] != '/') continue;
    std::memcpy(path, Folder.data(), i);
    path[i] = '\0';
    if (::mkdir(path, 0700) == 0 || errno == EEXIST) continue;
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  }
  return true;
}

bool WriteAll(int File, std::string_view Data) noexcept {
  while (!Data.empty()) {
    const ssize_t written = ::write(File, Data.data(), Data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    Data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// The layout of one entry that getdents64 returns: inode (8 bytes), offset
// (8), record length (2), type (1), then the name with its NUL.
constexpr std::size_t kRecordLengthAt = 16;
constexpr std::size_t kNameAt = 19;

}  // namespace

bool TSignalSafeFolder::Prepare(const std::string& Folder, const std::string& Prefix, const std::string& Suffix,
                                std::size_t MaxFiles) {
  const auto affixOk = [](const std::string& Text) {
    return Text.size() <= MaxAffixLength && Text.find('/') == std::string::npos && Text.find('\0') == std::string::npos;
  };
  if (Folder.empty() || Folder[0] != '/' || Folder.size() > MaxFolderLength || Folder.find('\0') != std::string::npos ||
      Prefix.empty() || !affixOk(Prefix) || !affixOk(Suffix) || MaxFiles == 0)
    return false;
  // Each preparation stays reachable from the next, so that a handler that
  // still reads an earlier one reads valid memory.
  struct TKept : TPrepared {
    const TKept* Earlier = nullptr;
  };
  static const TKept* kept = nullptr;
  auto* prepared = new TKept;
  prepared->Folder = Folder;
  while (prepared->Folder.size() > 1 && prepared->Folder.back() == '/') prepared->Folder.pop_back();
  prepared->Prefix = Prefix;
  prepared->Suffix = Suffix;
  prepared->MaxFiles = MaxFiles;
  prepared->Earlier = kept;
  kept = prepared;
  FPrepared.store(prepared);
  return true;
}

void TSignalSafeFolder::Clear() {
  FPrepared.store(nullptr);
}

bool TSignalSafeFolder::ParseName(std::string_view Name, std::string_view Prefix, std::string_view Suffix,
                                  std::uint64_t& Seconds, std::uint64_t& ProcessId) {
  if (Name.size() < Prefix.size() + Suffix.size() || Name.substr(0, Prefix.size()) != Prefix ||
      Name.substr(Name.size() - Suffix.size()) != Suffix)
    return false;
  const std::string_view middle = Name.substr(Prefix.size(), Name.size() - Prefix.size() - Suffix.size());
  if (middle.size() < kDigits + 2 || middle[kDigits] != '.') return false;
  return Decimal(middle.substr(0, kDigits), Seconds) && Decimal(middle.substr(kDigits + 1), ProcessId);
}

bool TSignalSafeFolder::Write(const std::string_view* Parts, std::size_t Count) const noexcept {
  const TPrepared* prepared = FPrepared.load();
  if (!prepared) return false;
  const int savedErrno = errno;
  const TPrepared& p = *prepared;
  bool ok = MakeFolders(p.Folder);
  const int folder = ok ? ::open(p.Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  ok = folder >= 0;

  // The oldest files go until there is room for this one.
  for (int round = 0; ok && round < 64; ++round) {
    std::size_t count = 0;
    char oldest[kLeafSize] = "";
    if (::lseek(folder, 0, SEEK_SET) != 0) break;
    alignas(8) char entries[4096];
    for (;;) {
      const long got = ::syscall(SYS_getdents64, folder, entries, sizeof entries);
      if (got <= 0) break;
      for (std::size_t at = 0; at + kNameAt < static_cast<std::size_t>(got);) {
        unsigned short length = 0;
        std::memcpy(&length, entries + at + kRecordLengthAt, sizeof length);
        if (length <= kNameAt || at + length > static_cast<std::size_t>(got)) break;
        const char* name = entries + at + kNameAt;
        const std::size_t nameLength = ::strnlen(name, length - kNameAt);
        at += length;
        std::uint64_t seconds = 0, process = 0;
        if (nameLength >= kLeafSize ||
            !ParseName(std::string_view(name, nameLength), p.Prefix, p.Suffix, seconds, process))
          continue;
        ++count;
        if (oldest[0] == '\0' || std::strcmp(name, oldest) < 0) std::memcpy(oldest, name, nameLength + 1);
      }
    }
    if (count < p.MaxFiles || oldest[0] == '\0' || ::unlinkat(folder, oldest, 0) != 0) break;
  }

  // The file's name, and its temporary name: hidden, ending in ".tmp".
  char leaf[kLeafSize] = "";
  char temp[kLeafSize + 8] = ".";
  std::size_t leafLength = 0, tempLength = 1;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  ok = ok && Append(leaf, sizeof leaf, leafLength, p.Prefix) &&
       AppendDecimal(leaf, sizeof leaf, leafLength, static_cast<std::uint64_t>(now.tv_sec), kDigits) &&
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
  for (std::size_t i = 0; ok && i < Count; ++i) ok = WriteAll(file, Parts[i]);
  ok = ok && ::fsync(file) == 0;
  if (file >= 0 && ::close(file) != 0) ok = false;
  ok = ok && ::renameat(folder, temp, folder, leaf) == 0;
  if (file >= 0 && !ok) ::unlinkat(folder, temp, 0);
  if (ok) ::fsync(folder);  // the new name made durable, where the file system can
  if (folder >= 0) ::close(folder);
  errno = savedErrno;
  return ok;
}

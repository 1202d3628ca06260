#include "platform/ByteSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

bool TMemorySource::Read(std::uint64_t Offset, std::size_t Count, void* Out) const {
  if (!InRange(Offset, Count)) return false;
  if (Count) std::memcpy(Out, FBytes.data() + Offset, Count);
  return true;
}

TFileSource::TFileSource(const std::string& FileName) {
  FHandle = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (FHandle < 0) return;
  struct stat st {};
  if (::fstat(FHandle, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
    ::close(FHandle);
    FHandle = -1;
    return;
  }
  FSize = static_cast<std::uint64_t>(st.st_size);
}

TFileSource::~TFileSource() {
  if (FHandle >= 0) ::close(FHandle);
}

bool TFileSource::Read(std::uint64_t Offset, std::size_t Count, void* Out) const {
  if (FHandle < 0 || !InRange(Offset, Count)) return false;
  if (Count > WindowSize / 2) return ReadFile(Offset, Count, Out);
  if (Offset < FWindowStart || Offset + Count > FWindowStart + FWindow.size()) {
    // The window holds the read with half a window's room on either side.
    const std::uint64_t before = WindowSize / 2 - Count;
    const std::uint64_t start = Offset > before ? Offset - before : 0;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(WindowSize, FSize - start));
    FWindow.resize(length);
    if (!ReadFile(start, length, FWindow.data())) {
      FWindow.clear();
      return false;
    }
    FWindowStart = start;
  }
  if (Count) std::memcpy(Out, FWindow.data() + (Offset - FWindowStart), Count);
  return true;
}

bool TFileSource::ReadFile(std::uint64_t Offset, std::size_t Count, void* Out) const {
  auto* dest = static_cast<char*>(Out);
  while (Count > 0) {
    const ssize_t got = ::pread(FHandle, dest, Count, static_cast<off_t>(Offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // an error, or the file shrank meanwhile
    dest += got;
    Offset += static_cast<std::uint64_t>(got);
    Count -= static_cast<std::size_t>(got);
  }
  return true;
}

#include "platform/ByteSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

bool TMemorySource::Read(std::uint64_t offset, std::size_t count, void* out) const {
  if (!InRange(offset, count)) return false;
  if (count) std::memcpy(out, FBytes.data() + offset, count);
  return true;
}

TFileSource::TFileSource(const std::string& fileName) {
  FHandle = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
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

bool TFileSource::Read(std::uint64_t offset, std::size_t count, void* out) const {
  if (FHandle < 0 || !InRange(offset, count)) return false;
  if (count > WindowSize / 2) return ReadFile(offset, count, out);
  if (offset < FWindowStart || offset + count > FWindowStart + FWindow.size()) {
    // The window holds the read with half a window's room on either side.
    const std::uint64_t before = WindowSize / 2 - count;
    const std::uint64_t start = offset > before ? offset - before : 0;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(WindowSize, FSize - start));
    FWindow.resize(length);
    if (!ReadFile(start, length, FWindow.data())) {
      FWindow.clear();
      return false;
    }
    FWindowStart = start;
  }
  if (count) std::memcpy(out, FWindow.data() + (offset - FWindowStart), count);
  return true;
}

bool TFileSource::ReadFile(std::uint64_t offset, std::size_t count, void* out) const {
  auto* dest = static_cast<char*>(out);
  while (count > 0) {
    const ssize_t got = ::pread(FHandle, dest, count, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // an error, or the file shrank meanwhile
    dest += got;
    offset += static_cast<std::uint64_t>(got);
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

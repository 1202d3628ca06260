#include "platform/ByteSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "base/Exceptions.h"

namespace {

struct TCloser {
  int Handle;
  ~TCloser() {
    if (Handle >= 0) ::close(Handle);
  }
};

// Opens `fileName` for reading, without waiting (opening a FIFO or a device
// could block or never end), and makes sure that it is a regular file: its
// descriptor, and its size in `size`. Raises as ReadFileTail.
int OpenRegularFile(const std::string& fileName, std::uintmax_t& size) {
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw FileError(TFileAction::Open, fileName, errno);
  TCloser closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw FileError(TFileAction::Open, fileName, errno);
  if (S_ISDIR(st.st_mode)) throw FileError(TFileAction::Open, fileName, EISDIR);
  if (!S_ISREG(st.st_mode)) throw FileError(TFileAction::Open, fileName, EINVAL, "Not a regular file");
  size = static_cast<std::uintmax_t>(st.st_size);
  closer.Handle = -1;
  return fd;
}

// Reads up to `count` bytes from `offset` on into `out`: the number read,
// fewer when the file ends before (it shrank meanwhile).
std::size_t ReadAt(int fd, const std::string& fileName, char* out, std::size_t count, std::uintmax_t offset) {
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::pread(fd, out + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileError(TFileAction::Open, fileName, errno);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace

bool FileExists(const std::string& fileName) {
  struct stat st {};
  return !fileName.empty() && ::stat(fileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string ReadFileTail(const std::string& fileName, std::uintmax_t maxBytes, std::uintmax_t& skipped) {
  skipped = 0;
  std::uintmax_t size = 0;
  const TCloser closer{OpenRegularFile(fileName, size)};
  const std::uintmax_t skip = size > maxBytes ? size - maxBytes : 0;
  std::string text(static_cast<std::size_t>(size - skip), '\0');
  text.resize(ReadAt(closer.Handle, fileName, text.data(), text.size(), skip));
  skipped = skip;
  return text;
}

TPageVector<char> ReadFileIntoPages(const std::string& fileName, std::uintmax_t maxBytes) {
  std::uintmax_t size = 0;
  const TCloser closer{OpenRegularFile(fileName, size)};
  if (size > maxBytes) throw FileError(TFileAction::Open, fileName, EFBIG, "File too large");
  TPageVector<char> bytes;
  bytes.resize(static_cast<std::size_t>(size));
  bytes.resize(ReadAt(closer.Handle, fileName, bytes.data(), bytes.size(), 0));
  return bytes;
}

std::string FinalLinkTarget(const std::string& fileName) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(fileName, ec))) return fileName;
  const fs::path target = fs::weakly_canonical(fileName, ec);
  return ec || target.empty() ? fileName : target.string();
}

void RenameFile(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    const int err = errno;
    throw EInOutError("Cannot rename file \"" + from + "\" to \"" + to + "\". " + SysErrorMessage(err), err);
  }
}

void RemoveFile(const std::string& fileName) noexcept {
  ::unlink(fileName.c_str());
}

void SyncFolder(const std::string& folder) noexcept {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

// ---------------------------------------------------------------------------

TFileWriter::TFileWriter(int handle, std::string fileName, bool inPlace)
    : FHandle(handle), FFileName(std::move(fileName)), FInPlace(inPlace) {}

TFileWriter::TFileWriter(TFileWriter&& other) noexcept
    : FHandle(other.FHandle),
      FFileName(std::move(other.FFileName)),
      FInPlace(other.FInPlace),
      FWritten(other.FWritten) {
  other.FHandle = -1;
}

TFileWriter::~TFileWriter() {
  if (FHandle >= 0) ::close(FHandle);
}

TFileWriter TFileWriter::CreateUnique(const std::string& prefix, const std::string& modelFile) {
  struct stat model {};
  const bool haveModel = ::stat(modelFile.c_str(), &model) == 0 && S_ISREG(model.st_mode);
  // The process's number and a counter make the name unique among the
  // writers of this machine; O_EXCL makes sure that nothing of anybody
  // else's is taken over, a symbolic link included.
  static std::atomic<unsigned> counter{0};
  std::string fileName;
  int fd = -1;
  int err = EEXIST;
  for (int attempt = 0; attempt < 100 && fd < 0 && err == EEXIST; ++attempt) {
    fileName = prefix + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
    fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) err = errno;
  }
  if (fd < 0) throw FileError(TFileAction::Create, fileName, err);
  // The model's permissions; a failure here leaves the ordinary ones of a
  // new file.
  if (haveModel) (void)::fchmod(fd, model.st_mode & 07777);
  return TFileWriter(fd, fileName, false);
}

TFileWriter TFileWriter::OpenExisting(const std::string& fileName) {
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw FileError(TFileAction::Create, fileName, errno);
  struct stat st {};
  int err = 0;
  if (::fstat(fd, &st) != 0)
    err = errno;
  else if (!S_ISREG(st.st_mode))
    err = EINVAL;
  if (err != 0) {
    ::close(fd);
    throw FileError(TFileAction::Create, fileName, err);
  }
  return TFileWriter(fd, fileName, true);
}

void TFileWriter::Append(std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(FHandle, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileError(TFileAction::Write, FFileName, errno);
    }
    // A write that takes nothing and reports no error: the disk is full.
    if (n == 0) throw FileError(TFileAction::Write, FFileName, ENOSPC);
    data.remove_prefix(static_cast<std::size_t>(n));
    FWritten += static_cast<std::uintmax_t>(n);
  }
}

void TFileWriter::Sync() {
  if (FInPlace && ::ftruncate(FHandle, static_cast<off_t>(FWritten)) != 0)
    throw FileError(TFileAction::Write, FFileName, errno);
  if (::fsync(FHandle) != 0) throw FileError(TFileAction::Write, FFileName, errno);
}

void TFileWriter::Close() {
  const int fd = FHandle;
  FHandle = -1;
  // The descriptor is released even when close reports an error (Linux), so
  // it is never closed twice.
  if (::close(fd) != 0 && errno != EINTR) throw FileError(TFileAction::Write, FFileName, errno);
}

#include "diag/U_VEK_LogStorage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "diag/U_VEK_Global.h"
#include "runtime/Exceptions.h"

namespace {

std::string Reason(int Err) {
  return std::generic_category().message(Err);
}

[[noreturn]] void Fail(const char* What, const std::string& FileName, int Err, const char* Why = nullptr) {
  throw EInOutError(std::string(What) + " \"" + FileName + "\". " + (Why ? std::string(Why) : Reason(Err)), Err);
}

// Size of the pieces ReplaceFile hands to the writer.
constexpr std::size_t kChunk = 64 * 1024;

class TPosixWriter final : public TVEKLogWriter {
 public:
  // InPlace: the file had content before; Sync cuts it to what was appended.
  TPosixWriter(int Fd, std::string FileName, bool InPlace)
      : FFd(Fd), FFileName(std::move(FileName)), FInPlace(InPlace) {}
  ~TPosixWriter() override {
    if (FFd >= 0) ::close(FFd);
  }
  TPosixWriter(const TPosixWriter&) = delete;
  TPosixWriter& operator=(const TPosixWriter&) = delete;

  void Append(std::string_view Data) override {
    while (!Data.empty()) {
      const ssize_t n = ::write(FFd, Data.data(), Data.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        Fail("Cannot write file", FFileName, errno);
      }
      // A write that takes nothing and reports no error: the disk is full.
      if (n == 0) Fail("Cannot write file", FFileName, ENOSPC);
      Data.remove_prefix(static_cast<std::size_t>(n));
      FWritten += static_cast<std::size_t>(n);
    }
  }

  void Sync() override {
    if (FInPlace && ::ftruncate(FFd, static_cast<off_t>(FWritten)) != 0) Fail("Cannot write file", FFileName, errno);
    if (::fsync(FFd) != 0) Fail("Cannot write file", FFileName, errno);
  }

  void Close() override {
    const int fd = FFd;
    FFd = -1;
    // The descriptor is released even when close reports an error (Linux),
    // so it is never closed twice.
    if (::close(fd) != 0 && errno != EINTR) Fail("Cannot write file", FFileName, errno);
  }

 private:
  int FFd;
  std::string FFileName;
  bool FInPlace;
  std::size_t FWritten = 0;
};

std::string FolderOf(const std::string& FileName) {
  const std::size_t slash = FileName.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return FileName.substr(0, slash);
}

}  // namespace

// ---------------------------------------------------------------------------

std::vector<std::string> VEKLastLines(std::string_view Text, std::size_t MaxCount) {
  // Walk the lines once, remembering only the newest MaxCount of them, so
  // that a file of millions of empty lines costs no more than its text.
  std::deque<std::string_view> kept;
  if (MaxCount == 0) return {};
  std::size_t start = 0;
  std::size_t i = 0;
  const std::size_t n = Text.size();
  auto keep = [&](std::string_view line) {
    kept.push_back(line);
    if (kept.size() > MaxCount) kept.pop_front();
  };
  while (i < n) {
    const char c = Text[i];
    if (c == '\r' || c == '\n') {
      keep(Text.substr(start, i - start));
      i += (c == '\r' && i + 1 < n && Text[i + 1] == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < n) keep(Text.substr(start));
  return {kept.begin(), kept.end()};
}

void TVEKLogStorage::ReplaceFile(const std::string& FileName, const std::deque<std::string>& Lines) {
  if (FileName.empty()) Fail("Cannot create file", FileName, ENOENT);
  const std::string target = SaveTarget(FileName);
  std::string temp;
  std::unique_ptr<TVEKLogWriter> writer;
  bool inPlace = false;
  try {
    writer = NewWriter(target + ".", target, temp);
  } catch (const EInOutError& e) {
    if ((e.ErrorCode != EACCES && e.ErrorCode != EPERM) || !FileExists(target)) throw;
    // The folder takes no new file, but the log itself may be writable.
    writer = RewriteInPlace(target);
    inPlace = true;
  }
  try {
    std::string chunk;
    chunk.reserve(kChunk);
    for (const std::string& line : Lines) {
      if (!chunk.empty() && chunk.size() + line.size() + 2 > kChunk) {
        writer->Append(chunk);
        chunk.clear();
      }
      if (line.size() + 2 > kChunk) {
        writer->Append(line);
        writer->Append("\r\n");
      } else {
        chunk += line;
        chunk += "\r\n";
      }
    }
    if (!chunk.empty()) writer->Append(chunk);
    writer->Sync();
    writer->Close();
    writer.reset();
    if (!inPlace) RenameFile(temp, target);
  } catch (...) {
    writer.reset();
    if (!inPlace) RemoveFile(temp);
    throw;
  }
  SyncFolder(FolderOf(target));
}

// ---------------------------------------------------------------------------

bool TVEKPosixLogStorage::FileExists(const std::string& FileName) {
  struct stat st {};
  return !FileName.empty() && ::stat(FileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void TVEKPosixLogStorage::CreateEmptyFile(const std::string& FileName) {
  ::CreateEmptyFile(FileName);
}

std::vector<std::string> TVEKPosixLogStorage::ReadLines(const std::string& FileName, std::size_t MaxCount) {
  // Look before reading: opening a FIFO or a device could block or never end.
  const int fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) Fail("Cannot open file", FileName, errno);
  struct TCloser {
    int Fd;
    ~TCloser() { ::close(Fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) Fail("Cannot open file", FileName, errno);
  if (S_ISDIR(st.st_mode)) Fail("Cannot open file", FileName, EISDIR);
  if (!S_ISREG(st.st_mode)) Fail("Cannot open file", FileName, EINVAL, "Not a regular file");
  // Of a large log only its end is read, with the byte before it to tell
  // whether the end begins a line; a line cut short there is dropped.
  const auto size = static_cast<std::uintmax_t>(st.st_size);
  const std::uintmax_t skip = size > kMaxLogReadBack ? size - kMaxLogReadBack - 1 : 0;
  std::string text(static_cast<std::size_t>(size - skip), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::pread(fd, text.data() + got, text.size() - got, static_cast<off_t>(skip + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Cannot open file", FileName, errno);
    }
    if (n == 0) break;  // the file shrank meanwhile
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  if (skip > 0 && !text.empty()) {
    const char before = text[0];
    std::size_t lineStart = 1;
    if (before == '\r') {
      if (text.size() > 1 && text[1] == '\n') lineStart = 2;  // the rest of a CR LF
    } else if (before != '\n') {
      lineStart = text.find_first_of("\r\n", 1);
      if (lineStart == std::string::npos) return {};
      lineStart += (text[lineStart] == '\r' && lineStart + 1 < text.size() && text[lineStart + 1] == '\n') ? 2 : 1;
    }
    text.erase(0, lineStart);
  }
  return VEKLastLines(text, MaxCount);
}

std::string TVEKPosixLogStorage::SaveTarget(const std::string& FileName) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(FileName, ec))) return FileName;
  // A link to a link, or a dangling link: its final target, as far as it
  // can be resolved.
  const fs::path target = fs::weakly_canonical(FileName, ec);
  return ec || target.empty() ? FileName : target.string();
}

std::unique_ptr<TVEKLogWriter> TVEKPosixLogStorage::NewWriter(const std::string& Prefix, const std::string& ModelFile,
                                                              std::string& FileName) {
  struct stat model {};
  const bool haveModel = ::stat(ModelFile.c_str(), &model) == 0 && S_ISREG(model.st_mode);
  // The process's number and a counter make the name unique among the
  // saves of this machine; O_EXCL makes sure that nothing of anybody else's
  // is taken over, a symbolic link included.
  static std::atomic<unsigned> counter{0};
  int fd = -1;
  int err = EEXIST;
  for (int attempt = 0; attempt < 100 && fd < 0 && err == EEXIST; ++attempt) {
    FileName = Prefix + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
    fd = ::open(FileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) err = errno;
  }
  if (fd < 0) Fail("Cannot create file", FileName, err);
  // The log keeps the permissions it had; a failure here leaves the
  // ordinary ones of a new file.
  if (haveModel) (void)::fchmod(fd, model.st_mode & 07777);
  return std::make_unique<TPosixWriter>(fd, FileName, false);
}

std::unique_ptr<TVEKLogWriter> TVEKPosixLogStorage::RewriteInPlace(const std::string& FileName) {
  const int fd = ::open(FileName.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) Fail("Cannot create file", FileName, errno);
  struct stat st {};
  int err = 0;
  if (::fstat(fd, &st) != 0)
    err = errno;
  else if (!S_ISREG(st.st_mode))
    err = EINVAL;
  if (err != 0) {
    ::close(fd);
    Fail("Cannot create file", FileName, err);
  }
  return std::make_unique<TPosixWriter>(fd, FileName, true);
}

void TVEKPosixLogStorage::RenameFile(const std::string& From, const std::string& To) {
  if (std::rename(From.c_str(), To.c_str()) != 0) {
    const int err = errno;
    throw EInOutError("Cannot rename file \"" + From + "\" to \"" + To + "\". " + Reason(err), err);
  }
}

void TVEKPosixLogStorage::RemoveFile(const std::string& FileName) noexcept {
  ::unlink(FileName.c_str());
}

void TVEKPosixLogStorage::SyncFolder(const std::string& Folder) noexcept {
  const int fd = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

// ---------------------------------------------------------------------------

namespace {
// Never destroyed: a log file may still save while the process's static
// objects go.
TVEKLogStorage* DefaultStorage() {
  static TVEKLogStorage* const storage = new TVEKPosixLogStorage;
  return storage;
}
TVEKLogStorage* CurrentStorage = nullptr;
}  // namespace

TVEKLogStorage& VEKLogStorage() {
  return CurrentStorage ? *CurrentStorage : *DefaultStorage();
}

TVEKLogStorage* SetVEKLogStorage(TVEKLogStorage* Storage) {
  TVEKLogStorage* previous = &VEKLogStorage();
  CurrentStorage = Storage == DefaultStorage() ? nullptr : Storage;
  return previous;
}

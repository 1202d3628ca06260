#include "diag/U_VEK_LogStorage.h"

#include <cerrno>

#include "base/Exceptions.h"
#include "base/ServiceSlot.h"
#include "base/TextUtil.h"
#include "diag/U_VEK_Files.h"
#include "platform/FileSystem.h"

namespace {

// Size of the pieces ReplaceFile hands to the writer.
constexpr std::size_t Chunk = 64 * 1024;

// A file of the platform as the log's writer.
class TFileLogWriter final : public TVEKLogWriter {
 public:
  explicit TFileLogWriter(TFileWriter File) : FFile(std::move(File)) {}
  void Append(std::string_view Data) override { FFile.Append(Data); }
  void Sync() override { FFile.Sync(); }
  void Close() override { FFile.Close(); }

 private:
  TFileWriter FFile;
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
  if (MaxCount == 0) return {};
  std::deque<std::string_view> kept;
  TLineReader reader(Text);
  for (std::string_view line; reader.Next(line);) {
    kept.push_back(line);
    if (kept.size() > MaxCount) kept.pop_front();
  }
  return {kept.begin(), kept.end()};
}

void TVEKLogStorage::ReplaceFile(const std::string& FileName, const std::deque<std::string>& Lines) {
  if (FileName.empty()) throw FileError(TFileAction::Create, FileName, ENOENT);
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
    chunk.reserve(Chunk);
    for (const std::string& line : Lines) {
      if (!chunk.empty() && chunk.size() + line.size() + 2 > Chunk) {
        writer->Append(chunk);
        chunk.clear();
      }
      if (line.size() + 2 > Chunk) {
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

bool TVEKFileSystemLogStorage::FileExists(const std::string& FileName) {
  return ::FileExists(FileName);
}

void TVEKFileSystemLogStorage::CreateEmptyFile(const std::string& FileName) {
  ::CreateEmptyFile(FileName);
}

std::vector<std::string> TVEKFileSystemLogStorage::ReadLines(const std::string& FileName, std::size_t MaxCount) {
  // Of a large log only its end is read, with the byte before it to tell
  // whether the end begins a line; a line cut short there is dropped.
  std::uintmax_t skipped = 0;
  const std::string text = ReadFileTail(FileName, MaxLogReadBack + 1, skipped);
  TLineReader reader(text);
  if (skipped > 0) {
    // Read from that byte on, the first line is empty (the byte ended a
    // line) or the rest of a line cut short: either way it goes.
    std::string_view first;
    reader.Next(first);
  }
  return VEKLastLines(reader.Rest(), MaxCount);
}

std::string TVEKFileSystemLogStorage::SaveTarget(const std::string& FileName) {
  return FinalLinkTarget(FileName);
}

std::unique_ptr<TVEKLogWriter> TVEKFileSystemLogStorage::NewWriter(const std::string& Prefix,
                                                                   const std::string& ModelFile,
                                                                   std::string& FileName) {
  TFileWriter file = TFileWriter::CreateUnique(Prefix, ModelFile);
  FileName = file.FileName();
  return std::make_unique<TFileLogWriter>(std::move(file));
}

std::unique_ptr<TVEKLogWriter> TVEKFileSystemLogStorage::RewriteInPlace(const std::string& FileName) {
  return std::make_unique<TFileLogWriter>(TFileWriter::OpenExisting(FileName));
}

void TVEKFileSystemLogStorage::RenameFile(const std::string& From, const std::string& To) {
  ::RenameFile(From, To);
}

void TVEKFileSystemLogStorage::RemoveFile(const std::string& FileName) noexcept {
  ::RemoveFile(FileName);
}

void TVEKFileSystemLogStorage::SyncFolder(const std::string& Folder) noexcept {
  ::SyncFolder(Folder);
}

// ---------------------------------------------------------------------------

namespace {
// A log file may still save while the process's static objects go: the
// slot keeps the real storage to the end.
constinit TServiceSlot<TVEKLogStorage, TVEKFileSystemLogStorage> Slot;
}  // namespace

TVEKLogStorage& VEKLogStorage() {
  return Slot.Current();
}

TVEKLogStorage* SetVEKLogStorage(TVEKLogStorage* Storage) {
  return Slot.Install(Storage);
}

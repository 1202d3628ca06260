#pragma once
// The file work of the log file, behind one small interface so that a test
// can make a disk fill up, a rename fail or a folder vanish without breaking
// the machine: whether the log exists, creating it empty, reading it back as
// lines, and replacing it whole.
//
// ReplaceFile never leaves a truncated or empty log behind: it writes the new
// content to a temporary file of its own in the same folder
// ("<name>.<unique>.tmp", created exclusively, so a file that somebody else
// keeps there is never touched), flushes it to the disk and only then
// renames it over the log. When any step fails the old file stays as it was
// and the temporary file is removed.
//
// One exception: a folder that refuses new files (no write access) while the
// log in it is writable, as when an administrator prepared a writable log in
// a protected program folder. There the log is rewritten in place: the new
// content is written over the old one, then the file is cut to its length
// and flushed. A save cut short there can leave a mix of new and old lines,
// but never an empty file; without this the log could not be saved at all.
//
// Every call raises EInOutError (with the system's error number) on failure
// unless its comment says otherwise. GUI thread only, like the log file.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The most of a log file's end that is read back: of a larger log only the
// lines that lie wholly inside its last MaxLogReadBack bytes are read.
inline constexpr std::uintmax_t MaxLogReadBack = 64u * 1024 * 1024;

// A new file being written by ReplaceFile.
class TVEKLogWriter {
 public:
  virtual ~TVEKLogWriter() = default;  // closes the file if Close was not called; never raises
  virtual void Append(std::string_view Data) = 0;
  // Pushes everything appended so far to the disk.
  virtual void Sync() = 0;
  virtual void Close() = 0;
};

class TVEKLogStorage {
 public:
  virtual ~TVEKLogStorage() = default;

  // True when something other than a folder exists at FileName. Never raises:
  // a name that cannot be examined counts as missing.
  virtual bool FileExists(const std::string& FileName) = 0;
  // Creates FileName with length zero, replacing an existing file's content.
  virtual void CreateEmptyFile(const std::string& FileName) = 0;
  // The file's lines (split at CR LF, lone CR or lone LF; a final line break
  // does not start another line; bytes kept as they are), at most the last
  // MaxCount of them, read from the file's last MaxLogReadBack bytes. A
  // folder, a device or an unreadable file raises
  // "Cannot open file "<name>". <reason>".
  virtual std::vector<std::string> ReadLines(const std::string& FileName, std::size_t MaxCount) = 0;

  // The steps of ReplaceFile.
  //
  // The file a save replaces: FileName itself, or the file a symbolic link
  // at FileName points to (so that the link stays a link). Never raises.
  virtual std::string SaveTarget(const std::string& FileName) = 0;
  // Creates a new file for writing whose name begins with Prefix and ends in
  // ".tmp", made unique by the process and created exclusively (a file that
  // is already there is never opened, removed or written through), with the
  // permissions of ModelFile when that exists. FileName receives its name.
  virtual std::unique_ptr<TVEKLogWriter> NewWriter(const std::string& Prefix, const std::string& ModelFile,
                                                   std::string& FileName) = 0;
  // Opens an existing FileName for rewriting from its start; its old content
  // stays until Sync, which cuts the file to what was appended and flushes it.
  virtual std::unique_ptr<TVEKLogWriter> RewriteInPlace(const std::string& FileName) = 0;
  // Renames From to To, replacing To in one step.
  virtual void RenameFile(const std::string& From, const std::string& To) = 0;
  // Removes a file; failures are ignored.
  virtual void RemoveFile(const std::string& FileName) noexcept = 0;
  // Makes a rename inside Folder durable; failures are ignored (some file
  // systems cannot flush a folder).
  virtual void SyncFolder(const std::string& Folder) noexcept = 0;

  // Replaces the content of FileName with Lines, each followed by CR LF,
  // atomically (see above). An empty FileName raises at once.
  void ReplaceFile(const std::string& FileName, const std::deque<std::string>& Lines);
};

// The real file system, through platform/FileSystem.h.
class TVEKFileSystemLogStorage final : public TVEKLogStorage {
 public:
  bool FileExists(const std::string& FileName) override;
  void CreateEmptyFile(const std::string& FileName) override;
  std::vector<std::string> ReadLines(const std::string& FileName, std::size_t MaxCount) override;
  std::string SaveTarget(const std::string& FileName) override;
  std::unique_ptr<TVEKLogWriter> NewWriter(const std::string& Prefix, const std::string& ModelFile,
                                           std::string& FileName) override;
  std::unique_ptr<TVEKLogWriter> RewriteInPlace(const std::string& FileName) override;
  void RenameFile(const std::string& From, const std::string& To) override;
  void RemoveFile(const std::string& FileName) noexcept override;
  void SyncFolder(const std::string& Folder) noexcept override;
};

// The storage every log file of the process uses: the real file system
// unless a test has put another in place.
TVEKLogStorage& VEKLogStorage();
// Installs `Storage` (null: the real file system again) and returns the one
// it replaces (null when that was the real file system). The caller keeps
// ownership and keeps `Storage` alive while it is installed.
TVEKLogStorage* SetVEKLogStorage(TVEKLogStorage* Storage);

// The last MaxCount lines of Text, split as ReadLines splits a file.
std::vector<std::string> VEKLastLines(std::string_view Text, std::size_t MaxCount);

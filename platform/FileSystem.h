#pragma once
// Files on the local disk, for the work the C++ streams cannot do: looking at
// a file before opening it, reading the end of a large file, writing a new
// file under a name nobody else holds, flushing to the disk and renaming in
// one step.
//
// Calls that fail raise the FileError of base/Exceptions.h (EInOutError
// with the system's error number): "Cannot open file" for reading, "Cannot
// create file" for opening to write and "Cannot write file" for writing,
// unless their comment says otherwise. Any thread may call; one TFileWriter
// belongs to one thread at a time.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/PageMemory.h"

// True when something other than a folder exists at `fileName` (symbolic
// links followed). Devices and pipes count as files, as on the original
// platform. Never raises: a name that cannot be examined counts as missing.
bool FileExists(const std::string& fileName);

// The last `maxBytes` bytes of the regular file `fileName`, all of it when it
// is shorter; `skipped` receives the number of bytes before them. The file is
// opened without waiting and examined before anything is read, so a pipe or
// a device never blocks: a folder raises with EISDIR, anything else that is
// not a regular file with the reason "Not a regular file" (EINVAL). A file
// that shrinks meanwhile gives what was still there.
std::string ReadFileTail(const std::string& fileName, std::uintmax_t maxBytes, std::uintmax_t& skipped);

// The whole regular file `fileName`, in memory whose pages are present from
// the start (platform/PageMemory.h): for a large file that is read once and
// kept. Opened and examined as ReadFileTail does, with the same errors, and
// a file larger than `maxBytes` raises with the reason "File too large"
// (EFBIG). A file that shrinks meanwhile gives what was still there.
TPageVector<char> ReadFileIntoPages(const std::string& fileName, std::uintmax_t maxBytes);

// The file a symbolic link at `fileName` finally points to, as far as the
// chain resolves (a dangling link: its target all the same); `fileName`
// itself when it is no link. Never raises.
std::string FinalLinkTarget(const std::string& fileName);

// Renames `from` to `to`, replacing `to` in one step. Raises
// "Cannot rename file "<from>" to "<to>". <reason>".
void RenameFile(const std::string& from, const std::string& to);

// Removes a file; failures are ignored.
void RemoveFile(const std::string& fileName) noexcept;

// Makes the renames and new names inside `folder` durable; failures are
// ignored (some file systems cannot flush a folder).
void SyncFolder(const std::string& folder) noexcept;

// A file open for writing, closed with the object.
class TFileWriter {
 public:
  // A new file named `prefix` + "<process>-<counter>.tmp", created
  // exclusively: a file or link that is already there under that name is
  // never opened, removed or written through (the next counter is tried, a
  // hundred times at most). It gets the permissions of `modelFile` when that
  // is a regular file.
  static TFileWriter CreateUnique(const std::string& prefix, const std::string& modelFile);
  // The existing regular file `fileName`, written from its start. Its old
  // content stays until Sync, which cuts the file to what was appended.
  static TFileWriter OpenExisting(const std::string& fileName);

  TFileWriter(TFileWriter&& other) noexcept;
  TFileWriter& operator=(TFileWriter&&) = delete;
  TFileWriter(const TFileWriter&) = delete;
  TFileWriter& operator=(const TFileWriter&) = delete;
  // Closes the file if Close was not called; never raises.
  ~TFileWriter();

  const std::string& FileName() const { return FFileName; }
  // Writes all of `data`; a disk that takes nothing more raises with ENOSPC.
  void Append(std::string_view data);
  // Pushes everything appended so far to the disk (after cutting a file of
  // OpenExisting to its new length).
  void Sync();
  void Close();

 private:
  TFileWriter(int handle, std::string fileName, bool inPlace);

  int FHandle;
  std::string FFileName;
  bool FInPlace;
  std::uintmax_t FWritten = 0;
};

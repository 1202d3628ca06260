#pragma once
// Files written from inside a signal handler: a crash report kept for later,
// written while the process dies.
//
// A signal handler may only make the calls POSIX names async-signal-safe
// (open, write, fsync, rename, unlink, mkdir, the clock...) and must not
// allocate. TSignalSafeFolder therefore prepares everything that needs
// memory beforehand (the folder's name, the file names' prefix and suffix);
// Write then only copies into buffers on the stack and calls the system.
//
// Write makes the folder and those above it when missing (0700), removes
// the oldest files of the prefix until fewer than MaxFiles are left, and
// writes a new file under a temporary name created exclusively, flushes it
// and renames it into place: a reader sees the whole file or none. The file
// is named
//   <Prefix><seconds since 1970, 20 digits>.<process id><Suffix>
// so that the files of one prefix sort by their time. The file holds the
// parts given to Write, one after the other, readable and writable by this
// user alone.
//
// Threads: Prepare and Clear on one thread while no Write runs on another
// that started before; Write from any thread or signal handler. A Prepare
// does not release what an earlier one prepared (a handler may still read
// it): preparing a few times in a process costs a few hundred bytes.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class TSignalSafeFolder {
 public:
  // The longest folder name and prefix Prepare takes.
  static constexpr std::size_t MaxFolderLength = 3000;
  static constexpr std::size_t MaxAffixLength = 100;

  // Where Write puts its files (an absolute path) and which of the folder's
  // files are its own. Nothing is created yet. False, nothing prepared,
  // when a name is too long, empty or not absolute, or the prefix or suffix
  // holds a "/".
  bool Prepare(const std::string& folder, const std::string& prefix, const std::string& suffix, std::size_t maxFiles);
  // Nothing prepared: Write writes nothing.
  void Clear();
  bool Prepared() const { return FPrepared.load() != nullptr; }

  // Writes the parts, one after the other, into a new file (see above).
  // False, no file left behind, when nothing is prepared or a step fails.
  // Async-signal-safe; allocates nothing.
  bool Write(const std::string_view* parts, std::size_t count) const noexcept;

  // The time and process a name of prefix and suffix gives: false when the
  // name has not exactly that form (digits of those counts, no more).
  static bool ParseName(std::string_view name, std::string_view prefix, std::string_view suffix, std::uint64_t& seconds,
                        std::uint64_t& processId);

 private:
  struct TPrepared {
    std::string Folder;
    std::string Prefix;
    std::string Suffix;
    std::size_t MaxFiles = 0;
  };
  std::atomic<const TPrepared*> FPrepared{nullptr};
};

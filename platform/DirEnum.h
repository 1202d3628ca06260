#pragma once
// Directory enumeration with an attribute filter, in the manner of the
// original platform's find-first/find-next calls.
//
// Attributes of a POSIX entry:
//   faReadOnly  the owner may not write it (no S_IWUSR)
//   faHidden    its name begins with "."
//   faDirectory it is a folder (symbolic links are followed)
//   faArchive   it is anything but a folder
// System and volume-label bits are never set on POSIX.
//
// Filter rule: an entry whose hidden, system, volume or folder bit is set is
// reported only when the filter holds that bit too; other entries are always
// reported. A filter of faAnyFile (63) therefore reports everything.
//
// Mask rule: "*" matches any run of characters, "?" any one character, and
// ASCII letters match without regard to case, so "A.INI" matches "*.ini". The
// entries "." and ".." are never reported.
//
// Entries come in the order the file system reports them. Not thread-safe:
// use one TDirEnum per thread.
#include <cstdint>
#include <memory>
#include <string>

enum : std::uint32_t {
  faReadOnly = 0x01,
  faHidden = 0x02,
  faSysFile = 0x04,
  faVolumeID = 0x08,
  faDirectory = 0x10,
  faArchive = 0x20,
  faAnyFile = 0x3F,
};

struct TDirEntry {
  std::string Name;       // the entry's name, without folder
  std::int64_t Size = 0;  // bytes; 0 for folders
  std::uint32_t Attr = 0;
};

class TDirEnum {
 public:
  // Starts enumerating `folder` (with or without trailing separator).
  // A folder that cannot be opened gives an enumeration with no entries;
  // Error() then holds the system's error number.
  TDirEnum(const std::string& folder, const std::string& mask, std::uint32_t attrFilter);
  ~TDirEnum();
  TDirEnum(const TDirEnum&) = delete;
  TDirEnum& operator=(const TDirEnum&) = delete;

  // Fills `entry` with the next matching entry; false at the end (or when
  // the enumeration failed part-way; Error() tells which).
  bool Next(TDirEntry& entry);
  int Error() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// True when `name` matches `mask` by the mask rule above.
bool MatchesMask(const std::string& name, const std::string& mask);

// True when names in `folder` are looked up without regard to letter case
// (FAT, exFAT, NTFS and SMB shares, and ext4 or f2fs folders with case
// folding switched on); false for the usual case-sensitive file systems and
// when the folder cannot be examined.
bool FolderIgnoresCase(const std::string& folder);

// The platform's folder separator.
inline constexpr char PathDelim = '/';

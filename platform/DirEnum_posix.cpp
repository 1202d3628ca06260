#include "platform/DirEnum.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

#include "base/TextUtil.h"

struct TDirEnum::TImpl {
  DIR* Dir = nullptr;
  std::string Mask;
  std::uint32_t Filter = 0;
  int Err = 0;
};

TDirEnum::TDirEnum(const std::string& folder, const std::string& mask, std::uint32_t attrFilter)
    : FImpl(std::make_unique<TImpl>()) {
  FImpl->Mask = mask;
  FImpl->Filter = attrFilter;
  FImpl->Dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!FImpl->Dir) FImpl->Err = errno;
}

TDirEnum::~TDirEnum() {
  if (FImpl->Dir) ::closedir(FImpl->Dir);
}

int TDirEnum::Error() const {
  return FImpl->Err;
}

bool TDirEnum::Next(TDirEntry& entry) {
  if (!FImpl->Dir) return false;
  constexpr std::uint32_t Special = faHidden | faSysFile | faVolumeID | faDirectory;
  for (;;) {
    errno = 0;
    const dirent* d = ::readdir(FImpl->Dir);
    if (!d) {
      FImpl->Err = errno;
      return false;
    }
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    if (!MatchesMask(name, FImpl->Mask)) continue;
    struct stat st {};
    // Follow links like the original platform reports their targets; a
    // dangling link is reported as a plain file of size 0.
    if (::fstatat(::dirfd(FImpl->Dir), d->d_name, &st, 0) != 0 &&
        ::fstatat(::dirfd(FImpl->Dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;  // vanished between readdir and stat
    std::uint32_t attr = 0;
    if (!(st.st_mode & S_IWUSR)) attr |= faReadOnly;
    if (name[0] == '.') attr |= faHidden;
    if (S_ISDIR(st.st_mode))
      attr |= faDirectory;
    else
      attr |= faArchive;
    if ((attr & Special) & ~FImpl->Filter) continue;
    entry.Name = name;
    entry.Size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::int64_t>(st.st_size);
    entry.Attr = attr;
    return true;
  }
}

bool MatchesMask(const std::string& name, const std::string& mask) {
  // Iterative wildcard match with back-tracking to the last "*".
  std::size_t n = 0, m = 0, starM = std::string::npos, starN = 0;
  auto same = [](char a, char b) { return LowerAscii(a) == LowerAscii(b); };
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || (mask[m] != '*' && same(mask[m], name[n])))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (starM != std::string::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

bool FolderIgnoresCase(const std::string& folder) {
  struct statfs fs {};
  if (::statfs(folder.c_str(), &fs) != 0) return false;
  // The kernel's magic numbers of the file systems that fold case.
  constexpr unsigned long CaseFolding[] = {
      0x4d44,      // FAT (msdos, vfat)
      0x2011BAB0,  // exFAT
      0x5346544e,  // NTFS (ntfs3)
      0xFF534D42,  // CIFS
      0xFE534D42,  // SMB2
      0x517B,      // SMB
  };
  for (const unsigned long magic : CaseFolding)
    if (static_cast<unsigned long>(fs.f_type) == magic) return true;
  // ext4 and f2fs fold case per folder.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  int flags = 0;
  constexpr int CaseFoldFlag = 0x40000000;  // FS_CASEFOLD_FL
  const bool folds = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & CaseFoldFlag) != 0;
  ::close(fd);
  return folds;
}

// Write access through faccessat with the effective user's rights; folders
// through mkdir.
#include "platform/FolderAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool Refused(const std::string& name, int mode) {
  if (name.empty()) return false;
  if (::faccessat(AT_FDCWD, name.c_str(), mode, AT_EACCESS) == 0) return false;
  return errno == EACCES || errno == EPERM || errno == EROFS;
}

bool IsFolder(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool FolderRefusesWriting(const std::string& folder) {
  // Writing a file into a folder takes its write and search rights.
  return IsFolder(folder) && Refused(folder, W_OK | X_OK);
}

bool FileRefusesWriting(const std::string& fileName) {
  return Refused(fileName, W_OK);
}

bool CreateFolders(const std::string& folder) {
  if (folder.empty()) return false;
  // Each folder of the path from the top, made when missing.
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    // A folder that exists may still refuse mkdir with another error than
    // EEXIST (a read-only file system): it only has to be there.
    if (!part.empty() && part.back() != '/' && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST && !IsFolder(part))
      return false;
    if (slash == std::string::npos) break;
  }
  return IsFolder(folder);
}

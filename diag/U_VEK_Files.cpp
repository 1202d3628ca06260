#include "diag/U_VEK_Files.h"

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "base/Exceptions.h"
#include "base/TextUtil.h"
#include "platform/DirEnum.h"

TFolderIgnoresCaseProc FolderIgnoresCaseProc = &FolderIgnoresCase;

void CreateEmptyFile(const std::string& FileName) {
  std::FILE* f = std::fopen(FileName.c_str(), "wb");
  if (!f) throw FileError(TFileAction::Create, FileName, errno);
  if (std::fclose(f) != 0) throw FileError(TFileAction::Create, FileName, errno);
}

namespace {

// The stored name of `component` in `folder`, or empty when there is none.
// The component is used as the search mask, but only names equal to it
// count (without regard to case only where the folder ignores case): a "*"
// or "?" in it stands for itself.
std::string FindStoredName(const std::string& folder, const std::string& component) {
  TDirEnum search(folder, component, faAnyFile);
  TDirEntry entry;
  std::string found;
  bool ignoresCase = false, asked = false;
  while (search.Next(entry)) {
    if (entry.Name == component) return entry.Name;
    if (found.empty() && SameTextAscii(entry.Name, component)) {
      if (!asked) {
        ignoresCase = FolderIgnoresCaseProc && FolderIgnoresCaseProc(folder);
        asked = true;
      }
      if (ignoresCase) found = entry.Name;
    }
  }
  return found;
}

}  // namespace

std::string ExpandLongPath(const std::string& Path) {
  std::string result;
  char sep;
  std::size_t pos;
  if (!Path.empty() && Path[0] == '/') {
    sep = '/';
    result = "/";
    pos = 1;
  } else if (Path.size() >= 3 && std::isalpha(static_cast<unsigned char>(Path[0])) && Path[1] == ':' &&
             Path[2] == '\\') {
    sep = '\\';
    result = Path.substr(0, 3);
    pos = 3;
  } else {
    return Path;
  }
  while (pos < Path.size()) {
    std::size_t end = Path.find(sep, pos);
    if (end == std::string::npos) end = Path.size();
    const std::string component = Path.substr(pos, end - pos);
    if (!component.empty()) {
      const std::string name = FindStoredName(result, component);
      if (name.empty()) return result + Path.substr(pos);
      result += name;
      result += sep;
    }
    pos = end + 1;
  }
  if (result.size() > 1 && result.back() == sep) result.pop_back();
  return result;
}

#pragma once
// Files by their names: an empty file made, and a path spelt as the file
// system stores it.
#include <string>

// Creates FileName with length zero, replacing an existing file's content.
// Raises EInOutError ("Cannot create file "<name>". <reason>") when that
// fails.
void CreateEmptyFile(const std::string& FileName);

// Spells every component of a full path as the file system stores it. A
// POSIX path ("/...") is looked up component by component in its folder; a
// drive-letter path ("C:\...") the same way with "\" as the separator. A
// component is taken as it is spelt when the folder holds it so; a name
// that differs only in letter case is taken only where the folder does not
// tell case apart (FolderIgnoresCaseProc), since elsewhere it is another
// file. Empty components (doubled or trailing separators) are dropped. From
// the first component that cannot be found on, the path stays as it was
// given. Any other path is returned unchanged. The result has no trailing
// separator (except for the root "/" itself).
std::string ExpandLongPath(const std::string& Path);

// Whether a folder looks names up without regard to case: FolderIgnoresCase
// of platform/DirEnum.h. Tests put a stand-in here.
using TFolderIgnoresCaseProc = bool (*)(const std::string& Folder);
extern TFolderIgnoresCaseProc FolderIgnoresCaseProc;

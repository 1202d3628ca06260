#pragma once
// Whether this user may write where a program would like to keep a file,
// and making the folders of a path.
//
// A program installed for every user (into /opt, say) lies in a folder its
// users cannot write; such a program keeps what it writes in the user's own
// folders instead (UserStateFolder in platform/SystemInfo.h). These calls
// tell that case, refused writing, from the others: a folder that is
// missing, a name that is no folder, a file system that failed. Any thread
// may call; nothing raises.
#include <string>

// True when this user may not create or write files in `folder` because
// the permissions forbid it (EACCES, EPERM) or its file system is mounted
// read-only (EROFS), as the effective user's rights decide (root's too).
// False when it may, and when the folder cannot be examined for any other
// reason (missing, no folder, too long a name).
bool FolderRefusesWriting(const std::string& folder);

// The same for writing into the existing file `fileName`; false also when
// there is no such file.
bool FileRefusesWriting(const std::string& fileName);

// Makes `folder` and every missing folder above it, each new one readable
// and writable by this user alone (0700). True when the folder exists
// afterwards.
bool CreateFolders(const std::string& folder);

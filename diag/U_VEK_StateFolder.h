#pragma once
// The user's own folder for what the maker's programs keep between runs:
// "quellmark" in the user's state folder ($XDG_STATE_HOME/quellmark, else
// ~/.local/state/quellmark; platform/SystemInfo.h). It holds the log of a
// program installed where its user cannot write (/opt/quellmark) and the
// crash reports waiting to be sent (U_VEK_PendingReports.h). Made when first
// needed, readable by the user alone. Any thread; nothing raises.
#include <string>

// The folder; empty when the user has no home folder.
std::string VEKStateFolder();

// Where the log file FileName is kept: FileName itself, the place beside the
// executable, wherever this user may write into its folder, or may write
// the log there (a writable log prepared in a protected folder). Where the
// folder refuses this user's files (its permissions, a read-only file
// system), the log of that name in VEKStateFolder(), which is made when
// missing. FileName whenever the state folder cannot be found or made, and
// for every other trouble with the place (a missing folder, a folder that
// bears the log's name): starting the log there then fails as it always has.
std::string VEKLogFilePlace(const std::string& FileName);

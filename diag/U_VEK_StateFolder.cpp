#include "diag/U_VEK_StateFolder.h"

#include <filesystem>

#include "platform/FileSystem.h"
#include "platform/FolderAccess.h"
#include "platform/SystemInfo.h"

std::string VEKStateFolder() {
  const std::string state = UserStateFolder();
  return state.empty() ? state : state + "/quellmark";
}

std::string VEKLogFilePlace(const std::string& FileName) {
  const std::filesystem::path place(FileName);
  const std::string folder = place.has_parent_path() ? place.parent_path().string() : std::string(".");
  if (!FolderRefusesWriting(folder)) return FileName;
  if (FileExists(FileName) && !FileRefusesWriting(FileName)) return FileName;
  const std::string state = VEKStateFolder();
  if (state.empty() || !CreateFolders(state)) return FileName;
  return state + "/" + place.filename().string();
}

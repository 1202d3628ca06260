#include "app/U_FileList.h"

#include <limits>

#include "platform/DirEnum.h"

TFileList::TFileList(const std::string& folder, const std::string& mask, std::uint32_t attrFilter) {
  Search(folder, mask, attrFilter);
}

void TFileList::Search(std::string folder, const std::string& mask, std::uint32_t attrFilter) {
  FItems.clear();
  if (folder.empty() || folder.back() != PathDelim) folder += PathDelim;
  TDirEnum e(folder, mask, attrFilter);
  TDirEntry entry;
  while (e.Next(entry)) {
    auto item = std::make_unique<TFileItem>();
    item->Path = folder;
    item->FileName = entry.Name;
    item->FullName = folder + entry.Name;
    constexpr std::int64_t Max = std::numeric_limits<std::int32_t>::max();
    item->Size = static_cast<std::int32_t>(entry.Size > Max ? Max : entry.Size);
    FItems.push_back(std::move(item));
  }
  Count = static_cast<std::int32_t>(FItems.size());
}

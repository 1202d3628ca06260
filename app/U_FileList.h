#pragma once
// The directory entries of one folder that match a mask, in the order the
// file system reports them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TFileItem {
  std::string FullName;   // Path + FileName
  std::string Path;       // the folder searched, always ending in the separator
  std::string FileName;   // the entry's name without folder
  std::int32_t Size = 0;  // bytes; larger sizes are held as the largest 32-bit value
};

class TFileList {
 public:
  TFileList(const std::string& folder, const std::string& mask, std::uint32_t attrFilter);
  // Fills the list anew. Count reflects what was found also when the
  // enumeration failed part-way.
  void Search(std::string folder, const std::string& mask, std::uint32_t attrFilter);
  const TFileItem& Items(int index) const { return *FItems.at(static_cast<std::size_t>(index)); }
  std::int32_t Count = 0;

 private:
  std::vector<std::unique_ptr<TFileItem>> FItems;
};

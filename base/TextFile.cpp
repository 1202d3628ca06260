#include "base/TextFile.h"

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "base/Exceptions.h"
#include "base/TextUtil.h"

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  TLineReader reader(text);
  for (std::string_view line; reader.Next(line);) lines.emplace_back(line);
  return lines;
}

std::vector<std::string> LoadTextLines(const std::string& fileName) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // Look before opening: opening a FIFO or a device would block or never end.
  const fs::file_status st = fs::status(fileName, ec);
  if (ec) throw FileError(TFileAction::Open, fileName, ec.value());
  if (fs::is_directory(st)) throw FileError(TFileAction::Open, fileName, EISDIR);
  if (!fs::is_regular_file(st)) throw FileError(TFileAction::Open, fileName, EINVAL, "Not a regular file");
  const auto size = fs::file_size(fileName, ec);
  if (ec) throw FileError(TFileAction::Open, fileName, ec.value());
  if (size > MaxTextFileSize) throw FileError(TFileAction::Open, fileName, EFBIG, "File too large");

  errno = 0;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) {
    const int err = errno ? errno : EACCES;
    throw FileError(TFileAction::Open, fileName, err);
  }
  std::string text;
  text.resize(static_cast<std::size_t>(size));
  in.read(text.data(), static_cast<std::streamsize>(size));
  if (in.bad()) throw FileError(TFileAction::Open, fileName, EIO);
  text.resize(static_cast<std::size_t>(in.gcount()));
  return SplitLines(text);
}

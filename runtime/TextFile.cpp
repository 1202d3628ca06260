#include "runtime/TextFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "runtime/Exceptions.h"
#include "runtime/TextUtil.h"

namespace {
[[noreturn]] void CannotOpen(const std::string& fileName, const std::string& reason, int code) {
  throw EInOutError("Cannot open file \"" + fileName + "\". " + reason, code);
}
}  // namespace

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
  if (ec) CannotOpen(fileName, ec.message(), ec.value());
  if (fs::is_directory(st)) CannotOpen(fileName, std::strerror(EISDIR), EISDIR);
  if (!fs::is_regular_file(st)) CannotOpen(fileName, "Not a regular file", EINVAL);
  const auto size = fs::file_size(fileName, ec);
  if (ec) CannotOpen(fileName, ec.message(), ec.value());
  if (size > kMaxTextFileSize) CannotOpen(fileName, "File too large", EFBIG);

  errno = 0;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) {
    const int err = errno ? errno : EACCES;
    CannotOpen(fileName, std::strerror(err), err);
  }
  std::string text;
  text.resize(static_cast<std::size_t>(size));
  in.read(text.data(), static_cast<std::streamsize>(size));
  if (in.bad()) CannotOpen(fileName, std::strerror(EIO), EIO);
  text.resize(static_cast<std::size_t>(in.gcount()));
  return SplitLines(text);
}

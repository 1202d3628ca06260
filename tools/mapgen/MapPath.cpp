#include "MapPath.h"

#include <filesystem>

std::string DefaultMapFileName(const std::string& Executable) {
  return std::filesystem::path(Executable).replace_extension(".map").string();
}

bool SameFile(const std::string& A, const std::string& B) {
  std::error_code ec;
  if (std::filesystem::equivalent(A, B, ec)) return true;
  const auto a = std::filesystem::weakly_canonical(A, ec);
  if (ec) return false;
  const auto b = std::filesystem::weakly_canonical(B, ec);
  return !ec && a == b;
}

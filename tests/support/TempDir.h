#pragma once
// A temporary folder for one test, removed with everything in it when the
// object goes away.
#include <string>

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  // The folder's path, without trailing separator.
  const std::string& Path() const { return FPath; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const;
  // Writes `content` as the whole file `name` (bytes unchanged) and returns its path.
  std::string Write(const std::string& name, const std::string& content) const;

 private:
  std::string FPath;
};

// The whole content of a file, or an empty text when it cannot be read.
std::string ReadWholeFile(const std::string& path);

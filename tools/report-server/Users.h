#pragma once
// The developers who may read the pages: a users file of "NAME:HASH" lines,
// the hash libsodium's crypto_pwhash_str (Argon2id, salted), never the
// password. The file is read again when it changes on disk.
//
// Check reads the Basic credentials of an Authorization header. A password
// is hashed once per process and header (one at a time: the hash costs
// memory and time by design); the headers already checked are remembered
// under a keyed digest, so the pages' later requests cost nothing.
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

class EUsers : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TUsers {
 public:
  // Reads the file; throws EUsers when it cannot be read or holds a line
  // that is not "NAME:HASH".
  explicit TUsers(std::string fileName);

  // The user named by a "Basic ..." Authorization header whose password
  // matches; none otherwise (no header, another scheme, a wrong password).
  std::optional<std::string> Check(std::string_view authorization);

  // Sets a user's password in the file (created with mode 0600 when
  // missing), replacing the file whole. Throws EUsers.
  static void SetPassword(const std::string& fileName, const std::string& name, const std::string& password);
  // 1 to 64 letters, digits and ". _ @ -".
  static bool IsValidName(std::string_view name);

 private:
  void ReloadIfChanged();

  std::string FFileName;
  std::mutex FMutex;
  std::filesystem::file_time_type FModified{};
  std::unordered_map<std::string, std::string> FHashes;   // name -> hash
  std::unordered_map<std::string, std::string> FChecked;  // keyed digest of a header -> name
  std::mutex FHashMutex;                                  // one password hash at a time
  unsigned char FKey[32];
};

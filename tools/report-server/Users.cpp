#include "Users.h"

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "base/TextUtil.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t MaxChecked = 1024;

std::map<std::string, std::string> ReadUsersFile(const std::string& fileName, bool mustExist) {
  std::map<std::string, std::string> users;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) {
    if (mustExist) throw EUsers("the users file " + fileName + " cannot be read");
    return users;
  }
  std::stringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  TLineReader lines(text);
  int lineNo = 0;
  for (std::string_view line; lines.Next(line);) {
    ++lineNo;
    if (line.empty() || line.front() == '#') continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !TUsers::IsValidName(line.substr(0, colon)) ||
        !line.substr(colon + 1).starts_with("$argon2"))
      throw EUsers(fileName + ":" + std::to_string(lineNo) + ": expected NAME:HASH (made by --add-user)");
    users[std::string(line.substr(0, colon))] = std::string(line.substr(colon + 1));
  }
  return users;
}

void InitSodium() {
  if (sodium_init() < 0) throw EUsers("libsodium cannot start");
}

}  // namespace

bool TUsers::IsValidName(std::string_view name) {
  return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '@' || c == '-';
  });
}

TUsers::TUsers(std::string fileName) : FFileName(std::move(fileName)) {
  InitSodium();
  randombytes_buf(FKey, sizeof FKey);
  std::error_code ec;
  FModified = fs::last_write_time(FFileName, ec);
  for (auto& [name, hash] : ReadUsersFile(FFileName, true)) FHashes.emplace(name, hash);
}

void TUsers::ReloadIfChanged() {
  std::error_code ec;
  const fs::file_time_type modified = fs::last_write_time(FFileName, ec);
  if (ec || modified == FModified) return;
  try {
    std::unordered_map<std::string, std::string> hashes;
    for (auto& [name, hash] : ReadUsersFile(FFileName, true)) hashes.emplace(name, hash);
    FHashes = std::move(hashes);
    FChecked.clear();
    FModified = modified;
  } catch (const EUsers&) {
    // A file being rewritten: the users known stay until it reads well.
  }
}

std::optional<std::string> TUsers::Check(std::string_view authorization) {
  constexpr std::string_view Scheme = "Basic ";
  if (!StartsWithTextAscii(authorization, Scheme) || authorization.size() > 1024) return std::nullopt;
  unsigned char digest[32];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(authorization.data()),
                     authorization.size(), FKey, sizeof FKey);
  const std::string key(reinterpret_cast<const char*>(digest), sizeof digest);
  std::string hash;
  std::string name;
  std::string password;
  {
    std::lock_guard lock(FMutex);
    ReloadIfChanged();
    if (const auto it = FChecked.find(key); it != FChecked.end()) return it->second;
    std::string_view encoded = authorization.substr(Scheme.size());
    while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
    std::string decoded(encoded.size(), '\0');
    std::size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(decoded.data()), decoded.size(), encoded.data(),
                          encoded.size(), nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0)
      return std::nullopt;
    const std::size_t colon = std::string_view(decoded.data(), length).find(':');
    if (colon == std::string::npos) return std::nullopt;
    name = decoded.substr(0, colon);
    password = decoded.substr(colon + 1, length - colon - 1);
    sodium_memzero(decoded.data(), decoded.size());
    const auto user = FHashes.find(name);
    if (user == FHashes.end()) return std::nullopt;
    hash = user->second;
  }
  bool matches = false;
  {
    std::lock_guard hashing(FHashMutex);
    matches = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
  }
  sodium_memzero(password.data(), password.size());
  if (!matches) return std::nullopt;
  std::lock_guard lock(FMutex);
  if (FChecked.size() >= MaxChecked) FChecked.clear();
  FChecked.emplace(key, name);
  return name;
}

void TUsers::SetPassword(const std::string& fileName, const std::string& name, const std::string& password) {
  InitSodium();
  if (!IsValidName(name)) throw EUsers("a user name is 1 to 64 letters, digits and \". _ @ -\"");
  if (password.size() < 8) throw EUsers("the password must have at least 8 characters");
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    throw EUsers("not enough memory to hash the password");
  std::map<std::string, std::string> users = ReadUsersFile(fileName, false);
  users[name] = hash;
  const std::string temporary = fileName + ".new";
  {
    const mode_t old = ::umask(077);
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    ::umask(old);
    if (!out) throw EUsers("the users file " + temporary + " cannot be written");
    out << "# Developers who may read the report pages: NAME:HASH, made by vek-report-server --add-user\n";
    for (const auto& [user, userHash] : users) out << user << ':' << userHash << '\n';
    out.flush();
    if (!out) throw EUsers("the users file " + temporary + " cannot be written");
  }
  std::error_code ec;
  fs::rename(temporary, fileName, ec);
  if (ec) throw EUsers("the users file " + fileName + " cannot be replaced: " + ec.message());
}

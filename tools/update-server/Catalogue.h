#pragma once
// The catalogue of the reference update server: the folder of "*.product"
// files that the maker edits (one per product; the format is described in
// README.md beside this file) and the history files they name, read and
// checked once, at start-up.
//
// A TCatalogue is read-only after Load, so the server's worker threads share
// it without locking.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Everything wrong with a catalogue folder. Errors lists every problem found,
// each as "file:line: text" (or "file: text" where no line is to blame);
// what() holds them all, one per line.
class ECatalogue : public std::runtime_error {
 public:
  explicit ECatalogue(std::vector<std::string> errors);
  std::vector<std::string> Errors;
};

// One product of the catalogue. Text values are kept as the file's bytes
// (UTF-8 or an 8-bit code page); Id is matched byte for byte.
struct TProduct {
  std::string Id;
  std::string Title;        // for the download pages; the Id when not given
  std::string Date;         // latest version's date, always "DD/MM/YYYY"
  std::string Version;      // latest version, 1 to 5 digits and dots
  std::string History;      // history file relative to the catalogue, "/" separated; empty: none
  std::string Download;     // free or trial download, http(s) URL
  std::string DownloadReg;  // download for registered customers; Download when not given
  std::string SourceFile;   // the catalogue file it came from (for messages)
};

// A history file, read whole at start-up and served unchanged.
struct THistoryText {
  std::string Content;
  std::string ContentType;
};

class TCatalogue {
 public:
  // Largest product or history file accepted, in bytes.
  static constexpr std::uintmax_t MaxProductFileSize = 64 * 1024;
  static constexpr std::uintmax_t MaxHistoryFileSize = 16 * 1024 * 1024;
  // Longest version text: the wizard reads at most this many characters.
  static constexpr std::size_t MaxVersionLength = 5;

  // Reads and checks every "*.product" file of the folder (not its
  // subfolders) and every history file they name. Throws ECatalogue listing
  // all problems found; a catalogue without products is an error too.
  static TCatalogue Load(const std::filesystem::path& folder);

  // Parses the text of one product file; fileName only labels errors, which
  // are appended to `errors` (the returned product is then incomplete).
  static TProduct ParseProduct(std::string_view text, const std::string& fileName, std::vector<std::string>& errors);

  // The product with exactly this Id, or nullptr.
  const TProduct* Find(std::string_view id) const;
  // The history file with this catalogue-relative name ("a/b.txt"), or nullptr.
  const THistoryText* FindHistory(const std::string& relativeName) const;

  // Products in the order of their file names.
  const std::vector<TProduct>& Items() const { return FItems; }
  int Count() const { return static_cast<int>(FItems.size()); }
  const std::filesystem::path& Folder() const { return FFolder; }

 private:
  std::filesystem::path FFolder;
  std::vector<TProduct> FItems;
  std::map<std::string, std::size_t, std::less<>> FById;
  std::map<std::string, THistoryText, std::less<>> FHistories;
};

// An error text for a URL that cannot be a download link (http or https, a
// host, at most 2048 characters, no blanks, control characters or " < > \),
// else an empty one.
std::string CheckCatalogueUrl(std::string_view url);

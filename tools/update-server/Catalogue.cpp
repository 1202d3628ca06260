#include "Catalogue.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

#include "base/TextCodec.h"
#include "base/TextUtil.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view ProductExtension = ".product";
constexpr std::size_t MaxUrlLength = 2048;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsValidDate(int day, int month, int year) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static constexpr std::array<int, 12> Days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int last = month == 2 && leap ? 29 : Days[static_cast<std::size_t>(month - 1)];
  return day <= last;
}

// Date text "DD/MM/YYYY"; returns an error text or an empty one.
std::string CheckDate(std::string_view v) {
  if (v.size() != 10 || v[2] != '/' || v[5] != '/') return "date must be written DD/MM/YYYY, e.g. 15/03/2026";
  for (std::size_t i : {0u, 1u, 3u, 4u, 6u, 7u, 8u, 9u})
    if (!IsDigit(v[i])) return "date must be written DD/MM/YYYY, e.g. 15/03/2026";
  const int day = (v[0] - '0') * 10 + (v[1] - '0');
  const int month = (v[3] - '0') * 10 + (v[4] - '0');
  const int year = (v[6] - '0') * 1000 + (v[7] - '0') * 100 + (v[8] - '0') * 10 + (v[9] - '0');
  if (!IsValidDate(day, month, year)) return "'" + std::string(v) + "' is not a valid calendar date";
  return {};
}

std::string CheckVersion(std::string_view v) {
  if (v.empty()) return "version must not be empty";
  if (v.size() > TCatalogue::MaxVersionLength)
    return "version '" + std::string(v) + "' is longer than " + std::to_string(TCatalogue::MaxVersionLength) +
           " characters; the wizard reads only the first " + std::to_string(TCatalogue::MaxVersionLength);
  for (char c : v)
    if (!IsDigit(c) && c != '.')
      return "version '" + std::string(v) + "' may hold only digits and dots (the wizard drops every other character)";
  return {};
}

std::string CheckUrl(std::string_view v) {
  if (!StartsWithTextAscii(v, "http://") && !StartsWithTextAscii(v, "https://"))
    return "URL must start with http:// or https://";
  const std::size_t schemeLength = StartsWithTextAscii(v, "https://") ? 8 : 7;
  if (v.size() == schemeLength) return "URL names no host";
  if (v.size() > MaxUrlLength) return "URL is longer than " + std::to_string(MaxUrlLength) + " characters";
  for (char c : v) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\')
      return "URL holds a blank, a control character or one of \" < > \\ (write them %-encoded)";
  }
  return {};
}

// A history file name relative to the catalogue folder; "\" is taken as "/".
std::string CheckHistoryName(std::string& v) {
  std::replace(v.begin(), v.end(), '\\', '/');
  if (HasControlChars(v)) return "history file name holds a control character";
  if (v.front() == '/' || (v.size() >= 2 && v[1] == ':'))
    return "history file must be given relative to the catalogue folder";
  std::size_t start = 0;
  while (start <= v.size()) {
    const std::size_t end = std::min(v.find('/', start), v.size());
    const std::string_view part = std::string_view(v).substr(start, end - start);
    if (part.empty() || part == "." || part == "..")
      return "history file name '" + v + "' must not hold empty, '.' or '..' parts";
    start = end + 1;
  }
  return {};
}

struct TKeyInfo {
  std::string_view Name;
  bool Required;
};

constexpr std::array<TKeyInfo, 7> Keys = {{{"id", true},
                                           {"title", false},
                                           {"date", true},
                                           {"version", true},
                                           {"history", false},
                                           {"download", true},
                                           {"download_reg", false}}};

struct TParsedProduct {
  TProduct Product;
  std::map<std::string, int, std::less<>> Lines;  // key -> line it was given on
};

TParsedProduct ParseProductText(std::string_view text, const std::string& fileName, std::vector<std::string>& errors) {
  TParsedProduct parsed;
  TProduct& p = parsed.Product;
  p.SourceFile = fileName;
  auto fail = [&](int line, const std::string& message) {
    errors.push_back(fileName + ":" + std::to_string(line) + ": " + message);
  };

  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (text.find('\0') != std::string_view::npos) {
    errors.push_back(fileName + ": holds NUL bytes; a product file is a text file");
    return parsed;
  }

  int lineNo = 0;
  TLineReader lines(text);
  for (std::string_view raw; lines.Next(raw);) {
    ++lineNo;
    const std::string_view line = TrimBlanks(raw);
    if (line.empty() || line.front() == '#') continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      fail(lineNo, "expected key=value");
      continue;
    }
    const std::string key = LowerAscii(TrimBlanks(line.substr(0, eq)));
    std::string value(TrimBlanks(line.substr(eq + 1)));
    const auto known = std::find_if(Keys.begin(), Keys.end(), [&](const TKeyInfo& k) { return k.Name == key; });
    if (known == Keys.end()) {
      std::string list;
      for (const TKeyInfo& k : Keys) list += (list.empty() ? "" : ", ") + std::string(k.Name);
      fail(lineNo, "unknown key '" + key + "' (known keys: " + list + ")");
      continue;
    }
    if (const auto seen = parsed.Lines.find(key); seen != parsed.Lines.end()) {
      fail(lineNo, "key '" + key + "' given twice (first on line " + std::to_string(seen->second) + ")");
      continue;
    }
    parsed.Lines.emplace(key, lineNo);

    std::string problem;
    if (value.empty() && known->Required)
      problem = "'" + key + "' must not be empty";
    else if (key == "id") {
      if (HasControlChars(value))
        problem = "id holds a control character";
      else if (value.find('#') != std::string::npos)
        problem = "id must not hold '#': HTTP clients never send what follows it";
      p.Id = value;
    } else if (key == "title") {
      if (HasControlChars(value)) problem = "title holds a control character";
      p.Title = value;
    } else if (key == "date") {
      problem = CheckDate(value);
      p.Date = value;
    } else if (key == "version") {
      problem = CheckVersion(value);
      p.Version = value;
    } else if (key == "history") {
      if (!value.empty()) problem = CheckHistoryName(value);
      p.History = value;
    } else if (key == "download") {
      problem = CheckUrl(value);
      p.Download = value;
    } else if (key == "download_reg") {
      if (!value.empty()) problem = CheckUrl(value);
      p.DownloadReg = value;
    }
    if (!problem.empty()) fail(lineNo, problem);
  }

  for (const TKeyInfo& k : Keys)
    if (k.Required && !parsed.Lines.contains(k.Name))
      errors.push_back(fileName + ": required key '" + std::string(k.Name) + "' is missing");
  if (p.Title.empty()) p.Title = p.Id;
  if (p.DownloadReg.empty()) p.DownloadReg = p.Download;
  return parsed;
}

// Reads a whole file of at most maxSize bytes; returns an error text or an empty one.
std::string ReadFileLimited(const fs::path& path, std::uintmax_t maxSize, std::string& content) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) return "not found";
  if (!fs::is_regular_file(status)) return "not a regular file";
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) return ec.message();
  if (size > maxSize) return "larger than " + std::to_string(maxSize) + " bytes";
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string("cannot be opened: ") + std::strerror(errno);
  content.assign(static_cast<std::size_t>(size), '\0');
  in.read(content.data(), static_cast<std::streamsize>(size));
  if (static_cast<std::uintmax_t>(in.gcount()) != size) return "cannot be read whole";
  return {};
}

std::string HistoryContentType(const std::string& name, const std::string& content) {
  const std::string ext = LowerAscii(fs::path(name).extension().string());
  if (ext == ".rtf") return "application/rtf";
  const std::string charset = IsValidUtf8(content) ? "utf-8" : "windows-1252";
  if (ext == ".htm" || ext == ".html") return "text/html; charset=" + charset;
  return "text/plain; charset=" + charset;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += (out.empty() ? "" : "\n") + l;
  return out;
}

}  // namespace

std::string CheckCatalogueUrl(std::string_view url) {
  return CheckUrl(url);
}

ECatalogue::ECatalogue(std::vector<std::string> errors)
    : std::runtime_error(JoinLines(errors)), Errors(std::move(errors)) {}

TProduct TCatalogue::ParseProduct(std::string_view text, const std::string& fileName,
                                  std::vector<std::string>& errors) {
  return ParseProductText(text, fileName, errors).Product;
}

TCatalogue TCatalogue::Load(const fs::path& folder) {
  TCatalogue catalogue;
  catalogue.FFolder = folder;
  std::vector<std::string> errors;
  const std::string folderName = folder.string();

  std::error_code ec;
  if (!fs::is_directory(folder, ec)) throw ECatalogue({folderName + ": catalogue folder not found"});

  std::vector<fs::path> files;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    if (LowerAscii(path.extension().string()) == ProductExtension) files.push_back(path);
  }
  if (ec) throw ECatalogue({folderName + ": cannot list the catalogue folder: " + ec.message()});
  std::sort(files.begin(), files.end());

  std::map<std::string, std::pair<std::string, int>> historyUsers;  // name -> first file, line
  for (const fs::path& path : files) {
    const std::string fileName = path.filename().string();
    std::string text;
    if (std::string problem = ReadFileLimited(path, MaxProductFileSize, text); !problem.empty()) {
      errors.push_back(fileName + ": " + problem);
      continue;
    }
    const std::size_t errorsBefore = errors.size();
    TParsedProduct parsed = ParseProductText(text, fileName, errors);
    if (errors.size() != errorsBefore) continue;
    TProduct& product = parsed.Product;
    if (const auto other = catalogue.FById.find(product.Id); other != catalogue.FById.end()) {
      errors.push_back(fileName + ":" + std::to_string(parsed.Lines.at("id")) + ": id '" + product.Id +
                       "' is already used by " + catalogue.FItems[other->second].SourceFile);
      continue;
    }
    if (!product.History.empty() && !historyUsers.contains(product.History))
      historyUsers.emplace(product.History, std::make_pair(fileName, parsed.Lines.at("history")));
    catalogue.FById.emplace(product.Id, catalogue.FItems.size());
    catalogue.FItems.push_back(std::move(product));
  }

  for (const auto& [name, user] : historyUsers) {
    std::string content;
    if (std::string problem = ReadFileLimited(folder / name, MaxHistoryFileSize, content); !problem.empty()) {
      errors.push_back(user.first + ":" + std::to_string(user.second) + ": history file '" + name + "': " + problem);
      continue;
    }
    const std::string type = HistoryContentType(name, content);
    catalogue.FHistories.emplace(name, THistoryText{std::move(content), type});
  }

  if (files.empty()) errors.push_back(folderName + ": no *.product files in the catalogue folder");
  if (!errors.empty()) throw ECatalogue(std::move(errors));
  return catalogue;
}

const TProduct* TCatalogue::Find(std::string_view id) const {
  const auto it = FById.find(id);
  return it == FById.end() ? nullptr : &FItems[it->second];
}

const THistoryText* TCatalogue::FindHistory(const std::string& relativeName) const {
  const auto it = FHistories.find(relativeName);
  return it == FHistories.end() ? nullptr : &it->second;
}

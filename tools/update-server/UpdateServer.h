#pragma once
// The reference update server: answers the wizard's update-record,
// history-pointer and history-text requests and serves the download pages,
// all from a catalogue folder that the maker edits (one "*.product" file per
// product; the format is described in README.md beside this file).
//
// TCatalogue is loaded and checked once, at start-up, and is read-only after
// that, so the server's worker threads share it without locking.
// TUpdateServer owns the HTTP server and its listening thread.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

// Everything wrong with a catalogue folder. Errors lists every problem found,
// each as "file:line: text" (or "file: text" where no line is to blame);
// what() holds them all, one per line.
class ECatalogue : public std::runtime_error {
 public:
  explicit ECatalogue(std::vector<std::string> errors);
  std::vector<std::string> Errors;
};

// The server could not be started (address not resolvable, port taken...).
class EUpdateServer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
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

class TUpdateServer {
 public:
  // Receives one finished log line (without line break) per request; it is
  // called from the server's worker threads, one call at a time.
  using TLogSink = std::function<void(const std::string& line)>;

  // Idle keep-alive connections are closed after this many seconds, and
  // after this many requests. The wizard asks its questions back to back;
  // Stop() waits for idle connections to time out, so keep this short.
  static constexpr int KeepAliveTimeoutSeconds = 2;
  static constexpr std::size_t KeepAliveMaxCount = 1000;

  explicit TUpdateServer(TCatalogue catalogue, TLogSink logSink = nullptr);
  ~TUpdateServer();
  TUpdateServer(const TUpdateServer&) = delete;
  TUpdateServer& operator=(const TUpdateServer&) = delete;

  // Binds to address:port (port 0 picks a free port), starts the listening
  // thread and returns once the server accepts connections. Returns the
  // port actually bound. Throws EUpdateServer when the address cannot be
  // bound, or when the server has been started already.
  int Start(const std::string& address, int port);
  // Stops listening, waits for the requests in progress and for idle
  // keep-alive connections to time out (at most KeepAliveTimeoutSeconds),
  // and joins the thread. Does nothing when not running; safe to call more
  // than once.
  void Stop();

  bool IsRunning() const;
  int Port() const { return FPort; }
  // "http://ADDRESS:PORT/" (IPv6 addresses in brackets); empty before Start.
  std::string BaseUrl() const;
  const TCatalogue& Catalogue() const { return FCatalogue; }

  // The product ID a request names, taken from the raw request target (see
  // README.md: the wizard does not URL-encode, so an ID may hold "&", "=",
  // "+" or blanks sent as %20). Empty candidates list: no productID at all.
  // Exposed for the tests; the handlers try the candidates in order.
  static std::vector<std::string> ProductIdCandidates(std::string_view target);

 private:
  void Route(const httplib::Request& request, httplib::Response& response) const;
  const TProduct* FindProduct(const httplib::Request& request, httplib::Response& response) const;
  void ServeUpdateRecord(const httplib::Request& request, httplib::Response& response) const;
  void ServeHistoryPointer(const httplib::Request& request, httplib::Response& response) const;
  void ServeDownloadPage(const httplib::Request& request, httplib::Response& response, bool registered) const;
  void ServeHistoryText(const std::string& relativeName, httplib::Response& response) const;
  void Log(const httplib::Request& request, const httplib::Response& response) const;

  TCatalogue FCatalogue;
  TLogSink FLogSink;
  mutable std::mutex FLogMutex;
  std::unique_ptr<httplib::Server> FServer;
  std::thread FThread;
  std::string FAddress;
  int FPort = 0;
};

// Helpers shared with main and the tests.
namespace UpdateServerText {
// "http://host:port/" with IPv6 literals bracketed.
std::string MakeBaseUrl(const std::string& address, int port);
// Escapes &, <, >, " and ' for HTML text and attribute values.
std::string HtmlEscape(std::string_view text);
// The text as UTF-8: unchanged when it is valid UTF-8, else read as Windows-1252.
std::string ToUtf8(std::string_view text);
// Bytes below 0x20, 0x7F and "\" written as \xNN, for one-line logs.
std::string EscapeForLog(std::string_view text);
// Percent-encodes everything but unreserved characters and "/".
std::string EncodePath(std::string_view path);
// Decodes %XX sequences (invalid ones stay as they are); "+" stays "+".
std::string DecodePercent(std::string_view text);
}  // namespace UpdateServerText

#pragma once
// The reference update server: answers the wizard's update-record,
// history-pointer and history-text requests and serves the download pages,
// all from a catalogue folder that the maker edits (one "*.product" file per
// product; the format is described in README.md beside this file).
//
// TCatalogue is loaded and checked once, at start-up, and is read-only after
// that, so the server's worker threads share it without locking.
// TUpdateServer owns the HTTP server (GNU libmicrohttpd: a few event-driven
// worker threads, so no client can hold a worker) and its listening socket.
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
#include <vector>

struct MHD_Daemon;

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

// What the server answers besides the catalogue's own texts; the static
// export (StaticExport.h) writes the same.
namespace UpdateServerReplies {
// The content type of every plain-text reply.
inline constexpr std::string_view TextType = "text/plain; charset=utf-8";
// Where the history texts are served: this path followed by the history's
// catalogue-relative name, percent-encoded.
inline constexpr std::string_view HistoryPath = "/history/";
// Plain-text bodies of error replies. They hold no digits, dots, slashes or
// "@": the wizard filters an update-record reply down to exactly those
// characters and must not find anything that looks like a record in them.
inline constexpr std::string_view TextNotFound = "Not found\r\n";
inline constexpr std::string_view TextUnknownProduct = "Unknown product\r\n";
inline constexpr std::string_view TextMissingProductId = "Missing productID\r\n";
inline constexpr std::string_view TextNoHistory = "No history for this product\r\n";
inline constexpr std::string_view TextServerError = "Internal server error\r\n";
inline constexpr std::string_view TextMethodNotAllowed = "Only GET and HEAD are answered here\r\n";
inline constexpr std::string_view TextNoBodies = "Request bodies are not accepted\r\n";
inline constexpr std::string_view TextNoEncodings = "Content encodings are not accepted\r\n";
}  // namespace UpdateServerReplies

// How the server runs; the defaults suit the open internet.
struct TUpdateServerOptions {
  // The base address that the history pointers name ("https://updates.example/",
  // with a path when a proxy serves the server below one). Empty: the
  // address the server listens on, which must not be a wildcard then.
  std::string PublicUrl;
  // Connections open at once, in all and from one client address (0: no
  // limit per address; behind a proxy every client has the proxy's).
  int MaxConnections = 4096;
  int MaxConnectionsPerAddress = 0;
  // Worker threads; 0: one per processor, at least 2.
  int Threads = 0;
  // A connection that sends nothing for this long is closed, idle or not.
  int IdleTimeoutSeconds = 5;
};

// A request as the routes see it: the raw request target (path and query
// as sent, not decoded) and what the head says about a body.
struct TRequestHead {
  std::string_view Method;
  std::string_view Target;
  bool AnnouncesBody = false;       // a Content-Length other than 0, or a Transfer-Encoding
  bool HasContentEncoding = false;  // a Content-Encoding header
};

// A reply of the routes. The body is Body, or *Shared when set (a history
// text of the catalogue, sent without a copy).
struct TReply {
  int Status = 200;
  std::string ContentType;
  std::string Body;
  const std::string* Shared = nullptr;
  bool Close = false;      // close the connection after the reply
  std::string_view Allow;  // an Allow header, for 405
  std::size_t BodySize() const { return Shared ? Shared->size() : Body.size(); }
  std::string_view BodyView() const { return Shared ? std::string_view(*Shared) : std::string_view(Body); }
};

class TUpdateServer {
 public:
  // Receives one finished log line (without line break) per request; it is
  // called from the server's worker threads, one call at a time.
  using TLogSink = std::function<void(const std::string& line)>;

  // Memory the library may use per connection for the request head and the
  // reply's head; a longer request head gets "431" or "414".
  static constexpr std::size_t MaxRequestHeadBytes = 32 * 1024;

  explicit TUpdateServer(TCatalogue catalogue, TLogSink logSink = nullptr, TUpdateServerOptions options = {});
  ~TUpdateServer();
  TUpdateServer(const TUpdateServer&) = delete;
  TUpdateServer& operator=(const TUpdateServer&) = delete;

  // Binds to address:port (port 0 picks a free port) with a listen backlog
  // of SOMAXCONN, starts the worker threads and returns once the server
  // accepts connections. Returns the port actually bound. Throws
  // EUpdateServer when the options are wrong (a wildcard address without a
  // public URL, a malformed public URL), when the address cannot be bound,
  // or when the server has been started already.
  int Start(const std::string& address, int port);
  // Closes the listening socket and every connection at once, whatever the
  // clients are doing, and joins the worker threads. Does nothing when not
  // running; safe to call more than once.
  void Stop();

  bool IsRunning() const { return FDaemon != nullptr; }
  int Port() const { return FPort; }
  // "http://ADDRESS:PORT/" (IPv6 addresses in brackets); empty before Start.
  std::string BaseUrl() const;
  // The base address of the history pointers, ending in "/"; empty before Start.
  const std::string& PublicUrl() const { return FPublicUrl; }
  const TCatalogue& Catalogue() const { return FCatalogue; }

  // The reply to one request: what the worker threads send, exposed for the
  // tests and the fuzz target. Only GET and HEAD without a body are
  // answered; a body or a content encoding is refused from the head alone.
  TReply Answer(const TRequestHead& request) const;

  // The body of a product's update record, "DD/MM/YYYY@@VERSION" and CR LF.
  static std::string UpdateRecordBody(const TProduct& product);
  // The body of a product's history pointer, "@@URL@@" and CR LF, the URL
  // being historyBaseUrl (ending in "/") followed by "history/" and the
  // percent-encoded history name. The product must have a history.
  static std::string HistoryPointerBody(const std::string& historyBaseUrl, const TProduct& product);
  // The base address of the history pointers: publicUrl with a trailing "/"
  // added where it lacks one, or http://ADDRESS:PORT/ when it is empty.
  static std::string HistoryBaseUrl(const std::string& publicUrl, const std::string& address, int port);

  // How many parts of a productID value that end before an "&" are tried,
  // from the longest (see ProductIdCandidates).
  static constexpr std::size_t MaxIdParts = 16;

  // The product ID a request names, taken from the raw request target (see
  // README.md: the wizard does not URL-encode, so an ID may hold "&", "=",
  // "+" or blanks sent as %20). Empty candidates list: no productID at all.
  // Exposed for the tests; the handlers try the candidates in order.
  static std::vector<std::string> ProductIdCandidates(std::string_view target);
  // An error text for a public URL that cannot be a base address of the
  // history pointers (http or https, a host, no blanks, control characters
  // or "@"), else an empty one.
  static std::string CheckPublicUrl(std::string_view url);

 private:
  struct TGlue;  // the library's callbacks
  friend struct TGlue;

  const TProduct* FindProduct(std::string_view target, TReply& reply) const;
  void ServeUpdateRecord(std::string_view target, TReply& reply) const;
  void ServeHistoryPointer(std::string_view target, TReply& reply) const;
  void ServeDownloadPage(std::string_view target, TReply& reply, bool registered) const;
  void ServeHistoryText(const std::string& relativeName, TReply& reply) const;
  void Log(const std::string& client, std::string_view method, std::string_view target, const std::string& status,
           const std::string& bytes) const;

  TCatalogue FCatalogue;
  TLogSink FLogSink;
  TUpdateServerOptions FOptions;
  mutable std::mutex FLogMutex;
  MHD_Daemon* FDaemon = nullptr;
  std::string FAddress;
  std::string FPublicUrl;
  int FPort = 0;
};

// Helpers shared with main and the tests.
namespace UpdateServerText {
// "http://host:port/" with IPv6 literals bracketed.
std::string MakeBaseUrl(const std::string& address, int port);
// Escapes &, <, >, " and ' for HTML text and attribute values.
std::string HtmlEscape(std::string_view text);
// Bytes below 0x20, 0x7F and "\" written as \xNN, for one-line logs.
std::string EscapeForLog(std::string_view text);
// Percent-encodes everything but unreserved characters and "/".
std::string EncodePath(std::string_view path);
// Decodes %XX sequences (invalid ones stay as they are); "+" stays "+".
std::string DecodePercent(std::string_view text);
}  // namespace UpdateServerText

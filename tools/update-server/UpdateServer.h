#pragma once
// The reference update server: answers the wizard's update-record,
// history-pointer and history-text requests and serves the download pages,
// all from a catalogue folder that the maker edits (Catalogue.h).
//
// TUpdateServer holds the routes and owns the HTTP server of the maker's
// servers (tools/http-server) with its listening socket.
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Catalogue.h"
#include "HttpServer.h"
#include "HttpText.h"

// The server could not be started (address not resolvable, port taken...).
class EUpdateServer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
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

class TUpdateServer : private THttpRoutes {
 public:
  // Receives one finished log line (without line break) per request; it is
  // called from the server's worker threads, one call at a time.
  using TLogSink = THttpServer::TLogSink;

  // Memory the library may use per connection for the request head and the
  // reply's head; a longer request head gets "431" or "414".
  static constexpr std::size_t MaxRequestHeadBytes = THttpServer::MaxRequestHeadBytes;

  explicit TUpdateServer(TCatalogue catalogue, TLogSink logSink = nullptr, TUpdateServerOptions options = {});
  ~TUpdateServer() override;
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

  bool IsRunning() const { return FHttp.IsRunning(); }
  int Port() const { return FHttp.Port(); }
  // "http://ADDRESS:PORT/" (IPv6 addresses in brackets); empty before Start.
  std::string BaseUrl() const { return FHttp.BaseUrl(); }
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
  // Every request is answered from its head.
  std::optional<TReply> AnswerHead(const TRequestHead& head) const override { return Answer(head); }

  const TProduct* FindProduct(std::string_view target, TReply& reply) const;
  void ServeUpdateRecord(std::string_view target, TReply& reply) const;
  void ServeHistoryPointer(std::string_view target, TReply& reply) const;
  void ServeDownloadPage(std::string_view target, TReply& reply, bool registered) const;
  void ServeHistoryText(const std::string& relativeName, TReply& reply) const;

  TCatalogue FCatalogue;
  TUpdateServerOptions FOptions;
  std::string FPublicUrl;
  THttpServer FHttp;  // last: stopped first
};

// Helpers shared with the static export and the tests.
namespace UpdateServerText = HttpText;

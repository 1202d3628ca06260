#pragma once
// The HTTP foundation of the maker's servers (the update server, the report
// collector): GNU libmicrohttpd with a few event-driven worker threads, so
// that no client can hold a worker; limits on connections, on the request
// head and on a request body; an idle time-out; and one log line per request
// ("TIME CLIENT METHOD TARGET STATUS BYTES", UTC time with milliseconds,
// control characters of the request escaped).
//
// A server hands THttpServer its routes (THttpRoutes). The routes answer a
// request from its head, or ask for its body first; they run on the worker
// threads, several at a time, and must be safe for that.
#include <sys/socket.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

// The server could not be started (address not resolvable, port taken...).
class EHttpServer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A request as the routes see it: the raw request target (path and query as
// sent, not decoded) and what the head says about a body.
struct TRequestHead {
  std::string_view Method;
  std::string_view Target;
  bool AnnouncesBody = false;       // a Content-Length other than 0, or a Transfer-Encoding
  bool HasContentEncoding = false;  // a Content-Encoding header
  bool Chunked = false;             // a Transfer-Encoding header: no length known before the body
  // The Content-Length, when the head gives a well-formed one.
  std::optional<std::uint64_t> ContentLength = std::nullopt;
  // The peer's address without its port ("127.0.0.1", "::1"); empty when unknown.
  std::string_view ClientAddress = {};
  // The library's connection, for Header(); none in requests made up by tests.
  MHD_Connection* Connection = nullptr;
  // A request header's value (any letter case of the name), trimmed; empty
  // when absent.
  std::string Header(const char* name) const;
};

// A reply of the routes. The body is Body, or *Shared when set (a text that
// outlives the reply, sent without a copy).
struct TReply {
  int Status = 200;
  std::string ContentType;
  std::string Body;
  const std::string* Shared = nullptr;
  bool Close = false;                                        // close the connection after the reply
  std::string_view Allow;                                    // an Allow header, for 405
  std::vector<std::pair<std::string, std::string>> Headers;  // further headers, name and value
  std::size_t BodySize() const { return Shared ? Shared->size() : Body.size(); }
  std::string_view BodyView() const { return Shared ? std::string_view(*Shared) : std::string_view(Body); }
};

class THttpRoutes {
 public:
  virtual ~THttpRoutes() = default;
  // The reply to a request decided from its head alone, or none to read its
  // body first and then call AnswerBody. A reply to a request that announces
  // a body closes the connection, so that no byte of the body is read.
  virtual std::optional<TReply> AnswerHead(const TRequestHead& head) const = 0;
  // The reply to a request whose body was read whole (at most the server's
  // MaxBodyBytes). The default answers "500".
  virtual TReply AnswerBody(const TRequestHead& head, std::string_view body) const;

  // Receives the reply to a request answered later. It may be called from
  // any thread, once; the connection waits for it without holding a worker
  // thread. Every request handed to AnswerBodyLater must get its reply
  // before the server stops.
  using TRespond = std::function<void(TReply reply)>;
  // The reply to a request whose body was read whole, now or later through
  // `respond`; `head` and `body` are valid during the call only. The default
  // responds at once with AnswerBody.
  virtual void AnswerBodyLater(const TRequestHead& head, std::string_view body, TRespond respond) const;
};

// How the server runs; the defaults suit the open internet.
struct THttpServerOptions {
  // Connections open at once, in all and from one client address (0: no
  // limit per address; behind a proxy every client has the proxy's).
  int MaxConnections = 4096;
  int MaxConnectionsPerAddress = 0;
  // Worker threads; 0: one per processor, at least 2.
  int Threads = 0;
  // A connection that sends nothing for this long is closed, idle or not.
  int IdleTimeoutSeconds = 5;
  // The largest body that is read for AnswerBody; a longer one is refused
  // with "413" and its connection closed.
  std::size_t MaxBodyBytes = 0;
};

class THttpServer {
 public:
  // Receives one finished log line (without line break) per request; it is
  // called from the server's worker threads, one call at a time.
  using TLogSink = std::function<void(const std::string& line)>;

  // Memory the library may use per connection for the request head and the
  // reply's head; a longer request head gets "431" or "414".
  static constexpr std::size_t MaxRequestHeadBytes = 32 * 1024;

  // The routes must outlive the server.
  THttpServer(const THttpRoutes& routes, TLogSink logSink, THttpServerOptions options);
  ~THttpServer();
  THttpServer(const THttpServer&) = delete;
  THttpServer& operator=(const THttpServer&) = delete;

  // Binds to address:port (port 0 picks a free port) with a listen backlog
  // of SOMAXCONN, starts the worker threads and returns once the server
  // accepts connections. Returns the port actually bound. Throws
  // EHttpServer when the address cannot be bound or the server runs already.
  int Start(const std::string& address, int port);
  // Closes the listening socket and every connection at once, whatever the
  // clients are doing, and joins the worker threads; first waits (up to 30 s)
  // for the replies of the requests answered later. Does nothing when not
  // running; safe to call more than once.
  void Stop();

  bool IsRunning() const { return FDaemon != nullptr; }
  int Port() const { return FPort; }
  // "http://ADDRESS:PORT/" (IPv6 addresses in brackets); empty before Start.
  std::string BaseUrl() const;

  // Whether `address` names every interface (0.0.0.0, ::); false for an
  // address that does not resolve.
  static bool IsWildcardAddress(const std::string& address);

 private:
  struct TGlue;  // the library's callbacks
  friend struct TGlue;

  void Log(const std::string& client, std::string_view method, std::string_view target, const std::string& status,
           const std::string& bytes) const;

  const THttpRoutes& FRoutes;
  TLogSink FLogSink;
  THttpServerOptions FOptions;
  mutable std::mutex FLogMutex;
  std::mutex FWaitingMutex;
  std::condition_variable FWaitingDone;
  int FWaiting = 0;  // connections suspended until their reply comes
  MHD_Daemon* FDaemon = nullptr;
  std::string FAddress;
  int FPort = 0;
};

#pragma once
// HTTP client in the manner of the original platform's Internet calls:
// open an Internet handle (TInternetSession) with an agent string, open a URL
// over it (TInternetUrl), read the body in chunks until a read delivers 0
// bytes, close the URL handle, close the Internet handle.
//
//   auto session = TInternetSession::Open("Agent/1.0");   // null: no HTTP library
//   auto url = session->OpenUrl(address);                 // null: failure, see LastError()
//   char buf[256]; std::size_t got;
//   while (url->Read(buf, sizeof buf, got) && got > 0) text.append(buf, got);
//
// What is sent: a plain GET with User-Agent = agent and the HTTP library's
// usual Host and "Accept: */*"; no body, no cookies, no credentials of our
// own. The system's proxy settings (http_proxy, https_proxy, no_proxy) apply.
// What comes back: the body bytes exactly as received (no decoding; zero
// bytes kept). The HTTP status is not looked at: a 404 or 500 page is
// returned like any body. Redirects are followed up to MaxRedirects, only to
// http and https.
//
// URLs: only "http://" and "https://" URLs are opened (the scheme in any
// letter case). Values are put into URLs without encoding by callers, so the
// path and query are sent as given except for the bytes HTTP cannot carry
// raw, which are percent-encoded: blank -> %20, control bytes (0x00-0x1F,
// 0x7F) and bytes 0x80-0xFF -> %XX. Quotes, ";", "&", "%" and the rest stay
// as they are. A blank or control byte in the host part makes the URL
// malformed.
//
// Limits (THttpLimits): the connection (name lookup included) must be made
// within ConnectTimeoutMs; a call waiting for data fails when nothing arrives
// for StallTimeoutMs (headers or body bytes; the clock restarts with every
// arrival and with every call); a body over MaxBodyBytes fails the fetch,
// in OpenUrl when the server announces the length, else in the Read that
// crosses the limit.
//
// Waiting: a call that waits for the network (OpenUrl, Read) can hand the
// calling thread back to its caller while it waits: with a wait handler set,
// it calls the handler whenever it has waited WaitSliceMs since it started or
// last called it, so that a GUI caller can keep its windows alive meanwhile.
// A transfer that keeps delivering never calls it. The handler runs on the
// calling thread inside the waiting call: it must not use the session,
// except for Cancel(), nor release it.
//
// Cancel() closes the Internet handle early, as a user who gives up does:
// the transfer under way is dropped with its connection, the waiting call
// (when Cancel came from its handler) fails as soon as the handler returns,
// and every later OpenUrl and Read fails at once, without any network
// access. LastError() then tells "cancelled".
//
// Many URLs at once: Fetch() queues a GET of a whole body and RunFetches()
// drives every queued fetch at the same time, on the calling thread, until
// each has ended. Each fetch follows every rule above (what is sent, the
// schemes, redirects, the body limit, the time-outs) on its own: its stall
// time-out counts from the moment its request goes out, so waiting for a
// free connection does not count, and a slow or silent host stalls only its
// own fetches. Connections: at most MaxConnectionsPerHost to one host (an
// HTTP/1.1 connection carries one request at a time), at most MaxConnections
// in all; where a TLS server speaks HTTP/2 its fetches share one multiplexed
// connection (the fetches to an https host wait until its first has been
// answered, which tells). Fetches beyond the bounds wait, in the order they
// were queued, for a free connection. While RunFetches runs, the wait
// handler is called every WaitSliceMs, also while data keeps arriving.
//
// Sending: Post() sends a body with a POST and waits for the whole reply,
// whatever its status, which it hands back with the reply's body (within
// MaxBodyBytes). The schemes, the connect and
// stall time-outs and the wait handler are those above; redirects are not
// followed (a 3xx is the reply); with TotalTimeoutMs set, a POST that has not
// ended within it fails. Cancel() from the wait handler ends it at once.
//
// Ownership and threads: a session owns its connections, which are kept
// alive and reused for the session's later URLs and fetches. Only one URL
// is open per session at a time: OpenUrl closes a URL of the session that is
// still open, and the earlier TInternetUrl's Read then fails. OpenUrl and
// Read are not called while RunFetches runs (nor from a fetch's `done`). A TInternetUrl may outlive
// its session (its reads then fail) but should be released first. A session
// and its URLs are used by one thread at a time (any thread); separate
// sessions may be used on separate threads at the same time. All calls are
// synchronous and block at most for the time-outs above.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

struct THttpLimits {
  long ConnectTimeoutMs = 30000;  // a connection that cannot be made in 30 s fails the open
  long StallTimeoutMs = 60000;    // a transfer that delivers nothing for 60 s fails (the open, or the read)
  std::size_t MaxBodyBytes = 16u * 1024 * 1024;  // a larger body fails the fetch (open or read)
  long MaxRedirects = 10;
  // Connections of the concurrent fetches (Fetch, RunFetches): to one host, and in all.
  long MaxConnectionsPerHost = 8;
  long MaxConnections = 32;
  // A POST (Post) that has not ended within this fails; 0: no bound but the two time-outs above.
  long TotalTimeoutMs = 0;
  // The certificate authorities trusted for https, as a PEM file; empty: the
  // system's. For tests and benchmarks whose server has a certificate of their own.
  std::string CaFile;
};

// What one fetch of a whole body (TInternetSession::Fetch) gave.
struct TWebFetch {
  bool Ok = false;    // the whole body arrived
  std::string Body;   // the whole body when Ok (error pages included)
  std::string Error;  // why not, when !Ok, as LastError() words it
};

// What a POST (TInternetSession::Post) got back.
struct TPostReply {
  long Status = 0;   // the reply's HTTP status
  std::string Body;  // its body
};

// The state a session shares with its open URL (private to the implementation).
struct THttpCore;

// One open URL (the "URL handle"). Created by TInternetSession::OpenUrl.
class TInternetUrl {
 public:
  ~TInternetUrl();  // closes the URL handle; an unfinished transfer is dropped with its connection
  TInternetUrl(const TInternetUrl&) = delete;
  TInternetUrl& operator=(const TInternetUrl&) = delete;

  // Reads up to `size` bytes of the body into `buffer`.
  //   true, got > 0   data;
  //   true, got == 0  the body is complete (again on every later call);
  //   false           the transfer failed part-way: connection cut before
  //                   the announced length, stall time-out, body over the
  //                   limit, URL closed by a later OpenUrl or by closing the
  //                   session, or size == 0. Bytes that arrived before the
  //                   failure are delivered first. got is 0; the session's
  //                   LastError() tells why.
  // Never blocks longer than the stall time-out without data.
  bool Read(char* buffer, std::size_t size, std::size_t& got);

 private:
  friend class TInternetSession;
  TInternetUrl(std::shared_ptr<THttpCore> core, unsigned long generation);
  std::shared_ptr<THttpCore> FCore;
  unsigned long FGeneration;
};

// The Internet handle of one check.
class TInternetSession {
 public:
  // agent: the User-Agent string. Returns null only when the HTTP library
  // cannot be loaded or cannot start. The first call in a process loads it
  // (it is not loaded at start-up); the later ones find it loaded.
  static std::unique_ptr<TInternetSession> Open(const std::string& agent, const THttpLimits& limits = {});
  ~TInternetSession();  // closes the Internet handle and its connections
  TInternetSession(const TInternetSession&) = delete;
  TInternetSession& operator=(const TInternetSession&) = delete;

  // Sends the GET and returns once the response has started (status line
  // and headers of the final response received, redirects followed); the
  // body is then read with Read(). Returns null on failure: empty or
  // malformed URL, scheme other than http/https, host not resolving,
  // connection refused, connect time-out, stall before the headers, a
  // redirect to another scheme or too many redirects, a body announced over
  // the limit. LastError() then tells why.
  std::unique_ptr<TInternetUrl> OpenUrl(const std::string& url);

  // Sends `body` to `url` with a POST, under the Content-Type `contentType`
  // (see "Sending"). True when a whole reply arrived, of any status, which
  // `reply` then holds; false on failure (as OpenUrl fails, and also: the
  // connection cut before the whole reply, the stall time-out, TotalTimeoutMs,
  // a body over the limit, Cancel), LastError() telling why. Closes a URL of
  // the session that is still open.
  bool Post(const std::string& url, const std::string& contentType, const std::string& body, TPostReply& reply);

  // Sets the wait handler (see above; an empty one removes it) and how long
  // a call waits between two calls of it. Not while a call of the session
  // runs.
  void SetWaitHandler(std::function<void()> handler, long waitSliceMs = 50);
  // Closes the Internet handle early (see above). Safe from the wait handler
  // and at any other time; a second call does nothing.
  void Cancel();

  // Queues a GET of the whole body behind `url` (see "Many URLs at once").
  // `done` receives the outcome once, from inside RunFetches; a URL that
  // cannot be opened (empty, malformed, another scheme) gives a failed
  // outcome there too. Does nothing on a cancelled session.
  using TFetchDone = std::function<void(TWebFetch&& result)>;
  void Fetch(const std::string& url, TFetchDone done);
  // Drives the queued fetches until every one has ended and its `done` has
  // returned, calling each `done` as its fetch ends (so in the order they
  // end, not the order they were queued). A `done` may queue more fetches,
  // which this same call drives, and may call StopFetches() or Cancel().
  // Returns true when no fetch is left; false when the session was cancelled
  // meanwhile (or before): the fetches not yet ended are then dropped and
  // their `done` is not called.
  bool RunFetches();
  // Drops every fetch that is queued, under way or ended and not yet
  // reported, without calling its `done`; a transfer under way is cut off
  // with its connection. For a caller that needs no more answers; safe from
  // a `done` and at any other time.
  void StopFetches();

  // A readable text for the most recent failure of this session or its URLs
  // (for logs); empty while nothing has failed. Success does not clear it.
  const std::string& LastError() const;

 private:
  explicit TInternetSession(std::shared_ptr<THttpCore> core);
  std::shared_ptr<THttpCore> FCore;
};

// `url` with blanks, control bytes and bytes 0x80-0xFF of its path and query
// percent-encoded as described above; everything else unchanged. Returns an
// empty text when the URL has no "scheme://" or its host part holds a blank
// or control byte.
std::string EncodeUrlForRequest(const std::string& url);

#include "HttpServer.h"

#include <arpa/inet.h>
#include <linux/tcp.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

#include "HttpText.h"
#include "base/TextUtil.h"

using namespace HttpText;

namespace {

constexpr std::string_view TextServerError = "Internal server error\r\n";
constexpr std::string_view TextBodyTooLarge = "Request body too large\r\n";

TReply TextReply(int status, std::string_view text) {
  TReply reply;
  reply.Status = status;
  reply.ContentType = "text/plain; charset=utf-8";
  reply.Body = std::string(text);
  reply.Close = true;
  return reply;
}

std::string NowForLog() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

// One connection, from its accept to its close. The worker thread that owns
// the connection is the only one to touch it.
struct TConnectionState {
  std::string Client;   // "address:port"
  std::string Address;  // the address alone
  int Fd = -1;
  std::uint64_t HeadBytes = 0;  // bytes of the request heads answered so far
  bool Settled = false;         // its end is logged already (a refusal, a failed request)
};

// A reply that comes later, shared by the worker thread and the responder.
struct TLaterReply {
  std::mutex Mutex;
  std::optional<TReply> Reply;
  bool Suspended = false;  // the connection waits for it
};

// One request, from its request line to its end.
struct TRequestState {
  TConnectionState* Connection = nullptr;
  std::string Target;  // raw, as sent
  std::optional<TReply> Reply;
  bool ReadingBody = false;  // the routes asked for the body
  bool BodyTooLarge = false;
  std::string Body;
  std::uint64_t BodyBytes = 0;  // as received, kept or dropped
  std::shared_ptr<TLaterReply> Later;
  bool Logged = false;
};

std::pair<std::string, std::string> AddressText(const sockaddr* address) {
  if (!address) return {"-", ""};
  char host[INET6_ADDRSTRLEN] = "-";
  int port = 0;
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
  } else if (address->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    port = ntohs(in6->sin6_port);
  } else {
    return {"-", ""};
  }
  return {HostPart(host, port), host};
}

// Bytes the client has sent on the connection so far, as the kernel counts
// them; 0 when it cannot tell.
std::uint64_t BytesReceived(int fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
      length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
    return 0;
  // The count includes the client's FIN, one sequence number, once it came:
  // in the states after a FIN from the other side (the kernel's numbers; a
  // closed socket may have had a FIN or a reset, and counts as a FIN).
  constexpr std::uint8_t TimeWait = 6, Close = 7, CloseWait = 8, LastAck = 9, Closing = 11;
  const bool finReceived = info.tcpi_state == TimeWait || info.tcpi_state == Close || info.tcpi_state == CloseWait ||
                           info.tcpi_state == LastAck || info.tcpi_state == Closing;
  return info.tcpi_bytes_received - (finReceived && info.tcpi_bytes_received > 0 ? 1 : 0);
}

bool IsWildcard(const sockaddr* address) {
  if (address->sa_family == AF_INET)
    return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr == htonl(INADDR_ANY);
  if (address->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    return IN6_IS_ADDR_UNSPECIFIED(&a);
  }
  return false;
}

std::string HeaderValue(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value ? std::string(TrimBlanks(value)) : std::string();
}

using TAddressList = std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)>;

// The passive addresses of address:port; throws EHttpServer with `where`.
TAddressList Resolve(const std::string& address, int port, const std::string& where) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int error = ::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found); error != 0)
    throw EHttpServer("cannot listen on " + where + ": " + ::gai_strerror(error));
  return TAddressList(found, ::freeaddrinfo);
}

}  // namespace

std::string TRequestHead::Header(const char* name) const {
  return Connection ? HeaderValue(Connection, name) : std::string();
}

TReply THttpRoutes::AnswerBody(const TRequestHead& /*head*/, std::string_view /*body*/) const {
  return TextReply(500, TextServerError);
}

void THttpRoutes::AnswerBodyLater(const TRequestHead& head, std::string_view body, TRespond respond) const {
  respond(AnswerBody(head, body));
}

// The library's callbacks. They run on its worker threads; every one of them
// catches what it may throw (the library is C and must never see a C++
// exception), and a failure becomes "500" for the request or a closed
// connection.
struct THttpServer::TGlue {
  static void OnConnection(void* cls, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) noexcept {
    auto* server = static_cast<THttpServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      try {
        auto state = std::make_unique<TConnectionState>();
        if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
          std::tie(state->Client, state->Address) = AddressText(info->client_addr);
        if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
          state->Fd = info->connect_fd;
        *socketContext = state.release();
      } catch (...) {
        *socketContext = nullptr;
      }
      return;
    }
    std::unique_ptr<TConnectionState> state(static_cast<TConnectionState*>(*socketContext));
    *socketContext = nullptr;
    if (!state || state->Settled) return;
    // Bytes that no answered request accounts for: a request line the
    // library could not parse (it closes such a connection, with or
    // without an error reply of its own) or a request cut short.
    if (BytesReceived(state->Fd) > state->HeadBytes) {
      try {
        server->Log(state->Client, "-", "-", "-", "-");
      } catch (...) {
      }
    }
  }

  static void* OnRequestLine(void* cls, const char* uri, MHD_Connection* connection) noexcept {
    (void)cls;
    try {
      auto request = std::make_unique<TRequestState>();
      if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT))
        request->Connection = static_cast<TConnectionState*>(info->socket_context);
      request->Target = uri ? uri : "";
      return request.release();
    } catch (...) {
      return nullptr;
    }
  }

  static TRequestHead MakeHead(const TRequestState& request, MHD_Connection* connection, const char* method) {
    TRequestHead head;
    head.Method = method ? method : "";
    head.Target = request.Target;
    head.Connection = connection;
    if (request.Connection) head.ClientAddress = request.Connection->Address;
    const std::string length = HeaderValue(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
    head.Chunked =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
    head.AnnouncesBody = (!length.empty() && length.find_first_not_of('0') != std::string::npos) || head.Chunked;
    head.HasContentEncoding =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_ENCODING) != nullptr;
    std::uint64_t value = 0;
    const char* end = length.data() + length.size();
    if (const auto [ptr, ec] = std::from_chars(length.data(), end, value);
        !length.empty() && ec == std::errc() && ptr == end)
      head.ContentLength = value;
    return head;
  }

  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* /*url*/, const char* method,
                              const char* /*version*/, const char* uploadData, std::size_t* uploadDataSize,
                              void** requestContext) noexcept {
    auto* server = static_cast<THttpServer*>(cls);
    auto* request = static_cast<TRequestState*>(*requestContext);
    if (!request || request->Logged) {
      // Never reached: a refusal goes out on the first call, before any
      // body is read, and closes the connection. Drop whatever arrives.
      *uploadDataSize = 0;
      return request ? MHD_YES : MHD_NO;
    }
    if (!request->Reply && !request->ReadingBody) {
      try {
        const TRequestHead head = MakeHead(*request, connection, method);
        request->Reply = server->FRoutes.AnswerHead(head);
        if (!request->Reply) {
          request->ReadingBody = true;
          if (head.ContentLength && *head.ContentLength <= server->FOptions.MaxBodyBytes)
            request->Body.reserve(static_cast<std::size_t>(*head.ContentLength));
          return MHD_YES;
        }
        if (head.AnnouncesBody) request->Reply->Close = true;
      } catch (...) {
        request->Reply = TextReply(500, TextServerError);
      }
      // The library keeps a connection open only for a reply queued once
      // the whole request is in: a request without a body is whole at the
      // next call. A refusal goes out now, and the connection closes.
      if (!request->Reply->Close) return MHD_YES;
    } else if (request->ReadingBody && !request->Reply) {
      if (*uploadDataSize > 0) {
        request->BodyBytes += *uploadDataSize;
        // A body longer than the limit is dropped as it comes (a well-formed
        // Content-Length over the limit is the routes' to refuse first).
        if (!request->BodyTooLarge && request->Body.size() + *uploadDataSize <= server->FOptions.MaxBodyBytes) {
          try {
            request->Body.append(uploadData, *uploadDataSize);
          } catch (...) {
            request->BodyTooLarge = true;
          }
        } else {
          request->BodyTooLarge = true;
          request->Body.clear();
          request->Body.shrink_to_fit();
        }
        *uploadDataSize = 0;
        return MHD_YES;
      }
      if (request->Later) {
        // Resumed: the reply came.
        std::lock_guard lock(request->Later->Mutex);
        request->Reply = std::move(request->Later->Reply);
        if (!request->Reply) request->Reply = TextReply(500, TextServerError);
      } else if (request->BodyTooLarge) {
        request->Reply = TextReply(413, TextBodyTooLarge);
      } else {
        auto later = std::make_shared<TLaterReply>();
        request->Later = later;
        const auto respond = [later, server, connection](TReply reply) {
          std::lock_guard lock(later->Mutex);
          if (later->Reply) return;  // one reply only
          later->Reply = std::move(reply);
          if (!later->Suspended) return;
          MHD_resume_connection(connection);
          std::lock_guard waiting(server->FWaitingMutex);
          if (--server->FWaiting == 0) server->FWaitingDone.notify_all();
        };
        try {
          server->FRoutes.AnswerBodyLater(MakeHead(*request, connection, method), request->Body, respond);
        } catch (...) {
          respond(TextReply(500, TextServerError));
        }
        std::lock_guard lock(later->Mutex);
        if (!later->Reply) {
          later->Suspended = true;
          {
            std::lock_guard waiting(server->FWaitingMutex);
            ++server->FWaiting;
          }
          MHD_suspend_connection(connection);
          return MHD_YES;
        }
        request->Reply = std::move(later->Reply);
      }
      request->Body.clear();
      request->Body.shrink_to_fit();
    }
    const TReply& reply = *request->Reply;

    const std::string_view body = reply.BodyView();
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), reply.Shared ? MHD_RESPMEM_PERSISTENT : MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.ContentType.c_str());
    if (!reply.Allow.empty())
      MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, std::string(reply.Allow).c_str());
    for (const auto& [name, value] : reply.Headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    if (reply.Close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.Status), response);
    MHD_destroy_response(response);

    request->Logged = true;
    if (TConnectionState* state = request->Connection) {
      if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE))
        state->HeadBytes += info->header_size;
      state->HeadBytes += request->BodyBytes;
      if (reply.Close) state->Settled = true;
    }
    try {
      server->Log(request->Connection ? request->Connection->Client : "-", method ? method : "-", request->Target,
                  std::to_string(reply.Status), std::to_string(reply.BodySize()));
    } catch (...) {
    }
    return queued;
  }

  static void OnRequestEnd(void* cls, MHD_Connection* connection, void** requestContext,
                           MHD_RequestTerminationCode /*code*/) noexcept {
    auto* server = static_cast<THttpServer*>(cls);
    std::unique_ptr<TRequestState> request(static_cast<TRequestState*>(*requestContext));
    *requestContext = nullptr;
    if (!request || request->Logged) return;
    // The library ended the request itself: a malformed or oversized head
    // (it answers with an error status of its own), or the client or the
    // server's stop cut it short. The connection closes after it.
    if (request->Connection) request->Connection->Settled = true;
    std::string status = "-";
    if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS))
      status = std::to_string(info->http_status);
    try {
      server->Log(request->Connection ? request->Connection->Client : "-", "-", request->Target, status, "-");
    } catch (...) {
    }
  }
};

THttpServer::THttpServer(const THttpRoutes& routes, TLogSink logSink, THttpServerOptions options)
    : FRoutes(routes), FLogSink(std::move(logSink)), FOptions(options) {}

THttpServer::~THttpServer() {
  Stop();
}

bool THttpServer::IsWildcardAddress(const std::string& address) {
  try {
    const TAddressList results = Resolve(address, 0, address);
    return IsWildcard(results->ai_addr);
  } catch (const EHttpServer&) {
    return false;
  }
}

int THttpServer::Start(const std::string& address, int port) {
  if (FDaemon) throw EHttpServer("the server is running already");
  if (port < 0 || port > 65535) throw EHttpServer("port " + std::to_string(port) + " is out of range (0 to 65535)");
  const std::string where = HostPart(address, port);
  const TAddressList results = Resolve(address, port, where);
  const addrinfo& chosen = *results;

  const int fd = ::socket(chosen.ai_family, chosen.ai_socktype | SOCK_CLOEXEC, chosen.ai_protocol);
  if (fd < 0) throw EHttpServer("cannot listen on " + where + ": " + std::strerror(errno));
  // SO_REUSEADDR lets a restart bind while old connections linger in
  // TIME_WAIT; no SO_REUSEPORT, so a second server on a busy port fails.
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  if (::bind(fd, chosen.ai_addr, chosen.ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    const int error = errno;
    ::close(fd);
    throw EHttpServer("cannot listen on " + where + ": " + std::strerror(error));
  }
  const int boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

  unsigned threads = FOptions.Threads > 0 ? static_cast<unsigned>(FOptions.Threads)
                                          : std::max(2u, std::thread::hardware_concurrency());
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC;
  // Bodies may be answered later, their connections suspended meanwhile.
  if (FOptions.MaxBodyBytes > 0) flags |= MHD_ALLOW_SUSPEND_RESUME;
  if (chosen.ai_family == AF_INET6) flags |= MHD_USE_IPv6;
  MHD_Daemon* daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &TGlue::OnRequest, this,                                       //
      MHD_OPTION_LISTEN_SOCKET, fd,                                                              //
      MHD_OPTION_THREAD_POOL_SIZE, threads,                                                      //
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(std::max(1, FOptions.MaxConnections)),  //
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(std::max(0, FOptions.MaxConnectionsPerAddress)),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(std::max(1, FOptions.IdleTimeoutSeconds)),  //
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<std::size_t>(MaxRequestHeadBytes),               //
      MHD_OPTION_URI_LOG_CALLBACK, &TGlue::OnRequestLine, this,                                        //
      MHD_OPTION_NOTIFY_COMPLETED, &TGlue::OnRequestEnd, this,                                         //
      MHD_OPTION_NOTIFY_CONNECTION, &TGlue::OnConnection, this,                                        //
      MHD_OPTION_END);
  if (!daemon) {
    ::close(fd);
    throw EHttpServer("cannot serve on " + where + ": the HTTP library did not start");
  }
  FDaemon = daemon;
  FAddress = address;
  FPort = boundPort;
  return boundPort;
}

void THttpServer::Stop() {
  if (!FDaemon) return;
  {
    // The library must not stop with a connection suspended.
    std::unique_lock lock(FWaitingMutex);
    FWaitingDone.wait_for(lock, std::chrono::seconds(30), [this] { return FWaiting == 0; });
  }
  // Closes the listening socket and every connection, mid-request or not,
  // and joins the worker threads.
  MHD_stop_daemon(FDaemon);
  FDaemon = nullptr;
}

std::string THttpServer::BaseUrl() const {
  return FPort == 0 ? std::string() : MakeBaseUrl(FAddress, FPort);
}

void THttpServer::Log(const std::string& client, std::string_view method, std::string_view target,
                      const std::string& status, const std::string& bytes) const {
  if (!FLogSink) return;
  std::string line = NowForLog();
  line += ' ';
  line += client.empty() ? std::string("-") : client;
  line += ' ';
  line += method.empty() ? std::string("-") : EscapeForLog(method);
  line += ' ';
  line += target.empty() ? std::string("-") : EscapeForLog(target);
  line += ' ';
  line += status;
  line += ' ';
  line += bytes;
  std::lock_guard lock(FLogMutex);
  FLogSink(line);
}

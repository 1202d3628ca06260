#include "tests/support/FaultServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tests/support/LoopbackHttp.h"

namespace {

constexpr int PollMs = 100;           // longest single wait of the server thread
constexpr std::size_t MaxConns = 64;  // more are accepted and closed at once
constexpr std::size_t MaxRequestBytes = 65536;
constexpr std::size_t StreamChunk = 65536;

bool SameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Trim(const std::string& s) {
  const std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 307:
      return "Temporary Redirect";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

int BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

}  // namespace

struct TFaultServer::TConn {
  int Fd = -1;
  std::string In;
  std::string Out;
  std::size_t OutPos = 0;
  std::uint64_t GenNext = 0;  // streamed bytes still to generate: [GenNext, GenEnd)
  std::uint64_t GenEnd = 0;
  bool CloseWhenSent = false;
  bool HoldWhenSent = false;
  bool Held = false;  // says nothing more; input is read and dropped

  bool Sending() const { return OutPos < Out.size() || GenNext < GenEnd; }
};

std::string TFaultRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : Headers)
    if (SameNoCase(key, name)) return value;
  return {};
}

TFaultServer::TFaultServer() {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const sockaddr_in addr = LoopbackAddress(0);
  if (FListen < 0 || ::bind(FListen, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(FListen, 64) != 0 || (FPort = BoundPort(FListen)) == 0 || ::pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) {
    const int err = errno;
    if (FListen >= 0) ::close(FListen);
    throw std::runtime_error(std::string("TFaultServer cannot listen: ") + std::strerror(err));
  }
  FThread = std::thread([this] { Run(); });
}

TFaultServer::~TFaultServer() {
  FStop = true;
  const char byte = 0;
  [[maybe_unused]] const auto n = ::write(FWake[1], &byte, 1);
  FThread.join();
  for (auto& c : FConns) ::close(c->Fd);
  ::close(FListen);
  ::close(FWake[0]);
  ::close(FWake[1]);
}

std::string TFaultServer::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(FPort) + "/";
}

void TFaultServer::On(const std::string& path, TFaultReply reply) {
  std::lock_guard<std::mutex> lock(FLock);
  FScripts[path] = std::move(reply);
}

void TFaultServer::Serve(const std::string& path, std::string body, int status) {
  TFaultReply r;
  r.Status = status;
  r.Body = std::move(body);
  On(path, std::move(r));
}

void TFaultServer::Silent(const std::string& path) {
  TFaultReply r;
  r.Kind = TFaultReply::TKind::Silent;
  On(path, std::move(r));
}

void TFaultServer::CutBody(const std::string& path, std::uint64_t announced, std::string part) {
  TFaultReply r;
  r.Kind = TFaultReply::TKind::CutBody;
  r.AnnouncedLength = announced;
  r.Body = std::move(part);
  On(path, std::move(r));
}

void TFaultServer::Stream(const std::string& path, std::uint64_t bytes, bool announceLength) {
  TFaultReply r;
  r.Kind = TFaultReply::TKind::Stream;
  r.StreamBytes = bytes;
  r.AnnounceLength = announceLength;
  On(path, std::move(r));
}

void TFaultServer::Redirect(const std::string& path, const std::string& location, int status) {
  TFaultReply r;
  r.Status = status;
  r.Headers.emplace_back("Location", location);
  r.Body = "moved";  // a client that follows must not deliver this
  On(path, std::move(r));
}

void TFaultServer::StallAfterHeaders(const std::string& path, std::uint64_t announced, std::string part) {
  TFaultReply r;
  r.Kind = TFaultReply::TKind::StallAfterHeaders;
  r.AnnouncedLength = announced;
  r.Body = std::move(part);
  On(path, std::move(r));
}

std::vector<TFaultRequest> TFaultServer::Requests() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FRequests;
}

std::size_t TFaultServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FRequests.size();
}

char TFaultServer::StreamByte(std::uint64_t index) {
  return static_cast<char>((index * 131 + index / 251) & 0xFF);
}

int TFaultServer::ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  const sockaddr_in addr = LoopbackAddress(0);
  int port = 0;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) port = BoundPort(fd);
  ::close(fd);
  return port;
}

TFaultReply TFaultServer::Script(const std::string& target) const {
  std::lock_guard<std::mutex> lock(FLock);
  auto it = FScripts.find(target);
  if (it == FScripts.end()) it = FScripts.find(target.substr(0, target.find('?')));
  if (it != FScripts.end()) return it->second;
  TFaultReply none;
  none.Status = 404;
  none.Body = "no such path";
  return none;
}

void TFaultServer::Run() {
  std::vector<pollfd> fds;
  while (!FStop) {
    fds.clear();
    fds.push_back({FWake[0], POLLIN, 0});
    fds.push_back({FListen, POLLIN, 0});
    for (const auto& c : FConns) fds.push_back({c->Fd, static_cast<short>(c->Sending() ? POLLOUT : POLLIN), 0});
    if (::poll(fds.data(), fds.size(), PollMs) < 0 && errno != EINTR) break;
    if (fds[0].revents) break;
    // Connections accepted below are polled from the next round on.
    const std::size_t polled = FConns.size();
    if (fds[1].revents & POLLIN) Accept();
    for (std::size_t i = 0; i < polled; ++i) {
      TConn& c = *FConns[i];
      const short ev = fds[i + 2].revents;
      bool keep = !(ev & POLLNVAL);
      if (keep && c.Sending() && (ev & (POLLOUT | POLLHUP | POLLERR)))
        keep = Send(c);
      else if (keep && !c.Sending() && (ev & (POLLIN | POLLHUP | POLLERR)))
        keep = Receive(c);
      // Answer every complete request, one at a time, as far as the socket takes the replies.
      while (keep && !c.Held && !c.Sending() && Answer(c)) keep = Send(c);
      if (!keep) {
        ::close(c.Fd);
        c.Fd = -1;
      }
    }
    FConns.erase(std::remove_if(FConns.begin(), FConns.end(), [](const auto& c) { return c->Fd < 0; }), FConns.end());
    FOpen = static_cast<int>(FConns.size());
  }
}

void TFaultServer::Accept() {
  for (;;) {
    const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    ++FConnections;
    if (FConns.size() >= MaxConns) {
      ::close(fd);
      continue;
    }
    auto c = std::make_unique<TConn>();
    c->Fd = fd;
    FConns.push_back(std::move(c));
  }
}

bool TFaultServer::Receive(TConn& conn) {
  char buf[4096];
  const ssize_t n = ::recv(conn.Fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n == 0) return false;  // the client closed
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (conn.Held) return true;
  conn.In.append(buf, static_cast<std::size_t>(n));
  return conn.In.size() <= MaxRequestBytes;
}

bool TFaultServer::Send(TConn& conn) {
  for (;;) {
    if (conn.OutPos == conn.Out.size()) {
      conn.Out.clear();
      conn.OutPos = 0;
      if (conn.GenNext == conn.GenEnd) break;
      const std::uint64_t n = std::min<std::uint64_t>(StreamChunk, conn.GenEnd - conn.GenNext);
      for (std::uint64_t i = 0; i < n; ++i) conn.Out += StreamByte(conn.GenNext + i);
      conn.GenNext += n;
    }
    const ssize_t n =
        ::send(conn.Fd, conn.Out.data() + conn.OutPos, conn.Out.size() - conn.OutPos, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    conn.OutPos += static_cast<std::size_t>(n);
  }
  if (conn.CloseWhenSent) return false;
  if (conn.HoldWhenSent) conn.Held = true;
  return true;
}

bool TFaultServer::Answer(TConn& conn) {
  const std::size_t end = conn.In.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  const std::string head = conn.In.substr(0, end);
  conn.In.erase(0, end + 4);

  TFaultRequest req;
  std::size_t pos = head.find("\r\n");
  req.RequestLine = head.substr(0, pos);
  const std::size_t sp1 = req.RequestLine.find(' ');
  const std::size_t sp2 = sp1 == std::string::npos ? std::string::npos : req.RequestLine.find(' ', sp1 + 1);
  if (sp1 != std::string::npos)
    req.Target = req.RequestLine.substr(sp1 + 1, sp2 == std::string::npos ? sp2 : sp2 - sp1 - 1);
  while (pos != std::string::npos) {
    const std::size_t next = head.find("\r\n", pos + 2);
    const std::string line = head.substr(pos + 2, next == std::string::npos ? next : next - pos - 2);
    if (const std::size_t colon = line.find(':'); colon != std::string::npos)
      req.Headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    pos = next;
  }
  const bool clientCloses = SameNoCase(req.Header("Connection"), "close");
  {
    std::lock_guard<std::mutex> lock(FLock);
    FRequests.push_back(req);
  }

  const TFaultReply r = Script(req.Target);
  using K = TFaultReply::TKind;
  conn.CloseWhenSent = false;
  conn.HoldWhenSent = false;
  if (r.Kind == K::Silent) {
    conn.Held = true;
    return true;
  }
  std::uint64_t length = r.Body.size();
  bool announce = true;
  if (r.Kind == K::CutBody || r.Kind == K::StallAfterHeaders) length = r.AnnouncedLength;
  if (r.Kind == K::Stream) {
    length = r.StreamBytes;
    announce = r.AnnounceLength;
  }
  conn.CloseWhenSent = r.CloseAfter || clientCloses || r.Kind == K::CutBody || !announce;
  conn.HoldWhenSent = r.Kind == K::StallAfterHeaders;

  std::string out = "HTTP/1.1 " + std::to_string(r.Status) + " " + Reason(r.Status) + "\r\n";
  if (announce) out += "Content-Length: " + std::to_string(length) + "\r\n";
  if (conn.CloseWhenSent) out += "Connection: close\r\n";
  for (const auto& [name, value] : r.Headers) out += name + ": " + value + "\r\n";
  out += "\r\n";
  if (r.Kind == K::Stream) {
    conn.GenNext = 0;
    conn.GenEnd = r.StreamBytes;
  } else {
    out += r.Body;
  }
  conn.Out = std::move(out);
  conn.OutPos = 0;
  return true;
}

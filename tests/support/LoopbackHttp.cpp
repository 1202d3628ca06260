#include "tests/support/LoopbackHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace {
char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

THttpReply SplitReply(const std::string& data) {
  THttpReply reply;
  const std::size_t split = data.find("\r\n\r\n");
  reply.Head = data.substr(0, split);
  if (split != std::string::npos) reply.Body = data.substr(split + 4);
  if (data.starts_with("HTTP/1.") && data.size() > 12) reply.Status = std::atoi(data.c_str() + 9);
  return reply;
}
}  // namespace

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

std::string THttpReply::Header(std::string_view name) const {
  std::size_t pos = Head.find("\r\n");
  while (pos != std::string::npos) {
    const std::size_t start = pos + 2;
    const std::size_t end = std::min(Head.find("\r\n", start), Head.size());
    const std::string_view line = std::string_view(Head).substr(start, end - start);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualNoCase(line.substr(0, colon), name)) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
      return std::string(value);
    }
    pos = end < Head.size() ? end : std::string::npos;
  }
  return {};
}

TLoopbackConnection::TLoopbackConnection(int port, std::chrono::milliseconds timeout) {
  FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FFd < 0) return;
  const auto ms = timeout.count();
  timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
  ::setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(FFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  const int yes = 1;
  ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    Close();
    return;
  }
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(FFd, reinterpret_cast<sockaddr*>(&local), &length) == 0) FLocalPort = ntohs(local.sin_port);
}

TLoopbackConnection::~TLoopbackConnection() {
  Close();
}

void TLoopbackConnection::Close() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

bool TLoopbackConnection::Send(std::string_view bytes) {
  while (FFd >= 0 && !bytes.empty()) {
    const ssize_t n = ::send(FFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return FFd >= 0;
}

bool TLoopbackConnection::Fill() {
  if (FFd < 0) return false;
  char buf[65536];
  const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
  if (n <= 0) return false;
  FBuffer.append(buf, static_cast<std::size_t>(n));
  return true;
}

std::optional<THttpReply> TLoopbackConnection::ReadReply(bool bodyless) {
  std::size_t split;
  while ((split = FBuffer.find("\r\n\r\n")) == std::string::npos)
    if (!Fill()) return std::nullopt;
  THttpReply reply = SplitReply(FBuffer.substr(0, split + 4));
  const std::string length = reply.Header("Content-Length");
  const std::size_t bodySize = bodyless || length.empty() ? 0 : std::strtoull(length.c_str(), nullptr, 10);
  while (FBuffer.size() < split + 4 + bodySize)
    if (!Fill()) return std::nullopt;
  reply.Body = FBuffer.substr(split + 4, bodySize);
  FBuffer.erase(0, split + 4 + bodySize);
  return reply;
}

bool TLoopbackConnection::ReadToClose(std::string& data) {
  data = std::move(FBuffer);
  FBuffer.clear();
  char buf[65536];
  for (;;) {
    if (FFd < 0) return false;
    const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
    data.append(buf, static_cast<std::size_t>(n));
  }
}

THttpReply RawRequest(int port, const std::string& request) {
  TLoopbackConnection connection(port);
  std::string data;
  if (!connection.Send(request)) return {};
  connection.ReadToClose(data);
  return SplitReply(data);
}

THttpReply HttpGet(int port, const std::string& target, const std::string& host, const std::string& extraHeaders) {
  return RawRequest(port, "GET " + target +
                              " HTTP/1.1\r\nHost: " + (host.empty() ? "127.0.0.1:" + std::to_string(port) : host) +
                              "\r\n" + extraHeaders + "Connection: close\r\n\r\n");
}

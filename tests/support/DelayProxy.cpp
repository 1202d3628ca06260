#include "tests/support/DelayProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <utility>

#include "tests/support/LoopbackHttp.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr int PollMs = 100;                         // longest single wait of the thread
constexpr std::size_t MaxPairs = 256;               // more are accepted and closed at once
constexpr std::size_t MaxQueued = 8 * 1024 * 1024;  // server bytes held back per connection

void NoDelay(int fd) {
  const int yes = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

// One client connection and its connection to the server.
struct TDelayProxy::TPair {
  int Client = -1, Server = -1;
  bool Connecting = true;  // the connection to the server is being made
  std::string ToServer;    // client bytes not yet written to the server
  // Server bytes with the time they are due at the client, oldest first.
  std::deque<std::pair<TClock::time_point, std::string>> ToClient;
  std::size_t FrontSent = 0;  // bytes of ToClient's front already written
  std::size_t Queued = 0;
  bool ServerEnded = false;  // the server closed: close once ToClient is delivered
  bool Dead = false;

  ~TPair() {
    if (Client >= 0) ::close(Client);
    if (Server >= 0) ::close(Server);
  }

  // Writes what the server is owed; false on a failed write.
  bool FlushToServer() {
    while (!Connecting && !ToServer.empty()) {
      const ssize_t n = ::send(Server, ToServer.data(), ToServer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) return WouldBlock();
      ToServer.erase(0, static_cast<std::size_t>(n));
    }
    return true;
  }

  // Writes the server bytes that are due; false on a failed write.
  bool FlushToClient(TClock::time_point now) {
    while (!ToClient.empty() && ToClient.front().first <= now) {
      const std::string& chunk = ToClient.front().second;
      const ssize_t n = ::send(Client, chunk.data() + FrontSent, chunk.size() - FrontSent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) return WouldBlock();
      FrontSent += static_cast<std::size_t>(n);
      if (FrontSent < chunk.size()) return true;
      Queued -= chunk.size();
      ToClient.pop_front();
      FrontSent = 0;
    }
    return true;
  }

  bool BlockedToClient(TClock::time_point now) const { return !ToClient.empty() && ToClient.front().first <= now; }
};

TDelayProxy::TDelayProxy(std::chrono::milliseconds delay, int upstreamPort)
    : FDelayMs(static_cast<long>(delay.count())), FUpstream(upstreamPort) {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in addr = LoopbackAddress(0);
  socklen_t len = sizeof addr;
  if (FListen < 0 || ::bind(FListen, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(FListen, 256) != 0 || ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) {
    const int err = errno;
    if (FListen >= 0) ::close(FListen);
    throw std::runtime_error(std::string("TDelayProxy cannot listen: ") + std::strerror(err));
  }
  FPort = ntohs(addr.sin_port);
  FThread = std::thread([this] { Run(); });
}

TDelayProxy::~TDelayProxy() {
  FStop = true;
  const char byte = 0;
  [[maybe_unused]] const auto n = ::write(FWake[1], &byte, 1);
  FThread.join();
  FPairs.clear();
  ::close(FListen);
  ::close(FWake[0]);
  ::close(FWake[1]);
}

std::string TDelayProxy::BaseUrl(const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(FPort) + "/";
}

void TDelayProxy::Accept() {
  for (;;) {
    const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    ++FConnections;
    const int upstream = FUpstream.load();
    if (FPairs.size() >= MaxPairs || upstream <= 0) {
      ::close(fd);
      continue;
    }
    auto pair = std::make_unique<TPair>();
    pair->Client = fd;
    NoDelay(fd);
    pair->Server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in to = LoopbackAddress(upstream);
    if (pair->Server < 0 ||
        (::connect(pair->Server, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS))
      continue;  // the pair closes both
    NoDelay(pair->Server);
    FPairs.push_back(std::move(pair));
  }
}

void TDelayProxy::Run() {
  std::vector<pollfd> fds;
  while (!FStop) {
    const TClock::time_point now = TClock::now();
    fds.clear();
    fds.push_back({FWake[0], POLLIN, 0});
    fds.push_back({FListen, POLLIN, 0});
    int timeout = PollMs;
    for (const auto& p : FPairs) {
      short client = p->ToServer.empty() ? POLLIN : 0;
      if (p->BlockedToClient(now)) client |= POLLOUT;
      short server = p->Connecting || !p->ToServer.empty() ? POLLOUT : 0;
      if (!p->ServerEnded && p->Queued < MaxQueued) server |= POLLIN;
      fds.push_back({p->Client, client, 0});
      fds.push_back({p->Server, server, 0});
      if (!p->ToClient.empty() && p->ToClient.front().first > now) {
        const auto due = std::chrono::ceil<std::chrono::milliseconds>(p->ToClient.front().first - now).count();
        timeout = std::min(timeout, static_cast<int>(due));
      }
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    if (fds[0].revents) break;
    const std::size_t polled = FPairs.size();  // pairs accepted below are polled from the next round on
    if (fds[1].revents & POLLIN) Accept();
    for (std::size_t i = 0; i < polled; ++i) {
      TPair& p = *FPairs[i];
      const short cev = fds[2 + 2 * i].revents, sev = fds[3 + 2 * i].revents;
      char buf[65536];
      if (p.Connecting && (sev & (POLLOUT | POLLERR | POLLHUP))) {
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(p.Server, SOL_SOCKET, SO_ERROR, &error, &len);
        p.Connecting = false;
        p.Dead = error != 0;
      }
      if (!p.Dead && (cev & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = ::recv(p.Client, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
          p.ToServer.append(buf, static_cast<std::size_t>(n));
        else
          p.Dead = n == 0 || !WouldBlock();  // the client closed or failed: so does the pair
      }
      if (!p.Dead && !p.Connecting && (sev & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = ::recv(p.Server, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
          p.ToClient.emplace_back(TClock::now() + std::chrono::milliseconds(FDelayMs.load()),
                                  std::string(buf, static_cast<std::size_t>(n)));
          p.Queued += static_cast<std::size_t>(n);
        } else if (n == 0 || !WouldBlock()) {
          p.ServerEnded = true;
        }
      }
      if (!p.Dead) p.Dead = !p.FlushToServer() || !p.FlushToClient(TClock::now());
      if (p.ServerEnded && p.ToClient.empty()) p.Dead = true;
    }
    FPairs.erase(std::remove_if(FPairs.begin(), FPairs.end(), [](const auto& p) { return p->Dead; }), FPairs.end());
    FOpen = static_cast<int>(FPairs.size());
  }
}

// Load on the reference update server as many customers run their update
// checks at once, on loopback: each client opens one connection, asks one
// check's 78 requests (update record, history pointer and history text of 26
// products) one after the other, and closes. For 10, 100, 300 and 500
// concurrent clients it prints requests per second, the median, 99th
// percentile and worst latency of a request (the first one's includes the
// connect), and the failures. Then the latency of normal requests while 50
// clients drip their request heads one byte a second and 200 connections sit
// idle, and how long the server takes to stop on SIGTERM with all of them
// still there.
//
// A server is a target: a child process on a free loopback port (see
// TServerChild). The targets are the reference server and nginx serving the
// reference server's static export (update-server --export), and every
// figure is printed for them side by side.
//
// Usage: ServerLoadBench [--server PATH] [--levels 10,100,300,500] [--only NAME]
//   --server PATH  the update-server program to measure (default: this build's)
//   --only NAME    measure one target only: update-server or nginx
// Bounded: every request waits at most 30 s, every level at most 120 s.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LoopbackHttp.h"
#include "tests/support/NginxProcess.h"
#include "tests/support/Process.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr int kProducts = 26;
constexpr auto kRequestTimeout = std::chrono::seconds(30);
constexpr auto kLevelTimeout = std::chrono::seconds(120);

struct TTarget {
  std::string Name;
  // Starts the server on a free loopback port, serving `catalogue`; its
  // output goes to `output`.
  std::function<std::unique_ptr<TServerChild>(const std::string& catalogue, const std::string& output)> Start;
};

std::vector<TTarget> Targets(const std::string& serverExe) {
  // The export lives as long as the targets: nginx serves it from there.
  auto exported = std::make_shared<TTempDir>();
  return {{"update-server",
           [serverExe](const std::string& catalogue, const std::string& output) {
             return std::make_unique<TServerChild>(
                 std::vector<std::string>{serverExe, "--port", "0", "--catalogue", catalogue}, output);
           }},
          {"nginx", [serverExe, exported](const std::string& catalogue, const std::string& output) {
             return StartNginx(
                 exported->Path(),
                 [&](int port) {
                   RunAndRead({serverExe, "--catalogue", catalogue, "--export", exported->Path(), "--port",
                               std::to_string(port)},
                              {}, std::chrono::seconds(60));
                 },
                 output);
           }}};
}

// The demo-like catalogue of the check: 26 products with a history of 40
// versions each (about 1.5 KB).
void WriteCatalogue(const TTempDir& dir) {
  std::string history;
  for (int i = 0; i < 40; ++i) history += "Version 2." + std::to_string(i) + "\r\n- an improvement of some length\r\n";
  for (int i = 0; i < kProducts; ++i) {
    const std::string id = "p" + std::to_string(i);
    dir.Write(id + ".txt", history);
    dir.Write(id + ".product", "id=" + id + "\r\ndate=15/03/2026\r\nversion=2.2.0\r\nhistory=" + id +
                                   ".txt\r\ndownload=http://127.0.0.1/d\r\n");
  }
}

// One check's requests, in the wizard's order.
std::vector<std::string> CheckRequests(int port) {
  const std::string head = " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nAccept: */*\r\n\r\n";
  std::vector<std::string> requests;
  for (int i = 0; i < kProducts; ++i) {
    const std::string id = "p" + std::to_string(i);
    requests.push_back("GET /soft_update.php?referer=P_Update&productID=" + id + head);
    requests.push_back("GET /soft_history.php?productID=" + id + head);
    requests.push_back("GET /history/" + id + ".txt" + head);
  }
  return requests;
}

struct TFigures {
  std::vector<double> Latencies;  // ms, of the requests answered with 200
  long Failures = 0;
  double Seconds = 0;
};

void Print(const std::string& target, const std::string& what, TFigures f) {
  std::sort(f.Latencies.begin(), f.Latencies.end());
  const auto at = [&](double q) {
    return f.Latencies.empty() ? 0.0 : f.Latencies[static_cast<std::size_t>(q * (f.Latencies.size() - 1))];
  };
  std::printf("%-14s %-34s %8zu %8ld %10.0f %9.2f %9.2f %9.1f\n", target.c_str(), what.c_str(), f.Latencies.size(),
              f.Failures, f.Seconds > 0 ? static_cast<double>(f.Latencies.size()) / f.Seconds : 0.0, at(0.5), at(0.99),
              f.Latencies.empty() ? 0.0 : f.Latencies.back());
  std::fflush(stdout);
}

// One client of a level: a connection that runs one check.
struct TClient {
  int Fd = -1;
  std::size_t Next = 0;  // the request in flight, or the next one
  std::size_t Sent = 0;  // bytes of it sent
  std::string In;
  TClock::time_point Started;  // of the request in flight
  bool Connecting = false;
  bool Done = false;
};

class TLevel {
 public:
  TLevel(int port, int clients) : FPort(port), FRequests(CheckRequests(port)), FClients(clients) {}

  TFigures Run() {
    FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    const TClock::time_point start = TClock::now();
    for (std::size_t i = 0; i < FClients.size(); ++i) Connect(i);
    std::vector<epoll_event> events(256);
    while (FLeft > 0 && TClock::now() - start < kLevelTimeout) {
      const int n = ::epoll_wait(FEpoll, events.data(), static_cast<int>(events.size()), 100);
      for (int e = 0; e < n; ++e) Handle(events[e].data.u64, events[e].events);
      const TClock::time_point now = TClock::now();
      for (std::size_t i = 0; i < FClients.size(); ++i)
        if (!FClients[i].Done && FClients[i].Fd >= 0 && now - FClients[i].Started > kRequestTimeout) Fail(i);
    }
    for (std::size_t i = 0; i < FClients.size(); ++i) {
      TClient& c = FClients[i];
      if (!c.Done) FFigures.Failures += static_cast<long>(FRequests.size() - c.Next);
      if (c.Fd >= 0) ::close(c.Fd);
    }
    ::close(FEpoll);
    FFigures.Seconds = std::chrono::duration<double>(TClock::now() - start).count();
    return FFigures;
  }

 private:
  void Connect(std::size_t i) {
    TClient& c = FClients[i];
    c.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(c.Fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(FPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    c.Started = TClock::now();
    c.Sent = 0;
    c.In.clear();
    c.Connecting = true;
    if (::connect(c.Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
      ::close(c.Fd);
      c.Fd = -1;
      Fail(i);
      return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
    ev.data.u64 = i;
    ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, c.Fd, &ev);
  }

  // The request in flight failed: count it, go on with the next one on a new
  // connection, as a wizard would.
  void Fail(std::size_t i) {
    TClient& c = FClients[i];
    ++FFigures.Failures;
    if (c.Fd >= 0) ::close(c.Fd);
    c.Fd = -1;
    if (++c.Next == FRequests.size()) {
      Finish(c);
      return;
    }
    Connect(i);
  }

  void Finish(TClient& c) {
    if (c.Fd >= 0) ::close(c.Fd);
    c.Fd = -1;
    c.Done = true;
    --FLeft;
  }

  void Handle(std::size_t i, std::uint32_t events) {
    TClient& c = FClients[i];
    if (c.Done || c.Fd < 0) return;
    if (c.Connecting && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
      int error = 0;
      socklen_t length = sizeof error;
      ::getsockopt(c.Fd, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) return Fail(i);
      c.Connecting = false;
    }
    if (c.Connecting) return;
    const std::string& request = FRequests[c.Next];
    if (c.Sent < request.size()) {
      const ssize_t n = ::send(c.Fd, request.data() + c.Sent, request.size() - c.Sent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN) return Fail(i);
      if (n > 0) c.Sent += static_cast<std::size_t>(n);
      // Wait for writability only while a request is partly sent: a
      // writable socket would wake the loop all the time.
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLRDHUP | (c.Sent < request.size() ? EPOLLOUT : 0u);
      ev.data.u64 = i;
      ::epoll_ctl(FEpoll, EPOLL_CTL_MOD, c.Fd, &ev);
    }
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
      char buf[16384];
      for (;;) {
        const ssize_t n = ::recv(c.Fd, buf, sizeof buf, 0);
        if (n > 0) {
          c.In.append(buf, static_cast<std::size_t>(n));
          continue;
        }
        if (n == 0 || errno != EAGAIN) return Fail(i);  // closed or reset mid-check
        break;
      }
      const std::size_t split = c.In.find("\r\n\r\n");
      if (split == std::string::npos) return;
      std::size_t length = 0;
      for (const char* name : {"\r\nContent-Length:", "\r\ncontent-length:"})
        if (const std::size_t at = c.In.find(name); at != std::string::npos && at < split)
          length = std::strtoull(c.In.c_str() + at + 17, nullptr, 10);
      if (c.In.size() < split + 4 + length) return;
      const bool ok = c.In.starts_with("HTTP/1.1 200 ");
      if (!ok) return Fail(i);
      FFigures.Latencies.push_back(std::chrono::duration<double, std::milli>(TClock::now() - c.Started).count());
      c.In.erase(0, split + 4 + length);
      if (++c.Next == FRequests.size()) return Finish(c);
      c.Sent = 0;
      c.Started = TClock::now();
      Handle(i, EPOLLOUT);
    }
  }

  int FPort;
  std::vector<std::string> FRequests;
  std::vector<TClient> FClients;
  std::size_t FLeft = FClients.size();
  int FEpoll = -1;
  TFigures FFigures;
};

// Connections that send a request head one byte a second, never ending it.
class TDrippers {
 public:
  TDrippers(int port, int count) {
    for (int i = 0; i < count; ++i) {
      FConnections.push_back(std::make_unique<TLoopbackConnection>(port));
      FConnections.back()->Send("GET /soft_update.php?productID=p0 HTTP/1.1\r\nHost: x\r\nX-Slow: ");
    }
    FThread = std::thread([this] {
      std::unique_lock lock(FMutex);
      while (!FWake.wait_for(lock, std::chrono::seconds(1), [this] { return FStop; }))
        for (auto& c : FConnections) (void)::send(c->Fd(), "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    });
  }
  ~TDrippers() {
    {
      std::lock_guard lock(FMutex);
      FStop = true;
    }
    FWake.notify_all();
    FThread.join();
  }

 private:
  std::vector<std::unique_ptr<TLoopbackConnection>> FConnections;
  std::mutex FMutex;
  std::condition_variable FWake;
  bool FStop = false;
  std::thread FThread;
};

// `count` normal requests one after the other, each on a connection of its
// own and waiting at most 10 s; it gives up after 10 failures.
TFigures NormalRequests(int port, int count) {
  TFigures f;
  const TClock::time_point start = TClock::now();
  for (int i = 0; i < count && f.Failures < 10; ++i) {
    const TClock::time_point sent = TClock::now();
    TLoopbackConnection connection(port, std::chrono::seconds(10));
    const bool ok = connection.Send("GET /soft_update.php?referer=P_Update&productID=p1 HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::optional<THttpReply> reply = ok ? connection.ReadReply() : std::nullopt;
    if (reply && reply->Status == 200)
      f.Latencies.push_back(std::chrono::duration<double, std::milli>(TClock::now() - sent).count());
    else
      ++f.Failures;
  }
  f.Seconds = std::chrono::duration<double>(TClock::now() - start).count();
  return f;
}

std::vector<int> ParseLevels(const std::string& text) {
  std::vector<int> levels;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    levels.push_back(std::clamp(std::atoi(text.substr(at, comma - at).c_str()), 1, 2000));
    at = comma + 1;
  }
  return levels;
}

}  // namespace

int main(int argc, char** argv) {
  std::string serverExe = UPDATE_SERVER_EXE;
  std::vector<int> levels = {10, 100, 300, 500};
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--server")
      serverExe = argv[i + 1];
    else if (arg == "--levels")
      levels = ParseLevels(argv[i + 1]);
    else if (arg == "--only")
      only = argv[i + 1];
  }
  // Every client takes a descriptor.
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }

  TTempDir dir;
  WriteCatalogue(dir);
  std::printf("%-14s %-34s %8s %8s %10s %9s %9s %9s\n", "server", "load", "answered", "failures", "req/s", "median ms",
              "p99 ms", "worst ms");
  const std::vector<TTarget> targets = Targets(serverExe);
  std::vector<std::pair<std::string, std::unique_ptr<TServerChild>>> servers;
  for (const TTarget& target : targets) {
    if (!only.empty() && target.Name != only) continue;
    if (target.Name == "nginx" && NginxProgram().empty()) {
      std::fprintf(stderr, "nginx is not installed (scripts/install-deps.sh installs it): not measured\n");
      continue;
    }
    std::unique_ptr<TServerChild> server = target.Start(dir.Path(), dir.File(target.Name + ".out"));
    if (!server->Started()) {
      std::fprintf(stderr, "%s did not start:\n%s\n", target.Name.c_str(), server->Output().c_str());
      return 1;
    }
    servers.emplace_back(target.Name, std::move(server));
  }
  // Each level against every server in turn, so that their rows stand together.
  for (const int clients : levels)
    for (const auto& [name, server] : servers) {
      TLevel level(server->Port(), clients);
      Print(name, std::to_string(clients) + " checks of 78 requests at once", level.Run());
    }
  for (auto& [name, server] : servers) {
    TDrippers drippers(server->Port(), 50);
    Print(name, "100 requests, 50 clients dripping", NormalRequests(server->Port(), 100));
    std::vector<std::unique_ptr<TLoopbackConnection>> idle;
    for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<TLoopbackConnection>(server->Port()));
    Print(name, "100 requests, + 200 idle connections", NormalRequests(server->Port(), 100));
    const TClock::time_point signalled = TClock::now();
    server->Process().Signal(SIGTERM);
    while (server->Process().Running() && TClock::now() - signalled < std::chrono::seconds(60))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double stopMs = std::chrono::duration<double, std::milli>(TClock::now() - signalled).count();
    std::printf("%-14s %-34s %s after %.0f ms\n", name.c_str(), "SIGTERM with all of them open",
                server->Process().Running() ? "still running" : "stopped", stopMs);
  }
  return 0;
}

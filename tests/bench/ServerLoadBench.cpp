// Load on the reference update server as many customers run their update
// checks at once, on loopback. A check asks 78 requests (update record,
// history pointer and history text of 26 products) in one of two ways: as
// the wizard does, side by side (the first record alone, then each
// product's three requests in a row and the products at the same time, over
// up to 8 connections), or as it did before, one after the other over one
// connection. For 10, 100, 300 and 500 concurrent checks of each way it
// prints requests per second, the median, 99th percentile and worst latency
// of a request (one that opens a connection includes the connect), and the
// failures. Then the latency of normal requests while 50
// clients drip their request heads one byte a second and 200 connections sit
// idle, and how long the server takes to stop on SIGTERM with all of them
// still there.
//
// A server is a target: a child process on a free loopback port (see
// TServerChild). The targets are the reference server and nginx serving the
// reference server's static export (update-server --export), and every
// figure is printed for them side by side.
//
// Usage: ServerLoadBench [--server PATH] [--levels 10,100,300,500] [--only NAME] [--way WAY]
//   --server PATH  the update-server program to measure (default: this build's)
//   --only NAME    measure one target only: update-server or nginx
//   --way WAY      one way of checking only: side-by-side or one-after-the-other
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
#include <deque>
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

constexpr int ProductCount = 26;
constexpr auto RequestTimeout = std::chrono::seconds(30);
constexpr auto LevelTimeout = std::chrono::seconds(120);

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
  for (int i = 0; i < ProductCount; ++i) {
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
  for (int i = 0; i < ProductCount; ++i) {
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

// How a check asks its requests: how many connections it may keep, and
// whether the products go side by side.
struct TWay {
  std::string Name;
  int Connections = 1;
  bool SideBySide = false;
};

// One connection of a check.
struct TConnection {
  int Fd = -1;
  std::size_t Request = 0;  // the request in flight, when Busy
  bool Busy = false;
  std::size_t Sent = 0;  // bytes of it sent
  std::string In;
  TClock::time_point Started;  // of the request in flight
  bool Connecting = false;
};

// One check of a level.
struct TCheck {
  std::vector<TConnection> Connections;
  std::deque<std::size_t> Ready;  // requests that may go out now, in order
  std::size_t Answered = 0;       // requests answered or failed
};

// Every check of a level at once, over epoll.
class TLevel {
 public:
  TLevel(int port, int checks, const TWay& way)
      : FPort(port), FRequests(CheckRequests(port)), FWay(way), FChecks(checks) {
    for (TCheck& check : FChecks) {
      check.Connections.resize(static_cast<std::size_t>(way.Connections));
      if (way.SideBySide) {
        check.Ready.push_back(0);  // the first record alone
      } else {
        for (std::size_t r = 0; r < FRequests.size(); ++r) check.Ready.push_back(r);
      }
    }
  }

  TFigures Run() {
    FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    const TClock::time_point start = TClock::now();
    for (std::size_t c = 0; c < FChecks.size(); ++c) Dispatch(c);
    std::vector<epoll_event> events(256);
    while (FLeft > 0 && TClock::now() - start < LevelTimeout) {
      const int n = ::epoll_wait(FEpoll, events.data(), static_cast<int>(events.size()), 100);
      for (int e = 0; e < n; ++e) Handle(events[e].data.u64, events[e].events);
      const TClock::time_point now = TClock::now();
      for (std::size_t c = 0; c < FChecks.size(); ++c)
        for (std::size_t k = 0; k < FChecks[c].Connections.size(); ++k)
          if (FChecks[c].Connections[k].Busy && now - FChecks[c].Connections[k].Started > RequestTimeout) Fail(c, k);
    }
    for (TCheck& check : FChecks) {
      FFigures.Failures += static_cast<long>(FRequests.size() - check.Answered);
      for (TConnection& connection : check.Connections)
        if (connection.Fd >= 0) ::close(connection.Fd);
    }
    ::close(FEpoll);
    FFigures.Seconds = std::chrono::duration<double>(TClock::now() - start).count();
    return FFigures;
  }

 private:
  static std::uint64_t Key(std::size_t check, std::size_t connection) { return check << 8 | connection; }

  // Gives the ready requests to the connections that are free, opening
  // connections as needed.
  void Dispatch(std::size_t c) {
    TCheck& check = FChecks[c];
    for (std::size_t k = 0; k < check.Connections.size() && !check.Ready.empty(); ++k) {
      TConnection& connection = check.Connections[k];
      if (connection.Busy) continue;
      connection.Request = check.Ready.front();
      check.Ready.pop_front();
      connection.Busy = true;
      connection.Sent = 0;
      connection.In.clear();
      connection.Started = TClock::now();
      if (connection.Fd < 0 && !Connect(c, k)) continue;
      if (!connection.Connecting) Handle(Key(c, k), EPOLLOUT);
    }
  }

  bool Connect(std::size_t c, std::size_t k) {
    TConnection& connection = FChecks[c].Connections[k];
    connection.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(connection.Fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(FPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connection.Connecting = true;
    if (::connect(connection.Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
      Fail(c, k);
      return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
    ev.data.u64 = Key(c, k);
    ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, connection.Fd, &ev);
    return true;
  }

  // The request in flight on connection k ended (answered or failed): the
  // next of its product follows when the products go side by side.
  void Answered(std::size_t c, std::size_t k) {
    TCheck& check = FChecks[c];
    TConnection& connection = check.Connections[k];
    connection.Busy = false;
    const std::size_t r = connection.Request;
    if (FWay.SideBySide) {
      if (r % 3 != 2) check.Ready.push_back(r + 1);
      if (r == 0)
        for (std::size_t next = 3; next < FRequests.size(); next += 3) check.Ready.push_back(next);
    }
    if (++check.Answered == FRequests.size()) {
      for (TConnection& open : check.Connections)
        if (open.Fd >= 0) {
          ::close(open.Fd);
          open.Fd = -1;
        }
      --FLeft;
      return;
    }
    Dispatch(c);
  }

  // The request in flight failed: count it and go on on a new connection,
  // as a wizard would.
  void Fail(std::size_t c, std::size_t k) {
    TConnection& connection = FChecks[c].Connections[k];
    ++FFigures.Failures;
    if (connection.Fd >= 0) ::close(connection.Fd);
    connection.Fd = -1;
    Answered(c, k);
  }

  void Handle(std::uint64_t key, std::uint32_t events) {
    const std::size_t c = key >> 8, k = key & 0xFF;
    TConnection& connection = FChecks[c].Connections[k];
    if (connection.Fd < 0) return;
    if (connection.Connecting && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
      int error = 0;
      socklen_t length = sizeof error;
      ::getsockopt(connection.Fd, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) return Fail(c, k);
      connection.Connecting = false;
    }
    if (connection.Connecting) return;
    if (!connection.Busy) {  // an idle connection the server closed
      if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        ::close(connection.Fd);
        connection.Fd = -1;
      }
      return;
    }
    const std::string& request = FRequests[connection.Request];
    if (connection.Sent < request.size()) {
      const ssize_t n =
          ::send(connection.Fd, request.data() + connection.Sent, request.size() - connection.Sent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN) return Fail(c, k);
      if (n > 0) connection.Sent += static_cast<std::size_t>(n);
      // Wait for writability only while a request is partly sent: a
      // writable socket would wake the loop all the time.
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLRDHUP | (connection.Sent < request.size() ? EPOLLOUT : 0u);
      ev.data.u64 = key;
      ::epoll_ctl(FEpoll, EPOLL_CTL_MOD, connection.Fd, &ev);
    }
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
      char buf[16384];
      for (;;) {
        const ssize_t n = ::recv(connection.Fd, buf, sizeof buf, 0);
        if (n > 0) {
          connection.In.append(buf, static_cast<std::size_t>(n));
          continue;
        }
        if (n == 0 || errno != EAGAIN) return Fail(c, k);  // closed or reset mid-check
        break;
      }
      const std::size_t split = connection.In.find("\r\n\r\n");
      if (split == std::string::npos) return;
      std::size_t length = 0;
      for (const char* name : {"\r\nContent-Length:", "\r\ncontent-length:"})
        if (const std::size_t at = connection.In.find(name); at != std::string::npos && at < split)
          length = std::strtoull(connection.In.c_str() + at + 17, nullptr, 10);
      if (connection.In.size() < split + 4 + length) return;
      if (!connection.In.starts_with("HTTP/1.1 200 ")) return Fail(c, k);
      FFigures.Latencies.push_back(
          std::chrono::duration<double, std::milli>(TClock::now() - connection.Started).count());
      Answered(c, k);
    }
  }

  int FPort;
  std::vector<std::string> FRequests;
  TWay FWay;
  std::vector<TCheck> FChecks;
  std::size_t FLeft = FChecks.size();
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
  std::string only, onlyWay;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--server")
      serverExe = argv[i + 1];
    else if (arg == "--levels")
      levels = ParseLevels(argv[i + 1]);
    else if (arg == "--only")
      only = argv[i + 1];
    else if (arg == "--way")
      onlyWay = argv[i + 1];
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
  const std::vector<TWay> ways = {{"side-by-side", 8, true}, {"one-after-the-other", 1, false}};
  for (const TWay& way : ways) {
    if (!onlyWay.empty() && way.Name != onlyWay) continue;
    for (const int checks : levels)
      for (const auto& [name, server] : servers) {
        TLevel level(server->Port(), checks, way);
        Print(name, std::to_string(checks) + " checks " + (way.SideBySide ? "side by side" : "one by one"),
              level.Run());
      }
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

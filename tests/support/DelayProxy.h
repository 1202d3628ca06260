#pragma once
// A TCP proxy on 127.0.0.1 that makes a server on loopback look far away:
// every byte the server sends reaches the client `delay` later (each reply,
// and each server flight of a TLS handshake), while what the client sends
// goes on at once. So a request answered at once takes `delay`, and a
// client that keeps several connections busy sees them overlap, as it would
// across a continent. The connection itself is made at once.
//
// It serves every connection from one thread of its own; every wait is
// bounded, connections are capped, and the destructor closes them all, so
// a test never hangs on it. Connections made before SetUpstream() are
// closed at once.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class TDelayProxy {
 public:
  // Listening on return; throws std::runtime_error when it cannot.
  explicit TDelayProxy(std::chrono::milliseconds delay, int upstreamPort = 0);
  ~TDelayProxy();
  TDelayProxy(const TDelayProxy&) = delete;
  TDelayProxy& operator=(const TDelayProxy&) = delete;

  int Port() const { return FPort; }
  // "SCHEME://127.0.0.1:PORT/" of the proxy.
  std::string BaseUrl(const std::string& scheme = "http") const;
  // The loopback port new connections are forwarded to.
  void SetUpstream(int port) { FUpstream = port; }
  // The delay of the bytes the server sends from now on.
  void SetDelay(std::chrono::milliseconds delay) { FDelayMs = delay.count(); }

  int Connections() const { return FConnections.load(); }  // accepted so far
  int OpenConnections() const { return FOpen.load(); }     // accepted and not yet closed

 private:
  struct TPair;
  void Run();
  void Accept();

  std::atomic<long> FDelayMs;
  int FListen = -1;
  int FWake[2] = {-1, -1};  // a pipe that wakes the thread to stop
  int FPort = 0;
  std::atomic<int> FUpstream{0};
  std::atomic<bool> FStop{false};
  std::atomic<int> FConnections{0};
  std::atomic<int> FOpen{0};
  std::vector<std::unique_ptr<TPair>> FPairs;  // only the proxy's thread touches these
  std::thread FThread;
};

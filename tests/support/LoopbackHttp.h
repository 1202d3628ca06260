#pragma once
// A blocking HTTP/1.1 client for tests, on 127.0.0.1 only: it sends bytes
// exactly as given (malformed requests included) and reads replies framed by
// their Content-Length. Every wait is bounded by the time-out given at
// connection.
#include <netinet/in.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

// The IPv4 socket address 127.0.0.1:port (port 0: one the kernel picks).
sockaddr_in LoopbackAddress(int port);

struct THttpReply {
  int Status = 0;    // 0: no status line
  std::string Head;  // status line and headers, without the blank line
  std::string Body;
  // The value of a header (any letter case), trimmed; empty when absent.
  std::string Header(std::string_view name) const;
};

class TLoopbackConnection {
 public:
  explicit TLoopbackConnection(int port, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  ~TLoopbackConnection();
  TLoopbackConnection(const TLoopbackConnection&) = delete;
  TLoopbackConnection& operator=(const TLoopbackConnection&) = delete;

  bool Connected() const { return FFd >= 0; }
  int LocalPort() const { return FLocalPort; }
  int Fd() const { return FFd; }
  // Sends everything; false when the connection failed or the time-out passed.
  bool Send(std::string_view bytes);
  // One reply (a HEAD request's reply has no body: pass bodyless). None when
  // the connection closed or the time-out passed before a whole reply came.
  std::optional<THttpReply> ReadReply(bool bodyless = false);
  // Everything until the server closes (or the time-out passes); whether it closed.
  bool ReadToClose(std::string& data);
  void Close();

 private:
  bool Fill();  // reads once more into FBuffer
  int FFd = -1;
  int FLocalPort = 0;
  std::string FBuffer;
};

// One request exactly as given, on a connection of its own, and the reply
// read until the server closes (the request should say "Connection: close").
THttpReply RawRequest(int port, const std::string& request);
// GET target with a Host header and "Connection: close".
THttpReply HttpGet(int port, const std::string& target, const std::string& host = "",
                   const std::string& extraHeaders = "");

#pragma once
// vek-report-server's routes on the HTTP foundation of the maker's servers:
//
//   POST /reports          a report in the wire format (WireFormat.h), open to
//                          every client: "201" and its reference ("R-1234")
//                          once it is committed, "200" and the same reference
//                          for a key sent before
//   GET  /                 the groups (behind the login)
//   GET  /groups/N         a group and its reports (behind the login)
//   GET  /reports/N        a report's text as text/plain (behind the login)
//
// Every reply carries "nosniff" and a Content-Security-Policy that allows no
// script. The login is HTTP Basic against the users file; failed logins of
// one address are slowed down to a few a minute ("429" with Retry-After).
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "AddressLimiter.h"
#include "HttpServer.h"
#include "ReportIntake.h"
#include "ReportStore.h"
#include "Users.h"

struct TReportServerOptions {
  // Reports one client address may send a minute (0: no limit).
  int ReportsPerMinute = 30;
  // Failed logins one address may try a minute before it waits.
  int FailedLoginsPerMinute = 5;
  // The client's address is the X-Real-IP header of requests that come from
  // a proxy on this machine (127.0.0.1, ::1).
  bool BehindProxy = false;
  // What a "503" asks the client to wait, in seconds.
  int RetryAfterSeconds = 30;
  THttpServerOptions Http;
};

class TReportServer : private THttpRoutes {
 public:
  using TLogSink = THttpServer::TLogSink;

  // The store, and the users when given, must outlive the server. Without
  // users the pages answer "403".
  TReportServer(IReportStore& store, TUsers* users, TLogSink logSink, TReportServerOptions options = {});
  ~TReportServer() override;

  // As THttpServer::Start and Stop (EHttpServer when the address is not free).
  int Start(const std::string& address, int port);
  void Stop();
  int Port() const { return FHttp.Port(); }
  std::string BaseUrl() const { return FHttp.BaseUrl(); }

 private:
  std::optional<TReply> AnswerHead(const TRequestHead& head) const override;
  void AnswerBodyLater(const TRequestHead& head, std::string_view body, TRespond respond) const override;
  std::string ClientOf(const TRequestHead& head) const;
  std::optional<TReply> Login(const TRequestHead& head) const;
  TReply Page(const TRequestHead& head, std::string_view path) const;
  TReply GroupsPage(std::string_view target) const;
  TReply GroupPage(std::int64_t id, std::string_view target) const;
  TReply RawReport(std::int64_t id) const;
  TReply Unavailable(const std::string& why) const;
  // The programs and versions of the filter form, read again after 10 s.
  std::pair<std::vector<std::string>, std::vector<std::string>> FilterChoices() const;
  void Note(const std::string& line) const;

  IReportStore& FStore;
  TUsers* FUsers;
  TLogSink FLogSink;
  TReportServerOptions FOptions;
  std::unique_ptr<TReportIntake> FIntake;
  std::unique_ptr<TAddressLimiter> FReportLimiter;
  std::unique_ptr<TAddressLimiter> FLoginLimiter;
  mutable std::mutex FChoicesMutex;
  mutable std::chrono::steady_clock::time_point FChoicesRead{};
  mutable std::vector<std::string> FPrograms;
  mutable std::vector<std::string> FVersions;
  THttpServer FHttp;  // last: stopped first
};

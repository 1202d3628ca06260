#include "ReportServer.h"

#include <charconv>
#include <ctime>

#include "HttpText.h"
#include "Pages.h"
#include "WireFormat.h"
#include "base/TextUtil.h"

using HttpText::DecodePercent;

namespace {

constexpr std::string_view TextType = "text/plain; charset=utf-8";
constexpr std::string_view HtmlType = "text/html; charset=utf-8";
constexpr std::string_view Realm = "Basic realm=\"VEK reports\", charset=\"UTF-8\"";

TReply Text(int status, const std::string& text) {
  TReply reply;
  reply.Status = status;
  reply.ContentType = std::string(TextType);
  reply.Body = text + "\r\n";
  return reply;
}

std::int64_t Now() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

// A query parameter, decoded as a form sends it ("+" a blank); empty when absent.
std::string QueryValue(std::string_view target, std::string_view name) {
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos) return {};
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const std::size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name && eq != std::string_view::npos) {
      std::string value(pair.substr(eq + 1));
      for (char& c : value)
        if (c == '+') c = ' ';
      return DecodePercent(value);
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return {};
}

// A positive number, or none.
std::optional<std::int64_t> PositiveNumber(std::string_view text) {
  std::int64_t n = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || n <= 0) return std::nullopt;
  return n;
}

std::int64_t PageOffset(std::string_view target) {
  const std::optional<std::int64_t> page = PositiveNumber(QueryValue(target, "page"));
  return page && *page < 1000000 ? (*page - 1) * ReportPages::PageSize : 0;
}

}  // namespace

TReportServer::TReportServer(IReportStore& store, TUsers* users, TLogSink logSink, TReportServerOptions options)
    : FStore(store),
      FUsers(users),
      FLogSink(std::move(logSink)),
      FOptions(options),
      FIntake(std::make_unique<TReportIntake>(store)),
      FReportLimiter(options.ReportsPerMinute > 0
                         ? std::make_unique<TAddressLimiter>(options.ReportsPerMinute, options.ReportsPerMinute)
                         : nullptr),
      FLoginLimiter(
          std::make_unique<TAddressLimiter>(options.FailedLoginsPerMinute, std::max(1, options.FailedLoginsPerMinute))),
      FHttp(*this, FLogSink, [&] {
        THttpServerOptions http = options.Http;
        http.MaxBodyBytes = MaxReportBytes;
        return http;
      }()) {}

TReportServer::~TReportServer() {
  Stop();
}

int TReportServer::Start(const std::string& address, int port) {
  return FHttp.Start(address, port);
}

void TReportServer::Stop() {
  // The reports taken are filed and answered before the connections close.
  FIntake->Close();
  FHttp.Stop();
}

void TReportServer::Note(const std::string& line) const {
  if (FLogSink) FLogSink("vek-report-server: " + line);
}

std::string TReportServer::ClientOf(const TRequestHead& head) const {
  std::string client(head.ClientAddress);
  if (FOptions.BehindProxy && (client == "127.0.0.1" || client == "::1")) {
    const std::string forwarded = head.Header("X-Real-IP");
    if (!forwarded.empty() && forwarded.size() <= 64) client = forwarded;
  }
  return client;
}

TReply TReportServer::Unavailable(const std::string& why) const {
  Note("the database is unavailable: " + why);
  TReply reply = Text(503, "The report database is unavailable; send the report again later");
  reply.Headers.emplace_back("Retry-After", std::to_string(FOptions.RetryAfterSeconds));
  return reply;
}

std::optional<TReply> TReportServer::AnswerHead(const TRequestHead& head) const {
  const std::optional<TReply> reply = [&]() -> std::optional<TReply> {
    const std::string_view target = head.Target;
    const std::string path = DecodePercent(target.substr(0, target.find('?')));
    if (path == "/reports") {
      if (head.Method != "POST") {
        TReply r = Text(405, "Reports are sent with POST");
        r.Allow = "POST";
        return r;
      }
      if (FReportLimiter) {
        if (const int wait = FReportLimiter->Take(ClientOf(head)); wait > 0) {
          TReply r = Text(429, "Too many reports from this address; send again later");
          r.Headers.emplace_back("Retry-After", std::to_string(wait));
          return r;
        }
      }
      if (head.HasContentEncoding) return Text(415, "Content encodings are not accepted");
      if (head.Chunked || !head.ContentLength) return Text(411, "A Content-Length is required");
      if (*head.ContentLength > MaxReportBytes)
        return Text(413, "The report is larger than " + std::to_string(MaxReportBytes / 1024) + " KiB");
      if (*head.ContentLength == 0) return Text(400, "The request holds no report");
      return std::nullopt;  // read the body
    }
    if (head.Method != "GET" && head.Method != "HEAD") {
      TReply r = Text(405, "Only GET and HEAD are answered here");
      r.Allow = "GET, HEAD";
      return r;
    }
    if (head.AnnouncesBody) return Text(413, "Request bodies are not accepted here");
    if (std::optional<TReply> refusal = Login(head)) return refusal;
    return Page(head, path);
  }();
  if (!reply) return reply;
  TReply answer = *reply;
  answer.Headers.emplace_back("X-Content-Type-Options", "nosniff");
  answer.Headers.emplace_back("Content-Security-Policy", ReportPages::ContentSecurityPolicy());
  answer.Headers.emplace_back("Referrer-Policy", "no-referrer");
  answer.Headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

void TReportServer::AnswerBodyLater(const TRequestHead& /*head*/, std::string_view body, TRespond respond) const {
  const auto send = [respond](TReply reply) {
    reply.Headers.emplace_back("X-Content-Type-Options", "nosniff");
    reply.Headers.emplace_back("Content-Security-Policy", ReportPages::ContentSecurityPolicy());
    respond(std::move(reply));
  };
  std::string error;
  std::optional<TWireReport> wire = ParseWireReport(body, error);
  if (!wire) return send(Text(400, "Not a report: " + error));
  TNewReport report;
  report.Program = std::move(wire->Program);
  report.Version = std::move(wire->Version);
  report.Executable = std::move(wire->Executable);
  report.Key = std::move(wire->Key);
  report.Type = std::move(wire->Fields.Type);
  report.Unit = std::move(wire->Fields.Unit);
  report.Class = std::move(wire->Fields.Class);
  report.Function = std::move(wire->Fields.Function);
  report.Line = std::move(wire->Fields.Line);
  report.Message = std::move(wire->Fields.Message);
  report.Text = std::move(wire->Text);
  report.Received = Now();
  // Answered once the report is committed; the connection waits meanwhile
  // without holding a worker thread.
  FIntake->AddLater(std::move(report), [this, send](std::optional<TAddResult> result, const std::string& failure) {
    if (!result) return send(Unavailable(failure));
    TReply r = Text(result->Duplicate ? 200 : 201, "R-" + std::to_string(result->Id));
    r.Headers.emplace_back("Location", "/reports/" + std::to_string(result->Id));
    send(std::move(r));
  });
}

std::optional<TReply> TReportServer::Login(const TRequestHead& head) const {
  if (!FUsers) return Text(403, "The pages are off: the collector runs without a users file");
  const std::string client = ClientOf(head);
  if (const int wait = FLoginLimiter->Wait(client); wait > 0) {
    TReply r = Text(429, "Too many failed logins from this address; try again later");
    r.Headers.emplace_back("Retry-After", std::to_string(wait));
    return r;
  }
  const std::string authorization = head.Header("Authorization");
  if (!authorization.empty() && FUsers->Check(authorization)) return std::nullopt;
  if (!authorization.empty()) FLoginLimiter->Take(client);
  TReply r = Text(401, "Log in with your name and password");
  r.Headers.emplace_back("WWW-Authenticate", std::string(Realm));
  return r;
}

TReply TReportServer::Page(const TRequestHead& head, std::string_view path) const {
  try {
    if (path == "/") return GroupsPage(head.Target);
    if (path.starts_with("/groups/"))
      if (const auto id = PositiveNumber(path.substr(8))) return GroupPage(*id, head.Target);
    if (path.starts_with("/reports/")) {
      std::string_view number = path.substr(9);
      if (number.starts_with("R-") || number.starts_with("r-")) number.remove_prefix(2);
      if (const auto id = PositiveNumber(number)) return RawReport(*id);
    }
    return Text(404, "Not found");
  } catch (const EStoreUnavailable& e) {
    return Unavailable(e.what());
  }
}

TReply TReportServer::GroupsPage(std::string_view target) const {
  TGroupQuery query;
  query.Order = QueryValue(target, "order") == "frequent" ? TGroupQuery::TOrder::Frequent : TGroupQuery::TOrder::Newest;
  query.Program = QueryValue(target, "program");
  query.Version = QueryValue(target, "version");
  query.Offset = PageOffset(target);
  query.Limit = ReportPages::PageSize;
  const TGroupList list = FStore.Groups(query);
  TReply reply;
  reply.ContentType = std::string(HtmlType);
  const auto [programs, versions] = FilterChoices();
  reply.Body = ReportPages::GroupsPage(list, query, programs, versions);
  return reply;
}

std::pair<std::vector<std::string>, std::vector<std::string>> TReportServer::FilterChoices() const {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(FChoicesMutex);
  if (FChoicesRead == std::chrono::steady_clock::time_point{} || now - FChoicesRead > std::chrono::seconds(10)) {
    FPrograms = FStore.Programs();
    FVersions = FStore.Versions();
    FChoicesRead = now;
  }
  return {FPrograms, FVersions};
}

TReply TReportServer::GroupPage(std::int64_t id, std::string_view target) const {
  const std::optional<TGroup> group = FStore.Group(id);
  if (!group) return Text(404, "No such group");
  const std::int64_t today = DayOf(Now());
  const std::int64_t offset = PageOffset(target);
  TReply reply;
  reply.ContentType = std::string(HtmlType);
  reply.Body = ReportPages::GroupPage(*group, FStore.GroupDays(id, today - ReportPages::ChartDays + 1),
                                      FStore.GroupReports(id, offset, ReportPages::PageSize + 1), offset, today);
  return reply;
}

TReply TReportServer::RawReport(std::int64_t id) const {
  const std::optional<TStoredReport> report = FStore.Report(id);
  if (!report) return Text(404, "No such report (it may be older than the collector keeps them)");
  TReply reply;
  reply.ContentType = std::string(TextType);
  reply.Body = report->Text + "\r\n";
  return reply;
}

#include "diag/U_VEK_Report.h"

#include <cstdio>
#include <random>

#include "base/ReportWire.h"
#include "base/TextCodec.h"
#include "base/TextUtil.h"
#include "diag/U_VEK_System.h"
#include "platform/CodeAddress.h"
#include "platform/Http.h"

namespace {

const char* const CrLf = "\r\n";
// The longest part of a reply's line the user reads.
constexpr std::size_t MaxReasonLength = 200;
// A reply larger than this is no reply of a collector.
constexpr std::size_t MaxReplyBytes = 64 * 1024;

std::string& ReportServer() {
  static std::string server;
  return server;
}

// The first line of outside text, bounded, with every control character as
// a blank and cut at a character's end.
std::string ReasonOf(std::string_view Text) {
  TLineReader lines(Text);
  std::string_view line;
  if (!lines.Next(line)) return {};
  std::string reason = TextAsUtf8(line.substr(0, 4 * MaxReasonLength));
  std::size_t at = 0, characters = 0;
  while (at < reason.size() && characters < MaxReasonLength) {
    const std::size_t length = Utf8SequenceLength(reason, at);
    at += length > 0 ? length : 1;
    ++characters;
  }
  reason.resize(at);
  for (char& c : reason)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return std::string(TrimBlanks(reason));
}

// "R-" and 1 to 18 digits, else empty.
std::string ReferenceOf(std::string_view Body) {
  TLineReader lines(Body);
  std::string_view line;
  if (!lines.Next(line)) return {};
  line = TrimBlanks(line);
  if (line.size() < 3 || line.size() > 20 || line.substr(0, 2) != "R-") return {};
  for (const char c : line.substr(2))
    if (c < '0' || c > '9') return {};
  return std::string(line);
}

// The executable's identity as the wire format takes it: "." "_" ":" "-"
// letters and digits, blanks as ":".
std::string WireIdentity(std::string Identity) {
  for (char& c : Identity)
    if (c == ' ') c = ':';
  return Identity.size() <= MaxWireTokenLength ? Identity : std::string();
}

}  // namespace

std::string VEKReportHead(const TVEKReport& Report) {
  std::string head = std::string(WireFormatName) + " " + std::to_string(WireFormatVersion);
  head += CrLf;
  // A value is one line: a line break would start another field.
  const auto field = [&head](const char* Name, const std::string& Value) {
    std::string value = Value;
    for (char& c : value)
      if (c == '\r' || c == '\n') c = ' ';
    head += std::string(Name) + ": " + value + CrLf;
  };
  field("Program", Report.Program);
  field("Version", Report.Version);
  if (!Report.Executable.empty()) field("Executable", Report.Executable);
  field("Key", Report.Key);
  head += CrLf;
  return head;
}

std::string VEKReportBody(const TVEKReport& Report) {
  return VEKReportHead(Report) + CrLfLineBreaks(Report.Text) + CrLf;
}

std::string NewVEKReportKey() {
  std::random_device random;
  std::string key;
  for (int i = 0; i < 4; ++i) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
    key += part;
  }
  return key;
}

TVEKReport VEKReportOf(const std::string& Text) {
  TVEKReport report;
  if (VEKApplication) {
    report.Program = VEKApplication->Title;
    report.Version = VEKApplication->Version;
  }
  report.Executable = WireIdentity(ExecutableIdentity());
  report.Key = NewVEKReportKey();
  report.Text = Text;
  return report;
}

void SetVEKReportServer(const std::string& Address) {
  ReportServer() = Address;
}

const std::string& VEKReportServer() {
  return ReportServer();
}

TVEKSendResult VEKSendResultOf(long Status, std::string_view Body) {
  TVEKSendResult result;
  if (Body.size() > MaxReplyBytes) Body = Body.substr(0, MaxReplyBytes);
  if (Status == 200 || Status == 201) {
    result.Outcome = TVEKSendOutcome::Sent;
    result.Reference = ReferenceOf(Body);
    return result;
  }
  result.Reason = ReasonOf(Body);
  if (Status == 429) {
    result.Outcome = TVEKSendOutcome::TooMany;
  } else if (Status >= 500 && Status <= 599) {
    result.Outcome = TVEKSendOutcome::Unavailable;
  } else {
    result.Outcome = TVEKSendOutcome::Refused;
    const std::string status = "HTTP " + std::to_string(Status);
    result.Reason = result.Reason.empty() ? status : status + ": " + result.Reason;
  }
  return result;
}

std::string VEKSendResultText(const TVEKSendResult& Result) {
  const std::string notSent = "The report was not sent: ";
  switch (Result.Outcome) {
    case TVEKSendOutcome::Sent:
      return Result.Reference.empty() ? "The report was sent."
                                      : "The report was sent. Its reference is " + Result.Reference + ".";
    case TVEKSendOutcome::NoAnswer:
      return notSent + "the collector did not answer (" + Result.Reason + ").";
    case TVEKSendOutcome::Refused:
      return notSent + "the collector refused it (" + Result.Reason + ").";
    case TVEKSendOutcome::TooMany:
      return notSent + "the collector has taken too many reports from this computer lately. Try again later.";
    case TVEKSendOutcome::Unavailable:
      return notSent + "the collector cannot take reports now. Try again later.";
    case TVEKSendOutcome::Cancelled:
      return "Sending the report was cancelled.";
  }
  return notSent + Result.Reason;
}

TVEKReportSender::TVEKReportSender() = default;

TVEKReportSender::~TVEKReportSender() = default;

TVEKSendResult TVEKReportSender::Send(const std::string& Server, const TVEKReport& Report,
                                      const std::function<void()>& WaitHandler) {
  TVEKSendResult result;
  FCancelled = false;
  try {
    THttpLimits limits;
    limits.ConnectTimeoutMs = BoundMs;
    limits.StallTimeoutMs = BoundMs;
    limits.TotalTimeoutMs = BoundMs;
    limits.MaxBodyBytes = MaxReplyBytes;
    FSession = TInternetSession::Open(Report.Program.empty() ? "VEK" : Report.Program + " (VEK)", limits);
    if (!FSession) {
      result.Reason = "the HTTP library cannot be loaded";
      return result;
    }
    if (WaitHandler) FSession->SetWaitHandler(WaitHandler);
    const std::string url = Server + (Server.ends_with('/') ? "" : "/") + "reports";
    TPostReply reply;
    const bool answered = FSession->Post(url, "text/plain; charset=utf-8", VEKReportBody(Report), reply);
    if (FCancelled) {
      result.Outcome = TVEKSendOutcome::Cancelled;
    } else if (answered) {
      result = VEKSendResultOf(reply.Status, reply.Body);
    } else {
      // "POST <url>: <why>": the why, and a time-out in the user's words.
      const std::string& error = FSession->LastError();
      const std::size_t colon = error.find(": ");  // a blank in the URL is written %20
      result.Reason = colon == std::string::npos ? error : error.substr(colon + 2);
      // The network library's words, without its details (addresses, times).
      if (const std::size_t details = result.Reason.find(" ("); details != std::string::npos)
        result.Reason.resize(details);
      if (result.Reason.starts_with("Timeout was reached") || result.Reason.starts_with("no data from the server")) {
        const long seconds = (BoundMs + 999) / 1000;
        result.Reason = "no answer within " + std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
      }
    }
  } catch (const std::exception& e) {
    result.Reason = e.what();
  }
  FSession.reset();
  return result;
}

void TVEKReportSender::Cancel() {
  FCancelled = true;
  if (FSession) FSession->Cancel();
}

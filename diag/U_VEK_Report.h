#pragma once
// Sending a report to the maker's report collector (tools/report-server),
// with the user's consent: the collector the program names, a report in the
// collector's wire format, the send itself and what the user reads after it.
//
// The program names its collector in code (IVEKDebug::SetReportServer): the
// collector's base address, "http://reports.example.com:8471/"; reports go
// to "<base>reports" with a POST. Nothing is sent unless the user asks for
// it (the "Send report" window, diag/F_VEK_SendReport.h).
//
// The body, wire format version 1:
//   VEK-Report 1
//   Program: <the program's title>
//   Version: <its version>
//   Executable: <which build: the executable's identity, ":" for blanks>
//   Key: <the idempotency key>
//   (an empty line)
//   <the report's ten lines as in the log, without the log's entry prefix>
// every line ending in CR LF. A send that is tried again carries the same
// key, and the collector counts the report once.
//
// GUI thread only (the send waits on it, handing it to a wait handler).
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class TInternetSession;

// One report as it is sent.
struct TVEKReport {
  std::string Program;
  std::string Version;
  std::string Executable;
  std::string Key;
  std::string Text;  // the ten lines, joined by CR LF
};

// The body of a report, as above.
std::string VEKReportBody(const TVEKReport& Report);
// The body's head: every line up to and including the empty one.
std::string VEKReportHead(const TVEKReport& Report);
// A new idempotency key: 32 random lower-case hexadecimal digits.
std::string NewVEKReportKey();
// The report of the running program (VEKApplication's title and version,
// this build's identity) for a report text, with a new key.
TVEKReport VEKReportOf(const std::string& Text);

// The collector the program named; empty: none, and nothing anywhere offers
// to send.
void SetVEKReportServer(const std::string& Address);
const std::string& VEKReportServer();

// How a send ended.
enum class TVEKSendOutcome {
  Sent,         // filed (201) or filed before under the same key (200)
  NoAnswer,     // no connection, no reply within the bound, or a cut reply
  Refused,      // the collector would not take it (400, 413 and the rest)
  TooMany,      // this computer sent too many reports lately (429)
  Unavailable,  // the collector cannot file reports now (503)
  Cancelled,    // the user stopped it
};

struct TVEKSendResult {
  TVEKSendOutcome Outcome = TVEKSendOutcome::NoAnswer;
  std::string Reference;  // "R-1234" when Sent and the collector gave one
  std::string Reason;     // the collector's or the network's words, for the user
};

// What a reply of the collector means, from its status and body.
// The body is outside text: only its first line is read, at most 200
// characters of it, control characters as blanks; a reference is taken only
// in the form "R-" and 1 to 18 digits.
TVEKSendResult VEKSendResultOf(long Status, std::string_view Body);

// The sentence the user reads after a send:
//   "The report was sent. Its reference is R-1234."
//   "The report was not sent: the collector did not answer (<reason>)."
//   "The report was not sent: the collector refused it (<reason>)."
//   "The report was not sent: the collector has taken too many reports from
//    this computer lately. Try again later."
//   "The report was not sent: the collector cannot take reports now. Try
//    again later."
//   "Sending the report was cancelled."
std::string VEKSendResultText(const TVEKSendResult& Result);

// One send at a time to a collector.
class TVEKReportSender {
 public:
  TVEKReportSender();
  ~TVEKReportSender();
  TVEKReportSender(const TVEKReportSender&) = delete;
  TVEKReportSender& operator=(const TVEKReportSender&) = delete;

  // The longest a send may take, from its start to the reply's end.
  long BoundMs = 15000;

  // POSTs the report's body to Server's collector and reads the reply.
  // WaitHandler (when set) runs on this thread every few milliseconds while
  // the send waits, so that the windows stay live; Cancel() from it ends
  // the send at once. Never raises.
  TVEKSendResult Send(const std::string& Server, const TVEKReport& Report, const std::function<void()>& WaitHandler);
  // Stops a send under way (from its wait handler); nothing otherwise.
  void Cancel();

 private:
  std::unique_ptr<TInternetSession> FSession;
  bool FCancelled = false;
};

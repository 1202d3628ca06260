#pragma once
// The window that sends a report to the maker's report collector, with the
// user's consent, and the offer of the crash reports of an earlier run.
//
// It shows exactly what will be sent (the body of U_VEK_Report.h: the
// program's name and version, the executable's build, the key and the report
// as in the log) and says that the report can hold the user's and the
// computer's names. "Send" sends it (TVEKReportSender, bounded to 15 s); the
// window stays live meanwhile and "Cancel" stops the send. The user then
// reads what became of it: "The report was sent. Its reference is R-1234."
// or why not. A failed send can be tried again: with the same key, so that
// the collector counts the report once.
//
// Two uses:
//   - from the exception dialog's "Send report" (ShowSendReportWindow):
//     "Send" and "Cancel"; a report that was not sent stays in the log;
//   - at a start after a crash (OfferPendingReports): "<Title> ended
//     unexpectedly on <date>. Send the report to Quellmark?", "Send" and
//     "Don't send"; a report sent or declined is removed, one whose send
//     failed stays for the next start.
//
// The design's look: the dialog font, the 3D-light background and 75 x 25
// buttons of the exception dialog. Every control carries its name as
// objectName(). GUI thread only.
#include <ctime>
#include <functional>
#include <string>

#include <QDialog>

#include "diag/U_VEK_Report.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

class TfmVEKSendReport : public QDialog {
  Q_OBJECT
 public:
  // The window for Report, to be sent to Server. An empty Question: sending
  // from the exception dialog; else the offer of a pending report, with
  // Question above the report.
  TfmVEKSendReport(const std::string& Server, const TVEKReport& Report, const std::string& Question,
                   QWidget* parent = nullptr);
  ~TfmVEKSendReport() override;

  QLabel* lbQuestion;
  QLabel* lbIntro;
  QPlainTextEdit* moReport;
  QLabel* lbStatus;
  QPushButton* btnSend;
  QPushButton* btnCancel;

  // Sends the report, keeping the window live until the send ends, then
  // tells the user what became of it.
  void btnSendClick();
  // While sending: stops the send. Else closes the window; in the offer,
  // declining the report.
  void btnCancelClick();

  // What the last send gave; whether one was sent; whether the offer was
  // declined.
  const TVEKSendResult& Result() const { return FResult; }
  bool Sent() const { return FSent; }
  bool Declined() const { return FDeclined; }
  bool Sending() const { return FSending; }

  // The sender, whose bound tests shorten.
  TVEKReportSender Sender;
  // Called once the report was sent, before the user reads it.
  std::function<void()> OnSent;

 public slots:
  // Escape and the close box: while sending they stop the send and close
  // the window once it has ended.
  void reject() override;

 private:
  std::string FServer;
  TVEKReport FReport;
  bool FOffer;
  TVEKSendResult FResult;
  bool FSending = false;
  bool FTried = false;
  bool FSent = false;
  bool FDeclined = false;
  bool FCloseWhenDone = false;
};

// The window for Report and the collector the program named, modal above
// Parent; returns when it is closed. For the exception dialog's "Send
// report".
void ShowSendReportWindow(QWidget* Parent, const TVEKReport& Report);

// The question of the offer: "<Title> ended unexpectedly on <date>. Send the
// report to Quellmark?", the date in the locale's words.
std::string PendingReportQuestion(const std::string& Title, std::time_t When);

// Offers the pending reports of the running program (U_VEK_PendingReports.h),
// oldest first, one window each, modal above Parent: a report sent or
// declined is removed, and the next is offered; a window closed otherwise
// (a failed send, the close box) keeps its report and ends the offer.
void OfferPendingReports(QWidget* Parent);

// Names the collector (IVEKDebug::SetReportServer): SetVEKReportServer, the
// crash reports of this run kept for it, and, once in a run, the pending
// reports of earlier runs offered as soon as the program's main window (the
// first window shown that is no dialog and ends the program when closed)
// shows. An empty Server names none: nothing is kept or offered.
void UseReportServer(const std::string& Server);

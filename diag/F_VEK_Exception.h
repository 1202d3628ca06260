#pragma once
// The exception dialog: the modal window the interceptor (U_VEK_Debug) shows
// for an exception nobody handled, from the record it wrote its report from
// (TVEKExceptionInfos). It opens compact, with the message, the exception's
// type and Close; "Details >>" expands it by the detail area (where the
// exception was raised, the sender, the application's path and version)
// with buttons for the call stack, the log and a printout.
//
// Laid out at fixed pixel positions for 96 dots per inch: client area
// 377 x 344 expanded, 377 x 125 compact. Every control carries its design
// name as objectName(). GUI thread only.
#include <string>

#include <QDialog>

#include "diag/U_VEK_ExceptionInfos.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPrinter;
class QPushButton;
class TPanel;
struct TVEKReport;

class TfmVEKException : public QDialog {
  Q_OBJECT
 public:
  // Builds the form and runs FormCreate: the dialog is compact, captioned
  // with the application's title.
  explicit TfmVEKException(QWidget* parent = nullptr);
  ~TfmVEKException() override;

  // Puts Infos into the fields; btnDetail shows only with MapLoaded, btnLog
  // is enabled only with LogActive.
  void ShowInfos(const TVEKExceptionInfos& Infos, bool MapLoaded, bool LogActive);

  // Prints an image of the client area on one page of Printer, at the size
  // it has on a 96 dots-per-inch screen, shrunk proportionally where the
  // page is smaller. False when the printer could not start.
  bool PrintForm(QPrinter& Printer);

  // The print's destination when btnPrint is clicked: the default printer,
  // or, with none installed, the one the user picks in the standard print
  // dialog (which offers printing to a PDF file). Tests replace it.
  // Returns false when the user cancelled.
  using TChoosePrinter = bool (*)(QPrinter& Printer, QWidget* Parent);
  static TChoosePrinter ChoosePrinter;
  static bool DefaultChoosePrinter(QPrinter& Printer, QWidget* Parent);

  // Where btnCallstack gets its text: the interceptor's walk of the stack
  // at the click (IVEKDebug::GetCallStack(0, false)). The interceptor sets
  // it when it is created; without it the button shows an empty box.
  using TCallStackProc = void (*)(std::string& Text);
  static TCallStackProc CallStackProc;

  // The detail area's height at design.
  static constexpr int DetailHeight = 219;

  TPanel* pnMain;
  TPanel* pnButtons;
  QPushButton* btnClose;
  QPushButton* btnDetail;
  TPanel* pnMessage;
  TPanel* Panel2;
  QLabel* Image1;
  TPanel* Panel1;
  TPanel* pnMessageTitle;
  TPanel* Panel3;
  QPlainTextEdit* moMessage;
  TPanel* pnException;
  TPanel* pnDetail;
  TPanel* pnInfos;
  TPanel* pnInfosSystem;
  QGroupBox* gbExec;
  QLabel* lbAppPath;
  QLineEdit* edAppPath;
  QLabel* lbAppVer;
  QLineEdit* edAppVer;
  TPanel* pnSeparator;
  TPanel* pnInfosExecution;
  QGroupBox* gbSys;
  QLabel* lbUnit;
  QLineEdit* edUnit;
  QLabel* lbLine;
  QLineEdit* edLine;
  QLabel* lbClass;
  QLineEdit* edClass;
  QLabel* lbProc;
  QLineEdit* edProc;
  QLabel* lbAddr;
  QLineEdit* edAddr;
  QLabel* lbSenderClass;
  QLineEdit* edSenderClass;
  QLabel* lbSenderName;
  QLineEdit* edSenderName;
  TPanel* pnButtonsDetail;
  QPushButton* btnCallstack;
  QPushButton* btnLog;
  QPushButton* btnPrint;

  // With a report collector named (ShowExceptionDialog): the "Send report"
  // button in the right column, between Close and Details, which opens the
  // send window for Report (diag/F_VEK_SendReport.h). Without a collector
  // the dialog has no such button and is the design's, pixel for pixel.
  void AddSendReport(const TVEKReport& Report);
  QPushButton* btnSendReport = nullptr;

  void FormCreate();
  void btnDetailClick();
  void btnLogClick();
  void btnPrintClick();
  void btnCallstackClick();

 protected:
  // OnKeyDown of the fields, the memo and the buttons: Escape clicks Close.
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
};

// The picture of Image1: a white cross on a red disc, transparent around it.
class QPixmap;
QPixmap VEKErrorPicture(int Size);

// The dialog for one exception: a dialog made by DialogClass (the plain
// TfmVEKException when null) without an owner, captioned with the
// application's title, showing Infos, Details only with MapLoaded (the
// interceptor's map file is loaded), the log button only with an active
// log, "Send report" only with a report collector named and Report (the
// report as the log has it) not empty; shown modally, freed when it closes,
// on every path. Errors propagate to the caller. (The interceptor's unit,
// diag/U_VEK_Debug.h, has the same call for an exception object, which fills
// the record and the report first.)
using TVEKExceptionDialogClass = TfmVEKException* (*)();
void ShowExceptionDialog(TVEKExceptionDialogClass DialogClass, const TVEKExceptionInfos& Infos, bool MapLoaded,
                         const std::string& Report);

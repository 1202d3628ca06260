// vek-demo: what the diagnostics library does for a program that embeds it.
// Its window has one button per kind of failure; run it with "/DEBUG
// /LOGFILE" and read vek-demo.log beside it. The program block is the
// minimal embedding program; everything else is the window.
//
// "--press NAME" (runtime, conversion, abort, null, trace) presses that
// button once the window is shown and ends when its handler has returned;
// the exception's message then goes to standard error instead of the
// exception dialog.
#include <cstdio>
#include <stdexcept>
#include <string>

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include "diag/U_VEK_Debug.h"
#include "diag/U_VEK_Global.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_System.h"
#include "runtime/Application.h"
#include "runtime/Conversions.h"
#include "runtime/Exceptions.h"
#include "runtime/QtText.h"
#include "runtime/Shutdown.h"

// The traced chain: an order is priced from one of its lines, whose
// quantity is no number. ParseQuantity and PriceLine trace themselves with
// the scoped helper, which writes their LEAVE entries while the exception
// passes through; PriceOrder traces itself by hand and handles the
// exception: the report goes to the log, indented under its ENTER entry,
// and the order is priced 0.
static __attribute__((noinline)) int ParseQuantity(const std::string& Text) {
  TVEKTraceScope trace({Text});
  return StrToInt(Text);
}

static __attribute__((noinline)) int PriceLine(const std::string& Article, const std::string& Quantity, int UnitPrice) {
  TVEKTraceScope trace({Article, Quantity, UnitPrice});
  return ParseQuantity(Quantity) * UnitPrice;
}

static __attribute__((noinline)) int PriceOrder(int OrderId, const std::string& Customer) {
  VEKDebugger()->EnterProcParams({OrderId, Customer});  // Action 0: handled here, no dialog
  try {
    const int total = PriceLine("Image Tool", "12 pieces", 49);
    VEKDebugger()->LeaveProc();
    return total;
  } catch (...) {
    if (VEKDebugger()->HandleException()) throw;
    return 0;
  }
}

class TfmVekDemo : public QWidget {
 public:
  TfmVekDemo();

  void btnRuntimeErrorClick();
  void btnConversionErrorClick();
  void btnAbortClick();
  void btnNullPointerClick();
  void btnTraceClick();

 private:
  struct TButton {
    const char* Press;  // the name "--press" takes
    const char* Name;
    const char* Caption;
    void (TfmVekDemo::*Click)();
  };
  static const TButton Buttons[5];

  std::string State() const;
  void PressOnStart();

  QLabel* lbStatus;
  int Clicks = 0;
  std::string LastButton = "none";
};

const TfmVekDemo::TButton TfmVekDemo::Buttons[5] = {
    {"runtime", "btnRuntimeError", "Raise a runtime error", &TfmVekDemo::btnRuntimeErrorClick},
    {"conversion", "btnConversionError", "Raise a conversion error", &TfmVekDemo::btnConversionErrorClick},
    {"abort", "btnAbort", "Abort silently", &TfmVekDemo::btnAbortClick},
    {"null", "btnNullPointer", "Crash by a null pointer", &TfmVekDemo::btnNullPointerClick},
    {"trace", "btnTrace", "Run the traced chain", &TfmVekDemo::btnTraceClick},
};

TfmVekDemo::TfmVekDemo() {
  setObjectName(QStringLiteral("fmVekDemo"));
  setWindowTitle(QStringLiteral("VEK Demo"));
  setMinimumWidth(320);
  auto* layout = new QVBoxLayout(this);
  for (const TButton& b : Buttons) {
    auto* button = new QPushButton(QString::fromLatin1(b.Caption), this);
    button->setObjectName(QString::fromLatin1(b.Name));
    layout->addWidget(button);
    // Handlers run guarded, with the button as the sender: what escapes
    // them goes to the application's exception handling, which the
    // interceptor takes over with "/DEBUG".
    connect(button, &QPushButton::clicked, this, [this, button, b] {
      ++Clicks;
      LastButton = b.Name;
      Application->Guard(button, [this, b] { (this->*b.Click)(); });
    });
  }
  lbStatus = new QLabel(QStringLiteral("Ready."), this);
  lbStatus->setObjectName(QStringLiteral("lbStatus"));
  lbStatus->setWordWrap(true);  // a report's message may be long
  layout->addWidget(lbStatus);

  // What an embedding program can do around a report: BeforeException runs
  // after the report is in the log and may add the program's own state (or
  // set Continue to false to keep the dialog away); AfterException runs
  // after the dialog.
  VEKDebugger()->SetBeforeException([this](QObject*, const std::exception*, bool&) {
    if (VEKApplication && VEKApplication->LogFile) VEKApplication->LogFile->Write(llInfo, State());
  });
  VEKDebugger()->SetAfterException([this](QObject*, const std::exception* E, bool) {
    const std::string message = E ? E->what() : "an unknown failure";
    lbStatus->setText(ToQString("Reported: " + message.substr(0, message.find('\r'))));
  });
  PressOnStart();
}

std::string TfmVekDemo::State() const {
  return "vek-demo: " + std::to_string(Clicks) + " click(s), the last on " + LastButton + ", status '" +
         FromQString(lbStatus->text()) + "'";
}

void TfmVekDemo::PressOnStart() {
  const QStringList args = QCoreApplication::arguments();
  const auto at = args.indexOf(QStringLiteral("--press"));
  if (at < 0) return;
  const QString press = args.value(at + 1);
  for (const TButton& b : Buttons) {
    if (press != QLatin1String(b.Press)) continue;
    VEKDebugger()->SetOnDisplayException([](QObject*, const std::exception* E) {
      std::fprintf(stderr, "vek-demo: %s\n", E ? E->what() : "an unknown failure");
    });
    auto* button = findChild<QPushButton*>(QString::fromLatin1(b.Name));
    QTimer::singleShot(0, this, [button] {
      button->click();
      Application->Terminate();
    });
    return;
  }
  std::fprintf(stderr, "vek-demo: --press takes runtime, conversion, abort, null or trace\n");
  Application->Terminate();
}

// Kept out of line, so that the reports name these functions.
__attribute__((noinline)) void TfmVekDemo::btnRuntimeErrorClick() {
  throw std::runtime_error("The demo's runtime error.");
}

__attribute__((noinline)) void TfmVekDemo::btnConversionErrorClick() {
  const std::string quantity = "12 pieces";
  try {
    StrToInt(quantity);
  } catch (const EConvertError& E) {
    throw EConvertError(E.Message() + "\r\nThe order's quantity must be a whole number.");  // the reported line
  }
}

__attribute__((noinline)) void TfmVekDemo::btnAbortClick() {
  Abort();
}

// A crash that is no C++ exception: the process ends by SIGSEGV. The write
// goes through volatile pointers so that the compiler keeps it.
__attribute__((noinline)) void TfmVekDemo::btnNullPointerClick() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

__attribute__((noinline)) void TfmVekDemo::btnTraceClick() {
  lbStatus->setText(QStringLiteral("Order 1042 priced %1.").arg(PriceOrder(1042, "Ada")));
}

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  VEKDebugger();  // log with /LOGFILE, interception with /DEBUG
  // The maker's report collector: "Send report" in the exception dialog, and
  // a crash offered at the next start. A program names its own; the demo
  // takes it from the environment.
  if (const QString collector = qEnvironmentVariable("VEK_DEMO_REPORT_SERVER"); !collector.isEmpty())
    VEKDebugger()->SetReportServer(FromQString(collector));
  TfmVekDemo fmVekDemo;
  fmVekDemo.show();
  const int code = app.Run();
  RunShutdown();  // releases the library; the log gets its closing block
  return code;
}

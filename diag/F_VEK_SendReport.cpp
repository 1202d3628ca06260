#include "diag/F_VEK_SendReport.h"

#include <filesystem>

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_PendingReports.h"
#include "diag/U_VEK_System.h"
#include "runtime/Application.h"
#include "runtime/Fonts.h"
#include "runtime/LocaleText.h"
#include "runtime/QtText.h"

namespace {

constexpr int ClientWidth = 520;
constexpr int ClientHeight = 380;

std::string ApplicationTitle() {
  if (VEKApplication) return VEKApplication->Title;
  return Application ? Application->Title() : std::string();
}

// A design text with CR LF line breaks as a widget shows it.
QString DisplayText(const std::string& s) {
  QString text = ToQString(s);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

QLabel* MakeLabel(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setWordWrap(true);
  label->setTextFormat(Qt::PlainText);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setFixedSize(75, 25);
  b->setAutoDefault(false);
  return b;
}

// A handler runs guarded: what escapes it goes to the application's
// exception handling, never through the toolkit.
template <class F>
void RunGuarded(F handler) {
  if (Application)
    Application->Guard(handler);
  else
    handler();
}

// The program's main window: a window, or a dialog-style one (the wizard's),
// that ends the program when it closes; no dialog box (QDialog, message
// boxes) and no window of the library's own (the log viewer).
bool IsMainWindow(const QWidget* Widget) {
  const Qt::WindowType type = Widget->windowType();
  return Widget->isWindow() && (type == Qt::Window || type == Qt::Dialog) && !qobject_cast<const QDialog*>(Widget) &&
         Widget->testAttribute(Qt::WA_QuitOnClose);
}

void OfferWhenShown(QWidget* Window) {
  QTimer::singleShot(0, Window, [Window] { RunGuarded([Window] { OfferPendingReports(Window); }); });
}

// Waits for the main window's first showing, then offers the pending
// reports once the event loop has painted it.
class TMainWindowWatch final : public QObject {
 public:
  TMainWindowWatch() : QObject(QCoreApplication::instance()) { QCoreApplication::instance()->installEventFilter(this); }
  ~TMainWindowWatch() override {
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(this);
  }
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::Show && Watched->isWidgetType() && IsMainWindow(static_cast<QWidget*>(Watched))) {
      QCoreApplication::instance()->removeEventFilter(this);
      OfferWhenShown(static_cast<QWidget*>(Watched));
      deleteLater();
    }
    return false;
  }
};

std::string ProgramFile() {
  const std::string exe = VEKApplication ? VEKApplication->ExeName : Application ? Application->ExeName() : "";
  return std::filesystem::path(exe).filename().string();
}

}  // namespace

TfmVEKSendReport::TfmVEKSendReport(const std::string& Server, const TVEKReport& Report, const std::string& Question,
                                   QWidget* parent)
    : QDialog(parent), FServer(Server), FReport(Report), FOffer(!Question.empty()) {
  setObjectName(QStringLiteral("fmVEKSendReport"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(ToQString(ApplicationTitle() + " - Send report"));
  LoadDesignFont("MS Sans Serif");
  setFont(DesignFont("MS Sans Serif", 11));
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Midlight));  // 3D-light, as the exception dialog
  setPalette(pal);
  setAutoFillBackground(true);
  resize(ClientWidth, ClientHeight);
  setMinimumSize(360, 260);

  lbQuestion = MakeLabel(this, "lbQuestion");
  lbQuestion->setText(ToQString(Question));
  lbQuestion->setFont(DesignFont("MS Sans Serif", 11, true));
  lbQuestion->setVisible(FOffer);
  lbIntro = MakeLabel(this, "lbIntro");
  lbIntro->setText(ToQString("This is exactly what goes to Quellmark's report collector at " + Server +
                             ": the program's name and version, which build it is, a key that lets the collector "
                             "count the report once, and the report as it stands in the log. The report holds your "
                             "user name and the name of this computer where its message or call stack names "
                             "them, in a file's path for instance."));
  moReport = new QPlainTextEdit(this);
  moReport->setObjectName(QStringLiteral("moReport"));
  moReport->setReadOnly(true);
  moReport->setLineWrapMode(QPlainTextEdit::NoWrap);
  QFont fixed = DesignFont("Courier New", 11);
  fixed.setStyleHint(QFont::TypeWriter);
  fixed.setFixedPitch(true);
  moReport->setFont(fixed);
  moReport->setPlainText(DisplayText(VEKReportBody(Report)));
  lbStatus = MakeLabel(this, "lbStatus");
  btnSend = MakeButton(this, "btnSend", "Send");
  btnCancel = MakeButton(this, "btnCancel", FOffer ? "Don't send" : "Cancel");

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnSend);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  layout->setSpacing(6);
  layout->addWidget(lbQuestion);
  layout->addWidget(lbIntro);
  layout->addWidget(moReport, 1);
  layout->addWidget(lbStatus);
  layout->addLayout(buttons);
  setTabOrder(btnSend, btnCancel);
  btnSend->setFocus();

  connect(btnSend, &QPushButton::clicked, this, [this] { RunGuarded([this] { btnSendClick(); }); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { RunGuarded([this] { btnCancelClick(); }); });
}

TfmVEKSendReport::~TfmVEKSendReport() = default;

void TfmVEKSendReport::btnSendClick() {
  if (FSending || FSent) return;
  FSending = true;
  FTried = true;
  btnSend->setEnabled(false);
  btnCancel->setText(QStringLiteral("Cancel"));
  lbStatus->setText(QStringLiteral("Sending the report..."));
  // The window stays live while the send waits, Cancel included: the
  // windows below it take no input, as long as it is modal.
  FResult = Sender.Send(FServer, FReport, [] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
  FSending = false;
  FSent = FResult.Outcome == TVEKSendOutcome::Sent;
  if (FSent && OnSent) OnSent();
  std::string text = VEKSendResultText(FResult);
  if (!FSent) {
    if (FOffer)
      text += " The report is kept and offered again at the next start.";
    else if (VEKApplication && VEKApplication->LogFile && VEKApplication->LogFile->Active())
      text += " The report stays in the log.";
  }
  lbStatus->setText(ToQString(text));
  btnSend->setVisible(!FSent);
  btnSend->setEnabled(!FSent);
  btnCancel->setText(QStringLiteral("Close"));
  if (FCloseWhenDone) QDialog::reject();
}

void TfmVEKSendReport::btnCancelClick() {
  if (FSending) {
    Sender.Cancel();
    return;
  }
  // Before any try, the offer's "Don't send" declines the report.
  if (FOffer && !FTried) FDeclined = true;
  QDialog::reject();
}

void TfmVEKSendReport::reject() {
  if (FSending) {
    Sender.Cancel();
    FCloseWhenDone = true;
    return;
  }
  QDialog::reject();
}

void ShowSendReportWindow(QWidget* Parent, const TVEKReport& Report) {
  TfmVEKSendReport window(VEKReportServer(), Report, {}, Parent);
  window.exec();
}

std::string PendingReportQuestion(const std::string& Title, std::time_t When) {
  return Title + " ended unexpectedly on " + DateTimeText(When) + ". Send the report to Quellmark?";
}

void OfferPendingReports(QWidget* Parent) {
  const std::string server = VEKReportServer();
  if (server.empty()) return;
  for (const TVEKPendingReport& pending : PendingReports(VEKPendingReportsFolder(), ProgramFile())) {
    TfmVEKSendReport window(server, pending.Report, PendingReportQuestion(pending.Report.Program, pending.Time),
                            Parent);
    window.OnSent = [&pending] { RemovePendingReport(pending); };
    window.exec();
    if (window.Declined()) RemovePendingReport(pending);
    if (!window.Sent() && !window.Declined()) return;
  }
}

void UseReportServer(const std::string& Server) {
  SetVEKReportServer(Server);
  if (Server.empty()) {
    StopCrashReports();
    return;
  }
  TVEKReport head = VEKReportOf({});
  PrepareCrashReports(VEKPendingReportsFolder(), ProgramFile(), head);

  static bool offered = false;
  if (offered || !qobject_cast<QApplication*>(QCoreApplication::instance())) return;
  offered = true;
  if (PendingReports(VEKPendingReportsFolder(), ProgramFile()).empty()) return;
  for (QWidget* window : QApplication::topLevelWidgets())
    if (window->isVisible() && IsMainWindow(window)) return OfferWhenShown(window);
  new TMainWindowWatch;
}

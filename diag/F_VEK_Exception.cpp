#include "diag/F_VEK_Exception.h"

#include <memory>

#include <QEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QScreen>

#include "base/Exceptions.h"
#include "diag/F_VEK_Log.h"
#include "diag/F_VEK_SendReport.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_System.h"
#include "runtime/Application.h"
#include "runtime/Fonts.h"
#include "runtime/Panel.h"
#include "runtime/QtText.h"

namespace {

// The form at design: client area, the compact part and the field rows.
constexpr int ClientWidth = 377;
constexpr int ClientHeight = 344;
constexpr int MainHeight = 125;
constexpr int LabelLeft = 12;
constexpr int FieldLeft = 85;
constexpr int FieldWidth = 250;
constexpr int FieldHeight = 13;
// The screen resolution the form is designed for; the printout keeps the
// form's size on such a screen.
constexpr double DesignDpi = 96.0;

// A panel at a fixed place.
TPanel* MakePanel(QWidget* parent, const char* name, const QRect& geometry, TBevelCut outer = bvRaised,
                  int borderWidth = 0) {
  auto* p = new TPanel(parent);
  p->setObjectName(QString::fromLatin1(name));
  p->SetBevelOuter(outer);
  p->SetBorderWidth(borderWidth);
  p->setGeometry(geometry);
  return p;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int x, int y) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setGeometry(x, y, 75, 25);
  return b;
}

QGroupBox* MakeGroup(TPanel* parent, const char* name, const char* caption) {
  auto* g = new QGroupBox(QString::fromLatin1(caption), parent);
  g->setObjectName(QString::fromLatin1(name));
  g->setGeometry(parent->ClientRect());
  return g;
}

// One row of a group box: the label at x = 12, the field at x = 85.
void MakeRow(QGroupBox* group, int top, const char* labelName, const char* caption, QLabel*& label,
             const char* fieldName, QLineEdit*& field) {
  label = new QLabel(QString::fromLatin1(caption), group);
  label->setObjectName(QString::fromLatin1(labelName));
  label->move(LabelLeft, top);
  label->adjustSize();

  field = new QLineEdit(group);
  field->setObjectName(QString::fromLatin1(fieldName));
  field->setReadOnly(true);
  field->setFrame(false);
  field->setTextMargins(0, 0, 0, 0);
  field->setFont(DesignFont("Arial", 11));
  QPalette pal = field->palette();
  pal.setColor(QPalette::Base, pal.color(QPalette::Button));
  field->setPalette(pal);
  field->setGeometry(FieldLeft, top, FieldWidth, FieldHeight);
}

// A design text with CR LF line breaks as a widget shows it.
QString DisplayText(const std::string& s) {
  QString text = ToQString(s);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

std::string ApplicationTitle() {
  if (VEKApplication) return VEKApplication->Title;
  return Application ? Application->Title() : std::string();
}

// A form handler runs guarded: what escapes it goes to the application's
// exception handling, never through the toolkit.
template <class F>
auto Guarded(F handler) {
  return [handler] {
    if (Application)
      Application->Guard(handler);
    else
      handler();
  };
}

}  // namespace

QPixmap VEKErrorPicture(int Size) {
  QPixmap picture(Size, Size);
  picture.fill(Qt::transparent);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF disc(0.5, 0.5, Size - 1.0, Size - 1.0);
  QRadialGradient shade(disc.center() - QPointF(Size * 0.15, Size * 0.15), Size * 0.7);
  shade.setColorAt(0.0, QColor(0xF0, 0x50, 0x40));
  shade.setColorAt(1.0, QColor(0xB0, 0x08, 0x08));
  p.setBrush(shade);
  p.setPen(QPen(QColor(0x80, 0x00, 0x00), 1.0));
  p.drawEllipse(disc);
  QPen cross(Qt::white, Size * 0.14, Qt::SolidLine, Qt::RoundCap);
  p.setPen(cross);
  const double a = Size * 0.31, b = Size - a;
  p.drawLine(QPointF(a, a), QPointF(b, b));
  p.drawLine(QPointF(a, b), QPointF(b, a));
  return picture;
}

TfmVEKException::TChoosePrinter TfmVEKException::ChoosePrinter = &TfmVEKException::DefaultChoosePrinter;
TfmVEKException::TCallStackProc TfmVEKException::CallStackProc = nullptr;

TfmVEKException::TfmVEKException(QWidget* parent) : QDialog(parent) {
  BuildControls();
  FormCreate();
}

TfmVEKException::~TfmVEKException() = default;

void TfmVEKException::BuildControls() {
  setObjectName(QStringLiteral("fmVEKException"));
  // A dialog border with only the system menu.
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QStringLiteral("fmVEKException"));
  LoadDesignFonts();
  setFont(DesignFont("MS Sans Serif", 11));
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Midlight));  // 3D-light
  setPalette(pal);
  setAutoFillBackground(true);
  setFixedSize(ClientWidth, ClientHeight);

  // The compact part: message, type, Close and Details.
  pnMain = MakePanel(this, "pnMain", QRect(0, 0, ClientWidth, MainHeight), bvNone);
  pnButtons = MakePanel(pnMain, "pnButtons", QRect(ClientWidth - 90, 0, 90, MainHeight));
  btnClose = MakeButton(pnButtons, "btnClose", "Close", 8, 4);
  btnDetail = MakeButton(pnButtons, "btnDetail", "&Details >>", 8, 96);
  pnMessage = MakePanel(pnMain, "pnMessage", QRect(0, 0, ClientWidth - 90, MainHeight), bvRaised, 5);
  const QRect message = pnMessage->ClientRect();
  Panel2 = MakePanel(pnMessage, "Panel2", QRect(message.left(), message.top(), 45, message.height()));
  Image1 = new QLabel(Panel2);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setAttribute(Qt::WA_TranslucentBackground);
  Image1->setPixmap(VEKErrorPicture(32));
  Image1->setGeometry(4, 5, 32, 32);
  Panel1 =
      MakePanel(pnMessage, "Panel1", QRect(message.left() + 45, message.top(), message.width() - 45, message.height()));
  const QRect inner = Panel1->ClientRect();
  pnMessageTitle = MakePanel(Panel1, "pnMessageTitle", QRect(inner.left(), inner.top(), inner.width(), 19));
  pnMessageTitle->SetCaption(QStringLiteral("This module has encounter the following error:"));
  pnMessageTitle->SetCaptionAlignment(Qt::AlignLeft);
  pnMessageTitle->setFont(DesignFont("Arial", 11));
  pnException = MakePanel(Panel1, "pnException", QRect(inner.left(), inner.bottom() + 1 - 18, inner.width(), 18));
  pnException->SetCaption(QStringLiteral(" EXCEPTION NAME"));
  pnException->SetCaptionAlignment(Qt::AlignLeft);
  pnException->setFont(DesignFont("Arial", 11));
  QPalette maroon = pnException->palette();
  maroon.setColor(QPalette::WindowText, QColor(0x80, 0x00, 0x00));
  pnException->setPalette(maroon);
  Panel3 = MakePanel(Panel1, "Panel3", QRect(inner.left(), inner.top() + 19, inner.width(), inner.height() - 19 - 18));
  Panel3->SetBevelInner(bvLowered);
  moMessage = new QPlainTextEdit(Panel3);
  moMessage->setObjectName(QStringLiteral("moMessage"));
  moMessage->setReadOnly(true);
  moMessage->setFrameShape(QFrame::NoFrame);
  moMessage->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  moMessage->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  moMessage->setFocusPolicy(Qt::ClickFocus);  // no tab stop
  moMessage->setGeometry(Panel3->ClientRect());

  // The detail area.
  pnDetail = MakePanel(this, "pnDetail", QRect(0, MainHeight, ClientWidth, ClientHeight - MainHeight), bvNone);
  pnInfos = MakePanel(pnDetail, "pnInfos", QRect(0, 0, ClientWidth, DetailHeight - 32), bvRaised, 5);
  const QRect infos = pnInfos->ClientRect();
  pnInfosSystem = MakePanel(pnInfos, "pnInfosSystem", QRect(infos.left(), infos.top(), infos.width(), 52));
  gbExec = MakeGroup(pnInfosSystem, "gbExec", "Application Informations");
  MakeRow(gbExec, 16, "lbAppPath", "Path", lbAppPath, "edAppPath", edAppPath);
  MakeRow(gbExec, 30, "lbAppVer", "Version", lbAppVer, "edAppVer", edAppVer);
  pnSeparator = MakePanel(pnInfos, "pnSeparator", QRect(infos.left(), infos.top() + 52, infos.width(), 4));
  pnInfosExecution =
      MakePanel(pnInfos, "pnInfosExecution", QRect(infos.left(), infos.top() + 56, infos.width(), infos.height() - 56));
  gbSys = MakeGroup(pnInfosExecution, "gbSys", "Execution Informations");
  MakeRow(gbSys, 16, "lbUnit", "Unit", lbUnit, "edUnit", edUnit);
  MakeRow(gbSys, 30, "lbLine", "Line", lbLine, "edLine", edLine);
  MakeRow(gbSys, 44, "lbClass", "Class", lbClass, "edClass", edClass);
  MakeRow(gbSys, 58, "lbProc", "Method", lbProc, "edProc", edProc);
  MakeRow(gbSys, 72, "lbAddr", "Address", lbAddr, "edAddr", edAddr);
  MakeRow(gbSys, 86, "lbSenderClass", "Sender Class", lbSenderClass, "edSenderClass", edSenderClass);
  MakeRow(gbSys, 100, "lbSenderName", "Sender Name", lbSenderName, "edSenderName", edSenderName);
  pnButtonsDetail = MakePanel(pnDetail, "pnButtonsDetail", QRect(0, DetailHeight - 32, ClientWidth, 32));
  btnCallstack = MakeButton(pnButtonsDetail, "btnCallstack", "View &callstack", 129, 2);
  btnLog = MakeButton(pnButtonsDetail, "btnLog", "View &logfile", 213, 2);
  btnPrint = MakeButton(pnButtonsDetail, "btnPrint", "&Print", 293, 2);

  // Tab order: the compact part's buttons, the fields of each group in
  // their order, then the detail buttons (log, print, call stack).
  QWidget* const order[] = {btnClose, btnDetail, edAppVer,      edAppPath,    edUnit, edLine,   edClass,
                            edProc,   edAddr,    edSenderClass, edSenderName, btnLog, btnPrint, btnCallstack};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
  for (QWidget* w : order) w->installEventFilter(this);
  moMessage->installEventFilter(this);

  // btnClose has no handler of its own: it ends the dialog with result 1.
  connect(btnClose, &QPushButton::clicked, this, [this] { done(1); });
  connect(btnDetail, &QPushButton::clicked, this, Guarded([this] { btnDetailClick(); }));
  connect(btnLog, &QPushButton::clicked, this, Guarded([this] { btnLogClick(); }));
  connect(btnPrint, &QPushButton::clicked, this, Guarded([this] { btnPrintClick(); }));
  connect(btnCallstack, &QPushButton::clicked, this, Guarded([this] { btnCallstackClick(); }));
}

void TfmVEKException::FormCreate() {
  setWindowTitle(ToQString(ApplicationTitle()));
  // The detail area is visible as designed: this click hides it.
  btnDetail->click();
  if (Application) Application->BringToFront();
}

void TfmVEKException::ShowInfos(const TVEKExceptionInfos& Infos, bool MapLoaded, bool LogActive) {
  btnDetail->setVisible(MapLoaded);
  btnLog->setEnabled(LogActive);
  moMessage->setPlainText(DisplayText(Infos.Message));
  pnException->SetCaption(ToQString(" " + Infos.ExceptionType));
  edAppPath->setText(ToQString(Infos.AppPath));
  edAppVer->setText(ToQString(Infos.AppVersion));
  edUnit->setText(ToQString(Infos.UnitName));
  edLine->setText(ToQString(Infos.LineNumber));
  edSenderClass->setText(ToQString(Infos.SenderClass));
  edSenderName->setText(ToQString(Infos.SenderName));
  edClass->setText(ToQString(Infos.ClassName));
  edProc->setText(ToQString(Infos.FunctionName));
  edAddr->setText(ToQString(Infos.Address));
  for (QLineEdit* field : {edAppPath, edAppVer, edUnit, edLine, edSenderClass, edSenderName, edClass, edProc, edAddr})
    field->setCursorPosition(0);
}

void TfmVEKException::AddSendReport(const TVEKReport& Report) {
  if (btnSendReport) return;
  // Centred in the room between Close (4 to 29) and Details (96 to 121).
  btnSendReport = MakeButton(pnButtons, "btnSendReport", "Send report", 8, 50);
  btnSendReport->installEventFilter(this);
  setTabOrder(btnClose, btnSendReport);
  setTabOrder(btnSendReport, btnDetail);
  connect(btnSendReport, &QPushButton::clicked, this, Guarded([this, Report] { ShowSendReportWindow(this, Report); }));
  btnSendReport->show();
}

void TfmVEKException::btnDetailClick() {
  if (pnDetail->isVisibleTo(this)) {
    pnDetail->hide();
    btnDetail->setText(QStringLiteral("Details >>"));
    setFixedHeight(height() - pnDetail->height());
  } else {
    setFixedHeight(height() + pnDetail->height());
    btnDetail->setText(QStringLiteral("Details <<"));
    pnDetail->show();
  }
}

void TfmVEKException::btnLogClick() {
  if (!VEKApplication || !VEKApplication->LogFile) return;
  TVEKLogFile* log = VEKApplication->LogFile;
  // This dialog is modal: the log window can only be used above it, as a
  // modal window of its own.
  if (log->Viewer && log->Viewer->windowModality() != Qt::ApplicationModal) {
    if (log->Viewer->isVisible()) log->Viewer->hide();
    log->Viewer->setWindowModality(Qt::ApplicationModal);
  }
  log->ShowLog();
}

bool TfmVEKException::DefaultChoosePrinter(QPrinter& Printer, QWidget* Parent) {
  const QPrinterInfo printer = QPrinterInfo::defaultPrinter();
  if (!printer.isNull()) {
    Printer.setPrinterName(printer.printerName());
    return true;
  }
  // No printer installed: the user picks one, or a PDF file.
  QPrintDialog dialog(&Printer, Parent);
  dialog.setObjectName(QStringLiteral("dlgPrint"));
  return dialog.exec() == QDialog::Accepted;
}

bool TfmVEKException::PrintForm(QPrinter& Printer) {
  const QPixmap image = grab();
  QPainter painter;
  if (!painter.begin(&Printer)) return false;
  const QRect page = painter.viewport();
  const double scale = Printer.resolution() / DesignDpi;
  QSizeF size(image.width() * scale, image.height() * scale);
  if (size.width() > page.width() || size.height() > page.height())
    size.scale(QSizeF(page.size()), Qt::KeepAspectRatio);
  painter.drawPixmap(QRectF(QPointF(0, 0), size), image, QRectF(image.rect()));
  return painter.end();
}

void TfmVEKException::btnPrintClick() {
  QPrinter printer(QPrinter::HighResolution);
  if (!ChoosePrinter(printer, this)) return;
  if (!PrintForm(printer)) {
    const std::string where =
        printer.outputFileName().isEmpty() ? FromQString(printer.printerName()) : FromQString(printer.outputFileName());
    throw Exception("Printing on " + where + " failed.");
  }
}

void TfmVEKException::btnCallstackClick() {
  std::string text;
  if (CallStackProc) CallStackProc(text);
  ShowMessage(text);
}

bool TfmVEKException::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    btnClose->click();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TfmVEKException::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Centred on the screen, Close focused.
  if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  btnClose->setFocus();
}

void ShowExceptionDialog(TVEKExceptionDialogClass DialogClass, const TVEKExceptionInfos& Infos, bool MapLoaded,
                         const std::string& Report) {
  const std::unique_ptr<TfmVEKException> dialog(DialogClass ? DialogClass() : new TfmVEKException);
  if (Application) dialog->setWindowTitle(ToQString(Application->Title()));
  const bool logActive = VEKApplication && VEKApplication->LogFile && VEKApplication->LogFile->Active();
  dialog->ShowInfos(Infos, MapLoaded, logActive);
  if (!VEKReportServer().empty() && !Report.empty()) dialog->AddSendReport(VEKReportOf(Report));
  dialog->exec();
}

#include "diag/F_VEK_Log.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QHideEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>
#include <qdrawutil.h>

#include "diag/U_VEK_SafeFree.h"
#include "runtime/Application.h"
#include "runtime/Fonts.h"
#include "runtime/QtText.h"

namespace {

// The window's outer size, frame included.
constexpr int OuterWidth = 500;
constexpr int OuterHeight = 350;
// Its client size where the frame is the classic one (4 pixels around, a
// 19-pixel caption) or where there is no frame at all.
constexpr int ClientWidth = 492;
constexpr int ClientHeight = 323;

constexpr int ButtonsHeight = 32;
// btnClose keeps its distance to the right edge: 492 - 408 - 75.
constexpr int CloseRightGap = ClientWidth - 408 - 75;

// A panel with a raised outer bevel, a border and a lowered inner bevel,
// each bevel one pixel wide; its children fill what lies inside.
class TBevelPanel final : public QWidget {
 public:
  TBevelPanel(QWidget* parent, int borderWidth) : QWidget(parent), FBorder(borderWidth) {}
  int Inset() const { return 1 + FBorder + 1; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const QRect outer = rect();
    qDrawShadePanel(&p, outer, palette(), false, 1);
    qDrawShadePanel(&p, outer.adjusted(1 + FBorder, 1 + FBorder, -1 - FBorder, -1 - FBorder), palette(), true, 1);
  }

 private:
  int FBorder;
};

// An item as the view shows it: every line break (CR LF, lone CR or lone
// LF) starts a new line.
QString ItemText(const std::string& item) {
  QString text = ToQString(item);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

}  // namespace

TfmVEKLog::TfmVEKLog(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("fmVEKLog"));
  // Never the main window: closing it must not end the program.
  setAttribute(Qt::WA_QuitOnClose, false);
  setFont(DesignFont("MS Sans Serif", 11));
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  const std::string title = Application ? Application->Title() : FromQString(QCoreApplication::applicationName());
  setWindowTitle(ToQString(title + " - Log"));
  resize(ClientWidth, ClientHeight);
}

// Until the window is first shown it has no controls: the log file creates
// its viewer at start-up, and most runs never open it.
void TfmVEKLog::BuildControls() {
  if (Memo) return;
  LoadDesignFont("MS Sans Serif");
  auto* panel = new TBevelPanel(this, 5);
  pnMain = panel;
  pnMain->setObjectName(QStringLiteral("pnMain"));
  Memo = new QPlainTextEdit(pnMain);
  Memo->setObjectName(QStringLiteral("Memo"));
  Memo->setFrameShape(QFrame::NoFrame);
  QFont memoFont = DesignFont("Courier New", 11);
  memoFont.setStyleHint(QFont::TypeWriter);
  memoFont.setFixedPitch(true);
  Memo->setFont(memoFont);
  Memo->setReadOnly(true);
  Memo->setUndoRedoEnabled(false);
  Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* memoLayout = new QVBoxLayout(pnMain);
  const int inset = panel->Inset();
  memoLayout->setContentsMargins(inset, inset, inset, inset);
  memoLayout->setSpacing(0);
  memoLayout->addWidget(Memo);

  pnButtons = new QWidget(this);
  pnButtons->setObjectName(QStringLiteral("pnButtons"));
  pnButtons->setFixedHeight(ButtonsHeight);
  pnButtons->installEventFilter(this);
  btnClose = new QPushButton(QStringLiteral("Close"), pnButtons);
  btnClose->setObjectName(QStringLiteral("btnClose"));
  btnClose->setGeometry(408, 4, 75, 25);
  connect(btnClose, &QPushButton::clicked, this, &TfmVEKLog::btnCloseClick);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(pnMain, 1);
  layout->addWidget(pnButtons);
}

TfmVEKLog::~TfmVEKLog() {
  MarkBeingDestroyed(this);
}

void TfmVEKLog::ShowLines(const std::deque<std::string>& Lines) {
  BuildControls();
  QString text;
  for (std::size_t i = 0; i < Lines.size(); ++i) {
    if (i > 0) text += QLatin1Char('\n');
    text += ItemText(Lines[i]);
  }
  Memo->setPlainText(text);
  show();
  raise();
  activateWindow();
}

void TfmVEKLog::setVisible(bool visible) {
  if (visible) BuildControls();
  QWidget::setVisible(visible);
}

void TfmVEKLog::btnCloseClick() {
  close();
}

void TfmVEKLog::FormHide() {
  // Drops the text and the memory it holds.
  if (Memo) Memo->clear();
  // Shown modal above a modal dialog (the exception dialog's log button), it
  // is the plain window again for the next ShowLines.
  setWindowModality(Qt::NonModal);
}

void TfmVEKLog::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (event->spontaneous()) return;
  FitFrame();
  CentreOnScreen();
}

void TfmVEKLog::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // A spontaneous hide is the window being minimised: the text stays.
  if (!event->spontaneous()) FormHide();
}

void TfmVEKLog::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  // A window manager tells the frame's size only once it has framed the
  // window, after the show; it moves the window as it does.
  if (!FFramed && isVisible()) {
    FitFrame();
    if (FFramed && FCentred) CentreOnScreen();
  }
}

bool TfmVEKLog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == pnButtons && event->type() == QEvent::Resize)
    btnClose->move(pnButtons->width() - CloseRightGap - btnClose->width(), btnClose->y());
  return QWidget::eventFilter(watched, event);
}

void TfmVEKLog::FitFrame() {
  if (FFramed) return;
  const QSize frame = frameGeometry().size() - geometry().size();
  if (frame.width() <= 0 && frame.height() <= 0) return;
  FFramed = true;
  resize(OuterWidth - frame.width(), OuterHeight - frame.height());
}

void TfmVEKLog::CentreOnScreen() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QSize outer = frameGeometry().size();
  // For a window, move() places the frame's top-left corner.
  move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
  FCentred = true;
}

#include "app/F_History.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>

#include "app/U_RichText.h"
#include "app/WizardLook.h"

TfmHistory* fmHistory = nullptr;

TfmHistory::TfmHistory(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("fmHistory"));
  SetupDialogWindow(this, "History File", 492, 391);
  setModal(true);
}

// The window is created at start-up, and most runs never show it: its
// controls are built when it is first shown or given a history.
void TfmHistory::BuildControls() {
  if (Memo) return;
  QFrame* pnMain = MakeBevel(this, "pnMain", QFrame::Sunken, 5, 5, 482, 381);
  QFrame* strip = MakeTitleStrip(pnMain, 480, "History File", imgTitle, lbTitle);
  // The strip is closed at its bottom by a bevelled line.
  auto* line = new QFrame(strip);
  line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  line->setGeometry(0, 46, 480, 2);

  constexpr int BodyTop = 1 + 48 + 8;
  QFrame* pnMemo = MakeBevel(pnMain, "pnMemo", QFrame::Sunken, 1 + 8, BodyTop, 462, 286);
  Memo = new QTextEdit(pnMemo);
  Memo->setObjectName(QStringLiteral("Memo"));
  Memo->setReadOnly(true);
  Memo->setAcceptRichText(false);
  Memo->setFrameShape(QFrame::NoFrame);
  Memo->setLineWrapMode(QTextEdit::WidgetWidth);
  Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo->setGeometry(1, 1, 460, 284);

  btnClose = MakeButton(pnMain, "btnClose", "Close", 1 + 192, BodyTop + 286 + 8);
  connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);
}

TfmHistory::~TfmHistory() {
  if (fmHistory == this) fmHistory = nullptr;
}

void TfmHistory::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->ignore();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TfmHistory::setVisible(bool visible) {
  if (visible) {
    BuildControls();
    // Centred on the screen, as the wizard is, wherever the wizard was moved.
    CentreOnScreen(this);
  }
  QDialog::setVisible(visible);
}

void TfmHistory::ShowHistory(const std::string& title, const std::string& history) {
  BuildControls();
  setWindowTitle(ToDisplayText(title));
  Memo->clear();
  const std::string text = LooksLikeRichText(history) ? RichTextToPlainText(history) : history;
  Memo->setPlainText(ToDisplayText(text));
}

#pragma once
// The log viewer: a plain, non-modal window showing a snapshot of the log's
// lines in a read-only, fixed-pitch text view, with a Close button. The log
// file creates one hidden instance and shows it through ShowLines; lines
// written while it is open appear only when it is shown again. Hiding the
// window (Close or the close box) drops its text, and makes it non-modal
// again when a caller showed it modal (above a modal dialog). Closing it
// never ends the program. A viewer that is never shown holds no controls. GUI thread only.
#include <deque>
#include <string>

#include <QWidget>

class QPlainTextEdit;
class QPushButton;

class TfmVEKLog : public QWidget {
  Q_OBJECT
 public:
  // Created hidden; the caption is "<application title> - Log", fixed now.
  explicit TfmVEKLog(QWidget* parent = nullptr);
  ~TfmVEKLog() override;

  // Replaces the text with a copy of Lines, in order (a line break inside an
  // item starts a new line of the view), then shows the window without
  // making it modal and brings it to the front.
  void ShowLines(const std::deque<std::string>& Lines);

  // The controls, built when the window is first shown (ShowLines); null
  // until then.
  QWidget* pnMain = nullptr;
  QPlainTextEdit* Memo = nullptr;
  QWidget* pnButtons = nullptr;
  QPushButton* btnClose = nullptr;

  // Builds the controls first when the window is shown.
  void setVisible(bool visible) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void btnCloseClick();
  void FormHide();
  // Gives the window its outer size once the window frame is known.
  void FitFrame();
  void CentreOnScreen();

  bool FFramed = false;
  bool FCentred = false;
};

#pragma once
// The history window: one product's version history, shown modally over the
// wizard. Created hidden at start-up (its controls only once it is first
// shown) and reused for every display; each display replaces caption and
// text.
#include <string>

#include <QDialog>

class QKeyEvent;
class QLabel;
class QPushButton;
class QTextEdit;

class TfmHistory : public QDialog {
  Q_OBJECT
 public:
  explicit TfmHistory(QWidget* parent = nullptr);
  ~TfmHistory() override;

  // Sets the caption and the whole text of Memo. A history in Rich Text
  // Format shows as its plain text; nothing in a text makes the window load
  // anything from the network or the disk.
  void ShowHistory(const std::string& title, const std::string& history);

  // The controls, built when the window is first shown or given a history;
  // null until then.
  QLabel* imgTitle = nullptr;
  QLabel* lbTitle = nullptr;
  QTextEdit* Memo = nullptr;
  QPushButton* btnClose = nullptr;

  // Builds the controls first when the window is shown, and centres it on
  // the screen.
  void setVisible(bool visible) override;

 protected:
  // Only Close and the close box end the display: Escape does not (the
  // toolkit's dialogs would take it as a cancel).
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildControls();
};

extern TfmHistory* fmHistory;

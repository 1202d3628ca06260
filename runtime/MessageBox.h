#pragma once
// Message boxes. Every box of the program goes through TMessageBox so that
// tests can answer a box instead of a person: SetNextAnswer() makes the next
// box return at once without showing, and every box, shown or answered, is
// recorded in History(). The plain box titled with the application's title,
// ShowMessage, belongs to the application object (runtime/Application.h).
#include <functional>
#include <string>
#include <vector>

#include <QMessageBox>

#include "runtime/QtText.h"  // ToQString and FromQString, for every box's text

enum class TMsgIcon { None, Information, Warning, Error, Question };

struct TShownMessage {
  std::string Caption;
  std::string Text;
  TMsgIcon Icon;
};

class TMessageBox {
 public:
  // Shows a modal box with the given text, caption, icon and buttons and
  // returns the button pressed.
  static QMessageBox::StandardButton Show(const std::string& text, const std::string& caption, TMsgIcon icon,
                                          QMessageBox::StandardButtons buttons = QMessageBox::Ok);

  // Test seam. The answer is used once, by the next box.
  static void SetNextAnswer(QMessageBox::StandardButton answer);
  // Test seam: answer every box with Ok until cleared.
  static void SetAutoAnswer(bool on);
  static const std::vector<TShownMessage>& History();
  static void ClearHistory();
};

#include "runtime/MessageBox.h"

#include <optional>

namespace {
std::optional<QMessageBox::StandardButton> NextAnswer;
bool AutoAnswer = false;
std::vector<TShownMessage> Shown;

QMessageBox::Icon ToQtIcon(TMsgIcon icon) {
  switch (icon) {
    case TMsgIcon::Information:
      return QMessageBox::Information;
    case TMsgIcon::Warning:
      return QMessageBox::Warning;
    case TMsgIcon::Error:
      return QMessageBox::Critical;
    case TMsgIcon::Question:
      return QMessageBox::Question;
    case TMsgIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}
}  // namespace

QMessageBox::StandardButton TMessageBox::Show(const std::string& text, const std::string& caption, TMsgIcon icon,
                                              QMessageBox::StandardButtons buttons) {
  Shown.push_back({caption, text, icon});
  if (NextAnswer) {
    const auto answer = *NextAnswer;
    NextAnswer.reset();
    return answer;
  }
  if (AutoAnswer) return QMessageBox::Ok;
  QMessageBox box(ToQtIcon(icon), ToQString(caption), ToQString(text), buttons);
  box.setTextFormat(Qt::PlainText);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

void TMessageBox::SetNextAnswer(QMessageBox::StandardButton answer) {
  NextAnswer = answer;
}
void TMessageBox::SetAutoAnswer(bool on) {
  AutoAnswer = on;
}
const std::vector<TShownMessage>& TMessageBox::History() {
  return Shown;
}
void TMessageBox::ClearHistory() {
  Shown.clear();
}

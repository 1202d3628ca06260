#include "tests/support/Modal.h"

#include <memory>

#include <QApplication>
#include <QTimer>

namespace {
struct TModalWait {
  std::function<bool(QWidget*)> Accept;
  std::chrono::steady_clock::time_point Deadline;
};

void Step(const std::shared_ptr<TModalWait>& wait) {
  QWidget* modal = QApplication::activeModalWidget();
  if (modal && modal->isVisible() && wait->Accept(modal)) return;
  if (std::chrono::steady_clock::now() >= wait->Deadline) return;
  QTimer::singleShot(5, [wait] { Step(wait); });
}
}  // namespace

void WhenModal(std::function<bool(QWidget* Modal)> Accept, std::chrono::milliseconds Timeout) {
  auto wait = std::make_shared<TModalWait>(TModalWait{std::move(Accept), std::chrono::steady_clock::now() + Timeout});
  QTimer::singleShot(0, [wait] { Step(wait); });
}

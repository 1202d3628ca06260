#include "runtime/BusyWait.h"

#include <chrono>
#include <thread>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QTimer>

namespace {
bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::NativeGesture:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::DragLeave:
    case QEvent::Drop:
      return true;
    default:
      return false;
  }
}

// Drops user input to every object of the application while it lives.
class TInputDrop final : public QObject {
 public:
  TInputDrop() { QCoreApplication::instance()->installEventFilter(this); }
  ~TInputDrop() override {
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* event) override { return IsUserInput(event->type()); }
};
}  // namespace

void ProcessEventsWithoutInput() {
  if (!QCoreApplication::instance()) return;
  TInputDrop drop;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void PauseWithoutInput(int ms, const std::function<bool()>& stop) {
  if (!QCoreApplication::instance()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  TInputDrop drop;
  const QDeadlineTimer deadline(ms, Qt::PreciseTimer);
  QTimer wake;  // ends each wait for events at the deadline
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  while (!(stop && stop())) {
    const qint64 left = deadline.remainingTime();
    if (left <= 0) break;
    wake.start(static_cast<int>(left));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

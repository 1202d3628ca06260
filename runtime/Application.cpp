#include "runtime/Application.h"

#include <QAbstractScrollArea>
#include <QKeyEvent>
#include <QPushButton>
#include <QWidget>

#include "base/Exceptions.h"
#include "base/TextUtil.h"
#include "runtime/Fonts.h"
#include "runtime/MessageBox.h"

TApplication* Application = nullptr;

namespace {
// The default title: the executable's file name up to its first dot, its
// first letter as stored and the rest in lower case.
std::string TitleFromExeName(const std::string& exe) {
  const auto slash = exe.find_last_of('/');
  std::string name = slash == std::string::npos ? exe : exe.substr(slash + 1);
  const auto dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  for (std::size_t i = 1; i < name.size(); ++i) name[i] = LowerAscii(name[i]);
  return name;
}

// Enter or Return (the keypad's Enter included, no other modifier, not held
// down) sent to an enabled, visible push button clicks it. Key presses reach
// a button only while it has the focus.
bool PressButtonOnEnter(QObject* receiver, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
  if (key->isAutoRepeat() || (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) return false;
  auto* button = qobject_cast<QPushButton*>(receiver);
  if (!button || !button->isEnabled() || !button->isVisible()) return false;
  key->accept();
  button->click();
  return true;
}

// The control a user acts on through an event to `receiver`: the inner
// viewport of a scroll area (an item view, a text view), which gets the
// mouse's events, stands for the scroll area.
QObject* ControlOf(QObject* receiver) {
  if (!receiver || !receiver->isWidgetType()) return receiver;
  auto* area = qobject_cast<QAbstractScrollArea*>(receiver->parent());
  return area && area->viewport() == receiver ? area : receiver;
}
}  // namespace

TApplication::TApplication(int& argc, char** argv)
    : QApplication(argc, argv),
      FExeName(QCoreApplication::applicationFilePath().toStdString()),
      FTitle(TitleFromExeName(FExeName)) {
  Application = this;
  // The wizard's windows are laid out in Tahoma; the diagnostics library's
  // windows register their own family when they are first shown.
  LoadDesignFont("Tahoma");
}

TApplication::~TApplication() {
  FDestroying = true;
  emit destroyingStarted();
  if (Application == this) Application = nullptr;
}

void TApplication::Terminate() {
  FTerminated = true;
  QApplication::exit(0);
}

int TApplication::Run() {
  if (FTerminated) return 0;
  return exec();
}

void TApplication::BringToFront() {
  QWidget* w = activeWindow();
  if (!w) {
    for (QWidget* top : topLevelWidgets())
      if (top->isVisible()) {
        w = top;
        break;
      }
  }
  if (w) {
    w->raise();
    w->activateWindow();
  }
}

void TApplication::HandleException(QObject* Sender, const std::exception& E) {
  if (dynamic_cast<const EAbort*>(&E)) return;
  if (OnException) {
    OnException(Sender, E);
    return;
  }
  TMessageBox::Show(E.what(), FTitle, TMsgIcon::Error);
}

void TApplication::Guard(const std::function<void()>& handler) {
  Guard(FEventReceiver, handler);
}

void TApplication::Guard(QObject* Sender, const std::function<void()>& handler) {
  // The sender may go away while the handler runs.
  const QPointer<QObject> sender(Sender);
  try {
    handler();
  } catch (const std::exception& e) {
    HandleException(sender, e);
  } catch (...) {
    HandleException(sender, EUnknownException::FromCurrent());
  }
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  // The control that received the event is the sender of whatever its
  // handlers let escape.
  const QPointer<QObject> outer = FEventReceiver;
  QObject* control = ControlOf(receiver);
  FEventReceiver = control;
  bool result = false;
  Guard(control, [&] { result = PressButtonOnEnter(receiver, event) || QApplication::notify(receiver, event); });
  FEventReceiver = outer;
  return result;
}

void ShowMessage(const std::string& text) {
  TMessageBox::Show(text, Application ? Application->Title() : std::string(), TMsgIcon::None);
}

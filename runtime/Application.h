#pragma once
// The GUI application object: one per process, created first by the program
// block. It knows the executable's name, the application's title (by default
// the executable's file name without extension), whether termination was
// requested, and brings the application to the foreground.
#include <exception>
#include <functional>
#include <string>

#include <QApplication>
#include <QPointer>

class TApplication : public QApplication {
  Q_OBJECT
 public:
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  // Full path of the running executable.
  const std::string& ExeName() const { return FExeName; }
  const std::string& Title() const { return FTitle; }
  void SetTitle(const std::string& title) { FTitle = title; }

  // Asks the message loop to end once the current event has been handled. A
  // request made before the loop starts keeps the loop from running at all.
  void Terminate();
  bool Terminated() const { return FTerminated; }
  // True from the first moment of the object's destruction.
  bool Destroying() const { return FDestroying; }

  // Runs the message loop unless termination was already requested.
  int Run();

  // Raises and activates the main window, if any.
  void BringToFront();

  // The unhandled-exception event: called for an exception that escaped an
  // event handler, with the sender, the control that received the event
  // whose handler let it escape (for a click on a button, the button; for
  // one on a list's row, the list, whose inner viewport got the mouse; null
  // when unknown). Read, replaced and restored by whoever intercepts
  // exceptions; when it is not set, HandleException shows the message.
  using TExceptionEvent = std::function<void(QObject* Sender, const std::exception& E)>;
  TExceptionEvent OnException;
  // The global handling of an exception that left a handler: the silent
  // abort is passed over; anything else goes to OnException, or is shown in
  // an error box titled with the application's title.
  void HandleException(QObject* Sender, const std::exception& E);
  // Runs an event handler, routing every exception it lets escape to
  // HandleException so that none unwinds through the toolkit. The sender is
  // EventReceiver(), or Sender where given. Something thrown that is no
  // std::exception arrives as an EUnknownException.
  void Guard(const std::function<void()>& handler);
  void Guard(QObject* Sender, const std::function<void()>& handler);
  // The control that received the innermost event being delivered now (a
  // scroll area for its viewport), null outside event delivery or once that
  // control is gone.
  QObject* EventReceiver() const { return FEventReceiver; }

  // Delivers every event guarded (see Guard). Enter and Return press the
  // push button that has the focus, in every window, as Space does: the
  // desktop's habit, whether or not the button is a dialog's default.
  bool notify(QObject* receiver, QEvent* event) override;

 signals:
  // Emitted first thing in the destructor: handlers connected here run
  // while the application object is being destroyed (Destroying() true,
  // Application still this object). They must not throw; run them through
  // Guard.
  void destroyingStarted();

 private:
  std::string FExeName;
  std::string FTitle;
  bool FTerminated = false;
  bool FDestroying = false;
  QPointer<QObject> FEventReceiver;
};

// The application object, or null before it is created and after it is gone.
extern TApplication* Application;

// A plain box with one OK button, titled with the application's title (no
// title without an application object).
void ShowMessage(const std::string& text);

#pragma once
// The running process: its executable and command line, whether a debugger
// is attached, its scheduling priority, the search for another program's
// top-level window, and the signals that ask it to end.
//
// TProcessServices is the service; TPosixProcessServices (Process_posix.h)
// the Linux implementation. Callers reach the one in use through
// CurrentProcessServices(); tests install a stand-in with
// SetCurrentProcessServices(). TEndSignalWatch is not replaceable: tests
// send real signals to child processes.
//
// All calls run on the GUI thread.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Priority classes, with the original platform's values.
enum : std::uint32_t {
  pcNormal = 0x20,
  pcIdle = 0x40,
  pcHigh = 0x80,
  pcRealTime = 0x100,
  pcBelowNormal = 0x4000,
  pcAboveNormal = 0x8000,
};

class TProcessServices {
 public:
  virtual ~TProcessServices() = default;

  // Full path of the running executable as the GUI application reports it.
  virtual std::string ExecutablePath() = 0;
  // The command-line parameters after the program name, as the runtime
  // splits the command line.
  virtual std::vector<std::string> CommandLineParams() = 0;
  // A debugger is attached to the process now.
  virtual bool BeingDebugged() = 0;
  // A top-level window of this window class exists on the desktop.
  virtual bool TopLevelWindowExists(const std::string& className) = 0;
  // The process's priority class. On failure returns false with the
  // system's error number in error (0 when it gave none).
  virtual bool GetPriorityClass(std::uint32_t& priorityClass, int& error) = 0;
  // Sets the process's priority class. On failure (a class the system
  // refuses, or one that is not in the list above) returns false with the
  // error number in error; the priority is then as it was.
  virtual bool SetPriorityClass(std::uint32_t priorityClass, int& error) = 0;
};

// The service in use: the platform's own unless another was installed.
TProcessServices& CurrentProcessServices();
// Installs `services` (null: the platform's own again) and returns the one
// it replaces (null when that was the platform's own). The caller keeps
// ownership and keeps `services` alive while it is installed.
TProcessServices* SetCurrentProcessServices(TProcessServices* services);

// ---------------------------------------------------------------------------
// TEndSignalWatch: calls OnSignal(signal number) on the GUI thread when the
// process receives SIGTERM, SIGHUP or SIGINT, instead of letting the signal
// end the process. A signal that is ignored when the first watch starts (a
// program started through "nohup") stays ignored.
//
// The signal handler only writes the signal's number into a pipe; a socket
// notifier of the GUI thread's event loop reads it and calls OnSignal. A
// signal therefore takes effect when the GUI thread next handles events (its
// event loop, or a caller that handles events while it waits), never in the
// middle of other work. Without a running event loop signals wait in the
// pipe (up to the pipe's capacity; further ones are dropped).
//
// Watches may nest: the handlers are installed by the first watch and the
// previous dispositions restored when the last one goes; a signal goes to
// the newest watch. Watching needs the application object and its thread:
// created without one, or on another thread, a watch does nothing
// (Watching() false) and the signals keep their dispositions.
class TEndSignalWatch {
 public:
  using TOnSignal = std::function<void(int Signal)>;
  explicit TEndSignalWatch(TOnSignal onSignal);
  ~TEndSignalWatch();
  TEndSignalWatch(const TEndSignalWatch&) = delete;
  TEndSignalWatch& operator=(const TEndSignalWatch&) = delete;

  bool Watching() const { return FWatching; }

  // For a program that ends because of a signal: from now on the three
  // signals are ignored, also after the last watch goes, so that a second
  // signal cannot cut the program's shut-down short.
  static void IgnoreEndSignals();

 private:
  TOnSignal FOnSignal;
  bool FWatching = false;
  friend struct TEndSignalState;
};

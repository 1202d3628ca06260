#pragma once
// Child processes for tests: the real executables, a virtual X display for
// them, and xdotool to press their buttons as a user would. Every wait is
// bounded.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QImage>

class TChildProcess {
 public:
  // Starts `argv[0]` (a path, or a name looked up on PATH) with the current
  // environment plus `env` ("NAME=value" entries override). Output goes to
  // `outputFile` when given, else stays with the test's.
  TChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                const std::string& outputFile = {});
  ~TChildProcess();  // kills the child if it still runs
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  pid_t Pid() const { return FPid; }
  bool Running();
  // The exit code once the child ended within `timeout`; none if it is still
  // running then, or -signal when a signal ended it.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  void Signal(int sig);
  // The child's peak resident set in KiB (the kernel's maxrss), once it has
  // ended and been waited for; 0 before.
  long PeakRssKiB() const { return FPeakRssKiB; }

 private:
  pid_t FPid = -1;
  std::optional<int> FStatus;
  long FPeakRssKiB = 0;
};

// Runs a command to its end (at most `timeout`) and returns its standard
// output; none when it failed or timed out.
std::optional<std::string> RunAndRead(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                                      std::chrono::milliseconds timeout);

// The value of the symbol `name` (or of a version of it, `name@...`) as
// `nm` lists the symbol table of `file` (its dynamic one with `dynamic`);
// 0 when the symbol is missing or nm fails.
std::uint64_t NmSymbolValue(const std::string& file, const std::string& name, bool dynamic = false);

// Environment entries for a child that runs as another user: that user may
// not read the checkout, so the leak suppressions file named in LSAN_OPTIONS
// is copied into `folder` (which the user must be able to read) and the
// option points at the copy. Empty when LSAN_OPTIONS names no such file.
std::vector<std::string> SanitizerEnvironmentIn(const std::string& folder);

// Gives the folder and everything in it to the user nobody (uid and gid
// 65534), under whom the tests run services that refuse root.
void GiveToNobody(const std::string& folder);
// The arguments that run a command as nobody when the tests run as root
// (setpriv), else none.
std::vector<std::string> AsNobodyIfRoot();

// An Xvfb server on a display number of its own choosing.
class TXvfb {
 public:
  TXvfb();
  ~TXvfb();
  // ":N", or empty when Xvfb could not start.
  const std::string& Display() const { return FDisplay; }
  // "DISPLAY=:N" for a child's environment.
  std::string DisplayEnv() const { return "DISPLAY=" + FDisplay; }

  // xdotool on this display.
  std::optional<std::string> XDoTool(const std::vector<std::string>& args,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;
  // The id of a window whose title matches the regular expression, waiting
  // up to `timeout` for it to appear.
  std::optional<std::string> WaitForWindow(const std::string& titleRegex, std::chrono::milliseconds timeout) const;
  bool HasWindow(const std::string& titleRegex) const;
  // Focuses the window and presses a key there.
  bool PressKey(const std::string& window, const std::string& key) const;
  // Clicks at a point of the window's client area.
  bool Click(const std::string& window, int x, int y) const;
  // Asks the window to close as a window manager's close box does
  // (WM_DELETE_WINDOW).
  bool RequestClose(const std::string& window) const;
  // The window's size (its client area: no window manager runs here), or
  // none when the window does not exist.
  std::optional<std::pair<int, int>> WindowSize(const std::string& window) const;
  // What the screen shows of the window's client area, as a camera would see
  // it (windows above it included); a null image when the window is gone.
  QImage Grab(const std::string& window) const;
  // Saves Grab(window) as a PNG file.
  bool Screenshot(const std::string& window, const std::string& pngFile) const;

  // Starts a real window manager (openbox) on the display and waits until it
  // manages it; false when it could not start.
  bool StartWindowManager();
  // Asks the window manager to close the window, as its close box or a
  // task bar does (_NET_CLOSE_WINDOW); the window manager then sends
  // WM_DELETE_WINDOW and pings the window to see whether it still answers.
  bool RequestCloseThroughWindowManager(const std::string& window) const;
  // Sends the window the ping a window manager sends (_NET_WM_PING) and
  // waits up to `timeout` for its answer, which is how window managers tell
  // a live program from a hung one ("Not Responding").
  bool Ping(const std::string& window, std::chrono::milliseconds timeout) const;
  // Saves the whole screen as a PNG file.
  bool Screenshot(const std::string& pngFile) const;

 private:
  std::unique_ptr<TChildProcess> FServer;
  std::unique_ptr<TChildProcess> FWindowManager;
  std::string FDisplay;
};

#include "platform/Shell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "base/TextUtil.h"

// The desktop's opener is xdg-open. It is found on PATH and started with an
// argument vector of exactly two entries, "xdg-open" and the document, never
// through a shell: no character of the document can run a command. A
// document that begins with "-" is passed as "./<document>" (the same file),
// so that xdg-open cannot take it for an option; a URL never begins with "-".
//
// Processes. Some desktops run the browser in the foreground of xdg-open, so
// the call does not wait for xdg-open to end. It starts a helper that starts
// a monitor and exits at once (the helper is reaped right away); the monitor,
// now a child of the system, starts xdg-open, waits for it and writes what
// happened into a close-on-exec pipe. The caller waits up to
// VerdictWaitMs for that report:
//   - a report arrives: it is mapped as below;
//   - no report in time: xdg-open is still busy with the document; that
//     counts as success (seSuccess). The monitor's later report goes into a
//     closed pipe and is dropped; the system reaps the monitor, the monitor
//     reaps xdg-open, so the caller is left with no child and no zombie.
// The monitor keeps only the standard handles and the report pipe open, so
// xdg-open and whatever it starts inherit none of the caller's files or
// sockets.
//
// Mapping onto the result codes:
//   verb other than "" or "open" (any case)    seNoAssoc (31), nothing started
//   empty document, document holding a NUL     seFileNotFound (2)
//   working folder holding a NUL               sePathNotFound (3)
//   no executable xdg-open on PATH             seNoAssoc (31)
//   pipe or fork fails (EAGAIN, ENOMEM, ...)   seOutOfResources (0)
//   entering the working folder fails:
//     EACCES, EPERM                            seAccessDenied (5)
//     anything else (ENOENT, ENOTDIR, ...)     sePathNotFound (3)
//   starting xdg-open fails (errno of exec):
//     ENOENT, ENOTDIR, ELOOP, ENAMETOOLONG     seNoAssoc (31)
//     EACCES, EPERM                            seAccessDenied (5)
//     ENOMEM, E2BIG                            seOutOfMemory (8)
//     ENOEXEC, EINVAL, EISDIR, ELIBBAD         seBadFormat (11)
//     ETXTBSY                                  seShareViolation (26)
//     ELIBACC                                  seDllNotFound (32)
//     anything else                            seOutOfResources (0)
//   xdg-open's exit status:
//     0 success                                seSuccess (42)
//     1 syntax error on its command line       seBadFormat (11)
//     2 the file does not exist                seFileNotFound (2)
//     3 a required tool could not be found     seNoAssoc (31)
//     4 the action failed                      seAssocIncomplete (27)
//     5 no permission to read the file         seAccessDenied (5)
//     any other status, or ended by a signal   seAssocIncomplete (27)
//   the monitor ends without a report          seOutOfResources (0)
//   still running after VerdictWaitMs         seSuccess (42)
//
// `params`: xdg-open takes exactly one argument and fails with a syntax
// error on a second one, and the original platform ignores parameters for a
// document as well; they are therefore ignored here. `directory`, when not
// empty, becomes xdg-open's working folder (a relative document is found
// from there). `showCmd` (the original platform's show-window command) has
// no meaning for xdg-open and is ignored.

namespace {

constexpr int VerdictWaitMs = 2000;

enum TStage : int {
  stForkFailed = 1,
  stChdirFailed,
  stExecFailed,
  stWaitFailed,
  stExited,
  stSignaled,
};

struct TReport {
  int Stage = 0;
  int Value = 0;
};

// Everything the processes after fork() need, prepared beforehand: they may
// only make async-signal-safe calls.
struct TLaunch {
  const char* Exe = nullptr;
  char* const* Argv = nullptr;
  const char* Directory = nullptr;  // null: keep the caller's folder
  int ReportFd = -1;
  int MaxFd = 1024;  // fallback bound for closing inherited descriptors
};

// The first executable regular file `name` in PATH's folders, as an absolute
// path (the opener may run in another working folder); empty when none.
std::string FindOnPath(const std::string& name) {
  const char* env = std::getenv("PATH");
  const std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
  std::string cwd;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = path.find(':', start);
    std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (dir.empty()) dir = ".";
    if (dir[0] != '/') {
      if (cwd.empty()) {
        char buf[4096];
        if (::getcwd(buf, sizeof buf)) cwd = buf;
      }
      if (!cwd.empty()) dir = cwd + "/" + dir;
    }
    const std::string candidate = dir + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (colon == std::string::npos) return {};
    start = colon + 1;
  }
}

void Report(int fd, int stage, int value) {
  const TReport r{stage, value};
  // A record this small is written in one piece or not at all.
  while (::write(fd, &r, sizeof r) < 0 && errno == EINTR) {
  }
}

void SetSignal(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  ::sigaction(sig, &sa, nullptr);
}

// Closes every descriptor from 3 on except `keep`.
void CloseInherited(int keep, int maxFd) {
  const unsigned from = keep >= 3 ? static_cast<unsigned>(keep) + 1 : 3;
  if ((keep <= 3 || ::close_range(3, static_cast<unsigned>(keep) - 1, 0) == 0) && ::close_range(from, ~0U, 0) == 0)
    return;
  for (int fd = 3; fd < maxFd; ++fd)
    if (fd != keep) ::close(fd);
}

// In xdg-open's process, before exec.
[[noreturn]] void RunOpener(const TLaunch& l) {
  SetSignal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (l.Directory && ::chdir(l.Directory) != 0) {
    Report(l.ReportFd, stChdirFailed, errno);
    ::_exit(127);
  }
  ::execv(l.Exe, l.Argv);
  Report(l.ReportFd, stExecFailed, errno);
  ::_exit(127);
}

// In the monitor: starts xdg-open, waits for it and reports.
[[noreturn]] void RunMonitor(const TLaunch& l) {
  CloseInherited(l.ReportFd, l.MaxFd);
  // A caller that ignores SIGCHLD would make the wait below impossible (and
  // xdg-open's own waits too).
  SetSignal(SIGCHLD, SIG_DFL);
  const pid_t opener = ::fork();
  if (opener < 0) {
    Report(l.ReportFd, stForkFailed, errno);
    ::_exit(0);
  }
  if (opener == 0) RunOpener(l);
  // The caller may have stopped listening; its closed pipe must not kill us
  // before xdg-open is reaped.
  SetSignal(SIGPIPE, SIG_IGN);
  int status = 0;
  pid_t r;
  do r = ::waitpid(opener, &status, 0);
  while (r < 0 && errno == EINTR);
  if (r < 0)
    Report(l.ReportFd, stWaitFailed, errno);
  else if (WIFEXITED(status))
    Report(l.ReportFd, stExited, WEXITSTATUS(status));
  else
    Report(l.ReportFd, stSignaled, WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  ::_exit(0);
}

int MapExitStatus(int status) {
  switch (status) {
    case 0:
      return seSuccess;
    case 1:
      return seBadFormat;
    case 2:
      return seFileNotFound;
    case 3:
      return seNoAssoc;
    case 5:
      return seAccessDenied;
    default:
      return seAssocIncomplete;
  }
}

int MapExecError(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
      return seNoAssoc;
    case EACCES:
    case EPERM:
      return seAccessDenied;
    case ENOMEM:
    case E2BIG:
      return seOutOfMemory;
    case ENOEXEC:
    case EINVAL:
    case EISDIR:
    case ELIBBAD:
      return seBadFormat;
    case ETXTBSY:
      return seShareViolation;
    case ELIBACC:
      return seDllNotFound;
    default:
      return seOutOfResources;
  }
}

int MapReport(const TReport& r) {
  switch (r.Stage) {
    case stExited:
      return MapExitStatus(r.Value);
    case stSignaled:
      return seAssocIncomplete;
    case stChdirFailed:
      return r.Value == EACCES || r.Value == EPERM ? seAccessDenied : sePathNotFound;
    case stExecFailed:
      return MapExecError(r.Value);
    default:
      return seOutOfResources;  // stForkFailed, stWaitFailed, garbage
  }
}

enum class TWait { Report, Closed, TimedOut };

// Waits up to `ms` for one whole report on `fd`.
TWait WaitForReport(int fd, int ms, TReport& out) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  char* dst = reinterpret_cast<char*>(&out);
  std::size_t got = 0;
  while (got < sizeof out) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return TWait::TimedOut;
    pollfd p{fd, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left));
    if (n < 0) {
      if (errno == EINTR) continue;
      return TWait::Closed;
    }
    if (n == 0) return TWait::TimedOut;
    const ssize_t r = ::read(fd, dst + got, sizeof out - got);
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return TWait::Closed;
    }
    if (r == 0) return TWait::Closed;
    got += static_cast<std::size_t>(r);
  }
  return TWait::Report;
}

}  // namespace

int ShellExecute(const std::string& verb, const std::string& file, const std::string& params,
                 const std::string& directory, int showCmd) {
  (void)params;
  (void)showCmd;
  if (!verb.empty() && !SameTextAscii(verb, "open")) return seNoAssoc;
  if (file.empty() || file.find('\0') != std::string::npos) return seFileNotFound;
  if (directory.find('\0') != std::string::npos) return sePathNotFound;
  const std::string exe = FindOnPath("xdg-open");
  if (exe.empty()) return seNoAssoc;

  std::string arg0 = "xdg-open";
  std::string document = file[0] == '-' ? "./" + file : file;
  char* const argv[] = {arg0.data(), document.data(), nullptr};

  TLaunch launch;
  launch.Exe = exe.c_str();
  launch.Argv = argv;
  launch.Directory = directory.empty() ? nullptr : directory.c_str();
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
    launch.MaxFd = lim.rlim_cur > 65536 ? 65536 : static_cast<int>(lim.rlim_cur);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return seOutOfResources;
  launch.ReportFd = fds[1];

  const pid_t helper = ::fork();
  if (helper < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return seOutOfResources;
  }
  if (helper == 0) {
    ::close(fds[0]);
    const pid_t monitor = ::fork();
    if (monitor == 0) RunMonitor(launch);
    if (monitor < 0) Report(fds[1], stForkFailed, errno);
    ::_exit(0);
  }
  ::close(fds[1]);
  while (::waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
  }

  TReport report;
  const TWait wait = WaitForReport(fds[0], VerdictWaitMs, report);
  ::close(fds[0]);
  switch (wait) {
    case TWait::TimedOut:
      return seSuccess;
    case TWait::Closed:
      return seOutOfResources;
    case TWait::Report:
      break;
  }
  return MapReport(report);
}

#include "platform/Process_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include "base/ServiceSlot.h"
#include "platform/SystemInfo_posix.h"

namespace {

// The first 256 KiB of a (/proc) file; empty when it cannot be read.
std::string ReadProcFile(const char* path) {
  std::string text;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buf[4096];
  while (text.size() < 256 * 1024) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buf, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
}

constinit TServiceSlot<TProcessServices, TPosixProcessServices> Slot;

// The nice value of each priority class; false for an unknown class.
bool NiceOfClass(std::uint32_t cls, int& nice) {
  switch (cls) {
    case pcRealTime:
      nice = -20;
      return true;
    case pcHigh:
      nice = -10;
      return true;
    case pcNormal:
      nice = 0;
      return true;
    case pcIdle:
      nice = 19;
      return true;
    default:
      return false;
  }
}

// Sets one thread (0: the calling one) to the ordinary policy and `nice`.
// Returns 0 or the error number.
int SetThreadPriority(pid_t tid, int nice) {
  const int policy = ::sched_getscheduler(tid);
  if (policy < 0) return errno;
  if (policy != SCHED_OTHER) {
    sched_param p{};
    p.sched_priority = 0;
    if (::sched_setscheduler(tid, SCHED_OTHER, &p) != 0) return errno;
  }
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) != 0) return errno;
  return 0;
}

}  // namespace

TProcessServices& CurrentProcessServices() {
  return Slot.Current();
}

TProcessServices* SetCurrentProcessServices(TProcessServices* services) {
  return Slot.Install(services);
}

// ---------------------------------------------------------------------------
// TPosixProcessServices

std::string TPosixProcessServices::ExecutablePath() {
  // With the toolkit running, the toolkit's name of the program (the one
  // the application object takes as its executable name).
  if (QCoreApplication::instance()) return QCoreApplication::applicationFilePath().toStdString();
  std::error_code ec;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

std::vector<std::string> TPosixProcessServices::CommandLineParams() {
  // The command line as the process received it: the toolkit takes its own
  // options out of its argument list (and their values with them), so that
  // list is no record of what the user typed. Zero-terminated arguments,
  // the program first.
  std::vector<std::string> params;
  const std::string cmdline = ReadProcFile("/proc/self/cmdline");
  std::size_t pos = cmdline.find('\0');
  while (pos != std::string::npos && pos + 1 < cmdline.size()) {
    const std::size_t end = cmdline.find('\0', pos + 1);
    params.push_back(cmdline.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1));
    pos = end;
  }
  return params;
}

bool TPosixProcessServices::BeingDebugged() {
  std::uint64_t tracer = 0;
  return ProcFieldNumber(ReadProcFile("/proc/self/status"), "TracerPid", tracer) && tracer != 0;
}

bool TPosixProcessServices::TopLevelWindowExists(const std::string&) {
  return false;
}

bool TPosixProcessServices::GetPriorityClass(std::uint32_t& priorityClass, int& error) {
  error = 0;
  const int policy = ::sched_getscheduler(0);
  if (policy < 0) {
    error = errno;
    return false;
  }
  if (policy == SCHED_FIFO || policy == SCHED_RR) {
    priorityClass = pcRealTime;
    return true;
  }
  if (policy == SCHED_IDLE) {
    priorityClass = pcIdle;
    return true;
  }
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, 0);  // -1 is a valid value: errno tells
  if (nice == -1 && errno != 0) {
    error = errno;
    return false;
  }
  switch (nice) {
    case -20:
      priorityClass = pcRealTime;
      break;
    case -10:
      priorityClass = pcHigh;
      break;
    case 0:
      priorityClass = pcNormal;
      break;
    case 19:
      priorityClass = pcIdle;
      break;
    default:
      priorityClass = nice < 0 ? pcAboveNormal : pcBelowNormal;
      break;
  }
  return true;
}

// The calling thread first: when it is refused, nothing has changed. The
// other threads of /proc/self/task follow; one that ended meanwhile is
// passed over, and as they run with the same rights as the calling thread,
// a refusal there is not expected and not reported.
bool TPosixProcessServices::SetPriorityClass(std::uint32_t priorityClass, int& error) {
  int nice = 0;
  if (!NiceOfClass(priorityClass, nice)) {
    error = EINVAL;
    return false;
  }
  error = SetThreadPriority(0, nice);
  if (error != 0) return false;
  const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* e = ::readdir(dir)) {
      char* end = nullptr;
      const long tid = std::strtol(e->d_name, &end, 10);
      if (end == e->d_name || *end != '\0' || tid <= 0 || tid > INT_MAX || tid == self) continue;
      SetThreadPriority(static_cast<pid_t>(tid), nice);
    }
    ::closedir(dir);
  }
  return true;
}

// ---------------------------------------------------------------------------
// TEndSignalWatch

namespace {
constexpr int EndSignals[] = {SIGTERM, SIGHUP, SIGINT};
// The pipe's writing end, for the handler; -1 when nothing watches.
volatile sig_atomic_t SignalWriteFd = -1;

extern "C" void OnEndSignal(int sig) {
  const int saved = errno;
  const int fd = SignalWriteFd;
  if (fd >= 0) {
    const unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(fd, &b, 1);  // pipe full: the signal is dropped
  }
  errno = saved;
}
}  // namespace

struct TEndSignalState {
  int ReadFd = -1;
  int WriteFd = -1;
  QSocketNotifier* Notifier = nullptr;
  struct sigaction Saved[std::size(EndSignals)] = {};
  std::vector<TEndSignalWatch*> Watches;
  bool Ignoring = false;

  static TEndSignalState& Get() {
    static TEndSignalState state;
    return state;
  }

  // Signals the process was started with ignored (as "nohup" does for
  // SIGHUP) stay ignored: that is what the user asked for.
  bool Skipped[std::size(EndSignals)] = {};

  bool Install() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    ReadFd = fds[0];
    WriteFd = fds[1];
    SignalWriteFd = WriteFd;
    Notifier = new QSocketNotifier(ReadFd, QSocketNotifier::Read);
    QObject::connect(Notifier, &QSocketNotifier::activated, [] { Get().Dispatch(); });
    struct sigaction sa {};
    sa.sa_handler = OnEndSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : EndSignals) sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(EndSignals); ++i) {
      if (Ignoring) continue;
      ::sigaction(EndSignals[i], nullptr, &Saved[i]);
      Skipped[i] = Saved[i].sa_handler == SIG_IGN;
      if (!Skipped[i]) ::sigaction(EndSignals[i], &sa, nullptr);
    }
    return true;
  }

  // May run inside Dispatch (a watch released by its own callback): the
  // notifier then goes while it is reporting, which the toolkit allows.
  void Remove() {
    if (!Ignoring)
      for (std::size_t i = 0; i < std::size(EndSignals); ++i)
        if (!Skipped[i]) ::sigaction(EndSignals[i], &Saved[i], nullptr);
    SignalWriteFd = -1;
    delete Notifier;
    Notifier = nullptr;
    ::close(ReadFd);
    ::close(WriteFd);
    ReadFd = WriteFd = -1;
  }

  void Dispatch() {
    // Everything waiting is read first: a callback may release the pipe.
    unsigned char buf[64];
    ssize_t got;
    while ((got = ::read(ReadFd, buf, sizeof buf)) < 0 && errno == EINTR) {
    }
    for (ssize_t i = 0; i < got && !Watches.empty(); ++i) {
      const TEndSignalWatch::TOnSignal onSignal = Watches.back()->FOnSignal;
      if (onSignal) onSignal(buf[i]);
    }
  }
};

TEndSignalWatch::TEndSignalWatch(TOnSignal onSignal) : FOnSignal(std::move(onSignal)) {
  const QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() != app->thread()) return;
  TEndSignalState& s = TEndSignalState::Get();
  if (s.Watches.empty() && !s.Install()) return;
  s.Watches.push_back(this);
  FWatching = true;
}

TEndSignalWatch::~TEndSignalWatch() {
  if (!FWatching) return;
  TEndSignalState& s = TEndSignalState::Get();
  s.Watches.erase(std::remove(s.Watches.begin(), s.Watches.end(), this), s.Watches.end());
  if (s.Watches.empty()) s.Remove();
}

void TEndSignalWatch::IgnoreEndSignals() {
  TEndSignalState& s = TEndSignalState::Get();
  s.Ignoring = true;
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  for (int sig : EndSignals) ::sigaction(sig, &sa, nullptr);
}

// Fatal signals on Linux: sigaction with SA_SIGINFO on an alternate stack
// (sigaltstack), the interrupted instruction from the signal's ucontext,
// alarm() for the report's bound.
#include "platform/FatalSignal.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <iterator>

namespace {

constexpr int FatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr std::size_t SignalCount = std::size(FatalSignals);

// The installation, written by Install and Remove (and by the handler when
// it puts the old dispositions back).
struct sigaction Saved[SignalCount];
std::atomic<bool> Installed{false};
std::atomic<TFatalSignalReport> ReportFunction{nullptr};
std::atomic<unsigned> BoundSeconds{10};

// The report in progress: the thread that makes it (0: none yet), its
// signal, and whether it is over.
std::atomic<pid_t> ReportingThread{0};
std::atomic<int> ReportingSignal{0};
std::atomic<bool> ReportDone{false};
struct sigaction SavedAlarm;
unsigned SavedAlarmSeconds = 0;
// Static rather than on the handler's stack: one report runs at a time.
TFatalSignalInfo Info;
TCodeFrame Captured[FatalSignalMaxFrames + 16];

pid_t ThreadId() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGFPE:
      return "SIGFPE";
    case SIGILL:
      return "SIGILL";
    case SIGABRT:
      return "SIGABRT";
    default:
      return "";
  }
}

// The only part that depends on the processor: where the context keeps the
// instruction pointer.
std::uintptr_t InstructionPointer(const void* rawContext) {
  const auto* context = static_cast<const ucontext_t*>(rawContext);
  if (!context) return 0;
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(context->uc_mcontext.pc);
#else
  return 0;
#endif
}

bool IsOurHandler(const struct sigaction& Action);

// Puts back the dispositions kept at installation where ours is still set.
void RestoreDispositions() {
  for (std::size_t i = 0; i < SignalCount; ++i) {
    struct sigaction current {};
    if (::sigaction(FatalSignals[i], nullptr, &current) == 0 && IsOurHandler(current))
      ::sigaction(FatalSignals[i], &Saved[i], nullptr);
  }
  Installed.store(false);
}

// Default disposition, unblocked, raised: the five signals end the process.
[[noreturn]] void EndBySignal(int signal) {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  ::sigaction(signal, &byDefault, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);  // not reached: the default action ends the process
}

extern "C" void OnReportTimeout(int) {
  const int signal = ReportingSignal.load();
  EndBySignal(signal != 0 ? signal : SIGABRT);
}

// SIGALRM ends the process after the bound, on whichever thread takes it;
// the reporting thread unblocks it so that at least one does.
void ArmBound() {
  struct sigaction timeout {};
  timeout.sa_handler = OnReportTimeout;
  sigemptyset(&timeout.sa_mask);
  timeout.sa_flags = SA_ONSTACK;
  ::sigaction(SIGALRM, &timeout, &SavedAlarm);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGALRM);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  SavedAlarmSeconds = ::alarm(std::max(1u, BoundSeconds.load()));
}

void DisarmBound() {
  ::alarm(0);
  ::sigaction(SIGALRM, &SavedAlarm, nullptr);
  // A program's own alarm keeps its time, give or take the report's.
  if (SavedAlarmSeconds != 0) ::alarm(SavedAlarmSeconds);
}

void Describe(int signal, const siginfo_t* sigInfo, const void* context) {
  Info.Signal = signal;
  Info.Name = SignalName(signal);
  Info.Code = sigInfo ? sigInfo->si_code : SI_USER;
  Info.Sent = Info.Code <= 0;
  Info.SenderPid = Info.Sent && sigInfo ? sigInfo->si_pid : 0;
  Info.FaultAddress = !Info.Sent && sigInfo ? reinterpret_cast<std::uintptr_t>(sigInfo->si_addr) : 0;

  // The capture starts in this handler; the unwinder passes through the
  // signal frame into the interrupted code, whose frame it marks.
  const std::uintptr_t ip = InstructionPointer(context);
  const std::size_t count = CaptureStack(Captured, std::size(Captured), 0);
  std::size_t first = count;
  for (std::size_t i = 0; i < count && first == count; ++i)
    if (Captured[i].Interrupted && (ip == 0 || Captured[i].Address == ip)) first = i;
  Info.FrameCount = 0;
  if (first < count) {
    Info.FrameCount = std::min(count - first, FatalSignalMaxFrames);
    std::copy_n(Captured + first, Info.FrameCount, Info.Frames);
  } else if (ip != 0) {
    // The unwinder did not reach the interrupted code: its instruction alone.
    Info.Frames[0] = TCodeFrame{ip, 0, true};
    Info.FrameCount = 1;
  }
  Info.InstructionAddress = ip != 0 ? ip : Info.FrameCount > 0 ? Info.Frames[0].Address : 0;
}

// The signal's course once the old dispositions are back.
void TakeCourse(int signal, const siginfo_t* sigInfo) {
  // A processor's fault happens again when the instruction runs again.
  if (signal != SIGABRT && sigInfo && sigInfo->si_code > 0) return;
  ::raise(signal);
}

extern "C" void OnFatalSignal(int signal, siginfo_t* sigInfo, void* context) {
  const int savedErrno = errno;
  const pid_t self = ThreadId();
  pid_t reporter = 0;
  if (!ReportingThread.compare_exchange_strong(reporter, self)) {
    // A fault of the report itself (SA_NODEFER lets it in here): the
    // process ends by the signal being reported.
    if (reporter == self) {
      const int first = ReportingSignal.load();
      EndBySignal(first != 0 ? first : signal);
    }
    // Another thread reports; the bound limits the wait.
    while (!ReportDone.load()) {
      const timespec pause{0, 10 * 1000 * 1000};
      ::nanosleep(&pause, nullptr);
    }
    TakeCourse(signal, sigInfo);
    errno = savedErrno;
    return;
  }
  ReportingSignal.store(signal);
  ArmBound();
  Describe(signal, sigInfo, context);
  // Allocates, takes locks, writes files: a best effort, which the bound
  // and the rule for a second fault keep from hanging the process.
  if (const TFatalSignalReport report = ReportFunction.load()) report(Info);
  DisarmBound();
  RestoreDispositions();
  ReportDone.store(true);
  TakeCourse(signal, sigInfo);
  errno = savedErrno;
}

bool IsOurHandler(const struct sigaction& Action) {
  return (Action.sa_flags & SA_SIGINFO) != 0 && Action.sa_sigaction == OnFatalSignal;
}

// The alternate stack this service gave the thread; unmapped when the
// thread ends (and no longer in use as its alternate stack then).
struct TAltStack {
  void* Mapping = nullptr;
  std::size_t MappingSize = 0;
  void* Stack = nullptr;

  ~TAltStack() {
    if (!Mapping) return;
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == Stack) {
      if (current.ss_flags & SS_ONSTACK) return;  // in use: kept
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      ::sigaltstack(&off, nullptr);
    }
    ::munmap(Mapping, MappingSize);
  }
};
thread_local TAltStack AltStack;

}  // namespace

bool GiveThreadAlternateSignalStack() {
  stack_t current{};
  if (::sigaltstack(nullptr, &current) != 0) return false;
  if (!(current.ss_flags & SS_DISABLE) && current.ss_size >= FatalSignalStackSize) return true;
  if (current.ss_flags & SS_ONSTACK) return false;  // running on the smaller one now
  if (AltStack.Mapping) return false;               // ours was replaced by a smaller one: leave it
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  const std::size_t guard = pageSize > 0 ? static_cast<std::size_t>(pageSize) : 4096;
  const std::size_t size = guard + FatalSignalStackSize;
  void* mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return false;
  // Stacks grow downward: the guard page lies below.
  if (::mprotect(mapping, guard, PROT_NONE) != 0) {
    ::munmap(mapping, size);
    return false;
  }
  stack_t stack{};
  stack.ss_sp = static_cast<char*>(mapping) + guard;
  stack.ss_size = FatalSignalStackSize;
  if (::sigaltstack(&stack, nullptr) != 0) {
    ::munmap(mapping, size);
    return false;
  }
  AltStack.Mapping = mapping;
  AltStack.MappingSize = size;
  AltStack.Stack = stack.ss_sp;
  return true;
}

bool InstallFatalSignalHandler(TFatalSignalReport report, unsigned bound) {
  ReportFunction.store(report);
  BoundSeconds.store(bound);
  GiveThreadAlternateSignalStack();  // without one, everything but an overflow is still reported
  if (Installed.load()) return true;
  ReportingThread.store(0);
  ReportingSignal.store(0);
  ReportDone.store(false);
  struct sigaction handler {};
  handler.sa_sigaction = OnFatalSignal;
  // Nothing blocked, not even the signal itself: a fault inside the report
  // comes back here and ends the process instead of being forced through
  // with its own number.
  sigemptyset(&handler.sa_mask);
  handler.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  for (std::size_t i = 0; i < SignalCount; ++i) {
    if (::sigaction(FatalSignals[i], &handler, &Saved[i]) != 0) {
      while (i-- > 0) ::sigaction(FatalSignals[i], &Saved[i], nullptr);
      return false;
    }
  }
  Installed.store(true);
  return true;
}

void RemoveFatalSignalHandler() {
  if (!Installed.load()) return;
  RestoreDispositions();
}

std::string FatalSignalDescription(const TFatalSignalInfo& info) {
  const char* what = "Fatal signal";
  switch (info.Signal) {
    case SIGSEGV:
      what = "Segmentation fault";
      break;
    case SIGBUS:
      what = "Bus error";
      break;
    case SIGFPE:
      what = "Floating-point exception";
      break;
    case SIGILL:
      what = "Illegal instruction";
      break;
    case SIGABRT:
      what = "Aborted";
      break;
    default:
      break;
  }
  const char* kind = nullptr;
  if (!info.Sent) {
    switch (info.Signal) {
      case SIGSEGV:
        kind = info.Code == SEGV_MAPERR   ? "address not mapped to object"
               : info.Code == SEGV_ACCERR ? "invalid permissions for mapped object"
               : info.Code == SI_KERNEL   ? "general protection fault"
                                          : nullptr;
        break;
      case SIGBUS:
        kind = info.Code == BUS_ADRALN   ? "invalid address alignment"
               : info.Code == BUS_ADRERR ? "nonexistent physical address"
               : info.Code == BUS_OBJERR ? "object-specific hardware error"
                                         : nullptr;
        break;
      case SIGFPE:
        kind = info.Code == FPE_INTDIV   ? "integer divide by zero"
               : info.Code == FPE_INTOVF ? "integer overflow"
               : info.Code == FPE_FLTDIV ? "floating-point divide by zero"
               : info.Code == FPE_FLTOVF ? "floating-point overflow"
               : info.Code == FPE_FLTUND ? "floating-point underflow"
               : info.Code == FPE_FLTRES ? "floating-point inexact result"
               : info.Code == FPE_FLTINV ? "floating-point invalid operation"
               : info.Code == FPE_FLTSUB ? "subscript out of range"
                                         : nullptr;
        break;
      case SIGILL:
        kind = info.Code == ILL_ILLOPC   ? "illegal opcode"
               : info.Code == ILL_ILLOPN ? "illegal operand"
               : info.Code == ILL_ILLADR ? "illegal addressing mode"
               : info.Code == ILL_ILLTRP ? "illegal trap"
               : info.Code == ILL_PRVOPC ? "privileged opcode"
               : info.Code == ILL_PRVREG ? "privileged register"
               : info.Code == ILL_COPROC ? "coprocessor error"
               : info.Code == ILL_BADSTK ? "internal stack error"
                                         : nullptr;
        break;
      default:
        break;
    }
  }
  std::string text = what;
  char detail[64];
  if (info.Sent) {
    if (info.SenderPid == ::getpid())
      text += " (sent by this process)";
    else
      text += " (sent by process " + std::to_string(info.SenderPid) + ")";
  } else if (kind) {
    text += std::string(" (") + kind + ")";
  } else {
    text += " (code " + std::to_string(info.Code) + ")";
  }
  if (!info.Sent && (info.Signal == SIGSEGV || info.Signal == SIGBUS)) {
    std::snprintf(detail, sizeof detail, " at 0x%0*" PRIXPTR, static_cast<int>(2 * sizeof(std::uintptr_t)),
                  info.FaultAddress);
    text += detail;
  }
  return text;
}

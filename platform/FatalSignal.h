#pragma once
// Reports of crashes that are no C++ exception: the signals by which the
// system ends a process for a fault of its own code (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL) and the abort (SIGABRT, which abort() raises, and so
// std::terminate for an exception that nobody catches).
//
// InstallFatalSignalHandler puts one handler on these five signals. When one
// of them arrives, the handler, on the thread that received it,
//   1. captures the stack from the interrupted instruction outward;
//   2. calls the installer's report function with it and the signal's facts;
//   3. puts back the dispositions the five signals had when the handler was
//      installed, and lets the signal take its course as it would have
//      without the handler:
//      - a fault the processor raised (SIGSEGV, SIGBUS, SIGFPE, SIGILL with
//        a kernel code): the handler returns, the instruction runs again and
//        faults again, now under the old disposition. With the default the
//        process ends by the signal, with its core dump taken at the fault;
//        a handler the program had installed before runs as it would have;
//      - the abort, or any of the five sent by a process (kill, raise): the
//        signal is raised again for the old disposition.
//      A handler thus reports one crash: after it, the old dispositions stay.
//
// Nothing the handler does may keep the process alive:
//   - the report is bounded: when it has not returned after the bound given
//     at installation (SIGALRM through alarm(), taken by this service for
//     the time of the report; the reporting thread unblocks it), the process
//     ends by the signal being reported;
//   - a second of the five signals on the reporting thread while it reports
//     (the report itself faulted or aborted) ends the process at once by the
//     signal being reported;
//   - one of the five on another thread while a report runs waits for that
//     report (and so at most for the bound), then takes its course as above.
// "Ends the process by the signal": its disposition is set to the default,
// it is unblocked and raised, so the exit status a shell sees and the core
// dump are those of the signal.
//
// The report function runs inside the signal handler and may do what no
// signal handler should: allocate, take locks, write files. The interrupted
// code may hold a lock the report needs (the allocator's, say), and its
// data may be damaged. The two rules above make that a best effort that
// cannot hang: at worst the report is missing and the process ends by its
// signal after the bound.
//
// Alternate stacks: a thread whose stack overflowed has no room left for a
// signal handler. The handler therefore runs on the thread's alternate
// signal stack. InstallFatalSignalHandler gives the calling thread one
// (GiveThreadAlternateSignalStack); other threads get one only when they
// call that function themselves. A thread without one still reports every
// other crash on its own stack; a stack overflow there cannot start the
// handler, and the process ends by SIGSEGV without a report.
//
// Threads: Install and Remove are called from one thread at a time (the
// GUI thread); the handler runs on whichever thread received the signal.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/CodeAddress.h"

// Frames of the crashing stack a report receives at most (the innermost).
inline constexpr std::size_t FatalSignalMaxFrames = 128;
// The size of an alternate signal stack this service allocates.
inline constexpr std::size_t FatalSignalStackSize = 256 * 1024;

struct TFatalSignalInfo {
  int Signal = 0;
  // "SIGSEGV", "SIGBUS", "SIGFPE", "SIGILL" or "SIGABRT".
  const char* Name = "";
  // The signal's code (si_code): what fault it was, or who sent it.
  int Code = 0;
  // Sent by a process (kill, raise, abort) rather than raised by a fault.
  bool Sent = false;
  // The sender's process id when Sent.
  int SenderPid = 0;
  // The memory address whose access faulted (SIGSEGV, SIGBUS) or the
  // faulting instruction (SIGFPE, SIGILL); 0 when Sent.
  std::uintptr_t FaultAddress = 0;
  // The interrupted instruction, read from the signal's context (the first
  // frame's address when the context cannot be read on this processor).
  std::uintptr_t InstructionAddress = 0;
  // The stack from the interrupted instruction outward: Frames[0] is that
  // instruction (Interrupted true), the others are return addresses.
  TCodeFrame Frames[FatalSignalMaxFrames] = {};
  std::size_t FrameCount = 0;
};

// Called inside the signal handler; see above for what it may do.
using TFatalSignalReport = void (*)(const TFatalSignalInfo& Info);

// Installs the handler for the five signals, keeping their dispositions,
// with `report` and a bound of `boundSeconds` (at least 1) for each report,
// and gives the calling thread an alternate stack. Installed already: only
// the report and the bound change. False when a disposition could not be set
// (those set are put back).
bool InstallFatalSignalHandler(TFatalSignalReport report, unsigned boundSeconds);
// Puts back the dispositions kept at installation, for each signal whose
// handler is still this one (a handler the program installed later stays).
// Nothing when not installed.
void RemoveFatalSignalHandler();

// Gives the calling thread an alternate signal stack of
// FatalSignalStackSize bytes (with an inaccessible page below it, so that
// a handler that overflows it faults rather than writing over other
// memory), unless it has one of at least that size. The stack stays until
// the thread ends. False when none could be set.
bool GiveThreadAlternateSignalStack();

// What happened, in one line: the signal's description, the fault's kind
// in parentheses and, for SIGSEGV and SIGBUS, the memory address:
//   "Segmentation fault (address not mapped to object) at 0x0000000000000000"
//   "Bus error (nonexistent physical address) at 0x00007F3A5C200000"
//   "Floating-point exception (integer divide by zero)"
//   "Illegal instruction (illegal operand)"
//   "Aborted (sent by this process)"
// A sent signal says "sent by this process" or "sent by process <pid>"; an
// unknown code "code <n>". Addresses at the pointer's full width.
std::string FatalSignalDescription(const TFatalSignalInfo& info);

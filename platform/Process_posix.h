#pragma once
// The Linux implementation of the process services (Process.h). Callers use
// the service through CurrentProcessServices(); this header is for the
// platform's own sources and for tests that check the Linux side itself.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Process.h"

// Priority classes on Linux, per thread of the process (the kernel keeps a
// nice value and a scheduling policy per thread; threads started later
// inherit the creating thread's):
//   pcRealTime  nice -20: the strongest level of the ordinary scheduler.
//               A real-time policy (SCHED_FIFO) is not used: a busy GUI
//               thread under it can freeze the whole desktop.
//   pcHigh      nice -10
//   pcNormal    nice 0
//   pcIdle      nice 19
//   Setting a class also returns a thread with another policy to the
//   ordinary one (SCHED_OTHER). Raising the priority (a lower nice value)
//   needs the privilege to do so (CAP_SYS_NICE, or RLIMIT_NICE allowing
//   it); without it the call fails with EACCES and nothing changes.
// Reading back looks at the calling thread: SCHED_FIFO or SCHED_RR reads as
// pcRealTime and SCHED_IDLE as pcIdle; otherwise nice -20, -10, 0 and 19
// read as the four classes above, any other negative value as
// pcAboveNormal and any other positive value as pcBelowNormal.
class TPosixProcessServices final : public TProcessServices {
 public:
  // The toolkit's path of the program while the toolkit runs; without it,
  // /proc/self/exe.
  std::string ExecutablePath() override;
  // /proc/self/cmdline after the first: every argument as the process
  // received it, the toolkit's own options (-style, -reverse, ...) included.
  std::vector<std::string> CommandLineParams() override;
  // TracerPid in /proc/self/status is not 0.
  bool BeingDebugged() override;
  // Window classes of the original desktop have no equivalent here: never.
  bool TopLevelWindowExists(const std::string& className) override;
  bool GetPriorityClass(std::uint32_t& priorityClass, int& error) override;
  bool SetPriorityClass(std::uint32_t priorityClass, int& error) override;
};

#pragma once
// The procedure trace, as a program uses it. A traced procedure calls
// EnterProc (or EnterProcParams) of the interceptor when it starts, LeaveProc
// when it ends and HandleException in its exception handler (IVEKDebug,
// diag/U_VEK_Debug.h, which carries the trace's stack and indent); the log
// gets an ENTER and a LEAVE line for it, indented by two blanks per procedure
// that has not ended yet. TVEKTraceScope does the three in one line.
//
// GUI thread only, like the interceptor.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "diag/U_VEK_TypedValue.h"

class TVEKDebug;

// One entry of the procedure trace: a procedure that has not ended yet.
struct TCallProcInfo {
  // "Unit::Public" of the procedure.
  std::string Location;
  // What HandleException does after the report (see IVEKDebug).
  std::uint8_t Action = 0;
  // HandleException's report shows the exception.
  bool ShowErrors = false;
};

// Traces the function that declares it, in one line:
//   TVEKTraceScope trace;                      // the location alone
//   TVEKTraceScope trace({Id, Name});          // with the values
//   TVEKTraceScope trace({}, 1, true);         // Action 1, errors shown
// The destructor calls LeaveProc, also when an exception leaves the
// function, unless HandleException popped the entry already. The location
// is the declaring function: the constructor is never inlined and takes its
// own return address. Never raises; starts the library (VEKDebugger) when
// it has not started yet.
class TVEKTraceScope {
 public:
  [[gnu::noinline]] TVEKTraceScope();
  [[gnu::noinline]] explicit TVEKTraceScope(const std::vector<TTypedValue>& Params, std::uint8_t Action = 0,
                                            bool ShowErrors = false);
  ~TVEKTraceScope();
  TVEKTraceScope(const TVEKTraceScope&) = delete;
  TVEKTraceScope& operator=(const TVEKTraceScope&) = delete;

 private:
  void Enter(std::uintptr_t ReturnAddress, const std::vector<TTypedValue>* Params, std::uint8_t Action,
             bool ShowErrors);
  TVEKDebug* FDebug = nullptr;
  // The trace stack's size with this entry on it; 0 when none was added.
  std::size_t FDepth = 0;
};

#include "diag/U_VEK_Trace.h"

#include "diag/U_VEK_Debug.h"

// The return address of the function this is expanded in, as a number.
#define VEK_RETURN_ADDRESS() \
  reinterpret_cast<std::uintptr_t>(__builtin_extract_return_addr(__builtin_return_address(0)))

TVEKTraceScope::TVEKTraceScope() {
  Enter(VEK_RETURN_ADDRESS(), nullptr, 0, false);
}

TVEKTraceScope::TVEKTraceScope(const std::vector<TTypedValue>& Params, std::uint8_t Action, bool ShowErrors) {
  Enter(VEK_RETURN_ADDRESS(), &Params, Action, ShowErrors);
}

void TVEKTraceScope::Enter(std::uintptr_t ReturnAddress, const std::vector<TTypedValue>* Params, std::uint8_t Action,
                           bool ShowErrors) {
  try {
    VEKDebugger();
  } catch (...) {
    // Without the library nothing is traced.
    return;
  }
  FDebug = VEKDebug;
  if (FDebug && FDebug->EnterProcAt(ReturnAddress, Params, Action, ShowErrors)) FDepth = FDebug->ProcStack->size();
}

TVEKTraceScope::~TVEKTraceScope() {
  // HandleException may have popped the entry already; an interceptor
  // released meanwhile (tests) is not touched.
  if (FDepth > 0 && FDebug == VEKDebug && FDebug->ProcStack->size() >= FDepth) FDebug->LeaveProc();
}

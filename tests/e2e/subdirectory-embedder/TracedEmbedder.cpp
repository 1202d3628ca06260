// A program whose only header of the library is diag/U_VEK_Debug.h: its
// traced procedures hand their arguments to the trace as they are, and the
// outer one reports the exception the inner one raises.
#include <string>

#include "diag/U_VEK_Debug.h"

[[gnu::noinline]] int ParseQuantity(int Line, const std::string& Text) {
  TVEKTraceScope trace({Line, Text});
  throw Exception("No quantity in line " + std::to_string(Line) + ": " + Text);  // the reported line
}

[[gnu::noinline]] int PriceOrder(int Line, const std::string& Text) {
  VEKDebugger()->EnterProcParams({Line, Text});
  try {
    const int quantity = ParseQuantity(Line, Text);
    VEKDebugger()->LeaveProc();
    return quantity;
  } catch (...) {
    if (VEKDebugger()->HandleException()) throw;
    return 0;
  }
}

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  VEKDebugger();  // log with /LOGFILE, interception with /DEBUG
  return PriceOrder(7, "seven pieces");
}

// The program block of the update wizard.
//
// "--help", "-h" and "--version" are answered on standard output before
// anything starts, without a window.
//
// Start-up: the application object first (the diagnostics library creates
// hidden windows), then the diagnostics library (the exception reporting's
// set-up, which starts the system and application information with the log
// file, then the system unit's own start-up), then the wizard window,
// whose creation reads the descriptors and ends the program when none is
// found, then the history window, then the message loop. Every way out (the
// window closed, no product found, the end of the desktop session, SIGTERM,
// SIGHUP or SIGINT) runs the same shut-down in reverse order: the wizard's
// product table, then the system and application information, whose log
// file writes its closing block and saves.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "app/F_History.h"
#include "app/F_Main.h"
#include "app/U_CommandLine.h"
#include "app/U_ReportServer.h"
#include "app/WizardLook.h"
#include "base/Shutdown.h"
#include "diag/U_VEK_Debug.h"
#include "diag/U_VEK_Files.h"
#include "diag/U_VEK_System.h"
#include "platform/Process.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"

int main(int argc, char** argv) {
  const std::vector<std::string> params(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (const auto status =
          AnswerInfoRequest(params, ExpandLongPath(CurrentProcessServices().ExecutablePath()), std::cout))
    return *status;

  TApplication app(argc, argv);
  try {
    // The log file with /LOGFILE, exception interception with /DEBUG; the
    // library's release is registered with the shut-down.
    VEKDebugger();
    // The maker's report collector, when one is named: "Send report" in the
    // exception dialog, crash reports offered at the next start.
    VEKDebugger()->SetReportServer(ReportServerAddress());
    // The system unit's own start-up finds both objects and changes nothing.
    InitVEKSystem();
  } catch (const std::exception& e) {
    // Start-up ends with the error of the diagnostics library; what it had
    // created is released.
    TMessageBox::Show(e.what(), app.Title(), TMsgIcon::Error);
    RunShutdown();
    return 1;
  }
  AddShutdownProc([] {
    Products = TProductTable();
    ProductCount = 0;
  });

  int exitCode = 0;
  fmMain = new TfmMain;
  if (!fmMain->NoProduct()) {
    fmHistory = new TfmHistory(fmMain);
    CentreOnScreen(fmMain);
    fmMain->show();
    exitCode = app.Run();
  }
  delete fmMain;
  RunShutdown();
  return exitCode;
}

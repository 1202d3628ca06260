// The program block of the update wizard.
#include "app/F_History.h"
#include "app/F_Main.h"
#include "app/WizardLook.h"
#include "runtime/Application.h"
#include "runtime/Shutdown.h"

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  int exitCode = 0;
  {
    fmMain = new TfmMain;
    if (!fmMain->NoProduct()) {
      fmHistory = new TfmHistory(fmMain);
      CentreOnScreen(fmMain);
      fmMain->show();
      exitCode = app.Run();
    }
    delete fmMain;
  }
  RunShutdown();
  return exitCode;
}

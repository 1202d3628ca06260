#include "diag/U_VEK_RaiseError.h"

#include <cstdio>

#include <QApplication>
#include <QCoreApplication>
#include <QThread>

#include "base/Exceptions.h"
#include "base/Shutdown.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "runtime/QtText.h"

TRaiseErrorLogHook RaiseErrorLogHook = nullptr;

namespace {

// A box needs the GUI application object and the GUI thread.
bool CanShowBox() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app && qobject_cast<const QApplication*>(app) && !QCoreApplication::closingDown() &&
         QThread::currentThread() == app->thread();
}

std::string AppTitle() {
  if (Application) return Application->Title();
  if (QCoreApplication::instance()) return FromQString(QCoreApplication::applicationName());
  return {};
}

}  // namespace

void RaiseError(const std::string& Msg, bool StopApplication, TVEKStopMode StopMode) {
  if (RaiseErrorLogHook) {
    try {
      RaiseErrorLogHook(Msg);
    } catch (...) {
      // The box below still tells the user.
    }
  }
  if (CanShowBox()) {
    if (Application) Application->BringToFront();
    TMessageBox::Show(Msg, AppTitle(), TMsgIcon::Error);
  } else {
    std::string line = AppTitle();
    if (!line.empty()) line += ": ";
    line += Msg;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  if (StopApplication) {
    switch (StopMode) {
      case smTerminate:
        if (Application)
          Application->Terminate();
        else
          QCoreApplication::exit(0);
        break;
      case smHalt:
        Halt(0);
    }
  }
  Abort();
}

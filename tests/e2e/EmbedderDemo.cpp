// A program that embeds the diagnostics library as its documentation shows:
// the program block is the documented one, the window has two buttons whose
// handlers fail, one with an error, one with the silent abort. The
// end-to-end tests run it on a virtual display.
#include <QPushButton>
#include <QWidget>

#include "diag/U_VEK_Debug.h"
#include "runtime/Application.h"
#include "runtime/Exceptions.h"
#include "runtime/Shutdown.h"

class TfmDemo : public QWidget {
 public:
  TfmDemo() {
    setObjectName(QStringLiteral("fmDemo"));
    setWindowTitle(QStringLiteral("Embedder Demo"));
    setFixedSize(240, 100);
    btnRaise = AddButton("btnRaise", "Raise", 10, &TfmDemo::btnRaiseClick);
    btnAbort = AddButton("btnAbort", "Abort", 50, &TfmDemo::btnAbortClick);
  }

  QPushButton* btnRaise;
  QPushButton* btnAbort;

  void btnRaiseClick();
  void btnAbortClick();

 private:
  // Handlers run guarded, as the library's own forms run theirs: what
  // escapes them goes to the application's exception handling.
  QPushButton* AddButton(const char* name, const char* caption, int top, void (TfmDemo::*handler)()) {
    auto* button = new QPushButton(QString::fromLatin1(caption), this);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(20, top, 200, 30);
    connect(button, &QPushButton::clicked, this,
            [this, handler] { Application->Guard([this, handler] { (this->*handler)(); }); });
    return button;
  }
};

// Kept out of line so that the report names this function, not its caller.
__attribute__((noinline)) void TfmDemo::btnRaiseClick() {
  throw Exception("The demo's button failed.\r\nIts second line.");  // the reported line
}

__attribute__((noinline)) void TfmDemo::btnAbortClick() {
  Abort();
}

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  VEKDebugger();  // log with /LOGFILE, interception with /DEBUG
  TfmDemo fmDemo;
  fmDemo.show();
  const int code = app.Run();
  RunShutdown();  // releases the library; the log gets its closing block
  return code;
}

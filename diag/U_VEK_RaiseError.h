#pragma once
// The library's error stop, RaiseError: the message in the log and in a box,
// the application stopped when asked, and the silent abort.
//
// GUI thread for the box; elsewhere the message goes to stderr.
#include <cstdint>
#include <string>

#include "base/Exceptions.h"  // EAbort, which RaiseError raises

// How RaiseError stops the application when asked to.
enum TVEKStopMode : std::uint8_t {
  smTerminate = 0,  // ask the GUI application to end after the current event
  smHalt = 1,       // end the process at once (exit code 0), after the shut-down
};

// 1. Hands Msg to RaiseErrorLogHook, when set (the log file's entry at level
//    "ERROR ", without a save request).
// 2. Brings the application to the foreground.
// 3. Shows a modal box: text Msg, the application's title as caption, error
//    icon, OK button.
// 4. When StopApplication: smTerminate asks the application to terminate
//    once the current event has been handled; smHalt ends the process at
//    once with exit code 0, running the units' shut-down.
// 5. Raises the silent abort (EAbort), in every case.
//
// Without a GUI application object, or off the GUI thread, no box can be
// shown: the text goes to stderr instead (steps 1, 4 and 5 stay the same).
[[noreturn]] void RaiseError(const std::string& Msg, bool StopApplication, TVEKStopMode StopMode);

// The log entry of RaiseError. Set by the owner of the application's log
// (diag/U_VEK_System.h) before the program starts; null until then. Whatever
// it throws is swallowed: a log that cannot be written must not hide the
// error box.
using TRaiseErrorLogHook = void (*)(const std::string& Msg);
extern TRaiseErrorLogHook RaiseErrorLogHook;

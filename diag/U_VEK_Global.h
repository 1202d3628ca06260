#pragma once
// Small routines shared by the whole diagnostics library and the wizard:
// the library's error stop (RaiseError), the release of owned objects
// (SafeFreeAndNil), handing a document to the desktop (ExecuteFile),
// indenting continuation lines (IndentText), CreateEmptyFile and
// ExpandLongPath.
//
// All routines run on the GUI thread.
#include <QObject>
#include <cstdint>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "runtime/Exceptions.h"

// How RaiseError stops the application when asked to.
enum TVEKStopMode : std::uint8_t {
  smTerminate = 0,  // ask the GUI application to end after the current event
  smHalt = 1,       // end the process at once (exit code 0), after the shut-down
};

// Index into VEKShellVerbs.
enum TVEKShellVerb : std::uint8_t {
  svDefault = 0,  // no verb: the desktop's default action for the document
  svOpen = 1,     // "open"
};

// The shell verbs; svDefault's entry is the empty text (no verb).
inline constexpr const char* VEKShellVerbs[] = {"", "open"};

// ---------------------------------------------------------------------------
// RaiseError: the library's error stop.
//
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

// The log entry of RaiseError. Set by the log file once it exists; null
// until then. Whatever it throws is swallowed: a log that cannot be written
// must not hide the error box.
using TRaiseErrorLogHook = void (*)(const std::string& Msg);
extern TRaiseErrorLogHook RaiseErrorLogHook;

// ---------------------------------------------------------------------------
// SafeFreeAndNil: releases the object a variable holds and sets the variable
// to null first. A destructor that throws (one declared noexcept(false)) is
// reported through RaiseError with
//   "Error on destroying objet [<description>] :\r\n\r\n<message>"
// (StopApplication false), whose silent abort then leaves SafeFreeAndNil;
// the object counts as freed and the variable is null. The description is
// "<objectName()>: <class name>" for a QObject and the class name alone for
// any other object ("<Unknown>" if it could not be built). A QObject's
// destructor is always noexcept (QObject's own is), so only other objects
// can fail this way; the message is Exception::Message(), what() of any
// other std::exception, or "Unknown error".
//
// A QObject that is already being destroyed (see IsBeingDestroyed) is left
// alone: the variable keeps its reference and nothing is freed.
template <class T>
void SafeFreeAndNil(T*& Obj);

// Marks a QObject as being destroyed. Destructors of the library's QObject
// classes call it first thing, so that a SafeFreeAndNil reached from their
// destruction does not free the object a second time. The mark lives in the
// object (a dynamic property) and goes with it.
void MarkBeingDestroyed(QObject* Obj);

// True when `Obj` carries the mark of MarkBeingDestroyed, or when it is the
// GUI application object and that object's destruction has begun.
bool IsBeingDestroyed(const QObject* Obj);

// The readable name of a type: demangled where the compiler mangles names.
std::string VEKClassName(const std::type_info& Type);

// The description SafeFreeAndNil puts in brackets: for a QObject (Component
// not null) its name, ": " and its meta-object class name, else the class
// name of `Type`. Returns false, leaving Description empty, when the QObject
// is being destroyed. An error while building it is swallowed and leaves the
// description as far as it got.
bool VEKDescribeForFree(const QObject* Component, const std::type_info& Type, std::string& Description);

// Raises the error of a failed destruction (see SafeFreeAndNil). Call only
// from inside a catch handler.
[[noreturn]] void VEKRaiseDestroyError(const std::string& Description);

// ---------------------------------------------------------------------------
// ExecuteFile: hands FileName (a path or a URL) to the desktop with the
// verb's action. Returns the shell's result (a value above 32) on success.
// On failure it calls RaiseError (StopApplication false) with a text naming
// the file, the parameters, the folder and the reason, so it never returns.
// The file-name part is everything after the last "\" or ":" of FileName,
// the folder part everything up to and including it (so a URL splits at its
// last colon). ShowCmd is the show-window command of the original platform.
int ExecuteFile(const std::string& FileName, TVEKShellVerb Verb, const std::string& Params,
                const std::string& Directory, std::uint16_t ShowCmd);

// The shell call ExecuteFile makes: ShellExecute of platform/Shell.h. Tests
// put a stand-in here.
using TShellExecuteProc = int (*)(const std::string& Verb, const std::string& File, const std::string& Params,
                                  const std::string& Directory, int ShowCmd);
extern TShellExecuteProc ShellExecuteProc;

// The reason ExecuteFile shows for a shell result up to 32.
std::string ShellErrorText(int Result);

// ---------------------------------------------------------------------------
// IndentText: puts FirstIndent copies of FillChar in front of S and
// NextIndent copies after every CR LF pair in it. A lone CR or LF is no line
// break; a zero or negative count gives no fill characters.
std::string IndentText(const std::string& S, int FirstIndent, int NextIndent, char FillChar);

// CreateEmptyFile: creates FileName with length zero, replacing an existing
// file's content. Raises EInOutError ("Cannot create file "<name>". <reason>")
// when that fails.
void CreateEmptyFile(const std::string& FileName);

// ExpandLongPath: spells every component of a full path as the file system
// stores it. A POSIX path ("/...") is looked up component by component in
// its folder; a drive-letter path ("C:\...") the same way with "\" as the
// separator. A component is taken as it is spelt when the folder holds it
// so; a name that differs only in letter case is taken only where the folder
// does not tell case apart (FolderIgnoresCaseProc), since elsewhere it is
// another file. Empty components (doubled or trailing separators) are
// dropped. From the first component that cannot be found on, the path stays
// as it was given. Any other path is returned unchanged. The result has no
// trailing separator (except for the root "/" itself).
std::string ExpandLongPath(const std::string& Path);

// Whether a folder looks names up without regard to case: FolderIgnoresCase
// of platform/DirEnum.h. Tests put a stand-in here.
using TFolderIgnoresCaseProc = bool (*)(const std::string& Folder);
extern TFolderIgnoresCaseProc FolderIgnoresCaseProc;

// ---------------------------------------------------------------------------

template <class T>
void SafeFreeAndNil(T*& Obj) {
  static_assert(sizeof(T) > 0, "SafeFreeAndNil needs the complete type");
  if (!Obj) return;
  using TPlain = std::remove_cv_t<T>;
  TPlain* obj = const_cast<TPlain*>(Obj);
  std::string description;
  try {
    const QObject* component = nullptr;
    const std::type_info* type = &typeid(TPlain);
    if constexpr (std::is_polymorphic_v<TPlain>) {
      component = dynamic_cast<const QObject*>(obj);
      type = &typeid(*obj);
    }
    if (!VEKDescribeForFree(component, *type, description)) return;
  } catch (...) {
    // The description stays as far as it got.
  }
  Obj = nullptr;
  try {
    delete obj;
  } catch (...) {
    VEKRaiseDestroyError(description);
  }
}

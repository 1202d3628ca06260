#pragma once
// Exception reporting, the design's unit U_VEK_Debug: TVEKDebug, the one
// exception interceptor of the process, reached through IVEKDebug from
// VEKDebugger(). Its parts are units of their own, included here, so that a
// program that includes this header has the whole unit:
//   - the map file reader, TVEKMapFile (diag/U_VEK_MapFile.h);
//   - the record of one exception, TVEKExceptionInfos, and its report text
//     (diag/U_VEK_ExceptionInfos.h);
//   - the procedure trace's entries and TVEKTraceScope (diag/U_VEK_Trace.h).
//
// While it is active the interceptor is the application's unhandled-
// exception event (TApplication::OnException): every exception that escapes
// an event handler, except the silent abort, becomes
//   1. a report written to the log at level "EXCEPT" (and saved at once),
//   2. the calls of the embedding program's events BeforeException,
//      OnException and AfterException,
//   3. the exception dialog (diag/F_VEK_Exception.h), which gets the record
//      the report was written from, or OnDisplayException.
//
// Where an exception was raised comes from the throw-site recorder of
// platform/ThrowSite.h: the code address of every C++ throw and, while
// interception is active, the raw return addresses of the throwing stack.
// The report resolves them through the map file (TVEKMapFile): the unit,
// line, class and function of the throw statement, and a call stack from the
// throw site outward.
//
// While active it also reports crashes that are no C++ exception, through
// the fatal-signal handler of platform/FatalSignal.h: SIGSEGV, SIGBUS,
// SIGFPE, SIGILL and SIGABRT (std::terminate's abort for an exception that
// nobody catches), on whatever thread they happen. The handler writes an
// EXCEPT report in the same ten lines and saves the log at once
// (ProcessSignal); no event is called and no dialog shown, since the code
// that crashed cannot be trusted to go on. Then the process ends by the same
// signal, as it would have without the library.
//
// The same object carries the procedure trace (diag/U_VEK_Trace.h), whose
// depth indents the report.
//
// Everything else runs on the GUI thread; nothing is locked. A crash report
// from another thread reads the log and the map file without a lock: a best
// effort, like everything a signal handler does beyond the handful of calls
// that are safe there (see platform/FatalSignal.h for the bound that keeps
// it from hanging).
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <QObject>

#include "diag/U_VEK_ExceptionInfos.h"
#include "diag/U_VEK_MapFile.h"
#include "diag/U_VEK_ObjectInfos.h"
#include "diag/U_VEK_SafeFree.h"
#include "diag/U_VEK_Trace.h"
#include "diag/U_VEK_TypedValue.h"
#include "platform/FatalSignal.h"
#include "platform/ThrowSite.h"
#include "runtime/Application.h"

class TfmVEKException;

// The events of the interceptor. Sender is the object whose event handler
// let the exception escape (none when unknown), E the exception (none when
// the caller had none).
using TVEKExceptionEvent = std::function<void(QObject* Sender, const std::exception* E)>;
using TVEKBeforeExceptionEvent = std::function<void(QObject* Sender, const std::exception* E, bool& Continue)>;
using TVEKAfterExceptionEvent = std::function<void(QObject* Sender, const std::exception* E, bool Continue)>;

// The interceptor's programming interface, in this slot order. There is no
// reference counting: the object lives until the process ends, and the
// three basic interface operations do nothing.
class IVEKDebug {
 public:
  // 0 to 2: no other interface is offered and nothing is counted.
  virtual int QueryInterface(const void* IID, void** Obj) = 0;
  virtual int AddRef() = 0;
  virtual int Release() = 0;
  // 3
  virtual TVEKMapFile* GetMapFile() = 0;
  // 4: the calling thread's stack, one "Unit::Public" line per frame from
  // frame Skip on (frame 0 is GetCallStack itself), lines joined by CR LF;
  // only the first of them with OnlyOne. Empty when no frame can be read.
  virtual void GetCallStack(int Skip, bool OnlyOne, std::string& Text) = 0;
  // 5, 6
  virtual bool GetActive() = 0;
  virtual void SetActive(bool Value) = 0;
  // 7 to 14
  virtual void SetOnDisplayException(const TVEKExceptionEvent& Value) = 0;
  virtual TVEKExceptionEvent GetOnDisplayException() = 0;
  virtual void SetBeforeException(const TVEKBeforeExceptionEvent& Value) = 0;
  virtual TVEKBeforeExceptionEvent GetBeforeException() = 0;
  virtual void SetOnException(const TVEKExceptionEvent& Value) = 0;
  virtual TVEKExceptionEvent GetOnException() = 0;
  virtual void SetAfterException(const TVEKAfterExceptionEvent& Value) = 0;
  virtual TVEKAfterExceptionEvent GetAfterException() = 0;
  // 15
  virtual void GetExceptionInfos(QObject* Sender, const std::exception* E, TVEKExceptionInfos& Infos) = 0;
  // 16
  virtual void ProcessException(QObject* Sender, const std::exception* E, bool ShowFlag) = 0;
  // 17 to 20: the procedure trace.
  virtual void EnterProc(std::uint8_t Action, bool ShowErrors) = 0;
  // Action and ShowErrors fill the entry, as with EnterProc.
  virtual void EnterProcParams(const std::vector<TTypedValue>& Params, std::uint8_t Action = 0,
                               bool ShowErrors = false) = 0;
  virtual void LeaveProc() = 0;
  virtual bool HandleException() = 0;
  // 21, 22: the maker's report collector this program sends reports to, as
  // its base address ("http://reports.example.com:8471/"); empty (the
  // start): none. With one named, the exception dialog offers "Send
  // report", a crash is also kept as a pending report, and the pending
  // reports of earlier crashes are offered once the main window shows
  // (diag/F_VEK_SendReport.h). Nothing is sent without the user's click.
  virtual void SetReportServer(const std::string& Value) = 0;
  virtual std::string GetReportServer() = 0;

 protected:
  // Never deleted through the interface.
  ~IVEKDebug() = default;
};

class TVEKDebug : public IVEKDebug {
 public:
  // Creates the trace stack, the map file reader and the object describer,
  // and has the reader load the map file named after the executable
  // (MapFileNameFor), when it exists, the first time it is used
  // (TVEKMapFile::LoadWhenNeeded); a map that fails to load is ignored, and
  // so is a map whose header names another build than the running
  // executable (a stale map after a rebuild, another program's map). Not
  // active.
  TVEKDebug();
  // SetActive(false), then releases what it owns. Nothing in a program
  // calls it: the interceptor lives until the process ends.
  virtual ~TVEKDebug();
  TVEKDebug(const TVEKDebug&) = delete;
  TVEKDebug& operator=(const TVEKDebug&) = delete;

  int QueryInterface(const void* IID, void** Obj) override;
  int AddRef() override;
  int Release() override;
  TVEKMapFile* GetMapFile() override { return MapFile; }
  void GetCallStack(int Skip, bool OnlyOne, std::string& Text) override;
  bool GetActive() override { return FActive; }
  // Switching on keeps the application's exception event in
  // SavedOnException and installs ApplicationExceptionHandler in its place;
  // switching off puts the saved event back. The saved event is never
  // called meanwhile. Switching on also starts recording the throwing
  // stacks (platform/ThrowSite.h), switching off stops it. Switching on
  // installs the fatal-signal handler (ProcessSignal, with the bound
  // CrashReportSeconds) and gives the calling thread an alternate signal
  // stack; switching off puts the signals' previous dispositions back.
  void SetActive(bool Value) override;
  void SetOnDisplayException(const TVEKExceptionEvent& Value) override { OnDisplayException = Value; }
  TVEKExceptionEvent GetOnDisplayException() override { return OnDisplayException; }
  void SetBeforeException(const TVEKBeforeExceptionEvent& Value) override { BeforeException = Value; }
  TVEKBeforeExceptionEvent GetBeforeException() override { return BeforeException; }
  void SetOnException(const TVEKExceptionEvent& Value) override { OnException = Value; }
  TVEKExceptionEvent GetOnException() override { return OnException; }
  void SetAfterException(const TVEKAfterExceptionEvent& Value) override { AfterException = Value; }
  TVEKAfterExceptionEvent GetAfterException() override { return AfterException; }

  // Sets the 18 texts of Infos to "<Unknown>"; then, with E, fills them in
  // the record's order under one guard (a failure keeps what was filled).
  // The raise address is the throw site of the exception being handled now,
  // else 0. Unit, line, class and function are those of
  // the throw statement; CallStack lists the recorded throw-site frames from
  // the throw statement outward, or GetCallStack(0, false) when none were
  // recorded.
  void GetExceptionInfos(QObject* Sender, const std::exception* E, TVEKExceptionInfos& Infos) override;
  // The report, the events and the display, with every failure shown
  // through ShowAndLog (see the .cpp for the texts).
  void ProcessException(QObject* Sender, const std::exception* E, bool ShowFlag) override;

  // The procedure trace. The location of an entry is the "Unit::Public"
  // line of the code that called EnterProc or EnterProcParams, taken from
  // their own return address: the two are never inlined, so whatever the
  // library does inside them, the caller is the traced procedure.
  //   - EnterProc appends an entry with Action and ShowErrors, logs Indent
  //     blanks and the location at level ENTER, and adds 2 to Indent;
  //   - EnterProcParams does the same with the values appended to the
  //     logged line as " ( v1 , v2 )" (the location alone without values);
  //     Action and ShowErrors fill the entry as with EnterProc;
  //   - LeaveProc takes 2 from Indent, logs the innermost entry's location
  //     at level LEAVE and pops it; with no entry it changes nothing.
  // None of the three lets a failure escape: the steps after it are
  // skipped.
  [[gnu::noinline]] void EnterProc(std::uint8_t Action, bool ShowErrors) override;
  [[gnu::noinline]] void EnterProcParams(const std::vector<TTypedValue>& Params, std::uint8_t Action = 0,
                                         bool ShowErrors = false) override;
  void LeaveProc() override;
  // Called inside a catch block, for the exception being handled:
  //   1. an exception whose class is exactly EAbort pops the innermost
  //      entry (if any) and raises a new EAbort with the same message, so
  //      that nested traced procedures unwind silently;
  //   2. with no entry: the report (ProcessException without display),
  //      returns true;
  //   3. else the report with the innermost entry's ShowErrors, then by its
  //      Action: 0 pops it and returns false, 1 pops it and returns true,
  //      2 pops it and raises an EAbort with an empty message; any other
  //      value returns false and keeps the entry.
  // An exception that is no std::exception is reported as the application
  // reports one (EUnknownException); called outside a handler, the report
  // has no exception.
  bool HandleException() override;
  void SetReportServer(const std::string& Value) override;
  std::string GetReportServer() override;
  // EnterProc and EnterProcParams for a caller whose return address is
  // ReturnAddress (Params may be null: no values). True when the entry was
  // appended.
  bool EnterProcAt(std::uintptr_t ReturnAddress, const std::vector<TTypedValue>* Params, std::uint8_t Action,
                   bool ShowErrors);

  // The application's exception event while active: the silent abort
  // (EAbort and its descendants) is passed over, anything else goes to
  // ProcessException(Sender, E, true).
  void ApplicationExceptionHandler(QObject* Sender, const std::exception& E);
  // The display step: OnException, then OnDisplayException or the dialog
  // with Infos, the record the report was written from (RaiseError while
  // the application object is being destroyed).
  void DisplayException(QObject* Sender, const std::exception* E, const TVEKExceptionInfos& Infos);

  // The ten lines of the report for Infos, indented by Indent
  // (VEKReportText).
  std::string ReportText(const TVEKExceptionInfos& Infos) const;

  // The record for a fatal signal, filled as GetExceptionInfos fills it for
  // an exception, with these differences:
  //   - ExceptionType is the signal's name and "( Fatal signal )", as in
  //     "SIGSEGV ( Fatal signal )" (ExceptionClass "SIGSEGV", ExceptionParent
  //     "Fatal signal"); there is no ExceptionObject;
  //   - Message is FatalSignalDescription's line ("Segmentation fault
  //     (address not mapped to object) at 0x0000000000000000"); for SIGABRT
  //     on a thread that is handling an exception (std::terminate's abort
  //     for one that nobody caught), a second line names it:
  //     "Exception being handled : <class> ( <parent> ) : <message>";
  //   - Address is the interrupted instruction; unit, line, class and
  //     function are those of that instruction itself, and CallStack runs
  //     from it outward; for SIGABRT while an exception is being handled,
  //     Address, unit, line, class and function are those of that
  //     exception's throw site instead (the abort itself is a function of
  //     the C library), the call stack stays the signal's;
  //   - SenderClass and SenderName are "<N/A>".
  void GetSignalInfos(const TFatalSignalInfo& Signal, TVEKExceptionInfos& Infos);
  // The fatal-signal handler's report: GetSignalInfos, the ten lines
  // indented by Indent, kept as a pending report when the program names a
  // report collector (U_VEK_PendingReports.h), written at level EXCEPT and
  // saved at once. Never raises.
  void ProcessSignal(const TFatalSignalInfo& Signal);
  // How long a crash report may take, in seconds, before the process ends
  // by its signal without it; read when interception is switched on.
  unsigned CrashReportSeconds = 10;

  // The map file of an executable: its path with the extension replaced by
  // ".map" (appended when the file name has none).
  static std::string MapFileNameFor(const std::string& ExeName);

  TApplication::TExceptionEvent SavedOnException;
  TVEKObjectInfos* ObjectInfos = nullptr;
  std::vector<TCallProcInfo>* ProcStack = nullptr;
  std::int32_t Indent = 0;
  TVEKMapFile* MapFile = nullptr;
  TVEKExceptionEvent OnDisplayException;
  TVEKBeforeExceptionEvent BeforeException;
  TVEKExceptionEvent OnException;
  TVEKAfterExceptionEvent AfterException;

 private:
  // Whether a code address has a location: not one of the executable while
  // no map is loaded.
  bool HasLocation(std::uintptr_t Address);
  // Resolves a code address into MapFile's results; false when it has no
  // location.
  bool Locate(std::uintptr_t CallAddress);
  // "Unit::Public" of a code address, "<Unknown>::<Unknown>" without one.
  std::string FrameLine(std::uintptr_t CallAddress);
  // The call stack's lines, one FrameLine per call address, innermost first,
  // up to the first lookup that fails.
  std::string StackText(const std::vector<std::uintptr_t>& CallAddresses);
  // The unit, line, class and function of a code address, when it has a
  // location (GetExceptionInfos' step shared with GetSignalInfos).
  void FillLocation(TVEKExceptionInfos& Infos, std::uintptr_t CodeAddress);
  std::string HandledExceptionText();

  bool FActive = false;
};

// The interceptor, after the unit's set-up on first use:
//   1. InitVEKSystem (the system and application information, the log file
//      switched on with "/LOGFILE"); the library's shut-down is registered
//      with RunShutdown;
//   2. the switch: "/DEBUG" on the command line switches interception on,
//      "/NODEBUG" off, "/DEBUG" winning when both are given; no switch: off;
//   3. the interceptor is created (its map file is read when first needed)
//      and SetActive is called with the switch; the library's shut-down
//      removes the fatal-signal handler before it releases the log.
// An error on the way is raised again: the program's start-up fails. Needs
// the GUI application object.
IVEKDebug* VEKDebugger();

// The unit's set-up (above); does nothing once the singleton exists.
void InitVEKDebug();

// The exception dialog for (Sender, E), filled from GetExceptionInfos of
// the interceptor (VEKDebugger): ShowExceptionDialog of
// diag/F_VEK_Exception.h with that record, DialogClass as there.
void ShowExceptionDialog(TfmVEKException* (*DialogClass)(), QObject* Sender, const std::exception* E);

// The singleton, or null before VEKDebugger first ran. Tests may release
// it (SafeFreeAndNil) to run the set-up again.
extern TVEKDebug* VEKDebug;

// The interception switch: false inside the development environment;
// otherwise true when Params holds "/DEBUG", false when it holds "/NODEBUG",
// else Current. Params are upper-cased already.
bool VEKDebugSwitch(bool InsideIDE, const std::vector<std::string>& Params, bool Current);

#pragma once
// Exception reporting: where a code address of the program lies
// (TVEKMapFile), and the exception interceptor that reports with it
// (TVEKDebug, in the second part of this header).
//
// TVEKMapFile turns a code address into three texts, the unit (module)
// that holds it, the public symbol that contains it and the source line,
// and walks the calling thread's stack one frame at a time, resolving each
// frame the same way.
//
// Addresses inside the executable are resolved through its map file, the
// text file that lies beside it with the extension ".map". The map is kept
// as its lines; every lookup reads fixed character columns of the stored
// lines in a linear scan (see the layout below). Addresses inside a shared
// library (the toolkit, the C library) are not in the map: they resolve to
// the library's file name as the unit and to the nearest symbol it exports,
// in the "Class.method" form, as the public; their line is "<Unknown>". An
// address in no module resolves to "<Unknown>" throughout.
//
// The map file's layout, as this reader takes it (columns count from 1; a
// hexadecimal field is 8 characters, read as a 32-bit signed number, so a
// value with the highest bit set is negative; a field that is cut short by
// the end of its line, or is not hexadecimal, fails to convert):
//   - the segment section, from the line holding "Detailed map of
//     segments" to the line before "  Address         Publics by Name":
//     start offset in columns 7-14, length in 16-23, the unit's name after
//     "M=" up to the second character before "ACBP=";
//   - the publics section, from "  Address         Publics by Value" to
//     the line before the first "Line numbers for ": the public's offset in
//     columns 7-14, its name from column 22 on;
//   - line-number blocks from there to the end of the file: a header line
//     naming the unit, one line that is skipped, then rows of up to four
//     20-character entries: the line number in the entry's columns 1-6, the
//     code offset in its columns 13-20.
// Offsets count from the start of the executable's ".text" section.
//
// One reader holds one walk and one set of results: one walk or lookup at a
// time, on one thread (the GUI thread). A walk reads the stack of the thread
// that calls FirstFrame.
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <QObject>

#include "diag/U_VEK_ObjectInfos.h"
#include "diag/U_VEK_SafeFree.h"
#include "diag/U_VEK_TypedValue.h"
#include "platform/CodeAddress.h"
#include "platform/FatalSignal.h"
#include "platform/PageMemory.h"
#include "platform/ThrowSite.h"
#include "runtime/Application.h"
#include "runtime/Exceptions.h"

// A map file that cannot be found or read as one. Carries only its message.
class EMapFileException : public Exception {
 public:
  using Exception::Exception;
};

class TVEKMapFile {
 public:
  // Frames a walk captures at most; a deeper stack is cut after the
  // innermost ones.
  static constexpr std::size_t MaxFrames = 256;

  TVEKMapFile();
  virtual ~TVEKMapFile();
  TVEKMapFile(const TVEKMapFile&) = delete;
  TVEKMapFile& operator=(const TVEKMapFile&) = delete;

  // The map file that was loaded last (an empty name does not change it).
  const std::string& FileName() const {
    LoadPending();
    return FFileName;
  }

  // Loads the map file Value:
  //   - Value equal to FileName (exact comparison): nothing happens at all;
  //   - Value not empty and no such file (or a folder): EMapFileException
  //     "Map File not found : <Value>.", the reader as it was;
  //   - otherwise the reader is emptied and not loaded; an empty Value stops
  //     there (FileName keeps the old name, so assigning that name again
  //     does nothing);
  //   - a file that cannot be read: the file error (EInOutError) propagates,
  //     the reader stays empty;
  //   - a file without the segment, publics-by-value or line-number marker,
  //     or whose segment marker is on its first line: EMapFileException
  //     "Invalid Map File : <Value>.", the reader stays empty, FileName as it
  //     was;
  //   - else the reader is loaded and FileName is Value.
  void SetFileName(const std::string& Value);

  // The load above with Text as the file's content instead of reading the
  // file Value: no comparison with FileName and no existence check. An
  // empty Value empties the reader like SetFileName("").
  void LoadFromText(const std::string& Value, const std::string& Text);

  // Loads the map file Value as SetFileName does, but only when the reader
  // is first used (FileName, Loaded, a lookup or a walk); a failure then
  // leaves the reader as a failed SetFileName does, without raising. The
  // interceptor is created at start-up and most runs never report an
  // exception: reading the map then would delay the program's window for
  // nothing. A SetFileName or LoadFromText before the first use replaces
  // the pending load.
  void LoadWhenNeeded(const std::string& Value);

  bool Loaded() const {
    LoadPending();
    return FLoaded;
  }

  // The identity of the executable a map was made from, as its header names
  // it in the line "Executable identity : <identity>" before the segment
  // section (see ElfIdentity in platform/CodeAddress.h); empty when Head,
  // the map's text or its beginning, names none. The reader itself takes a
  // map of any program; the interceptor takes the running program's map
  // only when it names this build or none.
  static std::string IdentityOf(std::string_view Head);

  // Resolves a code address of this process into UnitName, PublicName,
  // PublicOffset and LineNumber (see the header paragraph):
  //   - inside the executable: LookupOffset of its code offset; when the
  //     executable's .text address cannot be read, the results are
  //     "<Unknown>" (when a map is loaded) or stay as they were;
  //   - inside a shared library, whether a map is loaded or not: unit the
  //     library's file name without folder, public the nearest exported
  //     symbol demangled in "Class.method" form ("<Unknown>" when it exports
  //     none below the address), PublicOffset that symbol's link-time
  //     address (its offset from the library's load base, cut to 32 bits;
  //     0 without a symbol), line "<Unknown>";
  //   - in no module: "<Unknown>" everywhere, PublicOffset 0.
  // Raises EConvertError as LookupOffset does.
  void Lookup(std::uintptr_t Address);

  // Resolves a code offset of the executable through the map:
  //   1. not loaded: the results stay as they were;
  //   2. Offset equal to the last offset resolved, with no other lookup or
  //      load since: the results stay (nothing is scanned);
  //   3. else the unit search, the public search and the line search, in
  //      this order (the line search looks for the unit just found).
  // A segment whose start converts and is not above Offset but whose length
  // does not convert raises EConvertError out of the lookup (the offset then
  // counts as resolved, with the results as far as they got).
  void LookupOffset(std::uint32_t Offset);

  // Starts a walk of the calling thread's stack: frame 0 is the function
  // that called FirstFrame; ReturnAddress is the point inside it where
  // FirstFrame returns to, FramePointer that frame's stack address. The
  // frame is resolved through Lookup(ReturnAddress - 1), the call itself,
  // so that the line is the line of the call. Returns false when no frame
  // could be captured or when the public is "TlsLast" (in any case).
  // Never inlined: its own frame is the one the walk skips.
  [[gnu::noinline]] bool FirstFrame();
  // Steps the walk one frame outward and resolves it the same way. Returns
  // false, changing nothing, past the outermost frame or after MaxFrames
  // frames; false also when the public is "TlsLast".
  bool NextFrame();
  std::uintptr_t FramePointer() const { return FFramePointer; }
  std::uintptr_t ReturnAddress() const { return FReturnAddress; }

  // The code offset last resolved through the map (the cache key).
  std::uint32_t CurrentOffset() const { return FCurrentOffset; }

  const std::string& UnitName() const { return FUnitName; }
  const std::string& PublicName() const { return FPublicName; }
  std::int32_t PublicOffset() const { return FPublicOffset; }
  const std::string& LineNumber() const { return FLineNumber; }

 private:
  // Performs the load LoadWhenNeeded asked for, once.
  void LoadPending() const;
  // Lines First to End - 1 of the map file.
  struct TSection {
    std::size_t First = 0;
    std::size_t End = 0;
  };

  void Clear();
  void Load(const std::string& Value, TPageVector<char>&& Text);
  std::size_t LineCount() const { return FLines.empty() ? 0 : FLines.size() - 1; }
  std::string_view Line(std::size_t Index) const {
    const std::uint32_t line = FLines[Index];
    const std::uint32_t next = FLines[Index + 1];
    return std::string_view(FText.data() + (line >> 2), (next >> 2) - (line >> 2) - (line & 3));
  }
  void ResolveUnknown();
  void ResolveForeign(const TCodeModule& Module, std::uintptr_t Address);
  bool ResolveFrame();
  void FindUnit();
  void FindPublic();
  void FindLine();

  std::uintptr_t FFramePointer = 0;
  std::uintptr_t FReturnAddress = 0;
  std::string FFileName;
  bool FLoaded = false;
  mutable std::string FPending;  // the map LoadWhenNeeded named, not read yet
  // The map file's text as it was read, and its lines: for each the offset
  // in the text where it starts, shifted left by 2, with the length of its
  // line break (0, 1 or 2) in the 2 low bits; then one more entry whose
  // offset is the text's size. A line ends where the next one starts, less
  // its line break. Both lie in memory of their own (platform/PageMemory.h),
  // so that the first load of a process does not pay one page fault per
  // page. The three sections are ranges of these lines.
  TPageVector<char> FText;
  TPageVector<std::uint32_t> FLines;
  TSection FSegments;
  TSection FPublics;
  TSection FLineNumbers;
  std::uint32_t FCurrentOffset = 0;
  // The results belong to FCurrentOffset of the map loaded now.
  bool FCurrentValid = false;
  std::string FUnitName;
  std::string FPublicName;
  std::int32_t FPublicOffset = 0;
  std::string FLineNumber;

  // The walk: the frames captured by FirstFrame and the one resolved last.
  std::array<TCodeFrame, MaxFrames> FFrames{};
  std::size_t FFrameCount = 0;
  std::size_t FFrameIndex = 0;
};

// ===========================================================================
// Exception interception and report.
//
// TVEKDebug is the one exception interceptor of the process, reached through
// IVEKDebug from VEKDebugger(). While it is active it is the application's
// unhandled-exception event (TApplication::OnException): every exception
// that escapes an event handler, except the silent abort, becomes
//   1. a report written to the log at level "EXCEPT" (and saved at once),
//   2. the calls of the embedding program's events BeforeException,
//      OnException and AfterException,
//   3. the exception dialog (diag/F_VEK_Exception.h), or OnDisplayException.
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
// Everything else runs on the GUI thread; nothing is locked. A crash report
// from another thread reads the log and the map file without a lock: a best
// effort, like everything a signal handler does beyond the handful of calls
// that are safe there (see platform/FatalSignal.h for the bound that keeps
// it from hanging).

// The 19 texts that describe one exception. The caller owns the record;
// GetExceptionInfos fills it.
struct TVEKExceptionInfos {
  const std::exception* ExceptionObject = nullptr;
  std::string ExceptionClass;
  std::string ExceptionParent;
  std::string ExceptionType;
  std::string Message;
  std::string Address;
  std::string AppTitle;
  std::string AppPath;
  std::string AppVersion;
  std::string DateTime;
  std::string UserName;
  std::string ComputerName;
  std::string UnitName;
  std::string LineNumber;
  std::string ClassName;
  std::string FunctionName;
  std::string SenderClass;
  std::string SenderName;
  std::string CallStack;
};

// The events of the interceptor. Sender is the object whose event handler
// let the exception escape (none when unknown), E the exception (none when
// the caller had none).
using TVEKExceptionEvent = std::function<void(QObject* Sender, const std::exception* E)>;
using TVEKBeforeExceptionEvent = std::function<void(QObject* Sender, const std::exception* E, bool& Continue)>;
using TVEKAfterExceptionEvent = std::function<void(QObject* Sender, const std::exception* E, bool Continue)>;

// One entry of the procedure trace.
struct TCallProcInfo {
  std::string Location;
  std::uint8_t Action = 0;
  bool ShowErrors = false;
};

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
  // The raise address is the throw site of E when E is the exception being
  // handled now (or was when ProcessException began), else of the exception
  // being handled now, else 0. Unit, line, class and function are those of
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
  // (RaiseError while the application object is being destroyed).
  void DisplayException(QObject* Sender, const std::exception* E);

  // The ten lines of the report for Infos, indented by Indent.
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
  // indented by Indent, written at level EXCEPT and saved at once. Never
  // raises.
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
  // GetExceptionInfos' steps shared with GetSignalInfos.
  static void ResetInfos(TVEKExceptionInfos& Infos);
  void FillRunInfos(TVEKExceptionInfos& Infos);
  void FillLocation(TVEKExceptionInfos& Infos, std::uintptr_t CodeAddress);
  std::string HandledExceptionText();
  bool ThrowSiteOf(const std::exception* E, TThrowSite& Site) const;

  bool FActive = false;
  // The exception ProcessException is handling and its throw site, taken
  // when it began: events and the dialog may throw and catch exceptions of
  // their own before the dialog asks for the infos again.
  const std::exception* FHandled = nullptr;
  TThrowSite FHandledSite;
  bool FHandledSiteKnown = false;
};

// Traces the function that declares it, in one line:
//   TVEKTraceScope trace;                      // the location alone
//   TVEKTraceScope trace({Id, Name});          // with the values
//   TVEKTraceScope trace({}, 1, true);         // Action 1, errors shown
// The destructor calls LeaveProc, also when an exception leaves the
// function, unless HandleException popped the entry already. The location
// is the declaring function: the constructor is never inlined and takes its
// own return address. Never raises.
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

// The singleton, or null before VEKDebugger first ran. Tests may release
// it (SafeFreeAndNil) to run the set-up again.
extern TVEKDebug* VEKDebug;

// The interception switch: false inside the development environment;
// otherwise true when Params holds "/DEBUG", false when it holds "/NODEBUG",
// else Current. Params are upper-cased already.
bool VEKDebugSwitch(bool InsideIDE, const std::vector<std::string>& Params, bool Current);

#include "diag/U_VEK_Debug.h"

#include <csignal>
#include <optional>
#include <typeinfo>

#include "base/Shutdown.h"
#include "base/TextUtil.h"
#include "diag/F_VEK_Exception.h"
#include "diag/F_VEK_SendReport.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_PendingReports.h"
#include "diag/U_VEK_RaiseError.h"
#include "diag/U_VEK_System.h"
#include "platform/FileSystem.h"
#include "runtime/Application.h"

TVEKDebug* VEKDebug = nullptr;

namespace {

const char* const NotApplicable = "<N/A>";
const char* const CrLf = "\r\n";

// The library's failure messages: logged as INFO and shown in a box.
void ShowAndLogText(const std::string& Msg) {
  if (VEKApplication)
    VEKApplication->ShowAndLog(Msg);
  else
    ShowMessage(Msg);
}

// "<Heading>" CR LF CR LF "<message>", the message or "     [NULL Object]".
std::string FailureText(const char* Heading, const std::exception* Failure) {
  return std::string(Heading) + CrLf + CrLf + (Failure ? std::string(Failure->what()) : "     [NULL Object]");
}

// The same, then CR LF CR LF and the message again in parentheses.
std::string FailureTextTwice(const char* Heading, const std::exception* Failure) {
  return FailureText(Heading, Failure) + CrLf + CrLf + "(" + (Failure ? std::string(Failure->what()) : "") + ")";
}

// Whether a map naming Named belongs to the running executable's build;
// a map that names none (of another generator) is taken.
bool OfThisBuild(const std::string& Named) {
  const std::string& own = ExecutableIdentity();
  return Named.empty() || own.empty() || Named == own;
}

// The fatal-signal handler's report function: the interceptor's report,
// while there is one.
void ReportFatalSignal(const TFatalSignalInfo& Signal) {
  if (VEKDebug) VEKDebug->ProcessSignal(Signal);
}

// The text of the exception dialog's call-stack button: the walk taken at
// the click, from the stack routine itself outward.
void DialogCallStack(std::string& Text) {
  VEKDebugger()->GetCallStack(0, false, Text);
}

}  // namespace

bool VEKDebugSwitch(bool InsideIDE, const std::vector<std::string>& Params, bool Current) {
  if (InsideIDE) return false;
  auto has = [&Params](const char* Switch) {
    for (const std::string& p : Params)
      if (p == Switch) return true;
    return false;
  };
  if (has("/DEBUG")) return true;
  if (has("/NODEBUG")) return false;
  return Current;
}

std::string TVEKDebug::MapFileNameFor(const std::string& ExeName) {
  const auto slash = ExeName.find_last_of('/');
  const auto dot = ExeName.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) return ExeName.substr(0, dot) + ".map";
  return ExeName + ".map";
}

TVEKDebug::TVEKDebug() {
  ProcStack = new std::vector<TCallProcInfo>;
  MapFile = new TVEKMapFile;
  ObjectInfos = new TVEKObjectInfos;
  TfmVEKException::CallStackProc = &DialogCallStack;
  const std::string exe = VEKApplication ? VEKApplication->ExeName : Application ? Application->ExeName() : "";
  if (exe.empty()) return;
  const std::string map = MapFileNameFor(exe);
  // Read, and its build checked, when a report or a trace first needs it:
  // nothing of it at start-up. Without a map, or with one that cannot be
  // read or belongs to another build, the interceptor works without
  // locations.
  if (FileExists(map)) MapFile->LoadWhenNeeded(map, OfThisBuild);
}

TVEKDebug::~TVEKDebug() {
  SetActive(false);
  SafeFreeAndNil(ProcStack);
  SafeFreeAndNil(MapFile);
  SafeFreeAndNil(ObjectInfos);
}

int TVEKDebug::QueryInterface(const void*, void** Obj) {
  if (Obj) *Obj = nullptr;
  return static_cast<int>(0x80004002u);  // no such interface
}

int TVEKDebug::AddRef() {
  return -1;
}

int TVEKDebug::Release() {
  return -1;
}

void TVEKDebug::SetActive(bool Value) {
  if (Value == FActive) return;
  if (Value) {
    if (Application) {
      SavedOnException = Application->OnException;
      Application->OnException = [this](QObject* Sender, const std::exception& E) {
        ApplicationExceptionHandler(Sender, E);
      };
    }
  } else if (Application) {
    Application->OnException = SavedOnException;
  }
  SetThrowStackCapture(Value);
  if (Value)
    InstallFatalSignalHandler(ReportFatalSignal, CrashReportSeconds);
  else
    RemoveFatalSignalHandler();
  FActive = Value;
}

void TVEKDebug::ApplicationExceptionHandler(QObject* Sender, const std::exception& E) {
  if (dynamic_cast<const EAbort*>(&E)) return;
  ProcessException(Sender, &E, true);
}

__attribute__((noinline)) void TVEKDebug::GetCallStack(int Skip, bool OnlyOne, std::string& Text) {
  Text.clear();
  try {
    if (!MapFile->FirstFrame()) return;
    int frame = 0;
    do {
      if (frame >= Skip) {
        if (!Text.empty()) Text += CrLf;
        // Each frame by itself: where it has no location, the reader still
        // holds the results of the frame before.
        Text += HasLocation(MapFile->ReturnAddress()) ? MapFile->UnitName() + "::" + MapFile->PublicName()
                                                      : std::string(UnknownText) + "::" + UnknownText;
        if (OnlyOne) return;
      }
      ++frame;
    } while (MapFile->NextFrame());
  } catch (...) {
    // The walk ends; the lines gathered so far stay.
  }
}

bool TVEKDebug::HasLocation(std::uintptr_t Address) {
  // An address of the executable has no location without a map; the
  // reader would keep the last lookup's results.
  TCodeModule module;
  return MapFile->Loaded() || (FindCodeModule(Address, module) && !module.MainExecutable);
}

bool TVEKDebug::Locate(std::uintptr_t CallAddress) {
  if (!HasLocation(CallAddress)) return false;
  MapFile->Lookup(CallAddress);
  return true;
}

std::string TVEKDebug::FrameLine(std::uintptr_t CallAddress) {
  if (!Locate(CallAddress)) return std::string(UnknownText) + "::" + UnknownText;
  return MapFile->UnitName() + "::" + MapFile->PublicName();
}

std::string TVEKDebug::StackText(const std::vector<std::uintptr_t>& CallAddresses) {
  std::string text;
  try {
    for (std::size_t i = 0; i < CallAddresses.size(); ++i) {
      const std::string line = FrameLine(CallAddresses[i]);
      if (i > 0) text += CrLf;
      text += line;
    }
  } catch (...) {
    // A lookup that fails ends the stack, as it ends the walk; the lines
    // gathered so far stay.
  }
  return text;
}

void TVEKDebug::FillLocation(TVEKExceptionInfos& Infos, std::uintptr_t CodeAddress) {
  if (!Locate(CodeAddress)) return;
  VEKFillLocation(Infos, MapFile->UnitName(), MapFile->LineNumber(), MapFile->PublicName());
}

void TVEKDebug::GetExceptionInfos(QObject* Sender, const std::exception* E, TVEKExceptionInfos& Infos) {
  VEKResetExceptionInfos(Infos);
  if (!E) return;
  try {
    ObjectInfos->Analyze(E);
    Infos.ExceptionObject = E;
    Infos.ExceptionClass = ObjectInfos->ObjectClass;
    Infos.ExceptionParent = ObjectInfos->ParentClass;
    if (auto* unknown = dynamic_cast<const EUnknownException*>(E)) {
      // Something that is no std::exception: its own type.
      Infos.ExceptionClass = unknown->ThrownClass;
      Infos.ExceptionParent = unknown->ThrownParent;
    }
    Infos.ExceptionType = VEKTypeText(Infos.ExceptionClass, Infos.ExceptionParent);

    Infos.Message = E->what();

    TThrowSite site;
    const bool known = CurrentThrowSite(site);
    const std::uintptr_t raiseAddress = known ? site.Address : 0;
    Infos.Address = VEKAddressText(raiseAddress);

    VEKFillRunInfos(Infos);

    // The recorded address is the return address of the call that throws:
    // the throw statement lies one byte before it.
    if (raiseAddress != 0) FillLocation(Infos, raiseAddress - 1);

    if (Sender) {
      ObjectInfos->Analyze(Sender);
      Infos.SenderClass = ObjectInfos->Hierarchy;
      Infos.SenderName = ObjectInfos->ObjectName;
    } else {
      Infos.SenderClass = NotApplicable;
      Infos.SenderName = NotApplicable;
    }

    if (known && site.FrameCount > 0) {
      // Return addresses: each call lies one byte before its own.
      std::vector<std::uintptr_t> calls(site.Frames, site.Frames + site.FrameCount);
      for (std::uintptr_t& call : calls) --call;
      if (std::string stack = StackText(calls); !stack.empty()) Infos.CallStack = std::move(stack);
    } else {
      GetCallStack(0, false, Infos.CallStack);
    }
  } catch (...) {
    // What was filled so far stays.
  }
}

std::string TVEKDebug::HandledExceptionText() {
  const std::exception_ptr current = std::current_exception();
  if (!current) return {};
  std::string type, message;
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& handled) {
    ObjectInfos->Analyze(&handled);
    type = VEKTypeText(ObjectInfos->ObjectClass, ObjectInfos->ParentClass);
    message = handled.what();
  } catch (...) {
    const EUnknownException unknown = EUnknownException::FromCurrent();
    type = VEKTypeText(unknown.ThrownClass, unknown.ThrownParent);
    message = unknown.what();
  }
  return "Exception being handled : " + type + " : " + message;
}

void TVEKDebug::GetSignalInfos(const TFatalSignalInfo& Signal, TVEKExceptionInfos& Infos) {
  VEKResetExceptionInfos(Infos);
  try {
    Infos.ExceptionClass = Signal.Name;
    Infos.ExceptionParent = "Fatal signal";
    Infos.ExceptionType = VEKTypeText(Infos.ExceptionClass, Infos.ExceptionParent);

    Infos.Message = FatalSignalDescription(Signal);
    if (Signal.Signal == SIGABRT) {
      // std::terminate aborts with the exception nobody caught as the one
      // being handled.
      const std::string handled = HandledExceptionText();
      if (!handled.empty()) Infos.Message += CrLf + handled;
    }

    // The abort of std::terminate (or of a handler) while an exception is
    // being handled names the exception's throw site, as the report of a
    // caught one does; the call stack stays the signal's.
    TThrowSite site;
    const bool thrown = Signal.Signal == SIGABRT && CurrentThrowSite(site) && site.Address != 0;
    Infos.Address = VEKAddressText(thrown ? site.Address : Signal.InstructionAddress);

    VEKFillRunInfos(Infos);

    if (thrown)
      FillLocation(Infos, site.Address - 1);  // the throw lies one byte before its return address
    else if (Signal.InstructionAddress != 0)
      FillLocation(Infos, Signal.InstructionAddress);  // the interrupted instruction itself

    Infos.SenderClass = NotApplicable;
    Infos.SenderName = NotApplicable;

    if (Signal.FrameCount > 0) {
      std::vector<std::uintptr_t> calls;
      for (std::size_t i = 0; i < Signal.FrameCount; ++i) calls.push_back(CallSiteAddress(Signal.Frames[i]));
      if (std::string stack = StackText(calls); !stack.empty()) Infos.CallStack = std::move(stack);
    }
  } catch (...) {
    // What was filled so far stays.
  }
}

void TVEKDebug::ProcessSignal(const TFatalSignalInfo& Signal) {
  try {
    TVEKExceptionInfos Infos;
    GetSignalInfos(Signal, Infos);
    const std::string report = ReportText(Infos);
    // Kept for the report collector too, when the program names one: a
    // small file, written first (signal-safe, U_VEK_PendingReports.h).
    KeepCrashReport(report);
    // Saved at once: the process ends right after.
    if (VEKApplication && VEKApplication->LogFile) VEKApplication->LogFile->Write(llExcept, report, true);
  } catch (...) {
    // The entry is missing from the log; the process ends all the same.
  }
}

std::string TVEKDebug::ReportText(const TVEKExceptionInfos& Infos) const {
  return VEKReportText(Infos, Indent);
}

void TVEKDebug::ProcessException(QObject* Sender, const std::exception* E, bool ShowFlag) {
  bool Continue = true;
  TVEKExceptionInfos Infos;
  try {
    GetExceptionInfos(Sender, E, Infos);
    const std::string report = ReportText(Infos);
    // Saved at once: a program that dies after its exception keeps it.
    if (VEKApplication && VEKApplication->LogFile) VEKApplication->LogFile->Write(llExcept, report, true);
  } catch (...) {
    // The entry is missing from the log.
  }
  try {
    if (BeforeException) {
      try {
        BeforeException(Sender, E, Continue);
      } catch (const std::exception& failure) {
        if (ShowFlag) ShowAndLogText(FailureText("Error on BeforeException :", &failure));
      }
    }
    if (Continue && ShowFlag) DisplayException(Sender, E, Infos);
    if (AfterException) {
      try {
        AfterException(Sender, E, Continue);
      } catch (const std::exception& failure) {
        if (ShowFlag) ShowAndLogText(FailureText("Error on AfterException :", &failure));
      }
    }
  } catch (const std::exception& failure) {
    ShowAndLogText(FailureTextTwice("Error on processing Exception : ", &failure));
  }
}

void TVEKDebug::DisplayException(QObject* Sender, const std::exception* E, const TVEKExceptionInfos& Infos) {
  if (E && dynamic_cast<const EAbort*>(E)) return;
  if (OnException) {
    try {
      OnException(Sender, E);
    } catch (const std::exception& failure) {
      ShowAndLogText(FailureText("Error on OnException :", &failure));
    }
  }
  if (Application && Application->Destroying()) RaiseError(E ? E->what() : "", false, smTerminate);
  try {
    if (OnDisplayException)
      OnDisplayException(Sender, E);
    else
      ShowExceptionDialog(nullptr, Infos, MapFile->Loaded(), ReportText(Infos));
  } catch (const std::exception& failure) {
    ShowAndLogText(FailureTextTwice("Error on displaying Exception :", &failure));
  }
}

// The return address of the function this is expanded in, as a number.
#define VEK_RETURN_ADDRESS() \
  reinterpret_cast<std::uintptr_t>(__builtin_extract_return_addr(__builtin_return_address(0)))

namespace {

void WriteTrace(TVEKLogLevel Level, std::int32_t Indent, const std::string& Text) {
  if (VEKApplication && VEKApplication->LogFile)
    VEKApplication->LogFile->Write(Level, std::string(static_cast<std::size_t>(Indent > 0 ? Indent : 0), ' ') + Text,
                                   false);
}

// A silent abort with this message.
[[noreturn]] void RaiseAbort(const std::string& Message) {
  EAbort abort;
  abort.SetMessage(Message);
  throw abort;
}

}  // namespace

bool TVEKDebug::EnterProcAt(std::uintptr_t ReturnAddress, const std::vector<TTypedValue>* Params, std::uint8_t Action,
                            bool ShowErrors) {
  try {
    ProcStack->emplace_back();
    TCallProcInfo& entry = ProcStack->back();
    // The call lies one byte before its return address.
    entry.Location = FrameLine(ReturnAddress - 1);
    entry.Action = Action;
    entry.ShowErrors = ShowErrors;
    std::string line = entry.Location;
    if (Params && !Params->empty()) {
      try {
        line += " ( ";
        for (const TTypedValue& value : *Params) line += VarRecToText(value) + " , ";
        line.resize(line.size() - 3);
        line += " )";
      } catch (...) {
        // The line keeps what was described.
      }
    }
    WriteTrace(llEnter, Indent, line);
    Indent += 2;
    return true;
  } catch (...) {
    // A trace never disturbs the traced procedure.
    return false;
  }
}

void TVEKDebug::EnterProc(std::uint8_t Action, bool ShowErrors) {
  EnterProcAt(VEK_RETURN_ADDRESS(), nullptr, Action, ShowErrors);
}

void TVEKDebug::EnterProcParams(const std::vector<TTypedValue>& Params, std::uint8_t Action, bool ShowErrors) {
  EnterProcAt(VEK_RETURN_ADDRESS(), &Params, Action, ShowErrors);
}

void TVEKDebug::LeaveProc() {
  try {
    if (ProcStack->empty()) return;
    Indent -= 2;
    WriteTrace(llLeave, Indent, ProcStack->back().Location);
    ProcStack->pop_back();
  } catch (...) {
    // A trace never disturbs the traced procedure.
  }
}

bool TVEKDebug::HandleException() {
  // The exception being handled stays alive while Current holds it.
  const std::exception_ptr current = std::current_exception();
  const std::exception* E = nullptr;
  std::optional<EUnknownException> foreign;
  if (current) {
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& handled) {
      E = &handled;
    } catch (...) {
      foreign.emplace(EUnknownException::FromCurrent());
      E = &*foreign;
    }
  }
  if (E && typeid(*E) == typeid(EAbort)) {
    if (!ProcStack->empty()) LeaveProc();
    RaiseAbort(E->what());
  }
  if (ProcStack->empty()) {
    ProcessException(nullptr, E, false);
    return true;
  }
  const TCallProcInfo entry = ProcStack->back();
  ProcessException(nullptr, E, entry.ShowErrors);
  switch (entry.Action) {
    case 0:
      LeaveProc();
      return false;
    case 1:
      LeaveProc();
      return true;
    case 2:
      LeaveProc();
      RaiseAbort("");
    default:
      return false;
  }
}

void TVEKDebug::SetReportServer(const std::string& Value) {
  UseReportServer(Value);
}

std::string TVEKDebug::GetReportServer() {
  return VEKReportServer();
}

void ShowExceptionDialog(TfmVEKException* (*DialogClass)(), QObject* Sender, const std::exception* E) {
  IVEKDebug* debug = VEKDebugger();
  TVEKExceptionInfos infos;
  debug->GetExceptionInfos(Sender, E, infos);
  const TVEKMapFile* map = debug->GetMapFile();
  ShowExceptionDialog(DialogClass, infos, map && map->Loaded(), VEKDebug ? VEKDebug->ReportText(infos) : std::string());
}

void InitVEKDebug() {
  if (VEKDebug) return;
  // The library's release at the program's end, registered first so that a
  // failing start-up releases what it created.
  static bool shutdownRegistered = false;
  if (!shutdownRegistered) {
    AddShutdownProc(FinalizeVEKSystem);
    // Runs before the release above: a crash after it finds the signals as
    // they were before the library, not a handler without a log.
    AddShutdownProc(RemoveFatalSignalHandler);
    shutdownRegistered = true;
  }
  InitVEKSystem();
  const bool debugActive =
      VEKApplication ? VEKDebugSwitch(VEKApplication->InsideIDE, VEKApplication->Params, false) : false;
  VEKDebug = new TVEKDebug;
  VEKDebug->SetActive(debugActive);
}

IVEKDebug* VEKDebugger() {
  if (!VEKDebug) InitVEKDebug();
  return VEKDebug;
}

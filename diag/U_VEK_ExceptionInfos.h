#pragma once
// The record that describes one exception, TVEKExceptionInfos: what the
// interceptor (diag/U_VEK_Debug.h) writes to the log, shows in the exception
// dialog (diag/F_VEK_Exception.h) and hands the embedding program; and the
// steps that fill it from the program's and the machine's facts and turn it
// into the report's ten lines.
//
// GUI thread only, like the log it reads from; the crash report of a fatal
// signal fills one on whatever thread crashed, as a best effort.
#include <cstdint>
#include <exception>
#include <string>

// The 19 texts that describe one exception. The caller owns the record;
// IVEKDebug::GetExceptionInfos fills it.
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

// Sets the 18 texts of Infos to "<Unknown>"; the object stays.
void VEKResetExceptionInfos(TVEKExceptionInfos& Infos);

// The facts of the run: AppTitle, AppPath (in lower case) and AppVersion
// (kept when empty) of VEKApplication, DateTime now (NowText), UserName and
// ComputerName of VEKWindows; what is missing keeps its text.
void VEKFillRunInfos(TVEKExceptionInfos& Infos);

// Where the exception was raised, as the map file reader resolved it:
// UnitName and LineNumber as they are; ClassName and FunctionName from the
// public name "Class.function", split at its first "." (ClassName "<N/A>"
// and the whole name as FunctionName when it has none).
void VEKFillLocation(TVEKExceptionInfos& Infos, const std::string& UnitName, const std::string& LineNumber,
                     const std::string& PublicName);

// A type as the report names it: "Class ( Parent )".
std::string VEKTypeText(const std::string& Class, const std::string& Parent);

// "0x" and the address in upper-case hexadecimal, at the pointer's width.
std::string VEKAddressText(std::uintptr_t Address);

// The ten lines of the report, joined by CR LF, each Indent blanks (none
// when negative), a 15-character label and the value; the continuation lines
// of the message and the call stack line up under their first value
// character, every line break written as CR LF.
std::string VEKReportText(const TVEKExceptionInfos& Infos, int Indent);

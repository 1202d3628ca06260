#pragma once
// The runtime's exception classes. Every error of the program is an
// Exception (or a descendant); its Message() is the text the user sees.
// EAbort is the silent abort: it carries no message of its own, leaves a
// chain of calls up to the nearest handler, and handlers that catch it show
// nothing more.
#include <cstdint>
#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string message) { FMessage = std::move(message); }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// The silent abort. Its message is the runtime's fixed "Operation aborted"
// text, which no handler shows.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};

// A text that does not convert to a number or a date.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A failed file operation; ErrorCode is the system's error number.
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int errorCode) : Exception(std::move(message)), ErrorCode(errorCode) {}
  int ErrorCode;
};

// What a failed file operation was doing, as its message says it.
enum class TFileAction : std::uint8_t {
  Open,    // "Cannot open file": opening or reading
  Create,  // "Cannot create file": creating, or opening to write
  Write,   // "Cannot write file": writing, flushing, closing
};

// The error of a failed file operation: an EInOutError with the message
// "Cannot open file "<fileName>". <reason>" (create and write alike) and
// `code` as its ErrorCode. The reason is SysErrorMessage(code) unless one is
// given.
EInOutError FileError(TFileAction action, const std::string& fileName, int code);
EInOutError FileError(TFileAction action, const std::string& fileName, int code, const std::string& reason);

// A failed operating-system call; ErrorCode is the system's error number.
class EOSError : public Exception {
 public:
  EOSError(std::string message, int errorCode) : Exception(std::move(message)), ErrorCode(errorCode) {}
  int ErrorCode;
};

// The system's message text for an error number (errno). Never empty: an
// unknown number gives the system's "Unknown error <number>" text.
std::string SysErrorMessage(int code);

// Something thrown that is no std::exception (an int, a text, an object of
// a class of its own), as the global handling of the application object
// passes it on: ThrownClass is the thrown object's demangled type ("int",
// "char const*", "ns::TError"), ThrownParent the type's first base class
// ("<N/A>" when it has none). The message is the thrown text for a
// character pointer or std::string, the number for an integer, and
// "Unknown exception" for anything else.
class EUnknownException : public Exception {
 public:
  EUnknownException(std::string message, std::string thrownClass, std::string thrownParent)
      : Exception(std::move(message)), ThrownClass(std::move(thrownClass)), ThrownParent(std::move(thrownParent)) {}
  // Describes the exception being handled now; call only inside a catch
  // block.
  static EUnknownException FromCurrent();

  std::string ThrownClass;
  std::string ThrownParent;
};

// Raises the silent abort.
[[noreturn]] void Abort();

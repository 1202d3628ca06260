#include "diag/U_VEK_ExecuteFile.h"

#include <iterator>

#include "diag/U_VEK_RaiseError.h"
#include "platform/Shell.h"

TShellExecuteProc ShellExecuteProc = &ShellExecute;

std::string ShellErrorText(int Result) {
  switch (Result) {
    case 0:
      return "Not enough memory or system ressources";
    case 2:
      return "File not found";
    case 3:
      return "Path not found";
    case 5:
      return "Access denied";
    case 8:
      return "Not enough memory";
    case 11:
      return "Invalid file";
    case 26:
      return "Share violation";
    case 27:
      return "Bad file association";
    case 31:
      return "No association found";
    case 32:
      return "File not found";
    default:
      return std::to_string(Result);
  }
}

int ExecuteFile(const std::string& FileName, TVEKShellVerb Verb, const std::string& Params,
                const std::string& Directory, std::uint16_t ShowCmd) {
  // A verb outside the table gets the default action.
  const char* verb = Verb < std::size(VEKShellVerbs) ? VEKShellVerbs[Verb] : VEKShellVerbs[svDefault];
  const int result = ShellExecuteProc(verb, FileName, Params, Directory, ShowCmd);
  if (result > 32) return result;

  const std::size_t split = FileName.find_last_of("\\:");
  const std::string name = split == std::string::npos ? FileName : FileName.substr(split + 1);
  const std::string folder = split == std::string::npos ? std::string() : FileName.substr(0, split + 1);
  RaiseError("Error on executing :\r\n\r\n   File : " + name + "\r\n" + "   Params : " + Params + "\r\n" +
                 "   Path : " + folder + "\r\n\r\n" + "   Message : " + ShellErrorText(result),
             false, smTerminate);
}

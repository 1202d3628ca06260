#include "diag/U_VEK_ExceptionInfos.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

#include "base/TextUtil.h"
#include "diag/U_VEK_System.h"
#include "runtime/LocaleText.h"

namespace {

const char* const NotApplicable = "<N/A>";
const char* const CrLf = "\r\n";
// The width of the report's labels.
constexpr int LabelWidth = 15;

}  // namespace

void VEKResetExceptionInfos(TVEKExceptionInfos& Infos) {
  for (std::string* text : {&Infos.ExceptionClass, &Infos.ExceptionParent, &Infos.ExceptionType, &Infos.Message,
                            &Infos.Address, &Infos.AppTitle, &Infos.AppPath, &Infos.AppVersion, &Infos.DateTime,
                            &Infos.UserName, &Infos.ComputerName, &Infos.UnitName, &Infos.LineNumber, &Infos.ClassName,
                            &Infos.FunctionName, &Infos.SenderClass, &Infos.SenderName, &Infos.CallStack})
    *text = UnknownText;
}

void VEKFillRunInfos(TVEKExceptionInfos& Infos) {
  if (VEKApplication) {
    Infos.AppTitle = VEKApplication->Title;
    Infos.AppPath = LowerAscii(VEKApplication->ExeName);
    if (!VEKApplication->Version.empty()) Infos.AppVersion = VEKApplication->Version;
  }

  Infos.DateTime = NowText();

  if (VEKWindows) {
    Infos.UserName = VEKWindows->UserName;
    Infos.ComputerName = VEKWindows->ComputerName;
  }
}

void VEKFillLocation(TVEKExceptionInfos& Infos, const std::string& UnitName, const std::string& LineNumber,
                     const std::string& PublicName) {
  Infos.UnitName = UnitName;
  Infos.LineNumber = LineNumber;
  const auto dot = PublicName.find('.');
  Infos.ClassName = dot == std::string::npos ? std::string(NotApplicable) : PublicName.substr(0, dot);
  Infos.FunctionName = dot == std::string::npos ? PublicName : PublicName.substr(dot + 1);
}

std::string VEKTypeText(const std::string& Class, const std::string& Parent) {
  return Class + " ( " + Parent + " )";
}

std::string VEKAddressText(std::uintptr_t Address) {
  char text[2 + 2 * sizeof(std::uintptr_t) + 1];
  std::snprintf(text, sizeof text, "0x%0*" PRIXPTR, static_cast<int>(2 * sizeof(std::uintptr_t)), Address);
  return text;
}

std::string VEKReportText(const TVEKExceptionInfos& Infos, int Indent) {
  const int indent = Indent > 0 ? Indent : 0;
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  const int next = indent + LabelWidth;
  const std::pair<const char*, std::string> lines[] = {
      {"Type         : ", Infos.ExceptionType},
      {"Unit         : ", Infos.UnitName},
      {"Line         : ", Infos.LineNumber},
      {"Class        : ", Infos.ClassName},
      {"Function     : ", Infos.FunctionName},
      {"Address      : ", Infos.Address},
      {"Sender Class : ", Infos.SenderClass},
      {"Sender Name  : ", Infos.SenderName},
      // Most messages break their lines with a bare LF: aligned and in the
      // log as CR LF like the rest.
      {"Message      : ", IndentText(CrLfLineBreaks(Infos.Message), 0, next, ' ')},
      {"Call Stack   : ", IndentText(CrLfLineBreaks(Infos.CallStack), 0, next, ' ')},
  };
  std::string text;
  for (const auto& [label, value] : lines) {
    if (!text.empty()) text += CrLf;
    text += pad + label + value;
  }
  return text;
}

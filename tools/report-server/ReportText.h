#pragma once
// The exception and crash report as VEK writes it: ten lines, each of an
// indent (the procedure trace's depth, the same on every line), a label of
// 15 characters and a value; the Message and the Call Stack go on over
// continuation lines indented by the indent and 15 blanks:
//
//   Type         : EConvertError ( Exception )
//   Unit         : F_Main
//   Line         : 412
//   Class        : TfmMain
//   Function     : btnNextClick
//   Address      : 0x004B2F1C
//   Sender Class : TButton.TWinControl.TControl.TComponent.TPersistent.TObject
//   Sender Name  : btnNext
//   Message      : '12,5x' is not a valid integer value
//   Call Stack   : F_Main::TfmMain.btnNextClick
//                  Controls::TControl.Click
//
// Lines end in CR LF, LF or CR.
#include <optional>
#include <string>
#include <string_view>

struct TReportFields {
  std::string Type;
  std::string Unit;
  std::string Line;
  std::string Class;
  std::string Function;
  std::string Address;
  std::string SenderClass;
  std::string SenderName;
  std::string Message;    // continuation lines joined by LF, their indent removed
  std::string CallStack;  // one frame per line, joined by LF
};

// The longest value of a one-line field that is taken.
inline constexpr std::size_t MaxFieldLength = 1024;

// Reads a report text. None when the text is not a report; `error` then
// says why ("line 3: expected \"Line         : \"").
std::optional<TReportFields> ParseReportText(std::string_view text, std::string& error);

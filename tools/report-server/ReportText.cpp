#include "ReportText.h"

#include <array>

#include "base/TextUtil.h"

namespace {

constexpr std::size_t LabelWidth = 15;
constexpr std::array<std::string_view, 10> Labels = {
    "Type         : ", "Unit         : ", "Line         : ", "Class        : ", "Function     : ",
    "Address      : ", "Sender Class : ", "Sender Name  : ", "Message      : ", "Call Stack   : ",
};
constexpr std::size_t MessageField = 8;

// Removes up to `count` leading blanks.
std::string_view DropBlanks(std::string_view line, std::size_t count) {
  std::size_t n = 0;
  while (n < count && n < line.size() && line[n] == ' ') ++n;
  return line.substr(n);
}

std::string Quoted(std::string_view label) {
  return "\"" + std::string(label) + "\"";
}

}  // namespace

std::optional<TReportFields> ParseReportText(std::string_view text, std::string& error) {
  std::array<std::string, 10> values;
  TLineReader lines(text);
  std::string_view line;
  int lineNo = 0;
  // Blank lines before the report are not part of it.
  while (lines.Next(line)) {
    ++lineNo;
    if (line.find_first_not_of(" \t") != std::string_view::npos) break;
    line = {};
  }
  if (line.empty()) {
    error = "the report text is empty";
    return std::nullopt;
  }
  const std::size_t indent = line.find_first_not_of(' ');
  std::size_t field = 0;
  for (;;) {
    const bool nextLabel = field < Labels.size() && line.size() >= indent + LabelWidth &&
                           line.find_first_not_of(' ') == indent && line.substr(indent).starts_with(Labels[field]);
    if (nextLabel) {
      values[field] = std::string(line.substr(indent + LabelWidth));
      ++field;
    } else if (field > MessageField) {
      // A continuation line of the Message or the Call Stack.
      values[field - 1] += '\n';
      values[field - 1] += DropBlanks(line, indent + LabelWidth);
    } else {
      error = "line " + std::to_string(lineNo) + ": expected " + Quoted(Labels[field]);
      return std::nullopt;
    }
    if (field <= MessageField && values[field - 1].size() > MaxFieldLength) {
      error = "line " + std::to_string(lineNo) + ": the value is longer than " + std::to_string(MaxFieldLength) +
              " characters";
      return std::nullopt;
    }
    if (!lines.Next(line)) break;
    ++lineNo;
  }
  if (field < Labels.size()) {
    error = "the report ends before its line " + Quoted(Labels[field]);
    return std::nullopt;
  }
  // Blank lines after the call stack are not part of it.
  for (std::string* v : {&values[8], &values[9]})
    while (!v->empty() && v->back() == '\n') v->pop_back();
  TReportFields fields;
  fields.Type = std::move(values[0]);
  fields.Unit = std::move(values[1]);
  fields.Line = std::move(values[2]);
  fields.Class = std::move(values[3]);
  fields.Function = std::move(values[4]);
  fields.Address = std::move(values[5]);
  fields.SenderClass = std::move(values[6]);
  fields.SenderName = std::move(values[7]);
  fields.Message = std::move(values[8]);
  fields.CallStack = std::move(values[9]);
  return fields;
}

#pragma once
// Reading what the diagnostics library wrote: the EXCEPT reports of a log
// text, the values of their labelled lines, and the source line of a marker
// comment (to compare a report's line with the statement that threw).
#include <string>
#include <vector>

// The log text's lines, split at CR LF.
std::vector<std::string> LogLines(const std::string& text);

// The EXCEPT entries of a log text: each the report's lines, the entry's
// prefix and the blanks of its continuation lines taken off.
std::vector<std::vector<std::string>> ExceptEntries(const std::string& log);

// The value of the report line that starts with `label`, or "(missing)".
std::string ReportValue(const std::vector<std::string>& entry, const std::string& label);

// The number of the first line of the source file `path` (relative to the
// source tree) that holds `marker`, or 0.
int SourceLineOf(const std::string& path, const std::string& marker);

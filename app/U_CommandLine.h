#pragma once
// The requests of the command line that are answered without any window, as
// a Linux user expects of every program: "--help" (or "-h") prints the usage
// and "--version" the version, on standard output, and the program then ends
// with status 0. They are looked for before anything else starts (no display
// is needed). The design's switches "/LOGFILE", "/NOLOGFILE", "/DEBUG" and
// "/NODEBUG" are read later, as always; any other parameter is ignored.
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// The usage text for the executable at `exeName`, naming its log file.
std::string UsageText(const std::string& exeName);
// "<file name of exeName> <version of its version block>", with a line end.
std::string VersionText(const std::string& exeName);

// When `params` (the parameters after the program name) hold "--help", "-h"
// or "--version" (exactly so written; the first one given wins), writes the
// answer to `out` and returns the exit status (0, or 1 when `out` failed);
// otherwise writes nothing and returns none.
std::optional<int> AnswerInfoRequest(const std::vector<std::string>& params, const std::string& exeName,
                                     std::ostream& out);

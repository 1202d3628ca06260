#include "tests/support/LogEntries.h"

#include <sstream>

#include "tests/support/TempDir.h"

std::vector<std::string> LogLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::vector<std::string>> ExceptEntries(const std::string& log) {
  std::vector<std::vector<std::string>> entries;
  std::size_t prefix = 0;
  for (const std::string& line : LogLines(log)) {
    const auto level = line.find("[ EXCEPT ] ");
    if (line.rfind("# ", 0) == 0 && level != std::string::npos) {
      prefix = level + 11;
      entries.push_back({line.substr(prefix)});
    } else if (!entries.empty() && prefix > 0 && line.size() > prefix && line.find_first_not_of(' ') >= prefix) {
      entries.back().push_back(line.substr(prefix));
    } else {
      prefix = 0;
    }
  }
  return entries;
}

std::string ReportValue(const std::vector<std::string>& entry, const std::string& label) {
  for (const std::string& line : entry)
    if (line.rfind(label, 0) == 0) return line.substr(label.size());
  return "(missing)";
}

int SourceLineOf(const std::string& path, const std::string& marker) {
  std::istringstream source(ReadWholeFile(std::string(BREVANT_SOURCE_DIR) + "/" + path));
  std::string line;
  for (int number = 1; std::getline(source, line); ++number)
    if (line.find(marker) != std::string::npos) return number;
  return 0;
}

#include "ReportStore.h"

#include <algorithm>
#include <charconv>

#include "Digest.h"
#include "base/TextUtil.h"

std::string GroupSignature(const TNewReport& report) {
  std::string parts = report.Program;
  for (const std::string* part : {&report.Type, &report.Unit, &report.Function, &report.Line}) {
    parts += '\0';
    parts += *part;
  }
  return HexDigest(parts);
}

std::vector<TVersionCount> ReadVersionList(const std::string& text) {
  std::vector<TVersionCount> versions;
  TLineReader lines(text);
  for (std::string_view line; lines.Next(line);) {
    const std::size_t tab = line.rfind('\t');
    if (tab == std::string_view::npos) continue;
    TVersionCount v;
    v.Version = std::string(line.substr(0, tab));
    std::from_chars(line.data() + tab + 1, line.data() + line.size(), v.Count);
    versions.push_back(std::move(v));
  }
  std::stable_sort(versions.begin(), versions.end(),
                   [](const TVersionCount& a, const TVersionCount& b) { return a.Count > b.Count; });
  return versions;
}

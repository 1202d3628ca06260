#include "CodeRuns.h"

#include <algorithm>

namespace {

// Calls Paint(i) for every point i in [Range.Start, Range.End).
template <typename TPaint>
void PaintRange(const std::vector<std::uint64_t>& Points, const TCodeRange& Range, TPaint Paint) {
  auto it = std::lower_bound(Points.begin(), Points.end(), Range.Start);
  for (; it != Points.end() && *it < Range.End; ++it) Paint(static_cast<std::size_t>(it - Points.begin()));
}

}  // namespace

std::vector<TCodeRun> CodeRunsOf(const TUnitCode& Unit) {
  // Every address where the answer may change; between two neighbours it
  // stays the same.
  std::vector<std::uint64_t> points;
  auto addRange = [&](const TCodeRange& R) {
    if (R.End <= R.Start) return;
    points.push_back(R.Start);
    points.push_back(R.End);
  };
  for (const TCodeRange& r : Unit.Ranges) addRange(r);
  for (const TFunctionCode& f : Unit.Functions) {
    for (const TCodeRange& r : f.Ranges) addRange(r);
    for (const TCallSite& c : f.Calls) addRange(c.Range);
  }
  for (const TLineRow& row : Unit.Rows) points.push_back(row.Address);
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  if (points.size() < 2) return {};

  // What holds the stretch from each point to the next.
  const std::size_t n = points.size();
  std::vector<bool> covered(n, false);
  std::vector<const TFunctionCode*> function(n, nullptr);
  std::vector<const TCallSite*> call(n, nullptr);
  for (const TCodeRange& r : Unit.Ranges) PaintRange(points, r, [&](std::size_t i) { covered[i] = true; });
  for (const TFunctionCode& f : Unit.Functions)
    for (const TCodeRange& r : f.Ranges)
      PaintRange(points, r, [&](std::size_t i) {
        covered[i] = true;
        if (!function[i]) function[i] = &f;
      });
  for (const TFunctionCode& f : Unit.Functions)
    for (const TCallSite& c : f.Calls)
      PaintRange(points, c.Range, [&](std::size_t i) {
        if (!call[i]) call[i] = &c;
      });

  std::vector<TCodeRun> runs;
  std::size_t row = 0;  // rows before it lie at or below the current point
  for (std::size_t i = 0; i + 1 < n; ++i) {
    while (row < Unit.Rows.size() && Unit.Rows[row].Address <= points[i]) ++row;
    if (!covered[i]) continue;
    int file = -1;
    std::uint32_t line = 0;
    if (call[i]) {
      file = call[i]->File;
      line = call[i]->Line;
    } else if (row > 0 && !Unit.Rows[row - 1].End) {
      file = Unit.Rows[row - 1].File;
      line = Unit.Rows[row - 1].Line;
    }
    if (file < 0 || line == 0) {
      file = function[i] && function[i]->File >= 0 ? function[i]->File : Unit.MainFile;
      line = 0;
    }
    if (!runs.empty() && runs.back().End == points[i] && runs.back().File == file && runs.back().Line == line)
      runs.back().End = points[i + 1];
    else
      runs.push_back({points[i], points[i + 1], file, line});
  }
  return runs;
}

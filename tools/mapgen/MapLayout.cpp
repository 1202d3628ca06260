#include "MapLayout.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

constexpr std::string_view Eol = "\r\n";

std::string Hex8(std::uint32_t Value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(Value));
  return text;
}

// One entry of a line-number row, 20 characters: the line right-aligned in 6,
// a blank, "0001:" and the offset.
std::string LineEntry(const TMapLine& Line) {
  char text[32];
  std::snprintf(text, sizeof text, "%6u 0001:%08X", static_cast<unsigned>(Line.Line),
                static_cast<unsigned>(Line.Offset));
  return text;
}

// True when Name consists only of characters a row of entries can hold, so
// that a row may contain it.
bool CouldBeInRow(std::string_view Name) {
  return std::all_of(Name.begin(), Name.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || c == ':' || c == ' '; });
}

bool BlockContains(const std::vector<std::string>& Block, std::string_view Name) {
  return std::any_of(Block.begin(), Block.end(),
                     [&](const std::string& Line) { return Line.find(Name) != std::string::npos; });
}

}  // namespace

std::string MapLineText(std::string_view Text) {
  std::string out(Text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

namespace {

// Control characters and "=" become "_", blanks at either end are dropped.
std::string SafeUnitName(std::string_view Name) {
  std::string out(Name);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '=') c = '_';
  const std::size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string MapUnitName(std::string_view SourcePath) {
  const std::size_t slash = SourcePath.find_last_of("/\\");
  std::string_view name = slash == std::string_view::npos ? SourcePath : SourcePath.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return SafeUnitName(name);
}

std::vector<std::string> MapFileUnitNames(const std::vector<std::string>& Paths, const std::set<std::string>& Taken) {
  const std::size_t n = Paths.size();
  std::vector<std::string> names(n);
  std::set<std::string> used = Taken;
  std::vector<std::size_t> open(n);
  for (std::size_t i = 0; i < n; ++i) open[i] = i;
  // The last Depth parts of a path, or the whole path when it has no more.
  auto tail = [&](std::size_t I, std::size_t Depth) {
    const std::string& p = Paths[I];
    std::size_t at = p.size();
    for (std::size_t d = 0; d < Depth; ++d) {
      const std::size_t slash = at == 0 ? std::string::npos : p.find_last_of("/\\", at - 1);
      if (slash == std::string::npos) return SafeUnitName(p);
      at = slash;
    }
    return SafeUnitName(std::string_view(p).substr(at + 1));
  };
  for (std::size_t depth = 1; !open.empty(); ++depth) {
    std::vector<std::string> candidates;
    std::map<std::string, int> count;
    bool longer = false;  // some path has parts left for another round
    for (std::size_t i : open) {
      candidates.push_back(tail(i, depth));
      ++count[candidates.back()];
      longer = longer || tail(i, depth + 1) != candidates.back();
    }
    std::vector<std::size_t> still;
    for (std::size_t k = 0; k < open.size(); ++k) {
      const std::string& c = candidates[k];
      if (!c.empty() && count[c] == 1 && used.insert(c).second)
        names[open[k]] = c;
      else
        still.push_back(open[k]);
    }
    open.swap(still);
    if (!longer) {
      // Nothing tells them apart any more: a number does.
      for (std::size_t i : open) {
        const std::string base = tail(i, depth).empty() ? std::string("_") : tail(i, depth);
        std::string name = base;
        for (int k = 2; !used.insert(name).second; ++k) name = base + "~" + std::to_string(k);
        names[i] = name;
      }
      open.clear();
    }
  }
  return names;
}

std::string LineBlockHeader(const TMapUnit& Unit) {
  std::string sources;
  for (const std::string& s : Unit.Sources) {
    if (!sources.empty()) sources += ", ";
    sources += s;
  }
  return MapLineText("Line numbers for " + Unit.Name + "(" + sources + ") segment .text");
}

std::vector<std::string> LineBlockLines(const TMapUnit& Unit) {
  std::vector<std::string> lines{LineBlockHeader(Unit), std::string()};
  std::string row;
  int entries = 0;
  for (const TMapLine& l : Unit.Lines) {
    if (l.Line > MaxMapLine) continue;  // would not fit its 6 columns
    row += LineEntry(l);
    if (++entries == 4) {
      lines.push_back(std::move(row));
      row.clear();
      entries = 0;
    }
  }
  if (entries > 0) lines.push_back(std::move(row));
  return lines;
}

std::vector<std::string> OrderLineBlocks(std::vector<TMapUnit>& Units) {
  const std::size_t n = Units.size();
  // The rows hold only digits, "A" to "F", ":" and blanks: only a name made
  // of those can stand in a row, otherwise the headers are enough.
  const bool rowsMatter =
      std::any_of(Units.begin(), Units.end(), [](const TMapUnit& U) { return CouldBeInRow(U.Name); });
  std::vector<std::vector<std::string>> blocks(n);
  for (std::size_t j = 0; j < n; ++j)
    blocks[j] = rowsMatter ? LineBlockLines(Units[j]) : std::vector<std::string>{LineBlockHeader(Units[j])};
  // mustFollow[i]: the blocks that must come after block i, because a line of
  // theirs holds unit i's name.
  std::vector<std::vector<std::size_t>> mustFollow(n);
  std::vector<std::size_t> waitingFor(n, 0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      if (i != j && !Units[i].Name.empty() && BlockContains(blocks[j], Units[i].Name)) {
        mustFollow[i].push_back(j);
        ++waitingFor[j];
      }
  // The first free unit in the given order goes next; where none is free (a
  // cycle), the first unplaced one does.
  std::vector<std::size_t> order;
  std::vector<bool> placed(n, false);
  while (order.size() < n) {
    std::size_t next = n;
    for (std::size_t i = 0; i < n && next == n; ++i)
      if (!placed[i] && waitingFor[i] == 0) next = i;
    for (std::size_t i = 0; i < n && next == n; ++i)
      if (!placed[i]) next = i;
    placed[next] = true;
    order.push_back(next);
    for (std::size_t j : mustFollow[next])
      if (waitingFor[j] > 0) --waitingFor[j];
  }
  std::vector<TMapUnit> ordered;
  std::vector<std::vector<std::string>> orderedBlocks;
  ordered.reserve(n);
  for (std::size_t i : order) {
    ordered.push_back(std::move(Units[i]));
    orderedBlocks.push_back(std::move(blocks[i]));
  }
  Units = std::move(ordered);

  // Which units still find another block first.
  std::vector<std::string> lost;
  for (std::size_t i = 0; i < n; ++i) {
    if (Units[i].Name.empty()) continue;
    for (std::size_t j = 0; j < i; ++j)
      if (BlockContains(orderedBlocks[j], Units[i].Name)) {
        lost.push_back(Units[i].Name);
        break;
      }
  }
  return lost;
}

std::string FormatMapFile(const TMapImage& Image) {
  std::string out;
  out.reserve(64 * (Image.Segments.size() + 2 * Image.Publics.size()) + 1024);
  out += Eol;
  out += " Start         Length     Name                   Class";
  out += Eol;
  out += " 0001:00000000 " + Hex8(Image.TextSize) + "H .text                   CODE";
  out += Eol;
  out += Eol;
  if (!Image.Identity.empty()) {
    out += std::string(IdentityLabel) + MapLineText(Image.Identity);
    out += Eol;
    out += Eol;
  }
  out += Eol;

  out += "Detailed map of segments";
  out += Eol;
  out += Eol;
  for (const TMapSegment& s : Image.Segments) {
    const std::string unit = MapLineText(s.Unit);
    out += " 0001:" + Hex8(s.Start) + " " + Hex8(s.Length) + " C=CODE     S=.text    G=(none)   M=" + unit;
    // The reader drops the character in front of "ACBP=": at least one blank.
    out.append(unit.size() < 8 ? 9 - unit.size() : 1, ' ');
    out += "ACBP=A9";
    out += Eol;
  }
  out += Eol;

  auto publicLine = [&](const TMapPublic& p) {
    out += " 0001:" + Hex8(p.Offset) + "       " + MapLineText(p.Name);
    out += Eol;
  };
  out += "  Address         Publics by Name";
  out += Eol;
  out += Eol;
  std::vector<const TMapPublic*> byName;
  byName.reserve(Image.Publics.size());
  for (const TMapPublic& p : Image.Publics) byName.push_back(&p);
  std::sort(byName.begin(), byName.end(), [](const TMapPublic* a, const TMapPublic* b) {
    return a->Name != b->Name ? a->Name < b->Name : a->Offset < b->Offset;
  });
  for (const TMapPublic* p : byName) publicLine(*p);
  out += Eol;

  out += "  Address         Publics by Value";
  out += Eol;
  out += Eol;
  for (const TMapPublic& p : Image.Publics) publicLine(p);
  publicLine({Image.TextSize, std::string(EndOfTextName)});
  out += Eol;

  for (const TMapUnit& u : Image.Units) {
    for (const std::string& line : LineBlockLines(u)) {
      out += line;
      out += Eol;
    }
    out += Eol;
  }
  return out;
}

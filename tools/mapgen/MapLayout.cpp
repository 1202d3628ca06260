#include "tools/mapgen/MapLayout.h"

#include <algorithm>
#include <cstdio>

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

std::string MapUnitName(std::string_view SourcePath) {
  const std::size_t slash = SourcePath.find_last_of("/\\");
  std::string_view name = slash == std::string_view::npos ? SourcePath : SourcePath.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  std::string out(name);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '=') c = '_';
  const std::size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
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

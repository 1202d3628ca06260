#pragma once
// The content of a detailed map file and its text layout, as the diagnostics
// library's map file reader (TVEKMapFile) takes it: a segment section, the
// publics by name and by value, and one line-number block per unit. Every
// offset counts from the start of the code segment (.text) and is written
// with 8 upper-case hexadecimal digits; lines end with CR LF.
//
// The reader reads fixed columns and finds a unit's line numbers by the first
// line that contains the unit's name; OrderLineBlocks puts the blocks in an
// order where that line is the unit's own header wherever one exists.
//
// Pure text functions, no I/O; callable from any thread.
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// One row of a unit's line table. Line 0 marks code that has no line of the
// unit's source file (the end of a sequence, compiler-made code).
struct TMapLine {
  std::uint32_t Offset = 0;
  std::uint32_t Line = 0;
  bool operator==(const TMapLine&) const = default;
};

// A unit: its name (the main source file's name without folder and
// extension), the source files of its compilation units (several when units
// of one name are merged) and its line rows, sorted by offset.
struct TMapUnit {
  std::string Name;
  std::vector<std::string> Sources;
  std::vector<TMapLine> Lines;
};

// A piece of a unit's code: [Start, Start + Length).
struct TMapSegment {
  std::uint32_t Start = 0;
  std::uint32_t Length = 0;
  std::string Unit;
};

// A function's code starts at Offset; Name in the "Class.method" form.
struct TMapPublic {
  std::uint32_t Offset = 0;
  std::string Name;
  bool operator==(const TMapPublic&) const = default;
};

struct TMapImage {
  // Which build of the executable the map was made from (ElfIdentity of
  // platform/CodeAddress.h); empty: the header names none.
  std::string Identity;
  std::uint32_t TextSize = 0;         // length of .text
  std::vector<TMapSegment> Segments;  // sorted by start
  std::vector<TMapPublic> Publics;    // sorted by offset, one per offset
  std::vector<TMapUnit> Units;        // in the order of their line-number blocks
};

// The name of the public that marks the end of .text in "Publics by Value":
// it closes the range of the last function, which the reader would otherwise
// not resolve.
inline constexpr std::string_view EndOfTextName = "<end of .text>";

// The header line that names the executable's identity, before the identity.
inline constexpr std::string_view IdentityLabel = "Executable identity : ";

// The largest line number an entry of a line-number row holds (6 digits).
inline constexpr std::uint32_t MaxMapLine = 999999;

// The whole map file text.
std::string FormatMapFile(const TMapImage& Image);

// The unit name of a source file: its name without folder and extension
// ("../../app/F_Main.cpp" -> "F_Main"). Characters that would break the map's
// lines or columns (control characters, "=") become "_", blanks at either end
// are dropped; an empty result gives "".
std::string MapUnitName(std::string_view SourcePath);

// Unit names for source files whose code stands in no unit of their own
// (headers with inline functions or templates), one per path of Paths, in
// their order: the file's name with its extension, with as many of its
// folders in front as make it differ from the other paths' names and from
// the names in Taken ("/usr/include/c++/12/bits/stl_vector.h" gives
// "stl_vector.h", or "bits/stl_vector.h" beside ".../tr1/stl_vector.h").
// Characters as MapUnitName makes them. The paths are expected to differ.
std::vector<std::string> MapFileUnitNames(const std::vector<std::string>& Paths, const std::set<std::string>& Taken);

// A text made safe for one line of the map: control characters become "?".
std::string MapLineText(std::string_view Text);

// The header line of a unit's line-number block.
std::string LineBlockHeader(const TMapUnit& Unit);

// Puts the units in the order of their line-number blocks. The reader looks a
// unit's line numbers up in the block of the first line that contains the
// unit's name anywhere (so "Main" would find a block "F_Main" that comes
// first, or a header whose source path contains the name). Each unit's block
// goes before every block with a line that contains its name, otherwise the
// given order stands. Where no order can satisfy every unit (two units each
// inside the other's header), the names of the units that lose their own block
// are returned.
std::vector<std::string> OrderLineBlocks(std::vector<TMapUnit>& Units);

// The lines of Unit's line-number block, without line ends: the header, the
// blank line that the reader skips, the rows of up to four entries.
std::vector<std::string> LineBlockLines(const TMapUnit& Unit);

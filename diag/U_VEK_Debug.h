#pragma once
// Exception reporting: where a code address of the program lies.
//
// TVEKMapFile turns a code address into three texts, the unit (module)
// that holds it, the public symbol that contains it and the source line,
// and walks the calling thread's stack one frame at a time, resolving each
// frame the same way.
//
// Addresses inside the executable are resolved through its map file, the
// text file that lies beside it with the extension ".map". The map is kept
// as its lines; every lookup reads fixed character columns of the stored
// lines in a linear scan (see the layout below). Addresses inside a shared
// library (the toolkit, the C library) are not in the map: they resolve to
// the library's file name as the unit and to the nearest symbol it exports,
// in the "Class.method" form, as the public; their line is "<Unknown>". An
// address in no module resolves to "<Unknown>" throughout.
//
// The map file's layout, as this reader takes it (columns count from 1; a
// hexadecimal field is 8 characters, read as a 32-bit signed number, so a
// value with the highest bit set is negative; a field that is cut short by
// the end of its line, or is not hexadecimal, fails to convert):
//   - the segment section, from the line holding "Detailed map of
//     segments" to the line before "  Address         Publics by Name":
//     start offset in columns 7-14, length in 16-23, the unit's name after
//     "M=" up to the second character before "ACBP=";
//   - the publics section, from "  Address         Publics by Value" to
//     the line before the first "Line numbers for ": the public's offset in
//     columns 7-14, its name from column 22 on;
//   - line-number blocks from there to the end of the file: a header line
//     naming the unit, one line that is skipped, then rows of up to four
//     20-character entries: the line number in the entry's columns 1-6, the
//     code offset in its columns 13-20.
// Offsets count from the start of the executable's ".text" section.
//
// One reader holds one walk and one set of results: one walk or lookup at a
// time, on one thread (the GUI thread). A walk reads the stack of the thread
// that calls FirstFrame.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/CodeAddress.h"
#include "runtime/Exceptions.h"

// A map file that cannot be found or read as one. Carries only its message.
class EMapFileException : public Exception {
 public:
  using Exception::Exception;
};

class TVEKMapFile {
 public:
  // Frames a walk captures at most; a deeper stack is cut after the
  // innermost ones.
  static constexpr std::size_t MaxFrames = 256;

  TVEKMapFile();
  virtual ~TVEKMapFile();
  TVEKMapFile(const TVEKMapFile&) = delete;
  TVEKMapFile& operator=(const TVEKMapFile&) = delete;

  // The map file that was loaded last (an empty name does not change it).
  const std::string& FileName() const { return FFileName; }

  // Loads the map file Value:
  //   - Value equal to FileName (exact comparison): nothing happens at all;
  //   - Value not empty and no such file (or a folder): EMapFileException
  //     "Map File not found : <Value>.", the reader as it was;
  //   - otherwise the reader is emptied and not loaded; an empty Value stops
  //     there (FileName keeps the old name, so assigning that name again
  //     does nothing);
  //   - a file that cannot be read: the file error (EInOutError) propagates,
  //     the reader stays empty;
  //   - a file without the segment, publics-by-value or line-number marker,
  //     or whose segment marker is on its first line: EMapFileException
  //     "Invalid Map File : <Value>.", the reader stays empty, FileName as it
  //     was;
  //   - else the reader is loaded and FileName is Value.
  void SetFileName(const std::string& Value);

  // The load above with Text as the file's content instead of reading the
  // file Value: no comparison with FileName and no existence check. An
  // empty Value empties the reader like SetFileName("").
  void LoadFromText(const std::string& Value, const std::string& Text);

  bool Loaded() const { return FLoaded; }

  // Resolves a code address of this process into UnitName, PublicName,
  // PublicOffset and LineNumber (see the header paragraph):
  //   - inside the executable: LookupOffset of its code offset; when the
  //     executable's .text address cannot be read, the results are
  //     "<Unknown>" (when a map is loaded) or stay as they were;
  //   - inside a shared library, whether a map is loaded or not: unit the
  //     library's file name without folder, public the nearest exported
  //     symbol demangled in "Class.method" form ("<Unknown>" when it exports
  //     none below the address), PublicOffset that symbol's link-time
  //     address (its offset from the library's load base, cut to 32 bits;
  //     0 without a symbol), line "<Unknown>";
  //   - in no module: "<Unknown>" everywhere, PublicOffset 0.
  // Raises EConvertError as LookupOffset does.
  void Lookup(std::uintptr_t Address);

  // Resolves a code offset of the executable through the map:
  //   1. not loaded: the results stay as they were;
  //   2. Offset equal to the last offset resolved, with no other lookup or
  //      load since: the results stay (nothing is scanned);
  //   3. else the unit search, the public search and the line search, in
  //      this order (the line search looks for the unit just found).
  // A segment whose start converts and is not above Offset but whose length
  // does not convert raises EConvertError out of the lookup (the offset then
  // counts as resolved, with the results as far as they got).
  void LookupOffset(std::uint32_t Offset);

  // Starts a walk of the calling thread's stack: frame 0 is the function
  // that called FirstFrame; ReturnAddress is the point inside it where
  // FirstFrame returns to, FramePointer that frame's stack address. The
  // frame is resolved through Lookup(ReturnAddress - 1), the call itself,
  // so that the line is the line of the call. Returns false when no frame
  // could be captured or when the public is "TlsLast" (in any case).
  // Never inlined: its own frame is the one the walk skips.
  [[gnu::noinline]] bool FirstFrame();
  // Steps the walk one frame outward and resolves it the same way. Returns
  // false, changing nothing, past the outermost frame or after MaxFrames
  // frames; false also when the public is "TlsLast".
  bool NextFrame();
  std::uintptr_t FramePointer() const { return FFramePointer; }
  std::uintptr_t ReturnAddress() const { return FReturnAddress; }

  // The code offset last resolved through the map (the cache key).
  std::uint32_t CurrentOffset() const { return FCurrentOffset; }

  const std::string& UnitName() const { return FUnitName; }
  const std::string& PublicName() const { return FPublicName; }
  std::int32_t PublicOffset() const { return FPublicOffset; }
  const std::string& LineNumber() const { return FLineNumber; }

 private:
  void Clear();
  void Load(const std::string& Value, std::vector<std::string>&& Lines);
  void ResolveUnknown();
  void ResolveForeign(const TCodeModule& Module, std::uintptr_t Address);
  bool ResolveFrame();
  void FindUnit();
  void FindPublic();
  void FindLine();

  std::uintptr_t FFramePointer = 0;
  std::uintptr_t FReturnAddress = 0;
  std::string FFileName;
  bool FLoaded = false;
  // Owned; released with SafeFreeAndNil.
  std::vector<std::string>* FSegments = nullptr;
  std::vector<std::string>* FPublics = nullptr;
  std::vector<std::string>* FLineNumbers = nullptr;
  std::uint32_t FCurrentOffset = 0;
  // The results belong to FCurrentOffset of the map loaded now.
  bool FCurrentValid = false;
  std::string FUnitName;
  std::string FPublicName;
  std::int32_t FPublicOffset = 0;
  std::string FLineNumber;

  // The walk: the frames captured by FirstFrame and the one resolved last.
  std::array<TCodeFrame, MaxFrames> FFrames{};
  std::size_t FFrameCount = 0;
  std::size_t FFrameIndex = 0;
};

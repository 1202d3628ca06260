#pragma once
// The map file reader, TVEKMapFile: where a code address of the program lies.
//
// TVEKMapFile turns a code address into three texts, the unit (module)
// that holds it, the public symbol that contains it and the source line,
// and walks the calling thread's stack one frame at a time, resolving each
// frame the same way.
//
// Addresses inside the executable are resolved through its map file, the
// text file that lies beside it with the extension ".map". The map is kept
// as its lines; every lookup reads fixed character columns of the stored
// lines in a linear scan (TVEKMapLayout below). Addresses inside a shared
// library (the toolkit, the C library) are not in the map: they resolve to
// the library's file name as the unit and to the nearest symbol it exports,
// in the "Class.method" form, as the public; their line is "<Unknown>". An
// address in no module resolves to "<Unknown>" throughout.
//
// One reader holds one walk and one set of results: one walk or lookup at a
// time, on one thread (the GUI thread). A walk reads the stack of the thread
// that calls FirstFrame.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/Exceptions.h"
#include "platform/CodeAddress.h"
#include "platform/PageMemory.h"

// The map file's layout, as this reader takes it: the one statement of it,
// which the reader's code reads by. Columns count from 0. A hexadecimal
// field is HexWidth characters, read as a 32-bit signed number, so a value
// with the highest bit set is negative; a field that is cut short by the end
// of its line, or is not hexadecimal, fails to convert. Offsets count from
// the start of the executable's ".text" section.
struct TVEKMapLayout {
  static constexpr std::size_t HexWidth = 8;

  // Before the segment section, the header may name the build the map was
  // made from: a line that starts with IdentityLabel.
  static constexpr std::string_view IdentityLabel = "Executable identity : ";

  // The segment section: from the line holding SegmentsMarker to the line
  // before the one holding PublicsByNameMarker. A row holds the segment's
  // start offset and its length, and the unit's name after "M=" up to the
  // second character before "ACBP=".
  static constexpr std::string_view SegmentsMarker = "Detailed map of segments";
  static constexpr std::string_view PublicsByNameMarker = "  Address         Publics by Name";
  static constexpr std::size_t SegmentStartColumn = 6;
  static constexpr std::size_t SegmentLengthColumn = 15;

  // The publics section: from the line holding PublicsByValueMarker to the
  // line before the first one holding LineNumbersMarker. A row holds the
  // public's offset, and its name from PublicNameColumn to the line's end.
  static constexpr std::string_view PublicsByValueMarker = "  Address         Publics by Value";
  static constexpr std::size_t PublicOffsetColumn = 6;
  static constexpr std::size_t PublicNameColumn = 21;

  // Line-number blocks, from there to the end of the file: a header line
  // that starts with LineNumbersMarker and names the unit, one line that is
  // skipped, then rows of up to LineEntriesPerRow entries of LineEntryWidth
  // characters: the line number in the entry's first LineNumberWidth
  // columns (decimal), the code offset from its column LineOffsetColumn on.
  static constexpr std::string_view LineNumbersMarker = "Line numbers for ";
  static constexpr std::size_t LineEntryWidth = 20;
  static constexpr std::size_t LineEntriesPerRow = 4;
  static constexpr std::size_t LineNumberWidth = 6;
  static constexpr std::size_t LineOffsetColumn = 12;

  // The public whose frame ends a walk of the stack.
  static constexpr std::string_view WalkEnd = "TlsLast";
};

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
  const std::string& FileName() const {
    LoadPending();
    return FFileName;
  }

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

  // Loads the map file Value as SetFileName does, but only when the reader
  // is first used (FileName, Loaded, a lookup or a walk); a failure then
  // leaves the reader as a failed SetFileName does, without raising. The
  // interceptor is created at start-up and most runs never report an
  // exception: reading the map then would delay the program's window for
  // nothing. A SetFileName or LoadFromText before the first use replaces
  // the pending load. With Accept, the loaded map is kept only when Accept
  // takes the identity its header names (IdentityOf; empty when none), else
  // the reader is left empty as by a failed load.
  using TAcceptIdentity = std::function<bool(const std::string& Identity)>;
  void LoadWhenNeeded(const std::string& Value, TAcceptIdentity Accept = {});

  bool Loaded() const {
    LoadPending();
    return FLoaded;
  }

  // The identity of the executable a map was made from, as its header names
  // it in the line "Executable identity : <identity>" before the segment
  // section (see ElfIdentity in platform/CodeAddress.h); empty when Head,
  // the map's text or its beginning, names none. The reader itself takes a
  // map of any program; the interceptor takes the running program's map
  // only when it names this build or none.
  static std::string IdentityOf(std::string_view Head);

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
  // Performs the load LoadWhenNeeded asked for, once.
  void LoadPending() const;
  // Lines First to End - 1 of the map file.
  struct TSection {
    std::size_t First = 0;
    std::size_t End = 0;
  };

  void Clear();
  void Load(const std::string& Value, TPageVector<char>&& Text);
  std::size_t LineCount() const { return FLines.empty() ? 0 : FLines.size() - 1; }
  std::string_view Line(std::size_t Index) const {
    const std::uint32_t line = FLines[Index];
    const std::uint32_t next = FLines[Index + 1];
    return std::string_view(FText.data() + (line >> 2), (next >> 2) - (line >> 2) - (line & 3));
  }
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
  mutable std::string FPending;     // the map LoadWhenNeeded named, not read yet
  mutable TAcceptIdentity FAccept;  // and what it asked of that map's identity
  // The map file's text as it was read, and its lines: for each the offset
  // in the text where it starts, shifted left by 2, with the length of its
  // line break (0, 1 or 2) in the 2 low bits; then one more entry whose
  // offset is the text's size. A line ends where the next one starts, less
  // its line break. Both lie in memory of their own (platform/PageMemory.h),
  // so that the first load of a process does not pay one page fault per
  // page. The three sections are ranges of these lines.
  TPageVector<char> FText;
  TPageVector<std::uint32_t> FLines;
  TSection FSegments;
  TSection FPublics;
  TSection FLineNumbers;
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

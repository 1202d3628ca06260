#pragma once
// The source line that the code of one compilation unit answers for, as runs
// of code that share a file and a line. The line of an address is the line
// of the outermost function that holds it: for code inlined into that
// function, the line of the call there (the call site of the outermost
// inlined subroutine); for the function's own code, the line table's row.
// Code without a line (line 0, no row) belongs to the file of the function
// that holds it, or to the unit's own file outside every function.
//
// Files are numbers in the caller's list of files; -1 is no file. Pure
// functions over what the DWARF scan gathers: no I/O, callable from any
// thread, the same facts always give the same runs.
#include <cstdint>
#include <vector>

struct TCodeRange {
  std::uint64_t Start = 0;
  std::uint64_t End = 0;  // one past the last byte
};

// A row of the unit's line table. The rows come in libdw's order: by
// address, and of several rows at one address the last one holds from there
// on; an end-of-sequence row holds no line.
struct TLineRow {
  std::uint64_t Address = 0;
  int File = -1;
  std::uint32_t Line = 0;
  bool End = false;
};

// A piece of an inlined subroutine that stands directly in a function's body
// (not inside another inlined subroutine), with the place of its call.
struct TCallSite {
  TCodeRange Range;
  int File = -1;
  std::uint32_t Line = 0;
};

// A function with code: its ranges (a cold part is a range of its own), the
// file it is declared in, the outermost inlined code inside it.
struct TFunctionCode {
  std::vector<TCodeRange> Ranges;
  int File = -1;
  std::vector<TCallSite> Calls;
};

struct TUnitCode {
  int MainFile = -1;               // the unit's own source file
  std::vector<TCodeRange> Ranges;  // the unit's code, as its DWARF gives it
  std::vector<TLineRow> Rows;
  std::vector<TFunctionCode> Functions;
};

// [Start, End) answers File and Line; Line 0 is no line of File.
struct TCodeRun {
  std::uint64_t Start = 0;
  std::uint64_t End = 0;
  int File = -1;
  std::uint32_t Line = 0;
  bool operator==(const TCodeRun&) const = default;
};

// The runs of the unit's code (its ranges and its functions' ranges), sorted
// by address, without overlaps; neighbours differ in file or line. Where the
// DWARF has functions or call sites overlap, the one given first wins, as
// in a search of the DWARF's tree in its order.
std::vector<TCodeRun> CodeRunsOf(const TUnitCode& Unit);

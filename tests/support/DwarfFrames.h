#pragma once
// The yardstick for the map file's functions and lines: an executable's
// DWARF read with elfutils' libdw the way a debugger names the outermost
// frame of an address, through the chain of scopes that holds it
// (dwarf_getscopes, dwarf_getscopes_die): the function that holds the
// address (inlined functions are inner frames), and the line in that
// function: for inlined code the call site of the outermost inlined
// subroutine, for other code the line table's row (dwarf_getsrc_die).
//
// Not thread-safe; one instance per thread.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct TOutermostFrame {
  bool HasFunction = false;
  std::uint64_t FunctionStart = 0;  // start of the function's range that holds the address
  std::string File;                 // the line's file, a normal path; empty without a line
  int Line = 0;                     // 0: no line
  std::string UnitSource;           // the compilation unit's own source file, a normal path
};

class TDwarfFrames {
 public:
  // Throws std::runtime_error when the file has no .text or no DWARF.
  explicit TDwarfFrames(const std::string& Executable);
  ~TDwarfFrames();
  TDwarfFrames(const TDwarfFrames&) = delete;
  TDwarfFrames& operator=(const TDwarfFrames&) = delete;

  std::uint64_t TextAddress() const;
  // [start, end) of every range of every function with code in .text.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> FunctionRanges();
  // The address of every row of the line tables inside .text.
  std::vector<std::uint64_t> RowAddresses();
  TOutermostFrame At(std::uint64_t Address);

 private:
  struct TState;
  std::unique_ptr<TState> FState;
};

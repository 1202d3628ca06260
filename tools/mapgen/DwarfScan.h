#pragma once
// Reads an ELF executable (or shared library) and its DWARF debug
// information through elfutils and gathers the content of its map file:
//   - every function with code inside .text, named in the "Class.method"
//     form from the DWARF scopes (namespaces and classes told apart, out-of-
//     line definitions followed to their declaration); functions that the
//     DWARF does not describe (start-up code) come from the symbol table;
//   - the code of every compilation unit inside .text, cut where the line it
//     answers for changes (see CodeRuns.h: the line of the outermost
//     function, the call's line for inlined code), and where that line lies
//     in another file than the unit's source: such code (a header's inline
//     functions and templates, emitted out of line) makes a unit of that
//     file, with its own segments and line numbers, named after the file
//     with its extension ("stl_vector.h").
// Offsets count from the start of .text, so a position-independent
// executable gives the same map wherever it is loaded. Units of the same name
// share one entry: the reader finds a unit's line numbers by its name only.
//
// The result depends on the file's bytes alone: the same file always gives
// the same image. Not thread-safe against itself only through elfutils'
// global version setting, which it sets once.
#include <stdexcept>
#include <string>
#include <vector>

#include "MapLayout.h"

// A file that cannot be mapped: the message names the file and the reason.
class EMapGenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TScanResult {
  TMapImage Image;                    // units already in the order of their blocks
  std::vector<std::string> Warnings;  // what the map cannot express, for the user
};

// Throws EMapGenError when the file cannot be read, is not ELF, is no
// executable or shared library, has no .text or no DWARF debug information.
TScanResult ScanExecutable(const std::string& FileName);

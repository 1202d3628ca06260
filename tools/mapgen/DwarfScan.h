#pragma once
// Reads an ELF executable (or shared library) and its DWARF debug
// information through elfutils and gathers the content of its map file:
//   - the address ranges of every compilation unit inside .text;
//   - every function with code inside .text, named in the "Class.method"
//     form from the DWARF scopes (namespaces and classes told apart, out-of-
//     line definitions followed to their declaration); functions that the
//     DWARF does not describe (start-up code) come from the symbol table;
//   - the rows of each unit's line table that belong to its main source file.
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

#include "tools/mapgen/MapLayout.h"

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
